// Round trips through the stand-in's events and APCs, each against a std::condition_variable
// baseline doing the same hand-over in the same run: one pair of threads, four pairs at once, one
// set waking 16 waiters, and set+wait on one thread. Prints the ratio table (bench/ratio_table.h).
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ratio_table.h"

namespace {

// ---- event set/wait round trip ---------------------------------------------------------

void BM_EventRoundTrip_Platform(benchmark::State &state) {
  HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  volatile bool stop = false;
  std::thread peer([&] {
    for (;;) {
      WaitForSingleObject(ping, INFINITE);
      if (stop) break;
      SetEvent(pong);
    }
  });
  for (auto _ : state) {
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
  }
  stop = true;
  SetEvent(ping);
  peer.join();
  CloseHandle(ping);
  CloseHandle(pong);
}

// The same two auto-reset flags, made of a mutex and a condition variable each.
struct cv_event {
  std::mutex m;
  std::condition_variable cv;
  bool set = false;
  void signal() {
    {
      std::lock_guard<std::mutex> g(m);
      set = true;
    }
    cv.notify_one();
  }
  void wait() {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return set; });
    set = false;
  }
};

void BM_EventRoundTrip_CondVar(benchmark::State &state) {
  cv_event ping, pong;
  volatile bool stop = false;
  std::thread peer([&] {
    for (;;) {
      ping.wait();
      if (stop) break;
      pong.signal();
    }
  });
  for (auto _ : state) {
    ping.signal();
    pong.wait();
  }
  stop = true;
  ping.signal();
  peer.join();
}

// ---- APC round trip: an APC to the peer, which answers with an APC back -----------------

HANDLE g_main = nullptr;
volatile bool g_stop = false;
void CALLBACK pong_apc(ULONG_PTR) {}
void CALLBACK ping_apc(ULONG_PTR) { QueueUserAPC(pong_apc, g_main, 0); }
void CALLBACK stop_apc(ULONG_PTR) { g_stop = true; }

void BM_ApcRoundTrip_Platform(benchmark::State &state) {
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  g_stop = false;
  HANDLE peer_handle = nullptr;
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread peer([&] {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &peer_handle, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetEvent(ready);
    while (!g_stop) SleepEx(INFINITE, TRUE);
  });
  WaitForSingleObject(ready, INFINITE);
  for (auto _ : state) {
    QueueUserAPC(ping_apc, peer_handle, 0);
    SleepEx(INFINITE, TRUE);
  }
  QueueUserAPC(stop_apc, peer_handle, 0);
  peer.join();
  CloseHandle(peer_handle);
  CloseHandle(ready);
  CloseHandle(g_main);
}

// A work queue per thread, drained by its owner: the condition-variable form of an APC queue.
struct work_queue {
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::function<void()>> items;
  void post(std::function<void()> f) {
    {
      std::lock_guard<std::mutex> g(m);
      items.push_back(std::move(f));
    }
    cv.notify_one();
  }
  void run_one() {
    std::function<void()> f;
    {
      std::unique_lock<std::mutex> lk(m);
      cv.wait(lk, [&] { return !items.empty(); });
      f = std::move(items.front());
      items.pop_front();
    }
    f();
  }
};

void BM_ApcRoundTrip_CondVar(benchmark::State &state) {
  work_queue mine, theirs;
  bool stop = false;
  std::thread peer([&] {
    while (!stop) theirs.run_one();
  });
  for (auto _ : state) {
    theirs.post([&] { mine.post([] {}); });
    mine.run_one();
  }
  theirs.post([&] { stop = true; });
  peer.join();
}

// ---- independent pairs: the event round trip on four pairs of threads at once ----------------

void BM_EventPairs_Platform(benchmark::State &state) { BM_EventRoundTrip_Platform(state); }
void BM_EventPairs_CondVar(benchmark::State &state) { BM_EventRoundTrip_CondVar(state); }

// ---- one signal waking 16 waiters ------------------------------------------------------------
// Two manual-reset events taken in turn: each round resets the one of the round before (every waiter
// has left it) and sets the other; the last waiter to wake signals the round done.

constexpr int k_waiters = 16;

