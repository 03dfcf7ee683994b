// Handles, events, mutexes, waits, APCs and the clock.
#include "zephtest/wait.h"
#include <gtest/gtest.h>
#include <standin/clock.h>
#include <standin/thread.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

using testutil::handle;

namespace {

struct ClockReset : ::testing::Test {
  void TearDown() override { standin::clock::reset(); }
};

// ---- handles and events ---------------------------------------------------------------

TEST(Handles, InvalidAndClosedHandlesFailWithInvalidHandle) {
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(SetEvent(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(e) % 4, 0u);
  EXPECT_TRUE(CloseHandle(e));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(SetEvent(e));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
}

TEST(Handles, OperationOnObjectOfAnotherTypeFails) {
  handle m(CreateMutexA(nullptr, FALSE, nullptr));
  SetLastError(0);
  EXPECT_FALSE(SetEvent(m));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Handles, LastErrorIsPerThread) {
  SetLastError(1234);
  zephtest::join(std::thread([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(99);
  }));
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Events, ManualResetSatisfiesEveryWaitUntilReset) {
  handle e(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Events, AutoResetReleasesExactlyOneWaiterPerSet) {
  handle e(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (WaitForSingleObject(e, 10000) == WAIT_OBJECT_0) ++released;
  };
  std::thread a(waiter), b(waiter);
  EXPECT_TRUE(SetEvent(e));
  ASSERT_TRUE(testutil::eventually([&] { return released.load() == 1; }));
  // The one set was consumed: a third waiter does not get through.
  EXPECT_EQ(WaitForSingleObject(e, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(released.load(), 1);
  EXPECT_TRUE(SetEvent(e));
  zephtest::join(a);
  zephtest::join(b);
  EXPECT_EQ(released.load(), 2);
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Events, NamedEventsShareOneObject) {
  handle a(CreateEventA(nullptr, TRUE, FALSE, "wt-named-event"));
  ASSERT_NE(a.h, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  handle b(CreateEventA(nullptr, TRUE, FALSE, "wt-named-event"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  handle c(OpenEventA(EVENT_ALL_ACCESS, FALSE, "wt-named-event"));
  ASSERT_NE(c.h, nullptr);
  EXPECT_TRUE(SetEvent(b));
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_OBJECT_0);
  // Names are case-sensitive.
  SetLastError(0);
  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "WT-NAMED-EVENT"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Events, EmptyNameMakesAnUnnamedObject) {
  handle a(CreateEventA(nullptr, TRUE, TRUE, ""));
  handle b(CreateEventA(nullptr, TRUE, FALSE, ""));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Events, NameTakenByAnotherTypeFails) {
  handle m(CreateMutexA(nullptr, FALSE, "wt-taken"));
  SetLastError(0);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "wt-taken"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Events, LastCloseRemovesTheName) {
  HANDLE a = CreateEventA(nullptr, TRUE, TRUE, "wt-gone");
  CloseHandle(a);
  handle b(CreateEventA(nullptr, TRUE, FALSE, "wt-gone"));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // a new object
}

// ---- mutexes --------------------------------------------------------------------------

TEST(Mutexes, NamedMutexReportsAlreadyExistsAndExcludesOtherThreads) {
  handle a(CreateMutexA(nullptr, TRUE, "wt-app-mutex"));
  ASSERT_NE(a.h, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  handle b(CreateMutexA(nullptr, TRUE, "wt-app-mutex"));
  ASSERT_NE(b.h, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  // Owned (once by creation; the second create did not take it again), so another thread waits.
  DWORD other = 0;
  zephtest::join(std::thread([&] { other = WaitForSingleObject(b, 0); }));
  EXPECT_EQ(other, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(ReleaseMutex(a));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(a));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  zephtest::join(std::thread([&] {
    other = WaitForSingleObject(b, 0);
    ReleaseMutex(b);
  }));
  EXPECT_EQ(other, WAIT_OBJECT_0);
}

TEST(Mutexes, OwnerMayWaitRecursivelyAndMustReleaseAsOften) {
  handle m(CreateMutexA(nullptr, FALSE, nullptr));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
  DWORD other = 0;
  zephtest::join(std::thread([&] { other = WaitForSingleObject(m, 0); }));
  EXPECT_EQ(other, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(ReleaseMutex(m));
  zephtest::join(std::thread([&] {
    other = WaitForSingleObject(m, 0);
    ReleaseMutex(m);
  }));
  EXPECT_EQ(other, WAIT_OBJECT_0);
}

TEST(Mutexes, MutexOfAnEndedThreadIsAbandoned) {
  handle m(CreateMutexA(nullptr, FALSE, nullptr));
  zephtest::join(std::thread([&] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); }));
  EXPECT_EQ(WaitForSingleObject(m, 1000), static_cast<DWORD>(WAIT_ABANDONED_0));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
}

// ---- waiting on several objects -------------------------------------------------------

TEST(MultipleObjects, WaitAnyReturnsTheLowestSignalledIndex) {
  handle a(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  handle b(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  handle c(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  HANDLE hs[] = {a, b, c};
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 1);
  SetEvent(a);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0);
}

TEST(MultipleObjects, WaitAllTakesNothingUntilEverythingIsSignalled) {
  handle a(CreateEventA(nullptr, FALSE, TRUE, nullptr));  // auto-reset, set
  handle b(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  HANDLE hs[] = {a, b};
  EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, 10), static_cast<DWORD>(WAIT_TIMEOUT));
  // The auto-reset event was not consumed by the failed wait-all.
  std::thread setter([&] { SetEvent(b); });
  EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, 10000), WAIT_OBJECT_0);
  zephtest::join(setter);
  EXPECT_EQ(WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// Blocked waiters get an auto-reset event in the order they began waiting, one per set, and a
// blocked wait-all takes nothing from an object until all of its objects are signalled: then the
// setter hands everything over at once, and a wait-any blocked on the same object loses nothing.
TEST(MultipleObjects, SetHandsTheObjectToTheFirstWaiterWhoseWaitItMeets) {
  handle e(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  handle other(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  std::vector<int> order;
  std::mutex m;
  std::vector<std::thread> threads;
  std::vector<HANDLE> ids;
  for (int i = 0; i < 3; ++i) {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE me = nullptr;
    threads.emplace_back([&, i, ready, &me_out = me] {
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &me_out, 0, FALSE, 0);
      SetEvent(ready);
      if (i == 0) {
        // The first in line waits for both: the sets alone do not meet its wait.
        HANDLE both[] = {e, other};
        EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 20000), WAIT_OBJECT_0);
      } else {
        EXPECT_EQ(WaitForSingleObject(e, 20000), WAIT_OBJECT_0);
      }
      std::lock_guard<std::mutex> g(m);
      order.push_back(i);
    });
    ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
    CloseHandle(ready);
    ASSERT_TRUE(standin::thread::wait_until_blocked(me, 20000));
    ids.push_back(me);
  }
  auto taken = [&](size_t n) {
    return testutil::eventually([&] {
      std::lock_guard<std::mutex> g(m);
      return order.size() == n;
    });
  };
  ASSERT_TRUE(SetEvent(e));
  ASSERT_TRUE(taken(1));
  ASSERT_TRUE(SetEvent(e));
  ASSERT_TRUE(taken(2));
  // Both single waiters have had theirs; the wait-all is still blocked and took nothing.
  ASSERT_TRUE(SetEvent(e));
  ASSERT_TRUE(standin::thread::wait_until_blocked(ids[0], 20000));
  ASSERT_TRUE(SetEvent(other));
  ASSERT_TRUE(taken(3));
  for (auto &t : threads) zephtest::join(t);
  for (HANDLE h : ids) CloseHandle(h);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 0}));
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(other, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// Lookups racing with the close of the same handle either get the object or fail cleanly.
TEST(Handles, LookupsRacingACloseNeverReachAFreedObject) {
  for (int round = 0; round < 200; ++round) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> go{false};
    std::atomic<int> ok{0}, failed{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t)
      users.emplace_back([&] {
        EXPECT_TRUE(zephtest::wait_until([&] { return go.load(); }, zephtest::default_deadline, std::chrono::milliseconds(0)));
        for (int i = 0; i < 50; ++i) {
          if (SetEvent(e)) {
            ++ok;
          } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
            ++failed;
          }
        }
      });
    go.store(true);
    EXPECT_TRUE(CloseHandle(e));
    for (auto &t : users) zephtest::join(t);
    EXPECT_EQ(ok.load() + failed.load(), 150);
    EXPECT_FALSE(SetEvent(e));
  }
}

TEST(MultipleObjects, BadArgumentsFail) {
  handle a(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  HANDLE twice[] = {a, a};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
  HANDLE bad[] = {a, nullptr};
  EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- APCs -----------------------------------------------------------------------------

std::vector<int> *g_order = nullptr;
void CALLBACK record_apc(ULONG_PTR v) { g_order->push_back(static_cast<int>(v)); }
void CALLBACK chain_apc(ULONG_PTR v) {
  g_order->push_back(static_cast<int>(v));
  if (v < 3) QueueUserAPC(chain_apc, GetCurrentThread(), v + 1);
}

struct Apcs : ::testing::Test {
  std::vector<int> order;
  void SetUp() override { g_order = &order; }
  void TearDown() override {
    SleepEx(0, TRUE);  // leave no APC behind for the next test
    g_order = nullptr;
  }
};

TEST_F(Apcs, RunFifoInAnAlertableSleepWhichReturnsIoCompletion) {
  for (int i = 1; i <= 3; ++i) ASSERT_NE(QueueUserAPC(record_apc, GetCurrentThread(), i), 0u);
  EXPECT_TRUE(order.empty());  // nothing runs before an alertable wait
  EXPECT_EQ(SleepEx(zephtest::deadline_ms, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(SleepEx(0, TRUE), 0u);  // none left
}

TEST_F(Apcs, ApcsQueuedWhileRunningRunInTheSameWait) {
  QueueUserAPC(chain_apc, GetCurrentThread(), 1);
  handle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(WaitForSingleObjectEx(e, zephtest::deadline_ms, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(Apcs, SignalledObjectWinsOverQueuedApcs) {
  handle e(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  QueueUserAPC(record_apc, GetCurrentThread(), 7);
  EXPECT_EQ(WaitForSingleObjectEx(e, zephtest::deadline_ms, TRUE), WAIT_OBJECT_0);
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(standin::thread::queued_apcs(GetCurrentThread()), 1u);
  HANDLE hs[] = {e};
  EXPECT_EQ(WaitForMultipleObjectsEx(1, hs, FALSE, 0, TRUE), WAIT_OBJECT_0);
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(SleepEx(0, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
  EXPECT_EQ(order, (std::vector<int>{7}));
}

TEST_F(Apcs, NonAlertableWaitsLeaveApcsQueued) {
  handle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  QueueUserAPC(record_apc, GetCurrentThread(), 5);
  EXPECT_EQ(WaitForSingleObject(e, 10), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObjectEx(e, 10, FALSE), static_cast<DWORD>(WAIT_TIMEOUT));
  Sleep(5);
  EXPECT_EQ(SleepEx(5, FALSE), 0u);
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(standin::thread::queued_apcs(GetCurrentThread()), 1u);
  EXPECT_EQ(SleepEx(10000, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
  EXPECT_EQ(order, (std::vector<int>{5}));
}

TEST_F(Apcs, AlertableSleepWithoutApcsLastsItsTime) {
  DWORD t0 = GetTickCount();
  EXPECT_EQ(SleepEx(30, TRUE), 0u);
  EXPECT_GE(GetTickCount() - t0, 29u);
}

DWORD g_apc_thread = 0;
void CALLBACK note_thread_apc(ULONG_PTR) { g_apc_thread = GetCurrentThreadId(); }

TEST(ApcsAcrossThreads, QueuedApcWakesABlockedAlertableWaitOnItsOwnThread) {
  handle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::atomic<DWORD> result{0}, id{0};
  HANDLE th = nullptr;
  std::atomic<bool> ready{false};
  std::thread t([&] {
    // A thread the platform did not create gets its state on first use.
    id = GetCurrentThreadId();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &th, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    ready = true;
    result = WaitForSingleObjectEx(e, INFINITE, TRUE);
  });
  // The wait without limit is what is checked here: one the APC does not end, the event ends.
  zephtest::watchdog dog([&] {
    ADD_FAILURE() << "the APC did not end the wait";
    SetEvent(e);
  });
  ASSERT_TRUE(testutil::eventually([&] { return ready.load(); }));
  ASSERT_TRUE(standin::thread::wait_until_blocked(th, 5000));
  EXPECT_TRUE(standin::thread::is_alertable_blocked(th));
  ASSERT_NE(QueueUserAPC(note_thread_apc, th, 0), 0u);
  zephtest::join(t, 2 * zephtest::default_deadline);  // the watchdog ends the wait first
  dog.disarm();
  EXPECT_EQ(result.load(), static_cast<DWORD>(WAIT_IO_COMPLETION));
  EXPECT_EQ(g_apc_thread, id.load());
  EXPECT_NE(id.load(), GetCurrentThreadId());
  // The ended thread's handle is signalled; APCs can no longer be queued to it.
  EXPECT_EQ(WaitForSingleObject(th, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(QueueUserAPC(note_thread_apc, th, 0), 0u);
  CloseHandle(th);
}

TEST(ApcsAcrossThreads, ApcStormDoesNotCutADeadlineWaitShort) {
  // A deadline wait built the usual way (re-wait on WAIT_IO_COMPLETION) still ends by time-out.
  handle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  HANDLE th = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &th, 0, FALSE, 0);
  std::atomic<bool> stop{false};
  std::atomic<int> ran{0};
  static std::atomic<int> *s_ran;
  s_ran = &ran;
  std::thread storm([&] {
    while (!stop) {
      QueueUserAPC([](ULONG_PTR) { ++*s_ran; }, th, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  DWORD start = GetTickCount(), deadline = start + 200, r;
  DWORD remaining = 200;
  int interrupted = 0;
  while ((r = WaitForSingleObjectEx(e, remaining, TRUE)) == WAIT_IO_COMPLETION) {
    ++interrupted;
    DWORD now = GetTickCount();
    remaining = static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
  }
  stop = true;
  zephtest::join(storm);
  SleepEx(0, TRUE);
  EXPECT_EQ(r, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_GT(interrupted, 0);
  EXPECT_GE(GetTickCount() - start, 199u);
  CloseHandle(th);
}

// ---- clock ----------------------------------------------------------------------------

TEST_F(ClockReset, TickCountWrapsAt32Bits) {
  standin::clock::set_tick_count(0xFFFFFFFFu - 20);
  DWORD before = GetTickCount();
  EXPECT_GE(before, 0xFFFFFFFFu - 20);
  Sleep(50);
  DWORD after = GetTickCount();
  EXPECT_LT(after, 1000u);                 // wrapped
  EXPECT_GE(after - before, 50u);          // unsigned difference stays right across the wrap
  EXPECT_LT(after - before, 5000u);
}

TEST_F(ClockReset, LongWaitsAreScaledShortOnesAreNot) {
  standin::clock::set_long_wait_scale(0.01);
  EXPECT_EQ(standin::clock::scaled(60000), 600u);
  EXPECT_EQ(standin::clock::scaled(5000), 50u);
  EXPECT_EQ(standin::clock::scaled(4999), 4999u);
  EXPECT_EQ(standin::clock::scaled(1000), 1000u);
  EXPECT_EQ(standin::clock::scaled(INFINITE), INFINITE);
  handle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(e, 120000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(SleepEx(10000, TRUE), 0u);
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(1300));
  EXPECT_LT(took, std::chrono::seconds(60));  // far below the unscaled 130 s
}

// Waits the usual deadline way (re-wait with the time left after WAIT_IO_COMPLETION) and returns the
// real time it took; `apc_every_ms` paces APCs queued to the waiting thread meanwhile (0: one APC only).
std::chrono::milliseconds deadline_wait_under_apcs(DWORD ms, int apc_every_ms, DWORD *result) {
  handle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  HANDLE th = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &th, 0, FALSE, 0);
  std::atomic<bool> stop{false};
  std::thread storm([&] {
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(apc_every_ms ? apc_every_ms : 3));
      QueueUserAPC([](ULONG_PTR) {}, th, 0);
    } while (apc_every_ms && !stop);
  });
  const auto t0 = std::chrono::steady_clock::now();
  const DWORD start = GetTickCount();
  DWORD r, remaining = ms;
  while ((r = WaitForSingleObjectEx(e, remaining, TRUE)) == WAIT_IO_COMPLETION) {
    const DWORD elapsed = GetTickCount() - start;
    remaining = elapsed >= ms ? 0 : ms - elapsed;
  }
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  stop = true;
  zephtest::join(storm);
  SleepEx(0, TRUE);
  CloseHandle(th);
  *result = r;
  return took;
}

TEST_F(ClockReset, ScaledDeadlineWaitCutShortByAnApcKeepsItsScaledEnd) {
  standin::clock::set_long_wait_scale(0.01);
  // The remainder after the APC (about 4990 ms) lies below the threshold: taken afresh it would
  // last almost the whole unscaled 5 s.
  DWORD r = 0;
  auto took = deadline_wait_under_apcs(5000, 0, &r);
  EXPECT_EQ(r, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_LT(took, std::chrono::milliseconds(2500));
}

TEST_F(ClockReset, ScaledDeadlineWaitUnderAnApcTrickleKeepsItsScaledEnd) {
  standin::clock::set_long_wait_scale(0.01);
  // 100 ms scaled; an APC every 5 ms would otherwise restart the scaled remainder each time.
  DWORD r = 0;
  auto took = deadline_wait_under_apcs(10000, 5, &r);
  EXPECT_EQ(r, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_GE(took, std::chrono::milliseconds(95));
  EXPECT_LT(took, std::chrono::milliseconds(5000));
}

TEST_F(ClockReset, TickOffsetDoesNotChangeWaitLengths) {
  standin::clock::set_tick_count(0xFFFFFFF0u);
  handle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(e, 40), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(39));
}

}  // namespace
