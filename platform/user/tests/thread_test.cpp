// Thread lifecycle, suspension, priorities, APCs before start and the TerminateThread policy.
#include "zephtest/wait.h"
#include <gtest/gtest.h>
#include <process.h>
#include <standin/thread.h>
#include <windows.h>

#include <atomic>
#include <vector>

#include "test_util.h"

using testutil::handle;

namespace {

struct gate {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> stage{0};
  std::atomic<bool> after{false};
  ~gate() { CloseHandle(go); }
};

DWORD WINAPI wait_then_return_42(LPVOID p) {
  auto *g = static_cast<gate *>(p);
  g->stage = 1;
  WaitForSingleObject(g->go, zephtest::deadline_ms);
  return 42;
}

TEST(Threads, ExitCodeIsStillActiveUntilTheThreadReturnsThenItsHandleIsSignalled) {
  gate g;
  DWORD id = 0;
  handle t(CreateThread(nullptr, 0, wait_then_return_42, &g, 0, &id));
  ASSERT_NE(t.h, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(GetThreadId(t), id);
  ASSERT_TRUE(standin::thread::wait_until_blocked(t, 5000));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(g.go);
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
}

DWORD WINAPI mark_and_return_7(LPVOID p) {
  static_cast<gate *>(p)->stage = 1;
  return 7;
}

TEST(Threads, CreateSuspendedRunsOnlyWhenTheSuspendCountReachesZero) {
  gate g;
  handle t(CreateThread(nullptr, 0, mark_and_return_7, &g, CREATE_SUSPENDED, nullptr));
  ASSERT_NE(t.h, nullptr);
  EXPECT_EQ(SuspendThread(t), 1u);  // previous count
  EXPECT_EQ(ResumeThread(t), 2u);
  EXPECT_EQ(WaitForSingleObject(t, 30), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(g.stage.load(), 0);
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(g.stage.load(), 1);
  EXPECT_EQ(ResumeThread(t), 0u);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 7u);
}

DWORD WINAPI count_in_sleeps(LPVOID p) {
  auto *g = static_cast<gate *>(p);
  while (WaitForSingleObject(g->go, 1) == WAIT_TIMEOUT) ++g->stage;
  return 0;
}

TEST(Threads, SuspendingARunningThreadHoldsItAtItsNextPlatformWait) {
  gate g;
  handle t(CreateThread(nullptr, 0, count_in_sleeps, &g, 0, nullptr));
  ASSERT_TRUE(testutil::eventually([&] { return g.stage.load() > 3; }));
  EXPECT_EQ(SuspendThread(t), 0u);
  EXPECT_EQ(SuspendThread(t), 1u);
  ASSERT_TRUE(standin::thread::wait_until_blocked(t, 5000));
  int held = g.stage.load();
  SetEvent(g.go);  // would end the loop if the thread could run
  EXPECT_EQ(WaitForSingleObject(t, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_LE(g.stage.load(), held + 1);  // at most the wait it was in when suspended
  EXPECT_EQ(ResumeThread(t), 2u);
  EXPECT_EQ(WaitForSingleObject(t, 30), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
}

unsigned __stdcall crt_thread(void *p) {
  *static_cast<DWORD *>(p) = GetCurrentThreadId();
  return 9;
}

TEST(Threads, BeginThreadExGivesAWaitableHandleAndTheId) {
  DWORD seen = 0;
  unsigned id = 0;
  handle t(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, crt_thread, &seen, 0, &id)));
  ASSERT_NE(t.h, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(seen, id);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 9u);
}

DWORD WINAPI exit_thread_early(LPVOID) {
  ExitThread(77);
}

TEST(Threads, ExitThreadSetsTheExitCode) {
  handle t(CreateThread(nullptr, 0, exit_thread_early, nullptr, 0, nullptr));
  EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 77u);
}

TEST(Threads, PrioritiesTheSystemUsesAreRecordedAndNeverFail) {
  gate g;
  handle t(CreateThread(nullptr, 0, wait_then_return_42, &g, 0, nullptr));
  for (int level : {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_HIGHEST,
                    THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL}) {
    EXPECT_TRUE(SetThreadPriority(t, level)) << level;
    EXPECT_EQ(GetThreadPriority(t), level);
  }
  SetLastError(0);
  EXPECT_FALSE(SetThreadPriority(t, 7));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
  // Through the pseudo handle, on the caller itself.
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE));
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_IDLE);
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
  EXPECT_EQ(GetThreadPriority(nullptr), THREAD_PRIORITY_ERROR_RETURN);
  SetEvent(g.go);
  WaitForSingleObject(t, 10000);
}

