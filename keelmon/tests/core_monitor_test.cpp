// The device monitor with both sources: start and stop, arrivals and removals of acquisition devices
// (device-change messages to the test thread's window) and of instruments (the instrument API on the
// worker), fanned out to the listeners in order, and removed devices kept until every listener ran.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/kernel.h>
#include <standin/thread.h>
#include <standin/usbbus.h>
#include <string>
#include <vector>

#include <morvex/iapi.h>
#include <w32cpp/loader.h>

#include "core/device_file.h"
#include "core/device_monitor.h"
#include "core_fixture.h"

namespace {

using core_test::pump_until;
using keelmon::change_record;
using keelmon::device_monitor;
using keelmon::notification_source;

struct seen {
  int32_t code;
  uint32_t kind;
  DWORD thread;
  std::vector<std::string> keys;  // the source's device map at the time
  std::string listener;
};

// Records what it is told, shared by every listener of a case so that their order shows.
struct journal {
  std::mutex mu;
  std::vector<seen> entries;
  size_t count(int32_t code) {
    std::lock_guard<std::mutex> l(mu);
    size_t n = 0;
    for (auto& e : entries) n += e.code == code;
    return n;
  }
  std::vector<seen> copy() {
    std::lock_guard<std::mutex> l(mu);
    return entries;
  }
};

class recorder : public keelmon::device_change_listener {
 public:
  recorder(journal& j, std::string name) : j_(j), name_(std::move(name)) {}
  void on_change(const change_record& r) override {
    seen s{r.code, r.source->kind(), GetCurrentThreadId(), {}, name_};
    for (auto& kv : r.source->devices()) {
      s.keys.push_back(kv.first);
      // Kept as the device list keeps them: not owned, read again when the device goes.
      if (r.code == keelmon::change_added) kept_[kv.first] = kv.second.get();
    }
    if (r.code == keelmon::change_removed) {
      for (auto it = kept_.begin(); it != kept_.end();) {
        if (r.source->devices().count(it->first)) {
          ++it;
          continue;
        }
        gone_products_.push_back(it->second->product());  // still readable during the notification
        it = kept_.erase(it);
      }
    }
    if (on_change_hook) on_change_hook(r);
    std::lock_guard<std::mutex> l(j_.mu);
    j_.entries.push_back(s);
  }
  std::function<void(const change_record&)> on_change_hook;
  std::vector<std::string> gone_products_;

 private:
  journal& j_;
  std::string name_;
  std::map<std::string, keelmon::device_info*> kept_;
};

// ---- acquisition devices: the interface source, its window on the test thread ----

class InterfaceSource : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(driver.ready()); }
  void TearDown() override {
    monitor.reset();
    core_test::pump();
  }
  notification_source& source() { return *monitor->sources().front(); }
  HWND window() { return static_cast<keelmon::interface_notification_source&>(source()).window(); }

  core_test::acquisition_driver driver;
  journal log;
  std::unique_ptr<device_monitor> monitor = std::make_unique<device_monitor>();
};

TEST_F(InterfaceSource, StartReportsPresentDevicesToEveryListenerInOrder) {
  driver.plug(core_test::default_config(101), "Unit 101");
  ASSERT_TRUE(standin::pnp::settle());
  // Two listeners, called by address order whatever the order they were added in.
  recorder pair[2] = {recorder(log, "low"), recorder(log, "high")};
  monitor->add_listener(&pair[1]);
  monitor->add_listener(&pair[0]);
  monitor->add_listener(&pair[0]);  // no duplicates
  ASSERT_TRUE(monitor->add_source(notification_source::kind_interfaces));
  EXPECT_FALSE(monitor->add_source(2u));
  ASSERT_TRUE(monitor->start());
  auto entries = log.copy();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].listener, "low");
  EXPECT_EQ(entries[1].listener, "high");
  for (auto& e : entries) {
    EXPECT_EQ(e.code, keelmon::change_added);
    EXPECT_EQ(e.kind, notification_source::kind_interfaces);
    EXPECT_EQ(e.thread, GetCurrentThreadId());
    ASSERT_EQ(e.keys.size(), 1u);
  }
  EXPECT_EQ(monitor->device_count(), 1);
  {
    device_monitor::guard hold(*monitor);
    const auto& devices = source().devices();
    ASSERT_EQ(devices.size(), 1u);
    const keelmon::device_info& d = *devices.begin()->second;
    EXPECT_EQ(d.product(), "Unit 101");
    EXPECT_EQ(d.serial_number(), "101");
    EXPECT_EQ(d.device_version(), "312");
    EXPECT_EQ(d.counts().output_signal, 2);
    EXPECT_TRUE(d.driver()->valid());
    EXPECT_FALSE(d.file()->is_open());  // closed between uses
    EXPECT_TRUE(monitor->has_device(devices.begin()->first));
  }
  EXPECT_TRUE(monitor->stop());
  EXPECT_FALSE(monitor->running());
}

