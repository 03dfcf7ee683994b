// The heap library's pool against malloc/free: one allocate and one release per iteration, for sizes from
// 64 bytes to 256 KiB, on one thread and on four threads sharing one pool. Prints pool/malloc time ratios.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "pool.h"

namespace {

ostrel::pool& shared_pool() {
  static ostrel::pool* p = new ostrel::pool();
  return *p;
}

void BM_Pool(benchmark::State& state) {
  ostrel::pool& p = shared_pool();
  const auto size = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    ostrel::mem_block b = p.allocate(size, false);
    static_cast<volatile unsigned char*>(b.data())[0] = 1;
    benchmark::DoNotOptimize(b.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void BM_Malloc(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* p = std::malloc(size);
    static_cast<volatile unsigned char*>(p)[0] = 1;
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void sizes(benchmark::internal::Benchmark* b) {
  for (int64_t s = 64; s <= 256 * 1024; s *= 4) b->Arg(s);
  b->Arg(1500)->Arg(256 * 1024 - 1);
}

BENCHMARK(BM_Pool)->Apply(sizes)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_Malloc)->Apply(sizes)->Threads(1)->Threads(4)->UseRealTime();

// Prints the usual table, then each pool figure as a ratio to malloc/free of the same size and threads.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  ratio_reporter() : ConsoleReporter(isatty(1) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (!r.error_occurred && r.iterations > 0 && r.run_type == Run::RT_Iteration)
        times_[r.benchmark_name()] = r.GetAdjustedRealTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\npool / malloc time per allocate+free (below 1: the pool is faster)\n");
    // Sorted by size, then by thread count.
    std::map<std::pair<long, std::string>, double> ratios;
    for (const auto& [name, pool_time] : times_) {
      if (name.rfind("BM_Pool/", 0) != 0) continue;
      const std::string rest = name.substr(std::string("BM_Pool/").size());
      auto it = times_.find("BM_Malloc/" + rest);
      if (it == times_.end() || it->second <= 0) continue;
      ratios[{std::strtol(rest.c_str(), nullptr, 10), rest}] = pool_time / it->second;
    }
    for (const auto& [key, ratio] : ratios) std::printf("  %-40s %8.2f\n", key.second.c_str(), ratio);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
