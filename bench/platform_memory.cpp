// The stand-in's critical sections, heaps and virtual memory against what Linux offers for the same
// job, in the same run: pthread mutex, malloc/free, mmap/munmap. Prints the ratio table
// (bench/ratio_table.h).
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/mman.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ratio_table.h"

namespace {

// ---- critical section against a pthread mutex: one shared lock, each thread enters and leaves ----

CRITICAL_SECTION g_cs, g_cs_spin;
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
long g_guarded = 0;

void BM_CriticalSection(benchmark::State &state) {
  if (state.thread_index() == 0) InitializeCriticalSection(&g_cs);
  for (auto _ : state) {
    EnterCriticalSection(&g_cs);
    benchmark::DoNotOptimize(++g_guarded);
    LeaveCriticalSection(&g_cs);
  }
}

// The same with the spin count the heaps of the real platform use.
void BM_CriticalSectionSpin(benchmark::State &state) {
  if (state.thread_index() == 0) InitializeCriticalSectionAndSpinCount(&g_cs_spin, 4000);
  for (auto _ : state) {
    EnterCriticalSection(&g_cs_spin);
    benchmark::DoNotOptimize(++g_guarded);
    LeaveCriticalSection(&g_cs_spin);
  }
}

void BM_PthreadMutex(benchmark::State &state) {
  for (auto _ : state) {
    pthread_mutex_lock(&g_mutex);
    benchmark::DoNotOptimize(++g_guarded);
    pthread_mutex_unlock(&g_mutex);
  }
}

void BM_CriticalSectionInitDelete(benchmark::State &state) {
  for (auto _ : state) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    benchmark::DoNotOptimize(&cs);
    DeleteCriticalSection(&cs);
  }
}

void BM_PthreadMutexInitDestroy(benchmark::State &state) {
  for (auto _ : state) {
    pthread_mutex_t m;
    pthread_mutex_init(&m, nullptr);
    benchmark::DoNotOptimize(&m);
    pthread_mutex_destroy(&m);
  }
}

// ---- HeapAlloc/HeapFree on one growable heap shared by the threads, against malloc/free -----------

HANDLE shared_heap() {
  static HANDLE h = HeapCreate(0, 0, 0);
  return h;
}

void BM_HeapAlloc(benchmark::State &state) {
  const HANDLE h = shared_heap();
  const auto size = static_cast<SIZE_T>(state.range(0));
  for (auto _ : state) {
    void *p = HeapAlloc(h, 0, size);
    static_cast<volatile char *>(p)[0] = 1;
    HeapFree(h, 0, p);
  }
}

void BM_Malloc(benchmark::State &state) {
  const auto size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void *p = std::malloc(size);
    static_cast<volatile char *>(p)[0] = 1;
    std::free(p);
  }
}

// ---- VirtualAlloc/VirtualFree against mmap/munmap, touching the first page ------------------------

void BM_VirtualAlloc(benchmark::State &state) {
  const auto size = static_cast<SIZE_T>(state.range(0));
  for (auto _ : state) {
    void *p = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    static_cast<volatile char *>(p)[0] = 1;
    VirtualFree(p, 0, MEM_RELEASE);
  }
}

void BM_Mmap(benchmark::State &state) {
  const auto size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    static_cast<volatile char *>(p)[0] = 1;
    munmap(p, size);
  }
}

BENCHMARK(BM_CriticalSection)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_CriticalSectionSpin)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_PthreadMutex)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_CriticalSectionInitDelete)->UseRealTime();
BENCHMARK(BM_PthreadMutexInitDestroy)->UseRealTime();
BENCHMARK(BM_HeapAlloc)->Arg(64)->Arg(1500)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_Malloc)->Arg(64)->Arg(1500)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_VirtualAlloc)->Arg(256 * 1024)->Arg(1024 * 1024)->UseRealTime();
BENCHMARK(BM_Mmap)->Arg(256 * 1024)->Arg(1024 * 1024)->UseRealTime();

std::vector<bench::row> rows() {
  std::vector<bench::row> r;
  for (int t : {1, 4}) {
    const std::string th = "/real_time/threads:" + std::to_string(t);
    r.push_back({"EnterCriticalSection+Leave, " + std::to_string(t) + " thr / pthread", "BM_CriticalSection" + th,
                 "BM_PthreadMutex" + th, 1.2, "<= 1.20"});
    r.push_back({"  the same, SpinCount 4000", "BM_CriticalSectionSpin" + th, "BM_PthreadMutex" + th, 0.0, "-"});
  }
  r.push_back({"InitializeCriticalSection+Delete / pthread", "BM_CriticalSectionInitDelete/real_time",
               "BM_PthreadMutexInitDestroy/real_time", 0.0, "-"});
  for (int size : {64, 1500})
    for (int t : {1, 4}) {
      const std::string a = "/" + std::to_string(size) + "/real_time/threads:" + std::to_string(t);
      r.push_back({"HeapAlloc+HeapFree " + std::to_string(size) + " B, " + std::to_string(t) + " thr / malloc",
                   "BM_HeapAlloc" + a, "BM_Malloc" + a, 1.5, "<= 1.50"});
    }
  for (int size : {256 * 1024, 1024 * 1024}) {
    const std::string a = "/" + std::to_string(size) + "/real_time";
    r.push_back({"VirtualAlloc+VirtualFree " + std::to_string(size / 1024) + " KiB / mmap", "BM_VirtualAlloc" + a,
                 "BM_Mmap" + a, 1.2, "<= 1.20"});
  }
  return r;
}

}  // namespace

int main(int argc, char **argv) { return bench::run(argc, argv, rows()); }