TEST_F(InterfaceSource, ArrivalAndRemovalWhileRunning) {
  recorder r(log, "r");
  monitor->add_listener(&r);
  ASSERT_TRUE(monitor->add_source(notification_source::kind_interfaces));
  ASSERT_TRUE(monitor->start());
  EXPECT_EQ(log.copy().size(), 0u);  // nothing present: nothing reported
  EXPECT_EQ(monitor->device_count(), 0);

  std::string a = driver.plug(core_test::default_config(201), "Unit A");
  ASSERT_TRUE(pump_until([&] { return log.count(keelmon::change_added) == 1; }));
  std::string b = driver.plug(core_test::default_config(202), "Unit B");
  ASSERT_TRUE(pump_until([&] { return log.count(keelmon::change_added) == 2; }));
  EXPECT_EQ(monitor->device_count(), 2);
  EXPECT_TRUE(monitor->has_device(core_test::interface_path_of(a)));
  EXPECT_TRUE(monitor->has_device(core_test::interface_path_of(b)));

  driver.unplug(a);
  ASSERT_TRUE(pump_until([&] { return log.count(keelmon::change_removed) == 1; }));
  EXPECT_EQ(r.gone_products_, std::vector<std::string>{"Unit A"});
  EXPECT_FALSE(monitor->has_device(core_test::interface_path_of(a)));
  EXPECT_TRUE(monitor->has_device(core_test::interface_path_of(b)));
  EXPECT_EQ(monitor->device_count(), 1);
  auto last = log.copy().back();
  EXPECT_EQ(last.keys, std::vector<std::string>{core_test::interface_path_of(b)});
  EXPECT_EQ(last.thread, GetCurrentThreadId());
  EXPECT_TRUE(monitor->stop());
}

TEST_F(InterfaceSource, NodesChangedRunsARemovalScan) {
  std::string a = driver.plug(core_test::default_config(301));
  ASSERT_TRUE(standin::pnp::settle());
  recorder r(log, "r");
  monitor->add_listener(&r);
  ASSERT_TRUE(monitor->add_source(notification_source::kind_interfaces));
  ASSERT_TRUE(monitor->start());
  ASSERT_EQ(log.count(keelmon::change_added), 1u);

  // Gone without this thread having seen the removal message yet.
  driver.unplug(a);
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::pnp::device_state(a) == "absent"; }));
  EXPECT_EQ(log.count(keelmon::change_removed), 0u);
  SendMessageA(window(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_EQ(log.count(keelmon::change_removed), 1u);
  EXPECT_EQ(monitor->device_count(), 0);
  // The removal message that follows finds nothing more to drop.
  ASSERT_TRUE(pump_until([] { return standin::pnp::settle(0); }));
  EXPECT_EQ(log.count(keelmon::change_removed), 1u);
}

TEST_F(InterfaceSource, ListenerMayRemoveListenersWhileCalled) {
  driver.plug(core_test::default_config(401));
  ASSERT_TRUE(standin::pnp::settle());
  recorder pair[2] = {recorder(log, "first"), recorder(log, "second")};
  pair[0].on_change_hook = [&](const change_record&) {
    monitor->remove_listener(&pair[1]);
    monitor->remove_listener(&pair[0]);
  };
  monitor->add_listener(&pair[0]);
  monitor->add_listener(&pair[1]);
  ASSERT_TRUE(monitor->add_source(notification_source::kind_interfaces));
  ASSERT_TRUE(monitor->start());
  auto entries = log.copy();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].listener, "first");
  EXPECT_TRUE(monitor->stop());
}

TEST_F(InterfaceSource, WorkerRunsAndStopsAtOnce) {
  ASSERT_TRUE(monitor->add_source(notification_source::kind_interfaces));
  ASSERT_TRUE(monitor->start());
  EXPECT_TRUE(monitor->start());  // already running: no second worker
  ASSERT_TRUE(zephtest::wait_until([&] { return monitor->running(); }));
  DWORD id = monitor->worker_id();
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_TRUE(monitor->stop());
  EXPECT_FALSE(monitor->running());
  EXPECT_EQ(monitor->worker_id(), 0u);
  // Stopping the source does not end the message loop of the thread that owned its window.
  MSG quit;
  EXPECT_FALSE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
  EXPECT_TRUE(monitor->stop());
  // And again from the start: the window class was given back.
  ASSERT_TRUE(monitor->start());
  EXPECT_TRUE(monitor->stop());
}

