#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "manager_fixture.h"
#include "zephtest/wait.h"

namespace {

using namespace karnet_test;
using karnet::guid;

// Holds a device's removal walk until the test lets it go on.
struct removal_gate {
  removal_gate()
      : started(CreateEventA(nullptr, TRUE, FALSE, nullptr)), release(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~removal_gate() {
    CloseHandle(started);
    CloseHandle(release);
  }
  void run() {
    SetEvent(started);
    WaitForSingleObject(release, 10000);
    // Gives the other thread time to reach the session's destructor.
    Sleep(20);
  }
  HANDLE started;
  HANDLE release;
};

TEST_F(ManagerTest, SessionDestroyedWhileItsDeviceIsBeingRemoved) {
  usb->plug("dev-1", class_a);
  usb->start();
  karnet::io_device_interface device = manager().device_interfaces(guid(class_a)).front();
  removal_gate gate;
  auto cb = w32cpp::make_member_callback<removal_gate>(&gate, &removal_gate::run);
  device.removal_listeners().add(cb);  // runs before the session's own subscriber
  auto* session = new karnet::io_session(manager().create_session(device));
  ASSERT_TRUE(session->is_open());

  std::thread remover([this] {
    usb->unplug("dev-1");
    usb->leave(class_a);
  });
  ASSERT_EQ(WaitForSingleObject(gate.started, 10000), WAIT_OBJECT_0);
  SetEvent(gate.release);
  delete session;
  zephtest::join(remover);
  EXPECT_EQ(usb->closes("dev-1"), 1);
  EXPECT_FALSE(device.attached());
}

TEST_F(ManagerTest, SessionsComeAndGoWhileDevicesArriveAndLeave) {
  usb->plug("dev-1", class_a);
  usb->start();
  manager().device_interfaces(guid(class_a));
  std::atomic<bool> done{false};

  std::thread plugger([&] {
    for (int i = 0; i < 100; ++i) {
      usb->unplug("dev-1");
      usb->leave(class_a);
      usb->plug("dev-1", class_a);
      usb->arrive(class_a);
    }
    done = true;
  });
  std::thread opener([&] {
    while (!done) {
      karnet::interface_list list = manager().device_interfaces(guid(class_a));
      if (list.empty()) continue;
      karnet::io_session s = manager().create_session(list.front());
      karnet::io_read op = s.read_of_size(16, false);
      s.submit_read(op);
      s.cancel();
    }
  });
  std::thread reader([&] {
    while (!done) {
      karnet::interface_list list = manager().device_interfaces(guid(class_a));
      for (const karnet::io_device_interface& d : list) {
        karnet::io_device_interface copy(d);
        (void)copy.name();
        (void)copy.description();
        (void)copy.session_count();
        karnet::io_device_interface other;
        other = copy;
      }
    }
  });
  zephtest::join(plugger);
  zephtest::join(opener);
  zephtest::join(reader);
  usb->complete_all(ERROR_OPERATION_ABORTED);
  // Every handle a session opened is closed once, whatever the device did meanwhile.
  EXPECT_TRUE(zephtest::wait_until([&] { return usb->opened("dev-1") == usb->closes("dev-1"); }))
      << usb->opened("dev-1") << " opened, " << usb->closes("dev-1") << " closed";
}

TEST_F(ManagerTest, NoticesDuringUnregisterAndRegisterDoNotDeadlock) {
  usb->plug("dev-1", class_a);
  usb->start();
  manager().device_interfaces(guid(class_a));
  std::atomic<bool> done{false};
  std::thread notifier([&] {
    while (!done) {
      usb->unplug("dev-1");
      usb->leave(class_a);
      usb->plug("dev-1", class_a);
      usb->arrive(class_a);
    }
  });
  for (int i = 0; i < 50; ++i) {
    usb->stop();
    usb->start();
  }
  done = true;
  zephtest::join(notifier);
  usb->plug("dev-1", class_a);
  usb->arrive(class_a);
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), std::vector<std::string>{"dev-1"});
}

TEST_F(ManagerTest, DisposalStartedAndStoppedFromTwoThreads) {
  usb->plug("dev-1", class_a);
  usb->start();
  karnet::io_session s = manager().create_session(manager().device_interfaces(guid(class_a)).front());
  ASSERT_TRUE(s.is_open());
  // Outlives the manager, which may still hold blocks of it when the test ends.
  static watched_heap heap;
  std::atomic<bool> done{false};
  std::thread discarder([&] {
    for (int i = 0; i < 200; ++i) {
      karnet::io_read op = s.read_on_block(ostrel::mem_block(8, 8, &heap, false));
      s.submit_read(op);
      if (i % 2) usb->complete_all(0);
    }
    done = true;
  });
  std::thread stopper([&] {
    while (!done) manager().shutdown();
  });
  zephtest::join(discarder);
  zephtest::join(stopper);
  usb->complete_all(0);

  const int before = heap.frees;
  {
    karnet::io_read op = s.read_on_block(ostrel::mem_block(8, 8, &heap, false));
    s.submit_read(op);
  }
  usb->complete_all(0);
  EXPECT_TRUE(heap.wait_frees(before + 1));
  manager().shutdown();
}

}  // namespace
