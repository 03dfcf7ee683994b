// Races of the wait machinery: a signal meeting waiters that time out, are alerted by APCs, wait for
// all of several objects or are terminated. Each object is a token passed from thread to thread; a
// token handed to a waiter that has already left would be lost, and the last look finds it gone.
#include <gtest/gtest.h>
#include <standin/thread.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <vector>

#include "test_util.h"
#include "zephtest/wait.h"

using testutil::handle;

namespace {

constexpr DWORD k_last_look_ms = 10000;  // far above any hand-over; a lost token fails here

// Rounds are bounded by count and by a deadline, whichever ends first.
struct rounds {
  std::atomic<bool> stop{false};
  std::chrono::steady_clock::time_point end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  bool more(int i) const { return i < 20000 && !stop.load() && std::chrono::steady_clock::now() < end; }
};

// Counts holders of a token; more than one at a time means it was handed out twice.
struct holder_count {
  std::atomic<int> now{0};
  std::atomic<int> most{0};
  std::atomic<long> takes{0};
  void enter() {
    const int n = now.fetch_add(1) + 1;
    int m = most.load();
    while (n > m && !most.compare_exchange_weak(m, n)) {
    }
    takes.fetch_add(1);
  }
  void leave() { now.fetch_sub(1); }
};

void CALLBACK no_op_apc(ULONG_PTR) {}

// Queues APCs to the given threads until told to stop.
struct apc_storm {
  std::atomic<bool> stop{false};
  std::thread t;
  explicit apc_storm(std::vector<HANDLE> threads)
      : t([this, threads] {
          while (!stop.load()) {
            for (HANDLE h : threads) QueueUserAPC(no_op_apc, h, 0);
            std::this_thread::yield();
          }
        }) {}
  ~apc_storm() {
    stop.store(true);
    zephtest::join(t);
  }
};

struct token_args {
  HANDLE token;
  HANDLE other;  // never signalled: a wait-any on both still takes only the token
  bool is_mutex;
  holder_count *holders;
  rounds *r;
};

// Takes the token with short time-outs, alertable on odd rounds, and gives it back.
DWORD WINAPI pass_token(LPVOID p) {
  auto *a = static_cast<token_args *>(p);
  for (int i = 0; a->r->more(i); ++i) {
    const HANDLE both[2] = {a->other, a->token};
    const DWORD ms = static_cast<DWORD>(i % 3);
    const DWORD r = (i & 2) ? WaitForMultipleObjectsEx(2, both, FALSE, ms, (i & 1) != 0)
                            : WaitForSingleObjectEx(a->token, ms, (i & 1) != 0);
    const DWORD taken = (i & 2) ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0;
    if (r == WAIT_TIMEOUT || r == WAIT_IO_COMPLETION) continue;
    if (r != taken) {
      a->r->stop.store(true);
      return 1;
    }
    a->holders->enter();
    a->holders->leave();
    if (a->is_mutex ? !ReleaseMutex(a->token) : !SetEvent(a->token)) {
      a->r->stop.store(true);
      return 2;
    }
  }
  return 0;
}

// Runs `n` threads passing the token under an APC storm; every thread ends cleanly.
void run_token_pass(HANDLE token, bool is_mutex, holder_count &holders, int n = 4) {
  handle other(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  rounds r;
  token_args a{token, other, is_mutex, &holders, &r};
  std::deque<handle> threads;
  std::vector<HANDLE> raw;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back(CreateThread(nullptr, 0, pass_token, &a, 0, nullptr));
    raw.push_back(threads.back());
  }
  {
    apc_storm storm(raw);
    for (HANDLE h : raw) ASSERT_EQ(WaitForSingleObject(h, k_last_look_ms), WAIT_OBJECT_0);
  }
  for (HANDLE h : raw) {
    DWORD code = 99;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 0u);
  }
}

