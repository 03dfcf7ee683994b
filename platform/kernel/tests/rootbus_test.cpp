// The root bus and the device states the PnP manager reports, with the test driver bound to the root
// devices: unplugs that come before the PnP thread made the device node, and states read while devices
// arrive.
#include <gtest/gtest.h>
#include <standin/pnp.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zephtest/wait.h"

namespace {

namespace sp = standin::pnp;

class RootBus : public ::testing::Test {
 protected:
  void SetUp() override { sp::install_driver("WbTest", WB_TESTDRV_PATH, {"WBTEST\\DEV"}); }
  void TearDown() override { EXPECT_TRUE(sp::settle()); }
};

// A storm of plugs, each unplugged at once: no unplug is lost to a node the PnP thread has yet to make.
TEST_F(RootBus, UnplugRightAfterThePlugIsNeverLost) {
  std::vector<std::string> made;
  for (int i = 0; i < 30; ++i) {
    made.push_back(sp::add_root_device("WBTEST\\DEV", "storm" + std::to_string(i)));
    EXPECT_TRUE(sp::unplug_root_device(made.back())) << made.back();
  }
  ASSERT_TRUE(sp::settle());
  for (const std::string& instance : made) EXPECT_EQ(sp::device_state(instance), "absent") << instance;

  // An unplug of a device that is not plugged is refused, not dropped.
  EXPECT_FALSE(sp::unplug_root_device(made.front()));
  EXPECT_FALSE(sp::unplug_root_device("ROOT\\WBTEST_DEV\\never"));
  const std::string removed = sp::add_root_device("WBTEST\\DEV", "removed");
  ASSERT_TRUE(sp::settle());
  EXPECT_EQ(sp::device_state(removed), "started");
  EXPECT_EQ(sp::remove_device(removed, false), 0);
  EXPECT_FALSE(sp::unplug_root_device(removed));
}

// Device states polled from two threads while devices arrive and leave (ThreadSanitizer watches).
TEST_F(RootBus, StatesReadWhileDevicesArriveAndLeave) {
  std::mutex m;
  std::vector<std::string> made;
  std::atomic<bool> done{false};
  auto poll = [&] {
    while (!done.load()) {
      std::vector<std::string> now;
      {
        std::lock_guard<std::mutex> g(m);
        now = made;
      }
      for (const std::string& instance : now) sp::device_state(instance);
    }
  };
  std::thread a(poll), b(poll);
  for (int i = 0; i < 40; ++i) {
    const std::string instance = sp::add_root_device("WBTEST\\DEV", "poll" + std::to_string(i));
    std::lock_guard<std::mutex> g(m);
    made.push_back(instance);
  }
  EXPECT_TRUE(sp::settle());
  for (const std::string& instance : made) {
    EXPECT_EQ(sp::device_state(instance), "started") << instance;
    EXPECT_TRUE(sp::unplug_root_device(instance));
  }
  EXPECT_TRUE(sp::settle());
  done = true;
  zephtest::join(a);
  zephtest::join(b);
  for (const std::string& instance : made) EXPECT_EQ(sp::device_state(instance), "absent") << instance;
}

}  // namespace
