// The pool against the C runtime's malloc and the process heap, in the Windows build (run under Wine
// for bench/README.md): allocate + release of one size per iteration on 1 and 4 threads, each ratio
// against baselines measured in the same run. Not part of the test pass.
// usage: pooltiming [ITERATIONS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <ostrel/ostrel_lib.h>

#include "tool_args.h"

namespace {

enum class subject { pool, crt_malloc, heap_alloc };

struct job {
  subject what;
  ostrel::api* pool;
  unsigned size;
  unsigned iterations;
  HANDLE go;
};

DWORD WINAPI run(LPVOID p) {
  const job& j = *static_cast<job*>(p);
  WaitForSingleObject(j.go, 60000);
  HANDLE heap = GetProcessHeap();
  for (unsigned i = 0; i < j.iterations; ++i) {
    switch (j.what) {
      case subject::pool: {
        ostrel::mem_block b = j.pool->allocate(j.size, false);
        static_cast<volatile unsigned char*>(b.data())[0] = 1;
        break;
      }
      case subject::crt_malloc: {
        void* b = std::malloc(j.size);
        static_cast<volatile unsigned char*>(b)[0] = 1;
        std::free(b);
        break;
      }
      case subject::heap_alloc: {
        void* b = HeapAlloc(heap, 0, j.size);
        static_cast<volatile unsigned char*>(b)[0] = 1;
        HeapFree(heap, 0, b);
        break;
      }
    }
  }
  return 0;
}

// Nanoseconds per iteration and thread: the wall time of `threads` threads doing `iterations` each.
double measure(subject what, ostrel::api* pool, unsigned size, unsigned threads, unsigned iterations) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  job j{what, pool, size, iterations, go};
  HANDLE h[4];
  for (unsigned t = 0; t < threads; ++t) h[t] = CreateThread(nullptr, 0, run, &j, 0, nullptr);
  Sleep(20);
  LARGE_INTEGER f, a, b;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&a);
  SetEvent(go);
  WaitForMultipleObjects(threads, h, TRUE, 600000);
  QueryPerformanceCounter(&b);
  for (unsigned t = 0; t < threads; ++t) CloseHandle(h[t]);
  CloseHandle(go);
  return 1e9 * static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart) / iterations;
}

double median3(double a, double b, double c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

}  // namespace

int main(int argc, char** argv) {
  const unsigned iterations = ostrel_tools::number_arg(argc, argv, 1, 200000);
  ostrel::ostrel_lib lib;
  if (!lib) {
    std::fprintf(stderr, "pooltiming: ostrel8 did not load\n");
    return 2;
  }
  std::printf("| size | threads | pool ns | malloc ns | HeapAlloc ns | pool / malloc | pool / HeapAlloc |\n");
  std::printf("|------|---------|---------|-----------|--------------|---------------|------------------|\n");
  for (unsigned size : {64u, 1500u, 16384u}) {
    for (unsigned threads : {1u, 4u}) {
      double r[3][3];
      // Interleaved, so that a slow moment of the machine touches all three alike.
      for (int rep = 0; rep < 3; ++rep) {
        r[0][rep] = measure(subject::pool, lib.get(), size, threads, iterations);
        r[1][rep] = measure(subject::crt_malloc, lib.get(), size, threads, iterations);
        r[2][rep] = measure(subject::heap_alloc, lib.get(), size, threads, iterations);
      }
      const double pool = median3(r[0][0], r[0][1], r[0][2]);
      const double crt = median3(r[1][0], r[1][1], r[1][2]);
      const double heap = median3(r[2][0], r[2][1], r[2][2]);
      std::printf("| %u | %u | %.1f | %.1f | %.1f | %.2f | %.2f |\n", size, threads, pool, crt, heap, pool / crt,
                  pool / heap);
    }
  }
  return 0;
}