TEST(WaitRaces, AutoResetTokenIsNeverLostToAWaiterThatLeft) {
  handle token(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  holder_count holders;
  run_token_pass(token, false, holders);
  EXPECT_EQ(holders.most.load(), 1);
  EXPECT_GT(holders.takes.load(), 0);
  EXPECT_EQ(WaitForSingleObject(token, k_last_look_ms), WAIT_OBJECT_0);
}

TEST(WaitRaces, MutexIsNeverLostToAWaiterThatLeft) {
  handle token(CreateMutexA(nullptr, FALSE, nullptr));
  holder_count holders;
  run_token_pass(token, true, holders);
  EXPECT_EQ(holders.most.load(), 1);
  EXPECT_GT(holders.takes.load(), 0);
  // Free and not abandoned: every thread gave it back before it ended.
  EXPECT_EQ(WaitForSingleObject(token, k_last_look_ms), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(token));
}

// Wait-all takers need both tokens at once; single takers compete for each. A wait-all that took
// one token and then left would lose it.
struct pair_args {
  HANDLE tokens[2];
  holder_count *holders;  // [0], [1]
  rounds *r;
};

DWORD WINAPI take_both(LPVOID p) {
  auto *a = static_cast<pair_args *>(p);
  for (int i = 0; a->r->more(i); ++i) {
    const DWORD r = WaitForMultipleObjectsEx(2, a->tokens, TRUE, static_cast<DWORD>(i % 3), (i & 1) != 0);
    if (r == WAIT_TIMEOUT || r == WAIT_IO_COMPLETION) continue;
    if (r != WAIT_OBJECT_0) {
      a->r->stop.store(true);
      return 1;
    }
    a->holders[0].enter();
    a->holders[1].enter();
    a->holders[0].leave();
    a->holders[1].leave();
    SetEvent(a->tokens[0]);
    SetEvent(a->tokens[1]);
  }
  return 0;
}

DWORD WINAPI take_one(LPVOID p) {
  auto *a = static_cast<pair_args *>(p);
  for (int i = 0; a->r->more(i); ++i) {
    const int k = i & 1;
    const DWORD r = WaitForSingleObjectEx(a->tokens[k], static_cast<DWORD>(i % 2), (i & 2) != 0);
    if (r == WAIT_TIMEOUT || r == WAIT_IO_COMPLETION) continue;
    if (r != WAIT_OBJECT_0) {
      a->r->stop.store(true);
      return 1;
    }
    a->holders[k].enter();
    a->holders[k].leave();
    SetEvent(a->tokens[k]);
  }
  return 0;
}

TEST(WaitRaces, WaitAllTakesBothTokensOrNeitherAndLosesNone) {
  handle t0(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  handle t1(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  holder_count holders[2];
  rounds r;
  pair_args a{{t0, t1}, holders, &r};
  std::deque<handle> threads;
  std::vector<HANDLE> raw;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back(CreateThread(nullptr, 0, (i & 1) ? take_one : take_both, &a, 0, nullptr));
    raw.push_back(threads.back());
  }
  {
    apc_storm storm(raw);
    for (HANDLE h : raw) ASSERT_EQ(WaitForSingleObject(h, k_last_look_ms), WAIT_OBJECT_0);
  }
  for (HANDLE h : raw) {
    DWORD code = 99;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 0u);
  }
  EXPECT_EQ(holders[0].most.load(), 1);
  EXPECT_EQ(holders[1].most.load(), 1);
  HANDLE both[2] = {t0, t1};
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, k_last_look_ms), WAIT_OBJECT_0);
}

// Threads pass a mutex and are terminated at random points: a mutex a terminated thread held or was
// being handed comes back abandoned, never stays owned by a parked thread. (A terminated thread runs
// on to its next wait, so two may briefly think they hold it: that is not checked here.)
DWORD WINAPI pass_mutex_forever(LPVOID p) {
  auto *a = static_cast<token_args *>(p);
  for (int i = 0;; ++i) {
    const DWORD r = WaitForSingleObjectEx(a->token, static_cast<DWORD>(i % 3), FALSE);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0) {
      a->holders->enter();
      a->holders->leave();
      ReleaseMutex(a->token);
    }
  }
}

TEST(WaitRaces, MutexOfWaitersTerminatedMidHandOverComesBack) {
  static HANDLE token = CreateMutexA(nullptr, FALSE, nullptr);  // parked threads keep using it
  static holder_count holders;
  static rounds r;
  static token_args a{token, nullptr, true, &holders, &r};
  long before = 0;
  for (int round = 0; round < 6; ++round) {
    std::deque<handle> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back(CreateThread(nullptr, 0, pass_mutex_forever, &a, 0, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + round));
    for (auto &t : threads) ASSERT_TRUE(TerminateThread(t, 5));
    for (auto &t : threads) ASSERT_EQ(WaitForSingleObject(t, k_last_look_ms), WAIT_OBJECT_0);
    const DWORD got = WaitForSingleObject(token, k_last_look_ms);
    ASSERT_TRUE(got == WAIT_OBJECT_0 || got == WAIT_ABANDONED_0) << got;
    ASSERT_TRUE(ReleaseMutex(token));
    before = holders.takes.load();
  }
  EXPECT_GT(before, 0);
}

