// Round trips through the stand-in's events and APCs, each against a std::condition_variable
// baseline doing the same hand-over in the same run. Prints platform/baseline time ratios.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

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

BENCHMARK(BM_EventRoundTrip_Platform)->UseRealTime();
BENCHMARK(BM_EventRoundTrip_CondVar)->UseRealTime();
BENCHMARK(BM_ApcRoundTrip_Platform)->UseRealTime();
BENCHMARK(BM_ApcRoundTrip_CondVar)->UseRealTime();

// Prints the usual table, then each platform figure as a ratio to its baseline.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  ratio_reporter() : ConsoleReporter(isatty(1) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto &r : runs)
      if (!r.error_occurred && r.iterations > 0) times_[r.benchmark_name().substr(0, r.benchmark_name().find('/'))] = r.GetAdjustedRealTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nRatios (platform / condition_variable baseline, same run; lower is better):\n");
    for (const char *what : {"EventRoundTrip", "ApcRoundTrip"}) {
      auto p = times_.find(std::string("BM_") + what + "_Platform");
      auto b = times_.find(std::string("BM_") + what + "_CondVar");
      if (p == times_.end() || b == times_.end() || b->second <= 0) continue;
      std::printf("  %-16s %6.2f  (%.0f ns vs %.0f ns per round trip)\n", what, p->second / b->second, p->second,
                  b->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