TEST(Threads, CurrentThreadPseudoHandle) {
  EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
  EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(GetCurrentThread()));  // closing a pseudo handle is harmless
  EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
}

std::vector<int> *g_seen = nullptr;
void CALLBACK early_apc(ULONG_PTR v) { g_seen->push_back(static_cast<int>(v)); }
DWORD WINAPI record_start(LPVOID) {
  g_seen->push_back(0);
  return 0;
}

TEST(Threads, ApcsQueuedBeforeStartRunBeforeTheStartRoutine) {
  std::vector<int> seen;
  g_seen = &seen;
  handle t(CreateThread(nullptr, 0, record_start, nullptr, CREATE_SUSPENDED, nullptr));
  QueueUserAPC(early_apc, t, 1);
  QueueUserAPC(early_apc, t, 2);
  ResumeThread(t);
  ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 0}));
  g_seen = nullptr;
}

// ---- TerminateThread policy ------------------------------------------------------------

DWORD WINAPI block_non_alertably(LPVOID p) {
  auto *g = static_cast<gate *>(p);
  g->stage = 1;
  Sleep(zephtest::deadline_ms);  // terminated here
  g->after = true;  // must never run
  return 0;
}

TEST(TerminateThread, SignalsAtOnceAndTheVictimNeverReturnsFromItsWait) {
  gate g;
  handle t(CreateThread(nullptr, 0, block_non_alertably, &g, 0, nullptr));
  ASSERT_TRUE(standin::thread::wait_until_blocked(t, 5000));
  EXPECT_TRUE(TerminateThread(t, WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(testutil::eventually([&] { return standin::thread::is_stopped(t); }));
  EXPECT_FALSE(g.after.load());
  // Terminating again keeps the first exit code.
  EXPECT_TRUE(TerminateThread(t, 1));
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, static_cast<DWORD>(WAIT_TIMEOUT));
}

struct one_event_gate {
  HANDLE e = nullptr;
  std::atomic<bool> after{false};
};

DWORD WINAPI block_on_one_event(LPVOID p) {
  auto *g = static_cast<one_event_gate *>(p);
  WaitForSingleObject(g->e, zephtest::deadline_ms);  // terminated here
  g->after = true;  // must never run
  return 0;
}

// A wait on one event blocks under that event's lock alone: the observers still see it blocked, a
// termination still stops it there, and it never takes what is set afterwards.
TEST(TerminateThread, VictimBlockedOnOneEventStopsThereAndTakesNothing) {
  handle auto_reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  one_event_gate g;
  g.e = auto_reset;
  handle t(CreateThread(nullptr, 0, block_on_one_event, &g, 0, nullptr));
  ASSERT_TRUE(standin::thread::wait_until_blocked(t, 5000));
  EXPECT_TRUE(TerminateThread(t, 7));
  ASSERT_TRUE(testutil::eventually([&] { return standin::thread::is_stopped(t); }));
  ASSERT_TRUE(SetEvent(auto_reset));
  EXPECT_EQ(WaitForSingleObject(auto_reset, 0), WAIT_OBJECT_0);  // the set is still there
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_FALSE(g.after.load());
}

DWORD WINAPI spin_then_sleep(LPVOID p) {
  auto *g = static_cast<gate *>(p);
  g->stage = 1;
  // Busy, with no platform call until told (sleep_for is none).
  EXPECT_TRUE(zephtest::wait_until([&] { return g->stage.load() == 2; }, zephtest::default_deadline,
                                   std::chrono::milliseconds(0)));
  Sleep(0);  // the next platform call that can stop it
  g->after = true;
  return 0;
}

TEST(TerminateThread, BusyVictimStopsAtItsNextPlatformSleep) {
  gate g;
  handle t(CreateThread(nullptr, 0, spin_then_sleep, &g, 0, nullptr));
  ASSERT_TRUE(testutil::eventually([&] { return g.stage.load() == 1; }));
  EXPECT_TRUE(TerminateThread(t, 0xFFFFFFFF));
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // before the victim even noticed
  g.stage = 2;
  ASSERT_TRUE(testutil::eventually([&] { return standin::thread::is_stopped(t); }));
  EXPECT_FALSE(g.after.load());
}

DWORD WINAPI own_mutex_then_block(LPVOID p) {
  auto *m = static_cast<HANDLE *>(p);
  WaitForSingleObject(*m, zephtest::deadline_ms);
  Sleep(zephtest::deadline_ms);  // terminated here
  return 0;
}

TEST(TerminateThread, AbandonsTheVictimsMutexesAndLeavesThePlatformUsable) {
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  handle t(CreateThread(nullptr, 0, own_mutex_then_block, &m, 0, nullptr));
  ASSERT_TRUE(standin::thread::wait_until_blocked(t, 5000));
  // The mutex is free, so the thread blocks only in its sleep, owning the mutex.
  EXPECT_TRUE(TerminateThread(t, 5));
  EXPECT_EQ(WaitForSingleObject(m, 5000), static_cast<DWORD>(WAIT_ABANDONED_0));
  EXPECT_TRUE(ReleaseMutex(m));
  // Every platform lock is free: a fresh thread runs, waits and ends normally.
  gate g;
  handle t2(CreateThread(nullptr, 0, mark_and_return_7, &g, 0, nullptr));
  EXPECT_EQ(WaitForSingleObject(t2, 10000), WAIT_OBJECT_0);
  CloseHandle(m);
}

TEST(TerminateThread, SuspendedThreadThatNeverRanEndsWithTheCode) {
  gate g;
  handle t(CreateThread(nullptr, 0, mark_and_return_7, &g, CREATE_SUSPENDED, nullptr));
  EXPECT_TRUE(TerminateThread(t, 3));
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(g.stage.load(), 0);
}

void CALLBACK never_runs(ULONG_PTR p) { *reinterpret_cast<std::atomic<bool> *>(p) = true; }

TEST(TerminateThread, DropsQueuedApcsAndRefusesNewOnes) {
  gate g;
  std::atomic<bool> ran{false};
  handle t(CreateThread(nullptr, 0, block_non_alertably, &g, 0, nullptr));
  ASSERT_TRUE(standin::thread::wait_until_blocked(t, 5000));
  QueueUserAPC(never_runs, t, reinterpret_cast<ULONG_PTR>(&ran));
  EXPECT_EQ(standin::thread::queued_apcs(t), 1u);
  TerminateThread(t, 1);
  EXPECT_EQ(standin::thread::queued_apcs(t), 0u);
  EXPECT_EQ(QueueUserAPC(never_runs, t, reinterpret_cast<ULONG_PTR>(&ran)), 0u);
  EXPECT_FALSE(ran.load());
}

DWORD WINAPI quick(LPVOID) { return 0; }

TEST(Threads, ManyShortThreadsEachEndWithTheirCode) {
  for (int i = 0; i < 200; ++i) {
    handle t(CreateThread(nullptr, 0, quick, nullptr, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(t, &code);
    ASSERT_EQ(code, 0u);
  }
}

}  // namespace
