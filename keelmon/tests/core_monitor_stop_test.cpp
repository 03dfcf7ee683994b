// Stopping the device monitor while the worker's pass sends to a window of the stopping thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "core/device_monitor.h"
#include "zephtest/wait.h"

namespace {

using keelmon::device_monitor;
using keelmon::notification_source;

// Its first polling pass on the worker sends to `target` and waits for the answer, as a listener
// that updates the device list does.
class sending_source : public notification_source {
 public:
  sending_source(device_monitor& monitor, HWND target)
      : notification_source(kind_instrument_api, monitor), target_(target) {}
  bool start() override {
    started_ = true;
    return true;
  }
  void poll() override {
    if (sending.is_set()) return;
    sending.set();
    SendMessageA(target_, WM_NULL, 0, 0);
    answered = true;
  }
  bool stop() override {
    started_ = false;
    return purge();
  }
  int update(uint32_t) override { return 0; }

  zephtest::flag sending;
  std::atomic<bool> answered{false};

 private:
  HWND target_;
};

// The stop answers the worker's message while it waits, so the worker ends within the stop's wait and
// the stop succeeds; a plain wait would time out on the worker and report a failed stop.
TEST(MonitorStop, AnswersAWorkerThatSendsToTheStoppingThread) {
  // A window of this thread; the message needs only to be answered.
  HWND target = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(target, nullptr);
  {
    device_monitor monitor;
    auto owned = std::make_unique<sending_source>(monitor, target);
    sending_source& source = *owned;
    ASSERT_TRUE(monitor.add_source(std::move(owned)));
    ASSERT_TRUE(monitor.start());
    ASSERT_TRUE(source.sending.wait());
    EXPECT_TRUE(monitor.stop());
    EXPECT_TRUE(source.answered.load());
    EXPECT_FALSE(monitor.running());
    EXPECT_FALSE(source.started());
  }
  DestroyWindow(target);
}

}  // namespace
