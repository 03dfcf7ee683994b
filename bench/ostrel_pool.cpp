// The heap library's pool against malloc/free: one allocate and one release per iteration, for the
// sizes of each kind of heap behind the pool (small heap, two buckets, the largest bucket, virtual
// memory), on 1, 2, 4 and 8 threads sharing one pool. Prints the ratio table (bench/ratio_table.h).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "pool.h"
#include "ratio_table.h"

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
}

void BM_Malloc(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* p = std::malloc(size);
    static_cast<volatile unsigned char*>(p)[0] = 1;
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}

constexpr int64_t k_sizes[] = {64, 1500, 16384, 256 * 1024 - 1, 256 * 1024};
constexpr int k_threads[] = {1, 2, 4, 8};

void sizes(benchmark::internal::Benchmark* b) {
  for (int64_t s : k_sizes) b->Arg(s);
  for (int t : k_threads) b->Threads(t);
  b->UseRealTime();
}

BENCHMARK(BM_Pool)->Apply(sizes);
BENCHMARK(BM_Malloc)->Apply(sizes);

std::string name(const char* fn, int64_t size, int threads) {
  return std::string(fn) + "/" + std::to_string(size) + "/real_time/threads:" + std::to_string(threads);
}

std::vector<bench::row> rows() {
  std::vector<bench::row> r;
  for (int64_t s : k_sizes) {
    for (int t : k_threads) {
      const bool targeted = s < 256 * 1024 && (t == 1 || t == 4);
      r.push_back({"pool " + std::to_string(s) + " B, " + std::to_string(t) + " thr / malloc", name("BM_Pool", s, t),
                   name("BM_Malloc", s, t), targeted ? 1.0 : 0.0, targeted ? "<= 1.00" : "-"});
    }
  }
  // Each thread's cost per operation as threads are added: real time per iteration is the run's wall
  // time over all threads' iterations, so times the thread count.
  for (int64_t s : k_sizes) {
    for (int t : {4, 8}) {
      r.push_back({"pool " + std::to_string(s) + " B, per op, " + std::to_string(t) + " thr / 1", name("BM_Pool", s, t),
                   name("BM_Pool", s, 1), 0.0, "no growth", static_cast<double>(t)});
      r.push_back(
          {"  malloc, the same", name("BM_Malloc", s, t), name("BM_Malloc", s, 1), 0.0, "-", static_cast<double>(t)});
    }
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) { return bench::run(argc, argv, rows()); }