void BM_WakeMany_Platform(benchmark::State &state) {
  HANDLE go[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> woken{0};
  volatile bool stop = false;
  std::vector<std::thread> waiters;
  for (int i = 0; i < k_waiters; ++i)
    waiters.emplace_back([&] {
      for (int round = 0;; ++round) {
        WaitForSingleObject(go[round & 1], INFINITE);
        if (stop) break;
        if (woken.fetch_add(1) + 1 == k_waiters) SetEvent(done);
      }
    });
  int round = 0;
  for (auto _ : state) {
    woken.store(0);
    ResetEvent(go[(round + 1) & 1]);
    SetEvent(go[round & 1]);
    WaitForSingleObject(done, INFINITE);
    ++round;
  }
  stop = true;
  SetEvent(go[0]);
  SetEvent(go[1]);
  for (auto &t : waiters) t.join();
  CloseHandle(go[0]);
  CloseHandle(go[1]);
  CloseHandle(done);
}

void BM_WakeMany_CondVar(benchmark::State &state) {
  std::mutex m;
  std::condition_variable cv;
  long generation = 0;
  cv_event done;
  std::atomic<int> woken{0};
  bool stop = false;
  std::vector<std::thread> waiters;
  for (int i = 0; i < k_waiters; ++i)
    waiters.emplace_back([&] {
      for (long seen = 0;;) {
        {
          std::unique_lock<std::mutex> lk(m);
          cv.wait(lk, [&] { return generation != seen || stop; });
          if (stop) break;
          seen = generation;
        }
        if (woken.fetch_add(1) + 1 == k_waiters) done.signal();
      }
    });
  for (auto _ : state) {
    woken.store(0);
    {
      std::lock_guard<std::mutex> g(m);
      ++generation;
    }
    cv.notify_all();
    done.wait();
  }
  {
    std::lock_guard<std::mutex> g(m);
    stop = true;
  }
  cv.notify_all();
  for (auto &t : waiters) t.join();
}

// ---- set and wait on one thread, nobody else involved ------------------------------------------

void BM_SetWait_Platform(benchmark::State &state) {
  HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  for (auto _ : state) {
    SetEvent(e);
    WaitForSingleObject(e, INFINITE);
  }
  CloseHandle(e);
}

void BM_SetWait_CondVar(benchmark::State &state) {
  cv_event e;
  for (auto _ : state) {
    e.signal();
    e.wait();
  }
}

BENCHMARK(BM_EventRoundTrip_Platform)->UseRealTime();
BENCHMARK(BM_EventRoundTrip_CondVar)->UseRealTime();
BENCHMARK(BM_ApcRoundTrip_Platform)->UseRealTime();
BENCHMARK(BM_ApcRoundTrip_CondVar)->UseRealTime();
BENCHMARK(BM_EventPairs_Platform)->Threads(4)->UseRealTime();
BENCHMARK(BM_EventPairs_CondVar)->Threads(4)->UseRealTime();
BENCHMARK(BM_WakeMany_Platform)->UseRealTime();
BENCHMARK(BM_WakeMany_CondVar)->UseRealTime();
BENCHMARK(BM_SetWait_Platform)->UseRealTime();
BENCHMARK(BM_SetWait_CondVar)->UseRealTime();

std::vector<bench::row> rows() {
  const std::string rt = "/real_time";
  return {
      {"event round trip, 2 threads / condvar", "BM_EventRoundTrip_Platform" + rt, "BM_EventRoundTrip_CondVar" + rt,
       1.2, "<= 1.20"},
      {"APC round trip, 2 threads / work queue", "BM_ApcRoundTrip_Platform" + rt, "BM_ApcRoundTrip_CondVar" + rt, 1.2,
       "<= 1.20"},
      {"event round trip, 4 pairs at once / condvar", "BM_EventPairs_Platform" + rt + "/threads:4",
       "BM_EventPairs_CondVar" + rt + "/threads:4", 1.5, "<= 1.50"},
      {"one set waking 16 waiters / condvar", "BM_WakeMany_Platform" + rt, "BM_WakeMany_CondVar" + rt, 1.5,
       "<= 1.50"},
      {"set+wait, one thread / mutex+condvar", "BM_SetWait_Platform" + rt, "BM_SetWait_CondVar" + rt, 1.5, "<= 1.50"},
  };
}

}  // namespace

int main(int argc, char **argv) { return bench::run(argc, argv, rows()); }
