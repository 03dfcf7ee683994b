#include <w32cpp/waitable.h>

#include <standin/clock.h>
#include <standin/thread.h>

#include <gtest/gtest.h>

#include <atomic>

#include "thread_helpers.h"
#include "zephtest/wait.h"

using namespace w32cpp;
using w32t::count_apc;
using w32t::join;
using w32t::run_thread;

namespace {

class Waits : public ::testing::Test {
protected:
  void TearDown() override { standin::clock::reset(); }
};

struct timed_result {
  std::atomic<DWORD> code{0xDEADu};
  std::atomic<DWORD> elapsed{0};
  std::atomic<bool> done{false};
};

// Queues APCs to `target` until `done`, pausing `pause_ms` between them. An alertable wait runs every
// APC queued meanwhile too, so an unpaced storm would keep a single wait call from ever returning.
HANDLE start_storm(HANDLE target, std::atomic<bool> *done, std::atomic<int> *ran, DWORD pause_ms) {
  return run_thread([=] {
    while (!done->load()) {
      QueueUserAPC(&count_apc, target, reinterpret_cast<ULONG_PTR>(ran));
      Sleep(pause_ms);
    }
  });
}

// A thread that waits wait_for(ms) on an unsignalled event and reports result and duration.
HANDLE start_deadline_waiter(DWORD ms, timed_result *out, HANDLE go) {
  return run_thread([=] {
    WaitForSingleObject(go, zephtest::deadline_ms);
    waitable_signal never;
    const DWORD start = GetTickCount();
    const status_wait r = never.wait_for(ms);
    out->elapsed = GetTickCount() - start;
    out->code = r.get_code();
    out->done = true;
    SleepEx(0, TRUE); // APCs queued after the end
  });
}

} // namespace

TEST_F(Waits, ZeroWaitOnUnsignalledTimesOutAtOnce) {
  waitable_signal s;
  const DWORD start = GetTickCount();
  EXPECT_EQ(s.wait_for(0).get_code(), WAIT_TIMEOUT);
  EXPECT_LT(GetTickCount() - start, 1000u);
}

TEST_F(Waits, ApcStormDuringDeadlineWaitKeepsTheDeadline) {
  timed_result result;
  std::atomic<int> ran{0};
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE waiter = start_deadline_waiter(1000, &result, go);
  ASSERT_NE(waiter, nullptr);
  HANDLE storm = start_storm(waiter, &result.done, &ran, 5);
  SetEvent(go);
  ASSERT_TRUE(join(waiter));
  ASSERT_TRUE(join(storm));
  CloseHandle(go);

  EXPECT_EQ(result.code.load(), WAIT_TIMEOUT);
  EXPECT_GE(result.elapsed.load(), 990u);
  EXPECT_LT(result.elapsed.load(), 5000u);
  EXPECT_GT(ran.load(), 20);
}

TEST_F(Waits, DeadlineHoldsAcrossTheTickWrap) {
  timed_result result;
  std::atomic<int> ran{0};
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE waiter = start_deadline_waiter(600, &result, go);
  HANDLE storm = start_storm(waiter, &result.done, &ran, 20);
  standin::clock::set_tick_count(0xFFFFFFFFu - 200);
  SetEvent(go);
  ASSERT_TRUE(join(waiter));
  ASSERT_TRUE(join(storm));
  CloseHandle(go);
  EXPECT_EQ(result.code.load(), WAIT_TIMEOUT);
  EXPECT_GE(result.elapsed.load(), 590u);
  EXPECT_LT(result.elapsed.load(), 5000u);
  EXPECT_GT(ran.load(), 3);
  EXPECT_LT(GetTickCount(), 0x80000000u); // the wait did cross the wrap
}

TEST_F(Waits, FiniteDeadlineEndingOnTheLastTickIsNotInfinite) {
  // tick + ms lands exactly on 0xFFFFFFFF (INFINITE).
  timed_result result;
  std::atomic<int> ran{0};
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE waiter = run_thread([&] {
    WaitForSingleObject(go, zephtest::deadline_ms);
    waitable_signal never;
    standin::clock::set_tick_count(0xFFFFFFFFu - 300);
    const status_wait r = never.wait_for(300);
    result.code = r.get_code();
    result.done = true;
    SleepEx(0, TRUE);
  });
  HANDLE storm = start_storm(waiter, &result.done, &ran, 10);
  SetEvent(go);
  ASSERT_TRUE(join(waiter, 10000)) << "the wait did not end";
  ASSERT_TRUE(join(storm));
  CloseHandle(go);
  EXPECT_EQ(result.code.load(), WAIT_TIMEOUT);
}

