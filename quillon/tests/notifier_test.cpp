// Device-change notices from the notifier windows, through the transport's lists to the device manager.
#include "fixture.h"
#include "zephtest/modules.h"

#include <algorithm>
#include <thread>

#include <standin/thread.h>
#include <w32cpp/callback.h>

namespace quillon_test {
namespace {

class NotifierTest : public QuillonTest {
 protected:
  void SetUp() override {
    QuillonTest::SetUp();
    if (HasFatalFailure()) return;
    transport().start();
    arrival_cb = w32cpp::make_member_callback(&manager_log, &notice_log::arrival);
    removal_cb = w32cpp::make_member_callback(&manager_log, &notice_log::removal);
    manager().arrival_listeners().add(arrival_cb);
    manager().removal_listeners().add(removal_cb);
  }
  void TearDown() override {
    manager().arrival_listeners().remove(arrival_cb);
    manager().removal_listeners().remove(removal_cb);
    QuillonTest::TearDown();
  }
  // The transport's own lists (every notice, before the manager filters them).
  void log_protocol_notices() {
    proto_arrival_cb = w32cpp::make_member_callback(&protocol_log, &notice_log::arrival);
    proto_removal_cb = w32cpp::make_member_callback(&protocol_log, &notice_log::removal);
    protocol()->arrival_listeners().add(proto_arrival_cb);
    protocol()->removal_listeners().add(proto_removal_cb);
  }
  void unlog_protocol_notices(const karnet::protocol_handle& p) {
    p->arrival_listeners().remove(proto_arrival_cb);
    p->removal_listeners().remove(proto_removal_cb);
  }

  notice_log manager_log, protocol_log;
  w32cpp::auto_handle<karnet::device_callback> arrival_cb, removal_cb, proto_arrival_cb, proto_removal_cb;
};

TEST_F(NotifierTest, PlugAndUnplugWhileListed) {
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(main_class())).empty());
  std::string inst = plug("P1");
  EXPECT_EQ(manager_log.take(), std::vector<std::string>{"arrival main"});
  karnet::interface_list listed = manager().device_interfaces(karnet::guid(main_class()));
  EXPECT_EQ(names(listed), std::vector<std::string>{main_path("P1")});
  karnet::io_session session = manager().create_session(listed.front());
  ASSERT_TRUE(session.is_open());
  unplug(inst);
  EXPECT_EQ(manager_log.take(), std::vector<std::string>{"removal main"});
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(main_class())).empty());
  EXPECT_FALSE(session.is_open()) << "the removal closes the session";
  EXPECT_EQ(listed.front().name(), "");
}

TEST_F(NotifierTest, WatchingTwiceGivesOneNoticePerChange) {
  karnet::protocol_handle p = protocol();
  log_protocol_notices();
  p->watch(karnet::guid(main_class()));
  p->watch(karnet::guid(main_class()));
  p->unwatch(karnet::guid(bulk_class()));  // never watched: nothing happens
  plug("T1");
  // One interface arrival, and one node change (a removal check, then an arrival check).
  EXPECT_EQ(protocol_log.count("arrival main"), 2);
  EXPECT_EQ(protocol_log.count("removal main"), 1);
  protocol_log.take();
  p->unwatch(karnet::guid(main_class()));
  add_root("T2");
  EXPECT_TRUE(protocol_log.take().empty()) << "an unwatched class is no longer notified";
  unlog_protocol_notices(p);
}

TEST_F(NotifierTest, NodeChangeChecksRemovalThenArrival) {
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(main_class())).empty());
  log_protocol_notices();
  add_root("C1");  // a device node of another class: only the node-change broadcast reaches the window
  EXPECT_EQ(protocol_log.take(), (std::vector<std::string>{"removal main", "arrival main"}));
  EXPECT_TRUE(manager_log.take().empty()) << "nothing changed for the manager";
  unlog_protocol_notices(protocol());
}

// A removal listener that stops watching its own class: the notifier ends on its own thread.
struct self_unwatcher {
  void removal(karnet::protocol_handle& p, karnet::guid& g) {
    p->unwatch(g);
    ran.set();
  }
  zephtest::flag ran;
};

TEST_F(NotifierTest, NotifierDestroyedFromItsOwnThread) {
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(main_class())).empty());
  std::string inst = plug("O1");
  self_unwatcher unwatcher;
  auto cb = w32cpp::make_member_callback(&unwatcher, &self_unwatcher::removal);
  manager().removal_listeners().add(cb);
  unplug(inst);  // settles only if the notifier thread did not wait for itself
  EXPECT_TRUE(unwatcher.ran.wait());
  manager().removal_listeners().remove(cb);
  manager_log.take();
  // No notifier is left for the class: a new instrument is not announced.
  plug("O2");
  EXPECT_TRUE(manager_log.take().empty());
}

// A removal listener that stops the whole transport from the notifier thread.
struct stopping_listener {
  void removal(karnet::protocol_handle&, karnet::guid&) {
    transport->stop();
    ran.set();
  }
  fileio::iapi* transport = nullptr;
  zephtest::flag ran;
};

TEST_F(NotifierTest, StopFromANoticeOnTheNotifierThread) {
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(main_class())).empty());
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(bulk_class())).empty());
  std::string inst = plug("S9");
  stopping_listener stopper;
  stopper.transport = &transport();
  auto cb = w32cpp::make_member_callback(&stopper, &stopping_listener::removal);
  manager().removal_listeners().add(cb);
  unplug(inst);
  EXPECT_TRUE(stopper.ran.wait());
  manager().removal_listeners().remove(cb);
  EXPECT_FALSE(protocol());
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(main_class())).empty());
  // Started again, the transport finds and announces instruments as before.
  transport().start();
  manager_log.take();
  plug("S10");
  EXPECT_EQ(names(manager().device_interfaces(karnet::guid(main_class()))), std::vector<std::string>{main_path("S10")});
}