TEST_F(InterfaceSource, StartFailsWhenNoSourceStartsOrNoWorkerCanBeMade) {
  EXPECT_FALSE(monitor->start());  // no source at all
  ASSERT_TRUE(monitor->add_source(std::make_unique<keelmon::instrument_api_source>(*monitor, "no_such_library")));
  EXPECT_FALSE(static_cast<keelmon::instrument_api_source&>(source()).bound());
  EXPECT_FALSE(monitor->start());
  ASSERT_TRUE(monitor->add_source(notification_source::kind_interfaces));
  standin::thread::fail_next_creates(1);
  EXPECT_FALSE(monitor->start());
  EXPECT_FALSE(monitor->running());
  ASSERT_TRUE(monitor->start());
  ASSERT_TRUE(zephtest::wait_until([&] { return monitor->running(); }));
  EXPECT_EQ(monitor->device_count(), 0);
  EXPECT_TRUE(monitor->stop());
}

// ---- instruments: the instrument API source, polled on the worker ----

class InstrumentSource : public ::testing::Test {
 protected:
  void SetUp() override {
    // Held for the whole process: the module's thread-local blocks stay valid for the leak check at
    // exit after the PnP manager unloads the driver.
    static void* pinned = dlopen(VANTREL_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pinned, nullptr);
    standin::pnp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
    monitor->add_listener(&r);
    ASSERT_TRUE(monitor->add_source(notification_source::kind_instrument_api));
    ASSERT_TRUE(static_cast<keelmon::instrument_api_source&>(*monitor->sources().front()).bound());
  }
  void TearDown() override {
    if (!instance.empty() && standin::pnp::device_state(instance) != "absent") standin::usbbus::unplug(instance);
    EXPECT_TRUE(standin::pnp::settle());
    monitor.reset();
    EXPECT_TRUE(zephtest::wait_until([] { return !standin::pnp::driver_loaded("vantrel"); }));
    EXPECT_TRUE(standin::kernel::settle());
  }

  void plug(const std::string& serial) { instance = core_test::plug_instrument(serial, model, usb); }
  const keelmon::device_info* only_device() {
    device_monitor::guard hold(*monitor);
    const auto& d = monitor->sources().front()->devices();
    return d.size() == 1 ? d.begin()->second.get() : nullptr;
  }

  journal log;
  recorder r{log, "r"};
  std::unique_ptr<device_monitor> monitor = std::make_unique<device_monitor>();
  std::shared_ptr<simdev::instrument> model;
  std::shared_ptr<simdev::usb_device> usb;
  std::string instance;
};

TEST_F(InstrumentSource, ArrivalAndRemovalReachListenersOnTheWorker) {
  ASSERT_TRUE(monitor->start());
  EXPECT_EQ(log.copy().size(), 0u);
  plug("000777");
  ASSERT_TRUE(zephtest::wait_until([&] { return log.count(keelmon::change_added) == 1; }));
  seen added = log.copy().front();
  EXPECT_EQ(added.kind, notification_source::kind_instrument_api);
  EXPECT_EQ(added.thread, monitor->worker_id());
  ASSERT_EQ(added.keys.size(), 1u);
  EXPECT_EQ(monitor->device_count(), 1);
  const keelmon::device_info* d = only_device();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->kind(), keelmon::kind_usb_instrument);
  EXPECT_EQ(d->driver_file_name(), "vantrel.sys");
  EXPECT_EQ(d->product(), "Zeph instrument");
  EXPECT_EQ(d->serial_number(), "777");
  EXPECT_EQ(d->device_version(), "1.05");
  EXPECT_EQ(d->counts().input_signal, 1);
  EXPECT_EQ(d->counts().output_signal, 0);
  EXPECT_EQ(d->file(), nullptr);

  standin::usbbus::unplug(instance);
  ASSERT_TRUE(zephtest::wait_until([&] { return log.count(keelmon::change_removed) == 1; }));
  EXPECT_EQ(r.gone_products_, std::vector<std::string>{"Zeph instrument"});
  EXPECT_EQ(monitor->device_count(), 0);
  EXPECT_EQ(only_device(), nullptr);
  EXPECT_EQ(log.copy().back().thread, monitor->worker_id());
  EXPECT_TRUE(monitor->stop());
}

TEST_F(InstrumentSource, PresentAtStartIsReportedByStart) {
  // The USB transport starts with the source; the instrument waits on the bus until then.
  plug("1001");
  ASSERT_TRUE(standin::pnp::settle());
  ASSERT_TRUE(monitor->start());
  // The transport lists what is there when it starts; the first pass may see it as an arrival instead.
  ASSERT_TRUE(zephtest::wait_until([&] { return log.count(keelmon::change_added) >= 1 && only_device(); }));
  EXPECT_EQ(only_device()->serial_number(), "1001");
  EXPECT_TRUE(monitor->stop());
  EXPECT_FALSE(monitor->running());
}

}  // namespace