TEST_F(Waits, InfiniteWaitGoesOnAfterAnApc) {
  waitable_signal signal;
  std::atomic<int> ran{0};
  std::atomic<DWORD> code{0xDEADu};
  HANDLE waiter = run_thread([&] { code = signal.wait_for(INFINITE).get_code(); });
  // The wait without limit is what is checked here: one that does not end by the signal below is
  // ended by the watchdog.
  zephtest::watchdog dog([&] {
    ADD_FAILURE() << "the wait without limit did not end";
    signal.set();
  });
  ASSERT_TRUE(standin::thread::wait_until_blocked(waiter, 10000));
  QueueUserAPC(&count_apc, waiter, reinterpret_cast<ULONG_PTR>(&ran));
  // The APC runs, then the thread waits again.
  ASSERT_TRUE(zephtest::wait_until([&] { return ran.load() != 0; }));
  ASSERT_EQ(ran.load(), 1);
  ASSERT_TRUE(standin::thread::wait_until_blocked(waiter, 10000));
  EXPECT_EQ(WaitForSingleObject(waiter, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  signal.set();
  ASSERT_TRUE(join(waiter));
  EXPECT_EQ(code.load(), 0u);
}

TEST_F(Waits, SignalledObjectWinsOverQueuedApcsAndPlainWaitsLeaveThemQueued) {
  waitable_signal go(FALSE);
  waitable_signal target(FALSE);
  std::atomic<int> ran{0};
  std::atomic<DWORD> first{0xDEADu}, plain{0xDEADu};
  std::atomic<int> ran_after_waits{-1};
  std::atomic<DWORD> slept{0xDEADu};
  HANDLE t = run_thread([&] {
    go.wait(zephtest::deadline_ms, FALSE);
    plain = waitable_signal().wait(20, FALSE).get_code(); // not alertable: nothing runs
    first = target.wait_for(1000).get_code();             // signalled: returns before any APC
    ran_after_waits = ran.load();
    slept = SleepEx(0, TRUE);
  });
  ASSERT_TRUE(standin::thread::wait_until_blocked(t, 10000));
  for (int i = 0; i < 3; ++i)
    QueueUserAPC(&count_apc, t, reinterpret_cast<ULONG_PTR>(&ran));
  EXPECT_EQ(standin::thread::queued_apcs(t), 3u);
  EXPECT_EQ(ran.load(), 0); // the first wait is not alertable
  target.set();
  go.set();
  ASSERT_TRUE(join(t));
  EXPECT_EQ(plain.load(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(first.load(), 0u);
  EXPECT_EQ(ran_after_waits.load(), 0);
  EXPECT_EQ(slept.load(), static_cast<DWORD>(WAIT_IO_COMPLETION));
  EXPECT_EQ(ran.load(), 3);
}

TEST_F(Waits, ManualSignalSatisfiesEveryWaitAutoEventOne) {
  waitable_signal manual(TRUE);
  EXPECT_EQ(manual.wait_for(0).get_code(), 0u);
  EXPECT_EQ(manual.wait_for(0).get_code(), 0u);
  EXPECT_TRUE(manual.reset().succeeded());
  EXPECT_EQ(manual.wait_for(0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));

  waitable_event once(TRUE);
  EXPECT_EQ(once.wait_for(0).get_code(), 0u);
  EXPECT_EQ(once.wait_for(0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(once.set().succeeded());
  EXPECT_EQ(once.wait(0, FALSE).get_code(), 0u);
}

TEST_F(Waits, TimerFiresAtOnceThenEveryPeriod) {
  waitable_timer timer;
  ASSERT_TRUE(timer.is_valid());
  // Due time 0 lies in the past: the first signal comes long before the first period ends.
  ASSERT_TRUE(timer.set(0, 60000).succeeded());
  EXPECT_EQ(timer.wait_for(2000).get_code(), 0u);
  EXPECT_EQ(timer.wait_for(50).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_TRUE(timer.set(0, 30).succeeded());
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(timer.wait_for(5000).get_code(), 0u) << i;
  EXPECT_TRUE(timer.cancel().succeeded());
  EXPECT_EQ(timer.wait_for(100).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_TRUE(timer.set(-10 * 10000LL, 0).succeeded()); // once, 10 ms from now
  EXPECT_EQ(timer.wait_for(5000).get_code(), 0u);
  EXPECT_EQ(timer.wait_for(100).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(Waits, TimerCopiesShareOnePeriod) {
  waitable_timer timer;
  ASSERT_TRUE(timer.set(0, 20).succeeded());
  {
    waitable_timer copy(timer);
    EXPECT_EQ(copy.raw_handle(), timer.raw_handle());
  } // not the last holder: the period goes on
  EXPECT_EQ(timer.wait_for(5000).get_code(), 0u);
  EXPECT_EQ(timer.wait_for(5000).get_code(), 0u);
}

TEST_F(Waits, WaitableWithoutHandleFails) {
  waitable empty;
  EXPECT_FALSE(empty.is_valid());
  EXPECT_EQ(empty.wait(0, FALSE).get_code(), WAIT_FAILED);
  EXPECT_EQ(empty.wait_for(10).get_code(), WAIT_FAILED);

  waitable_signal s;
  EXPECT_TRUE(s.is_valid());
  EXPECT_TRUE(s.close_holder().succeeded());
  EXPECT_FALSE(s.is_valid());
  s.reset_handle(nullptr);
  EXPECT_FALSE(s.is_valid());
  EXPECT_EQ(s.wait_for(0).get_code(), WAIT_FAILED);
}