// A thread terminated while it computes runs on until its next wait; a mutex it makes owned in
// between is abandoned, not kept by the parked thread.
struct late_owner {
  std::atomic<bool> running{false};
  std::atomic<bool> go{false};
  std::atomic<HANDLE> made{nullptr};
};

DWORD WINAPI make_owned_mutex_when_told(LPVOID p) {
  auto *s = static_cast<late_owner *>(p);
  s->running.store(true);
  EXPECT_TRUE(zephtest::wait_until([&] { return s->go.load(); }));
  s->made.store(CreateMutexA(nullptr, TRUE, nullptr));
  Sleep(zephtest::deadline_ms);  // parks here
  return 0;
}

TEST(WaitRaces, MutexMadeOwnedAfterTerminationIsAbandoned) {
  static late_owner s;  // the parked thread keeps a pointer
  handle t(CreateThread(nullptr, 0, make_owned_mutex_when_told, &s, 0, nullptr));
  ASSERT_TRUE(zephtest::wait_until([&] { return s.running.load(); }));
  ASSERT_TRUE(TerminateThread(t, 3));
  s.go.store(true);
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::thread::is_stopped(t); }));
  handle m(s.made.load());
  ASSERT_NE(m.h, nullptr);
  EXPECT_EQ(WaitForSingleObject(m, k_last_look_ms), WAIT_ABANDONED_0);
  EXPECT_TRUE(ReleaseMutex(m));
}

// Sets meeting waits that are about to sleep: a ping-pong of auto-reset events where every set finds
// its waiter anywhere between its first look and its sleep. A set lost on the way stops the ball, and
// the waiter's deadline fails the case. A manual-reset event set and reset alongside is never seen set
// by a thread that reset it last.
DWORD WINAPI bounce(LPVOID p) {
  auto *e = static_cast<HANDLE *>(p);  // [0] wait on, [1] set
  for (int i = 0; i < 3000; ++i) {
    if (WaitForSingleObject(e[0], k_last_look_ms) != WAIT_OBJECT_0) return 1;
    if (!SetEvent(e[1])) return 2;
  }
  return 0;
}