namespace {

struct morvex_binding : w32cpp::dynamic_link_instance<morvex::iapi> {
  morvex_binding() : dynamic_link_instance("morvex", "morvex_get_instance") {}
};

std::vector<std::string> listed(morvex::iapi& api) {
  std::vector<std::string> names;
  for (auto& d : api.device_manager()->device_interfaces(karnet::guid(api.control_interface_class().interface_class())))
    names.push_back(d.name());
  return names;
}

// One instrument leaves and another arrives before the source looks: both changes are taken from that
// one look, the arrival first.
TEST_F(InstrumentSource, ArrivalAndRemovalSeenTogetherAreBothApplied) {
  morvex_binding api;
  ASSERT_TRUE(api);
  notification_source& source = *monitor->sources().front();
  plug("2001");
  ASSERT_TRUE(standin::pnp::settle());
  ASSERT_TRUE(source.start());  // polled by hand: no worker takes the events first
  ASSERT_TRUE(zephtest::wait_until([&] { return source.device_count() == 1; }));
  source.poll();  // the arrival of 2001, if the start did not take it already
  ASSERT_NE(only_device(), nullptr);
  std::string first = instance;

  standin::usbbus::unplug(first);
  plug("2002");
  ASSERT_TRUE(standin::pnp::settle());
  ASSERT_TRUE(zephtest::wait_until([&] {
    auto names = listed(*api.get());
    return names.size() == 1 && names[0].find("2002") != std::string::npos;
  }));
  size_t added = log.count(keelmon::change_added);
  source.poll();
  EXPECT_EQ(log.count(keelmon::change_added), added + 1);
  EXPECT_EQ(log.count(keelmon::change_removed), 1u);
  ASSERT_NE(only_device(), nullptr);
  EXPECT_EQ(only_device()->serial_number(), "2002");
  EXPECT_EQ(r.gone_products_, std::vector<std::string>{"Zeph instrument"});
  EXPECT_TRUE(source.stop());
}

LRESULT CALLBACK answer_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_USER) return 42;
  return DefWindowProcA(h, m, w, l);
}

// A listener on the worker sends to a window of the thread that waits for the monitor's lock: the
// waiting thread answers, so neither waits for the other for ever.
TEST_F(InstrumentSource, ListenerMaySendToAThreadWaitingForTheLock) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = answer_proc;
  wc.lpszClassName = "CoreTestAnswer";
  ASSERT_TRUE(RegisterClassA(&wc));
  HWND target = CreateWindowExA(0, "CoreTestAnswer", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(target, nullptr);
  std::atomic<LRESULT> answered{0};
  r.on_change_hook = [&](const change_record&) {
    if (GetCurrentThreadId() != monitor->worker_id()) return;
    Sleep(50);  // the test thread is waiting for the lock by now
    answered = SendMessageA(target, WM_USER, 0, 0);
  };
  ASSERT_TRUE(monitor->start());
  plug("3001");
  // Only the lock's own waits run here: no pumping by the test.
  EXPECT_TRUE(zephtest::wait_until([&] {
    monitor->device_count();
    return answered.load() == 42;
  }));
  EXPECT_TRUE(monitor->stop());
  DestroyWindow(target);
  UnregisterClassA("CoreTestAnswer", nullptr);
}

}  // namespace

namespace {

// A worker held up by a slow listener past the stop's wait: the stop reports it, still stops the sources,
// and the worker, once free, neither polls nor restarts them.
TEST_F(InstrumentSource, StopThatCannotEndTheWorkerInTimeStillStopsTheSources) {
  zephtest::flag in_listener;
  r.on_change_hook = [&](const change_record&) {
    if (GetCurrentThreadId() != monitor->worker_id()) return;
    in_listener.set();
    Sleep(device_monitor::stop_wait_ms + 300);  // a listener slower than the stop's wait
  };
  ASSERT_TRUE(monitor->start());
  plug("4001");
  ASSERT_TRUE(in_listener.wait());
  EXPECT_FALSE(monitor->stop());
  notification_source& source = *monitor->sources().front();
  EXPECT_FALSE(source.started());
  EXPECT_TRUE(monitor->stopping());
  ASSERT_TRUE(zephtest::wait_until([&] { return !monitor->running(); }));
  EXPECT_FALSE(source.started());
  // Once it has ended, a new start makes a new worker.
  r.on_change_hook = nullptr;
  ASSERT_TRUE(monitor->start());
  EXPECT_TRUE(source.started());
  EXPECT_TRUE(zephtest::wait_until([&] { return monitor->running(); }));
  EXPECT_TRUE(monitor->stop());
}

}  // namespace
