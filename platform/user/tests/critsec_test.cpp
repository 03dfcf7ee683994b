// Critical sections: recursion, ownership, contention, sections never initialised, terminated owners.
#include <gtest/gtest.h>

#include <standin/thread.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <cstring>
#include <thread>
#include <vector>

#include "test_util.h"
#include "zephtest/wait.h"

namespace {

TEST(CriticalSection, RecursiveEntryNeedsAsManyLeaves) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  EXPECT_EQ(cs.RecursionCount, 3);
  EXPECT_EQ(cs.OwningThread, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId())));

  auto other_can_enter = [&] {
    BOOL got = FALSE;
    std::thread t([&] {
      got = TryEnterCriticalSection(&cs);
      if (got) LeaveCriticalSection(&cs);
    });
    zephtest::join(t);
    return got != FALSE;
  };
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(other_can_enter());
  LeaveCriticalSection(&cs);
  EXPECT_EQ(cs.OwningThread, nullptr);
  EXPECT_TRUE(other_can_enter());
  DeleteCriticalSection(&cs);
}

TEST(CriticalSection, LeavingASectionNotOwnedIsIgnored) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  LeaveCriticalSection(&cs);  // not entered at all
  EnterCriticalSection(&cs);
  zephtest::join(std::thread([&] { LeaveCriticalSection(&cs); }));  // another thread's leave
  EXPECT_EQ(cs.RecursionCount, 1);
  BOOL other = TRUE;
  zephtest::join(std::thread([&] { other = TryEnterCriticalSection(&cs); }));
  EXPECT_FALSE(other);
  LeaveCriticalSection(&cs);
  DeleteCriticalSection(&cs);
}

TEST(CriticalSection, ZeroFilledSectionWorksWithoutInitialisation) {
  CRITICAL_SECTION cs;
  std::memset(&cs, 0, sizeof cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  LeaveCriticalSection(&cs);
}

// Many threads, a few spinning and the rest sleeping, each adding without atomics: nothing is lost,
// and a waiter that slept is woken by every leave that finds it.
TEST(CriticalSection, ExcludesUnderContentionWithAndWithoutSpinning) {
  for (DWORD spin : {0u, 4000u}) {
    CRITICAL_SECTION cs;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, spin));
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 20000; ++i) {
          EnterCriticalSection(&cs);
          EnterCriticalSection(&cs);
          long v = counter;
          if ((i & 1023) == 0) std::this_thread::yield();  // held across a yield: others must sleep
          counter = v + 1;
          LeaveCriticalSection(&cs);
          LeaveCriticalSection(&cs);
        }
      });
    for (auto &t : threads) zephtest::join(t);
    EXPECT_EQ(counter, 6 * 20000) << "spin " << spin;
    EXPECT_EQ(cs.OwningThread, nullptr);
    DeleteCriticalSection(&cs);
  }
}

DWORD WINAPI hold_and_wait(LPVOID p) {
  auto *cs = static_cast<CRITICAL_SECTION *>(p);
  EnterCriticalSection(cs);
  Sleep(zephtest::deadline_ms);  // terminated here
  return 0;
}

// A terminated owner keeps the section, as on Windows; entering is not a stopping point.
TEST(CriticalSection, TerminatedOwnerLeavesItOwned) {
  static CRITICAL_SECTION cs;  // the parked thread keeps a pointer to it
  InitializeCriticalSection(&cs);
  testutil::handle h(CreateThread(nullptr, 0, hold_and_wait, &cs, 0, nullptr));
  ASSERT_TRUE(standin::thread::wait_until_blocked(h, 20000));
  ASSERT_TRUE(TerminateThread(h, 7));
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::thread::is_stopped(h); }));
  EXPECT_FALSE(TryEnterCriticalSection(&cs));
  EXPECT_NE(cs.OwningThread, nullptr);
}

struct blocked_enter {
  CRITICAL_SECTION *cs;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> entered{false};
};

DWORD WINAPI enter_once(LPVOID p) {
  auto *b = static_cast<blocked_enter *>(p);
  b->tid.store(gettid());
  EnterCriticalSection(b->cs);
  b->entered.store(true);
  LeaveCriticalSection(b->cs);
  return 0;
}

// The thread has started and sleeps (the only place it can sleep once started is the lock's futex).
bool asleep(const blocked_enter &b) {
  const pid_t tid = b.tid.load();
  if (!tid) return false;
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(f, line);
  const auto paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
}

// A thread terminated while it sleeps waiting to enter never gets the section (it is blocked, so it
// stops there, as on Windows), and the wake-up it was given goes on to the other waiter.
TEST(CriticalSection, WaiterTerminatedWhileAsleepNeverEntersAndPassesItsWakeOn) {
  static CRITICAL_SECTION cs;  // the parked thread keeps a pointer to it
  static blocked_enter victim{&cs}, other{&cs};
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  testutil::handle v(CreateThread(nullptr, 0, enter_once, &victim, 0, nullptr));
  ASSERT_TRUE(zephtest::wait_until([] { return asleep(victim); }));
  testutil::handle o(CreateThread(nullptr, 0, enter_once, &other, 0, nullptr));
  ASSERT_TRUE(zephtest::wait_until([] { return asleep(other); }));
  ASSERT_TRUE(TerminateThread(v, 9));
  LeaveCriticalSection(&cs);  // wakes the first sleeper, the terminated one
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::thread::is_stopped(v); }));
  ASSERT_EQ(WaitForSingleObject(o, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(other.entered.load());
  EXPECT_FALSE(victim.entered.load());
  ASSERT_TRUE(TryEnterCriticalSection(&cs));
  LeaveCriticalSection(&cs);
}

}  // namespace