// A listener that holds the notifier thread until the test lets it go.
struct blocking_listener {
  void arrival(karnet::protocol_handle&, karnet::guid&) {
    entered.set();
    released.wait();
    finished = true;
  }
  zephtest::flag entered, released;
  std::atomic<bool> finished{false};
};

TEST_F(NotifierTest, TeardownWaitsForABusyNotifierInsteadOfKillingIt) {
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(main_class())).empty());
  blocking_listener blocker;
  auto cb = w32cpp::make_member_callback(&blocker, &blocking_listener::arrival);
  manager().arrival_listeners().add(cb);
  standin::usbbus::plug(std::make_shared<simdev::usb_device>(std::make_shared<simdev::instrument>()));
  usb_devices.push_back("USB\\VID_1A2B&PID_0100\\1001");
  ASSERT_TRUE(blocker.entered.wait());
  zephtest::flag stopped;
  std::thread stopper([&] {
    transport().stop();
    stopped.set();
  });
  // Well past the old 1000 ms grace: the stop still waits for the listener.
  EXPECT_FALSE(stopped.wait(std::chrono::milliseconds(1500)));
  blocker.released.set();
  EXPECT_TRUE(stopped.wait());
  zephtest::join(stopper);
  EXPECT_TRUE(blocker.finished.load()) << "the notifier thread was cut short";
  manager().arrival_listeners().remove(cb);
}

TEST_F(NotifierTest, NotifierWhoseThreadCannotStartDoesNotHangAndIsRetried) {
  karnet::protocol_handle p = protocol();
  log_protocol_notices();
  standin::thread::fail_next_creates(1);
  zephtest::flag watched;
  std::thread watcher([&] {
    p->watch(karnet::guid(main_class()));
    watched.set();
  });
  EXPECT_TRUE(watched.wait()) << "the notifier waits for a thread that never started";
  zephtest::join(watcher);
  add_root("F1");
  EXPECT_TRUE(protocol_log.take().empty()) << "no window: nothing is watched";
  p->watch(karnet::guid(main_class()));  // not kept the first time: this one starts
  add_root("F2");
  EXPECT_EQ(protocol_log.take(), (std::vector<std::string>{"removal main", "arrival main"}));
  unlog_protocol_notices(p);
}

TEST_F(NotifierTest, StoppedTransportSendsNoMoreNotices) {
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(main_class())).empty());  // watched, no device
  karnet::protocol_handle p = protocol();
  log_protocol_notices();
  transport().stop();
  plug("Z1");
  EXPECT_TRUE(protocol_log.take().empty());
  unlog_protocol_notices(p);
}

TEST_F(NotifierTest, NotifiersComeAndGoWhileNodesChange) {
  karnet::protocol_handle p = protocol();
  log_protocol_notices();
  std::atomic<bool> done{false};
  // Every node change reaches every notifier window, also while one is being built or torn down.
  std::thread churn([&] {
    for (int i = 0; i < 20; ++i) {
      std::string inst = standin::pnp::add_root_device("WBTEST\\DEV", "N" + std::to_string(i));
      standin::pnp::remove_device(inst, false);
    }
    done = true;
  });
  int rounds = 0;
  EXPECT_TRUE(zephtest::wait_until(
      [&] {
        if (done.load() && rounds >= 5) return true;
        p->watch(karnet::guid(main_class()));
        p->watch(karnet::guid(bulk_class()));
        p->unwatch(karnet::guid(main_class()));
        p->unwatch(karnet::guid(bulk_class()));
        ++rounds;
        return false;
      },
      zephtest::default_deadline, std::chrono::milliseconds(0)));
  zephtest::join(churn);
  EXPECT_TRUE(standin::pnp::settle());
  unlog_protocol_notices(p);
  const auto seen = protocol_log.take();
  EXPECT_EQ(
      std::count(seen.begin(), seen.end(), "removal main") + std::count(seen.begin(), seen.end(), "removal other"),
      std::count(seen.begin(), seen.end(), "arrival main") + std::count(seen.begin(), seen.end(), "arrival other"))
      << "a node change gives a removal check and an arrival check, never half of it";
}

// The process's free fiber-local storage indexes, counted by taking them all and giving them back.
size_t free_fls_indexes() {
  std::vector<DWORD> taken;
  for (DWORD i = FlsAlloc(nullptr); i != FLS_OUT_OF_INDEXES; i = FlsAlloc(nullptr)) taken.push_back(i);
  for (DWORD i : taken) FlsFree(i);
  return taken.size();
}

// The mark of the notifier window threads takes an index while the library is loaded and gives it back
// when the library goes: loaded and unloaded at run time, it would otherwise run the process out.
TEST(WindowThreadMark, ItsIndexComesBackWhenTheLibraryGoes) {
  const size_t before = free_fls_indexes();
  {
    karnet::karnet_lib manager;
    fileio::quillon_lib transport;
    ASSERT_TRUE(manager && transport);
    EXPECT_LT(free_fls_indexes(), before);
    transport->start();
    // Listing a class starts its notifier, whose window thread marks itself.
    manager->device_interfaces(karnet::guid(main_class()));
    transport->stop();
  }
  ASSERT_FALSE(zephtest::mapped("quillon8.so"));
  EXPECT_EQ(free_fls_indexes(), before);
}

}  // namespace
}  // namespace quillon_test
