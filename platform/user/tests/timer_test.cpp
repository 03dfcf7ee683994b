// Waitable timers: due times, periods, completion APCs, cancel, names, last close, scaling.
#include <gtest/gtest.h>
#include <standin/clock.h>
#include <standin/thread.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "test_util.h"
#include "zephtest/wait.h"

using testutil::handle;

namespace {

LARGE_INTEGER relative_ms(LONGLONG ms) {
  LARGE_INTEGER d;
  d.QuadPart = -ms * 10000;
  return d;
}

LARGE_INTEGER absolute_in_ms(LONGLONG ms) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  LARGE_INTEGER d;
  d.QuadPart = ((static_cast<LONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) + ms * 10000;
  return d;
}

struct Timers : ::testing::Test {
  void TearDown() override {
    standin::clock::reset();
    SleepEx(0, TRUE);
  }
};

TEST_F(Timers, RelativeDueTimeAutoResetSignalsOnce) {
  handle t(CreateWaitableTimerA(nullptr, FALSE, nullptr));
  ASSERT_NE(t.h, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  LARGE_INTEGER due = relative_ms(20);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(SetWaitableTimer(t, &due, 0, nullptr, nullptr, FALSE));
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(19));
  EXPECT_EQ(WaitForSingleObject(t, 30), static_cast<DWORD>(WAIT_TIMEOUT));  // consumed, no period
}

TEST_F(Timers, ManualResetStaysSignalledUntilSetAgain) {
  handle t(CreateWaitableTimerA(nullptr, TRUE, nullptr));
  LARGE_INTEGER due = relative_ms(1);
  SetWaitableTimer(t, &due, 0, nullptr, nullptr, FALSE);
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
  due = relative_ms(60000);
  SetWaitableTimer(t, &due, 0, nullptr, nullptr, FALSE);  // setting resets the state
  EXPECT_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CancelWaitableTimer(t);
}

TEST_F(Timers, AbsoluteDueTimesInThePastFireAtOnce) {
  handle t(CreateWaitableTimerA(nullptr, TRUE, nullptr));
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  SetWaitableTimer(t, &zero, 0, nullptr, nullptr, FALSE);
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  LARGE_INTEGER soon = absolute_in_ms(30);
  auto t0 = std::chrono::steady_clock::now();
  SetWaitableTimer(t, &soon, 0, nullptr, nullptr, FALSE);
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
}

TEST_F(Timers, PeriodicTimerKeepsFiringUntilCancelled) {
  handle t(CreateWaitableTimerA(nullptr, FALSE, nullptr));
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  ASSERT_TRUE(SetWaitableTimer(t, &zero, 5, nullptr, nullptr, FALSE));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0) << i;
  EXPECT_TRUE(CancelWaitableTimer(t));
  WaitForSingleObject(t, 0);  // a tick that landed before the cancel
  EXPECT_EQ(WaitForSingleObject(t, 50), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(Timers, BadArgumentsFail) {
  handle t(CreateWaitableTimerA(nullptr, FALSE, nullptr));
  LARGE_INTEGER due = relative_ms(1);
  EXPECT_FALSE(SetWaitableTimer(t, &due, -1, nullptr, nullptr, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(SetWaitableTimer(nullptr, &due, 0, nullptr, nullptr, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  handle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  EXPECT_FALSE(SetWaitableTimer(e, &due, 0, nullptr, nullptr, FALSE));
  EXPECT_FALSE(CancelWaitableTimer(e));
}

struct completion_log {
  std::vector<DWORD> threads;
  std::vector<ULONGLONG> times;
  LPVOID arg = nullptr;
};

void CALLBACK on_timer(LPVOID arg, DWORD low, DWORD high) {
  auto *log = static_cast<completion_log *>(arg);
  log->threads.push_back(GetCurrentThreadId());
  log->times.push_back((static_cast<ULONGLONG>(high) << 32) | low);
  log->arg = arg;
}

TEST_F(Timers, CompletionRoutineRunsAsAnApcOnTheSettingThread) {
  completion_log log;
  handle t(CreateWaitableTimerA(nullptr, FALSE, nullptr));
  LARGE_INTEGER due = relative_ms(5);
  ASSERT_TRUE(SetWaitableTimer(t, &due, 0, on_timer, &log, FALSE));
  // A non-alertable wait sees the signal but does not run the routine.
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  ASSERT_TRUE(testutil::eventually([] { return standin::thread::queued_apcs(GetCurrentThread()) == 1; }));
  EXPECT_TRUE(log.threads.empty());
  EXPECT_EQ(SleepEx(zephtest::deadline_ms, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
  ASSERT_EQ(log.threads.size(), 1u);
  EXPECT_EQ(log.threads[0], GetCurrentThreadId());
  EXPECT_EQ(log.arg, &log);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULONGLONG n = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  EXPECT_LE(log.times[0], n);
  EXPECT_GT(log.times[0], n - 10ull * 10000000ull);  // a UTC file time of the last seconds
}

TEST_F(Timers, AtMostOneCompletionApcIsQueuedPerTimer) {
  completion_log log;
  handle t(CreateWaitableTimerA(nullptr, FALSE, nullptr));
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  ASSERT_TRUE(SetWaitableTimer(t, &zero, 20, on_timer, &log, FALSE));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(standin::thread::queued_apcs(GetCurrentThread()), 1u);
  EXPECT_EQ(SleepEx(0, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
  // Five firings ran one routine; a sixth may fire while it runs on a loaded machine.
  EXPECT_GE(log.threads.size(), 1u);
  EXPECT_LE(log.threads.size(), 2u);
  // The next period queues the next one.
  EXPECT_EQ(SleepEx(10000, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
  EXPECT_GE(log.threads.size(), 2u);
  CancelWaitableTimer(t);
}

TEST_F(Timers, CompletionRoutineGoesToTheThreadThatSetTheTimer) {
  completion_log log;
  handle t(CreateWaitableTimerA(nullptr, FALSE, nullptr));
  std::atomic<DWORD> setter_id{0}, wait_result{0};
  std::thread setter([&] {
    setter_id = GetCurrentThreadId();
    LARGE_INTEGER due = relative_ms(5);
    SetWaitableTimer(t, &due, 0, on_timer, &log, FALSE);
    wait_result = SleepEx(10000, TRUE);
  });
  zephtest::join(setter);
  EXPECT_EQ(wait_result.load(), static_cast<DWORD>(WAIT_IO_COMPLETION));
  ASSERT_EQ(log.threads.size(), 1u);
  EXPECT_EQ(log.threads[0], setter_id.load());
  EXPECT_EQ(standin::thread::queued_apcs(GetCurrentThread()), 0u);
}

TEST_F(Timers, CancelAndResetTakeBackAQueuedCompletion) {
  completion_log log;
  handle t(CreateWaitableTimerA(nullptr, TRUE, nullptr));
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  SetWaitableTimer(t, &zero, 0, on_timer, &log, FALSE);
  ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  ASSERT_TRUE(testutil::eventually([] { return standin::thread::queued_apcs(GetCurrentThread()) == 1; }));
  EXPECT_TRUE(CancelWaitableTimer(t));
  EXPECT_EQ(standin::thread::queued_apcs(GetCurrentThread()), 0u);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // cancel leaves the state as it was
  EXPECT_EQ(SleepEx(0, TRUE), 0u);
  EXPECT_TRUE(log.threads.empty());
}

TEST_F(Timers, ClosingTheLastHandleStopsTheTimerAndItsRoutine) {
  completion_log log;
  HANDLE t = CreateWaitableTimerA(nullptr, FALSE, nullptr);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  SetWaitableTimer(t, &zero, 1, on_timer, &log, FALSE);
  ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  CloseHandle(t);
  EXPECT_EQ(standin::thread::queued_apcs(GetCurrentThread()), 0u);
  EXPECT_EQ(SleepEx(30, TRUE), 0u);
  EXPECT_TRUE(log.threads.empty());
}

TEST_F(Timers, NamedTimersReopenTheSameObjectUntilTheLastClose) {
  HANDLE a = CreateWaitableTimerA(nullptr, TRUE, "tt-named");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE b = CreateWaitableTimerA(nullptr, TRUE, "tt-named");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  HANDLE c = OpenWaitableTimerA(TIMER_ALL_ACCESS, FALSE, "tt-named");
  ASSERT_NE(c, nullptr);
  LARGE_INTEGER due = relative_ms(1);
  SetWaitableTimer(b, &due, 0, nullptr, nullptr, FALSE);
  EXPECT_EQ(WaitForSingleObject(a, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_OBJECT_0);
  CloseHandle(a);
  CloseHandle(b);
  EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_OBJECT_0);  // alive through the last handle
  CloseHandle(c);
  SetLastError(0);
  EXPECT_EQ(OpenWaitableTimerA(TIMER_ALL_ACCESS, FALSE, "tt-named"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Timers, LongDueTimesAndPeriodsAreScaled) {
  standin::clock::set_long_wait_scale(0.002);
  handle t(CreateWaitableTimerA(nullptr, FALSE, nullptr));
  LARGE_INTEGER due = relative_ms(5000);  // 10 ms when scaled
  SetWaitableTimer(t, &due, 5000, nullptr, nullptr, FALSE);
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(WaitForSingleObject(t, 4000), WAIT_OBJECT_0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(12));  // not 15 s
  CancelWaitableTimer(t);
}

TEST_F(Timers, TimerOfAnEndedSettingThreadStops) {
  completion_log log;
  handle t(CreateWaitableTimerA(nullptr, FALSE, nullptr));
  zephtest::join(std::thread([&] {
    // Due well after the thread's exit, even a slow one under a sanitizer.
    LARGE_INTEGER due = relative_ms(300);
    SetWaitableTimer(t, &due, 1, on_timer, &log, FALSE);
  }));
  EXPECT_EQ(WaitForSingleObject(t, 600), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(log.threads.empty());
}

}  // namespace