TEST(WaitRaces, EventSetMeetingAWaiterAboutToSleepIsNeverLost) {
  handle ping(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  handle pong(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  HANDLE peer_events[2] = {ping, pong};
  handle peer(CreateThread(nullptr, 0, bounce, peer_events, 0, nullptr));
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(SetEvent(ping));
    ASSERT_EQ(WaitForSingleObject(pong, k_last_look_ms), WAIT_OBJECT_0) << "round " << i;
  }
  ASSERT_EQ(WaitForSingleObject(peer, k_last_look_ms), WAIT_OBJECT_0);
  DWORD code = 99;
  ASSERT_TRUE(GetExitCodeThread(peer, &code));
  EXPECT_EQ(code, 0u);
  // Every set was taken once: nothing is left over.
  EXPECT_EQ(WaitForSingleObject(ping, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(pong, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// One auto-reset event, set as often as it is taken: takers that poll (no registration) and takers
// that sleep on it compete. Each set lets exactly one through; the counts match at the end.
struct set_count_args {
  HANDLE e;
  std::atomic<long> taken{0};
  std::atomic<bool> stop{false};
};

DWORD WINAPI take_until_stopped(LPVOID p) {
  auto *a = static_cast<set_count_args *>(p);
  for (int i = 0; !a->stop.load(); ++i) {
    if (WaitForSingleObject(a->e, (i & 1) ? 0 : 2) == WAIT_OBJECT_0) a->taken.fetch_add(1);
  }
  return 0;
}

// Sets the event `rounds` times, each once the last was taken (so that none is merged with the next),
// then stops the takers: every set was taken once and none is left over.
void set_one_at_a_time(set_count_args &a, int rounds, std::deque<handle> &threads) {
  long sets = 0;
  for (int i = 0; i < rounds; ++i) {
    ASSERT_TRUE(zephtest::wait_until([&] { return a.taken.load() == sets; }));
    ASSERT_TRUE(SetEvent(a.e));
    ++sets;
  }
  ASSERT_TRUE(zephtest::wait_until([&] { return a.taken.load() == sets; }));
  a.stop.store(true);
  for (auto &t : threads) ASSERT_EQ(WaitForSingleObject(t, k_last_look_ms), WAIT_OBJECT_0);
  EXPECT_EQ(a.taken.load(), sets);
  EXPECT_EQ(WaitForSingleObject(a.e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(WaitRaces, EachSetOfAnAutoResetEventLetsExactlyOneTakerThrough) {
  handle e(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  set_count_args a;
  a.e = e;
  std::deque<handle> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(CreateThread(nullptr, 0, take_until_stopped, &a, 0, nullptr));
  set_one_at_a_time(a, 2000, threads);
}

// The same with takers of every kind on one event: waits on it alone, waits for any of it and a
// second event that is never set, and alertable waits that APCs keep cutting short. A wait on the
// event alone is met under the event's own lock, the others under the wait lock; a set must serve
// them all in turn and let exactly one through.
struct mixed_take_args {
  set_count_args *a;
  HANDLE never;
  int kind;
};

DWORD WINAPI take_mixed_until_stopped(LPVOID p) {
  auto *m = static_cast<mixed_take_args *>(p);
  HANDLE both[2] = {m->never, m->a->e};
  while (!m->a->stop.load()) {
    DWORD r;
    if (m->kind == 0)
      r = WaitForSingleObject(m->a->e, 5);
    else if (m->kind == 1)
      r = WaitForMultipleObjects(2, both, FALSE, 5) == WAIT_OBJECT_0 + 1 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    else
      r = WaitForSingleObjectEx(m->a->e, 5, TRUE);
    if (r == WAIT_OBJECT_0) m->a->taken.fetch_add(1);
  }
  return 0;
}

TEST(WaitRaces, SetServesWaitersOnTheEventAloneAndWaitersOnMoreInTurn) {
  handle e(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  handle never(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  set_count_args a;
  a.e = e;
  mixed_take_args args[6];
  std::deque<handle> threads;
  for (int i = 0; i < 6; ++i) {
    args[i] = mixed_take_args{&a, never, i % 3};
    threads.emplace_back(CreateThread(nullptr, 0, take_mixed_until_stopped, &args[i], 0, nullptr));
  }
  {
    apc_storm storm({threads[2], threads[5]});
    set_one_at_a_time(a, 1500, threads);
  }
  EXPECT_EQ(WaitForSingleObject(never, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// Handles closed while other threads set and wait through them: every call either works or fails with
// ERROR_INVALID_HANDLE, and the object lives as long as a call uses it.
DWORD WINAPI set_through_closing(LPVOID p) {
  auto *slot = static_cast<std::atomic<HANDLE> *>(p);
  for (int i = 0; i < 20000; ++i) {
    HANDLE h = slot->load();
    if (!h) break;
    const BOOL ok = (i & 1) ? SetEvent(h) : ResetEvent(h);
    const DWORD r = WaitForSingleObject(h, 0);
    if (!ok && GetLastError() != ERROR_INVALID_HANDLE) return 1;
    if (r == WAIT_FAILED && GetLastError() != ERROR_INVALID_HANDLE) return 2;
  }
  return 0;
}

TEST(WaitRaces, SetAndWaitThroughAHandleBeingClosedFailCleanly) {
  std::atomic<HANDLE> slot{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  std::deque<handle> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back(CreateThread(nullptr, 0, set_through_closing, &slot, 0, nullptr));
  for (int round = 0; round < 200; ++round) {
    HANDLE old = slot.load();
    slot.store(CreateEventA(nullptr, (round & 1) != 0, FALSE, nullptr));
    ASSERT_TRUE(CloseHandle(old));
  }
  HANDLE last = slot.exchange(nullptr);
  for (auto &t : threads) {
    ASSERT_EQ(WaitForSingleObject(t, k_last_look_ms), WAIT_OBJECT_0);
    DWORD code = 99;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 0u);
  }
  EXPECT_TRUE(CloseHandle(last));
  // A closed handle fails, and a handle of another type is not an event.
  EXPECT_FALSE(SetEvent(last));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  handle m(CreateMutexA(nullptr, FALSE, nullptr));
  EXPECT_FALSE(SetEvent(m));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(ResetEvent(GetCurrentThread()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
