// Heaps, virtual and local memory with failure injection; messages, version, debug output, strings.
#include <gtest/gtest.h>
#include <standin/debug.h>
#include <standin/faults.h>
#include <standin/version.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "zephtest/wait.h"

namespace {

using standin::faults::site;

struct Memory : ::testing::Test {
  void TearDown() override { standin::faults::clear(); }
};

TEST_F(Memory, HeapBlocksAreZeroedOnRequestAndSized) {
  HANDLE h = HeapCreate(HEAP_GENERATE_EXCEPTIONS, 32, 0);
  ASSERT_NE(h, nullptr);
  auto *p = static_cast<unsigned char *>(HeapAlloc(h, HEAP_ZERO_MEMORY, 300));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(p[i], 0) << i;
  EXPECT_EQ(HeapSize(h, 0, p), 300u);
  std::memset(p, 0xAB, 300);
  auto *q = static_cast<unsigned char *>(HeapReAlloc(h, HEAP_ZERO_MEMORY, p, 400));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q[299], 0xAB);
  EXPECT_EQ(q[399], 0);
  EXPECT_TRUE(HeapFree(h, 0, q));
  EXPECT_TRUE(HeapFree(h, 0, nullptr));
  EXPECT_TRUE(HeapDestroy(h));
}

TEST_F(Memory, HeapDestroyFreesWhatIsLeft) {
  // LeakSanitizer would report the blocks if destroying the heap did not free them.
  HANDLE h = HeapCreate(0, 0, 0);
  for (int i = 0; i < 100; ++i) ASSERT_NE(HeapAlloc(h, 0, 64 + i), nullptr);
  EXPECT_TRUE(HeapDestroy(h));
  SetLastError(0);
  EXPECT_EQ(HeapAlloc(h, 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(HeapDestroy(h));
}

TEST_F(Memory, BlocksBelongToTheirHeap) {
  HANDLE a = HeapCreate(0, 0, 0), b = HeapCreate(0, 0, 0);
  void *p = HeapAlloc(a, 0, 16);
  SetLastError(0);
  EXPECT_FALSE(HeapFree(b, 0, p));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(HeapValidate(a, 0, p));
  EXPECT_FALSE(HeapValidate(b, 0, p));
  EXPECT_TRUE(HeapFree(a, 0, p));
  HeapDestroy(a);
  HeapDestroy(b);
}

TEST_F(Memory, ProcessHeapWorksAndCannotBeDestroyed) {
  HANDLE h = GetProcessHeap();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetProcessHeap(), h);
  void *p = HeapAlloc(h, 0, 10);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(HeapFree(h, 0, p));
  EXPECT_FALSE(HeapDestroy(h));
}

TEST_F(Memory, FixedSizeHeapRefusesToGrowPastItsMaximum) {
  HANDLE h = HeapCreate(0, 0, 1000);
  void *p = HeapAlloc(h, 0, 800);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(HeapAlloc(h, 0, 300), nullptr);
  EXPECT_THROW(HeapAlloc(h, HEAP_GENERATE_EXCEPTIONS, 300), std::bad_alloc);
  HeapFree(h, 0, p);
  EXPECT_NE(HeapAlloc(h, 0, 300), nullptr);
  HeapDestroy(h);
}

TEST_F(Memory, InjectedHeapFailureRaisesOnlyWithGenerateExceptions) {
  HANDLE quiet = HeapCreate(0, 0, 0);
  HANDLE loud = HeapCreate(HEAP_GENERATE_EXCEPTIONS, 0, 0);
  standin::faults::fail_next(site::heap_alloc, 1);
  EXPECT_EQ(HeapAlloc(quiet, 0, 8), nullptr);
  EXPECT_NE(HeapAlloc(quiet, 0, 8), nullptr);  // only one failure was asked for
  standin::faults::fail_next(site::heap_alloc, 1);
  EXPECT_THROW(HeapAlloc(loud, 0, 8), std::bad_alloc);
  standin::faults::fail_next(site::heap_alloc, 1);
  EXPECT_THROW(HeapAlloc(quiet, HEAP_GENERATE_EXCEPTIONS, 8), std::bad_alloc);
  EXPECT_EQ(standin::faults::injected(site::heap_alloc), 3u);
  HeapDestroy(quiet);
  HeapDestroy(loud);
}

TEST_F(Memory, FaultRulesSkipCountFilterByHeapAndThread) {
  HANDLE a = HeapCreate(0, 0, 0), b = HeapCreate(0, 0, 0);
  standin::faults::rule r;
  r.where = site::heap_alloc;
  r.heap = b;
  r.skip = 2;
  r.count = 2;
  standin::faults::add(r);
  EXPECT_NE(HeapAlloc(a, 0, 8), nullptr);  // other heap: not counted
  EXPECT_NE(HeapAlloc(b, 0, 8), nullptr);
  EXPECT_NE(HeapAlloc(b, 0, 8), nullptr);
  EXPECT_EQ(HeapAlloc(b, 0, 8), nullptr);
  EXPECT_EQ(HeapAlloc(b, 0, 8), nullptr);
  EXPECT_NE(HeapAlloc(b, 0, 8), nullptr);
  standin::faults::clear();

  standin::faults::rule t;
  t.where = site::heap_alloc;
  t.count = 0;  // every call
  t.this_thread_only = true;
  standin::faults::add(t);
  void *other = nullptr;
  zephtest::join(std::thread([&] { other = HeapAlloc(a, 0, 8); }));
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(HeapAlloc(a, 0, 8), nullptr);
  EXPECT_EQ(HeapAlloc(a, 0, 8), nullptr);
  standin::faults::clear();
  EXPECT_EQ(standin::faults::injected(site::heap_alloc), 0u);
  HeapDestroy(a);
  HeapDestroy(b);
}

// A block freed by its thread is kept for that thread's next request of the same size: while kept
// it is no block of the heap (a second free, HeapSize and HeapValidate refuse it), a zeroed request
// gets it cleared, injected failures still fail, a bounded heap does not count it, and HeapDestroy
// takes it (the leak checker would tell).
TEST_F(Memory, FreedBlocksKeptForReuseAreNoLongerBlocksOfTheHeap) {
  HANDLE h = HeapCreate(0, 0, 0);
  auto *p = static_cast<unsigned char *>(HeapAlloc(h, 0, 96));
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xAB, 96);
  ASSERT_TRUE(HeapFree(h, 0, p));
  EXPECT_FALSE(HeapFree(h, 0, p));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(HeapSize(h, 0, p), static_cast<SIZE_T>(-1));
  EXPECT_FALSE(HeapValidate(h, 0, p));

  auto *z = static_cast<unsigned char *>(HeapAlloc(h, HEAP_ZERO_MEMORY, 96));
  ASSERT_NE(z, nullptr);
  for (int i = 0; i < 96; ++i) ASSERT_EQ(z[i], 0) << i;
  EXPECT_EQ(HeapSize(h, 0, z), 96u);
  ASSERT_TRUE(HeapFree(h, 0, z));

  standin::faults::fail_next(site::heap_alloc, 1);
  EXPECT_EQ(HeapAlloc(h, 0, 96), nullptr);  // a kept block does not get round the rule

  // Sizes that share a bin, and more blocks than a bin keeps: every one stays a block of its own.
  std::vector<void *> blocks;
  for (int round = 0; round < 3; ++round) {
    for (SIZE_T size : {SIZE_T{16}, SIZE_T{17}, SIZE_T{272}, SIZE_T{4096}, SIZE_T{4097}})
      for (int i = 0; i < 40; ++i) {
        void *b = HeapAlloc(h, 0, size);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(HeapSize(h, 0, b), size);
        std::memset(b, round, size);
        blocks.push_back(b);
      }
    for (size_t i = 0; i < blocks.size(); i += 2) ASSERT_TRUE(HeapFree(h, 0, blocks[i]));
    for (size_t i = 1; i < blocks.size(); i += 2) ASSERT_TRUE(HeapValidate(h, 0, blocks[i]));
    for (size_t i = 1; i < blocks.size(); i += 2) ASSERT_TRUE(HeapFree(h, 0, blocks[i]));
    blocks.clear();
  }
  for (int i = 0; i < 8; ++i) ASSERT_NE(HeapAlloc(h, 0, 272), nullptr);  // some left for HeapDestroy
  EXPECT_TRUE(HeapDestroy(h));

  HANDLE bounded = HeapCreate(0, 0, 1000);
  void *a = HeapAlloc(bounded, 0, 600);
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(HeapFree(bounded, 0, a));
  void *b = HeapAlloc(bounded, 0, 900);  // the kept 600 bytes are not in use
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(HeapAlloc(bounded, 0, 600), nullptr);
  ASSERT_TRUE(HeapFree(bounded, 0, b));
  EXPECT_NE(HeapAlloc(bounded, 0, 600), nullptr);
  EXPECT_TRUE(HeapDestroy(bounded));
}

// A block freed by a thread other than the one that made it is not kept by either: the maker's next
// block of that size is a new one, and HeapFree of the old pointer fails.
TEST_F(Memory, BlockFreedByAnotherThreadIsNotKeptForItsMaker) {
  HANDLE h = HeapCreate(0, 0, 0);
  void *p = HeapAlloc(h, 0, 200);
  ASSERT_NE(p, nullptr);
  BOOL freed = FALSE;
  zephtest::join(std::thread([&] { freed = HeapFree(h, 0, p); }));
  EXPECT_TRUE(freed);
  EXPECT_FALSE(HeapValidate(h, 0, p));
  void *q = HeapAlloc(h, 0, 200);
  ASSERT_NE(q, nullptr);
  EXPECT_TRUE(HeapValidate(h, 0, q));
  EXPECT_TRUE(HeapFree(h, 0, q));
  EXPECT_TRUE(HeapDestroy(h));
}

// Handles that never named a heap, or name one destroyed since, fail cleanly even when many heaps
// have come and gone in between.
TEST_F(Memory, UnknownAndStaleHeapHandlesAreRefused) {
  for (uintptr_t v : {uintptr_t{1}, uintptr_t{0x10}, uintptr_t{0x1234}, uintptr_t{0xdeadbeef0}, ~uintptr_t{0xF}}) {
    HANDLE bogus = reinterpret_cast<HANDLE>(v);
    SetLastError(0);
    EXPECT_EQ(HeapAlloc(bogus, 0, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(HeapFree(bogus, 0, nullptr));
    EXPECT_EQ(HeapSize(bogus, 0, nullptr), static_cast<SIZE_T>(-1));
  }
  HANDLE stale = HeapCreate(0, 0, 0);
  ASSERT_TRUE(HeapDestroy(stale));
  for (int i = 0; i < 3000; ++i) {
    HANDLE h = HeapCreate(0, 0, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(h, stale);
    ASSERT_TRUE(HeapDestroy(h));
  }
  EXPECT_EQ(HeapAlloc(stale, 0, 16), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Threads allocate and free on one heap, and another frees some of their blocks; a bounded heap never hands out more
// than its maximum, and HeapDestroy takes what is still allocated (the leak checker would tell).
TEST_F(Memory, HeapSharedByThreadsKeepsItsBoundAndDestroyFreesTheRest) {
  HANDLE h = HeapCreate(0, 0, 64 * 1000);
  ASSERT_NE(h, nullptr);
  std::atomic<int> live_bytes{0}, peak{0};
  std::vector<std::thread> threads;
  std::vector<void *> handed[4];
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        void *p = HeapAlloc(h, 0, 1000);
        if (p) {
          int now = live_bytes.fetch_add(1000) + 1000;
          int old = peak.load();
          while (now > old && !peak.compare_exchange_weak(old, now)) {
          }
          std::memset(p, t, 1000);
          handed[t].push_back(p);
        }
        if (handed[t].size() > 20) {
          void *q = handed[t].front();
          handed[t].erase(handed[t].begin());
          live_bytes.fetch_sub(1000);
          ASSERT_TRUE(HeapFree(h, 0, q));
        }
      }
    });
  for (auto &th : threads) zephtest::join(th);
  EXPECT_LE(peak.load(), 64 * 1000);
  EXPECT_GT(peak.load(), 0);
  // Blocks the workers made, freed by this thread.
  for (int t = 0; t < 4; ++t) {
    while (handed[t].size() > 10) {
      ASSERT_TRUE(HeapFree(h, 0, handed[t].back()));
      handed[t].pop_back();
    }
  }
  EXPECT_TRUE(HeapDestroy(h));
}

// One thread allocates while another frees what it made: the blocks given back across threads are
// freed (the leak checker would tell), also those still waiting when the heap is destroyed.
TEST_F(Memory, BlocksFreedByAnotherThreadAreReleased) {
  HANDLE h = HeapCreate(0, 0, 0);
  ASSERT_NE(h, nullptr);
  std::mutex m;
  std::condition_variable cv;
  std::vector<void *> handed;
  bool done = false;
  std::thread consumer([&] {
    for (;;) {
      std::unique_lock<std::mutex> lk(m);
      ASSERT_TRUE(zephtest::wait_on(cv, lk, [&] { return done || !handed.empty(); }));
      if (handed.empty() && done) return;
      void *p = handed.back();
      handed.pop_back();
      lk.unlock();
      ASSERT_EQ(static_cast<unsigned char *>(p)[99], 0x5A);
      ASSERT_TRUE(HeapFree(h, 0, p));
    }
  });
  for (int i = 0; i < 5000; ++i) {
    void *p = HeapAlloc(h, 0, 100);
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, 100);
    {
      std::lock_guard<std::mutex> g(m);
      handed.push_back(p);
    }
    cv.notify_one();
  }
  {
    std::lock_guard<std::mutex> g(m);
    done = true;
  }
  cv.notify_one();
  zephtest::join(consumer);
  EXPECT_TRUE(HeapDestroy(h));
}

// Waves of more threads than own a block list each, freeing blocks that threads of earlier waves
// (ended, their lists taken over by newcomers) made: no block is handed out twice or lost, and
// HeapDestroy frees what was left on every list, the returned ones included.
TEST_F(Memory, BlocksOfEndedThreadsFreedByLaterOnesAcrossListTakeOvers) {
  HANDLE h = HeapCreate(0, 0, 0);
  ASSERT_NE(h, nullptr);
  std::mutex m;
  std::vector<unsigned char *> pool;  // blocks waiting for another thread to free them
  std::atomic<int> bad{0};
  auto worker = [&](unsigned char tag) {
    for (int i = 0; i < 300; ++i) {
      auto *p = static_cast<unsigned char *>(HeapAlloc(h, 0, 48));
      if (!p) {
        bad.fetch_add(1);
        return;
      }
      std::memset(p, tag, 48);
      unsigned char *q = nullptr;
      {
        std::lock_guard<std::mutex> g(m);
        pool.push_back(p);
        if (pool.size() > 64 && (i & 1)) {
          q = pool.front();
          pool.erase(pool.begin());
        }
      }
      if (q) {
        // Every byte still carries its maker's tag: a block given out twice would be overwritten.
        for (int k = 1; k < 48; ++k)
          if (q[k] != q[0]) bad.fetch_add(1);
        if (!HeapFree(h, 0, q)) bad.fetch_add(1);
      }
    }
  };
  for (int wave = 0; wave < 4; ++wave) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 20; ++t) threads.emplace_back(worker, static_cast<unsigned char>(wave * 20 + t + 1));
    for (auto &t : threads) zephtest::join(t);
  }
  EXPECT_EQ(bad.load(), 0);
  // Half of what is left is freed here (returned to lists whose threads have ended), half by HeapDestroy.
  for (size_t i = 0; i < pool.size(); i += 2) EXPECT_TRUE(HeapFree(h, 0, pool[i]));
  EXPECT_TRUE(HeapDestroy(h));
}

TEST_F(Memory, HeapCreateFailureIsInjectable) {
  standin::faults::fail_next(site::heap_create);
  SetLastError(0);
  EXPECT_EQ(HeapCreate(0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  HANDLE h = HeapCreate(0, 0, 0);
  EXPECT_NE(h, nullptr);
  HeapDestroy(h);
}

TEST_F(Memory, VirtualAllocGivesZeroedPagesAndReleasesWholeRegions) {
  auto *p = static_cast<unsigned char *>(VirtualAlloc(nullptr, 100000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[99999], 0);
  p[99999] = 1;
  SetLastError(0);
  EXPECT_FALSE(VirtualFree(p, 100000, MEM_RELEASE));  // release takes size 0
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(VirtualFree(p + 4096, 0, MEM_RELEASE));  // and the region's base
  EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));
}

TEST_F(Memory, ReservedPagesCanBeCommittedLater) {
  auto *base = static_cast<char *>(VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(base, nullptr);
  auto *page = static_cast<char *>(VirtualAlloc(base + 8192, 4096, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_EQ(page, base + 8192);
  page[0] = 'x';
  EXPECT_TRUE(VirtualFree(page, 4096, MEM_DECOMMIT));
  EXPECT_EQ(VirtualAlloc(base + 65536 * 4, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
  EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
}

TEST_F(Memory, VirtualAllocFailureIsInjectable) {
  standin::faults::fail_next(site::virtual_alloc);
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  void *p = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
  EXPECT_NE(p, nullptr);
  VirtualFree(p, 0, MEM_RELEASE);
}

TEST_F(Memory, LocalAllocZeroesAndLocalFreeReportsForeignBlocks) {
  auto *p = static_cast<unsigned char *>(LocalAlloc(LPTR, 1048));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[1047], 0);
  EXPECT_EQ(LocalSize(p), 1048u);
  EXPECT_EQ(LocalFree(p), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  HANDLE h = HeapCreate(0, 0, 0);
  void *foreign = HeapAlloc(h, 0, 16);
  EXPECT_EQ(LocalFree(foreign), foreign);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HeapDestroy(h);
  standin::faults::fail_next(site::local_alloc);
  EXPECT_EQ(LocalAlloc(LPTR, 16), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  void *g = GlobalAlloc(GPTR, 32);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(GlobalFree(g), nullptr);
}

// ---- messages --------------------------------------------------------------------------

DWORD system_text(DWORD code, char **out) {
  return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(out), 0,
                        nullptr);
}

TEST(FormatMessage, KnownCodesGiveAnAllocatedLineEndingInCrLf) {
  for (DWORD code : {0u, 2u, 6u, 31u, 87u, 121u, 258u, 995u, 997u, 1117u, 1617u}) {
    char *text = nullptr;
    DWORD n = system_text(code, &text);
    ASSERT_GT(n, 2u) << code;
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::strlen(text), n);
    EXPECT_EQ(std::string(text + n - 2), "\r\n");
    EXPECT_EQ(LocalFree(text), nullptr);
  }
}

TEST(FormatMessage, UnknownCodeAllocatesNothing) {
  char *text = reinterpret_cast<char *>(0x1);
  EXPECT_EQ(system_text(0x12345, &text), 0u);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  // Without a place for the pointer the call fails instead of writing through null.
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           nullptr, 0x12345, 0, nullptr, 0, nullptr),
            0u);
}

TEST(FormatMessage, CallerBufferMustHoldTheText) {
  char small[8];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 6, 0, small,
                           sizeof small, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char big[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 6, 0, big,
                           sizeof big, nullptr);
  EXPECT_EQ(n, std::strlen(big));
}

// ---- version, debug output, strings -----------------------------------------------------

TEST(Version, NtByDefaultAndOverridable) {
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_EQ(sizeof v, 148u);
  ASSERT_TRUE(GetVersionExA(&v));
  EXPECT_EQ(v.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  standin::version::set(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222, "A");
  ASSERT_TRUE(GetVersionExA(&v));
  EXPECT_EQ(v.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
  EXPECT_EQ(v.dwMinorVersion, 10u);
  EXPECT_STREQ(v.szCSDVersion, "A");
  standin::version::reset();
  OSVERSIONINFOEXA ex{};
  ex.dwOSVersionInfoSize = sizeof ex;
  ASSERT_EQ(sizeof ex, 156u);
  ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
  EXPECT_EQ(ex.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  v.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(GetVersionExA(&v));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(DebugOutput, EachCallIsOneEntryInTheSink) {
  standin::debug::clear();
  OutputDebugStringA("SerialComPort::Open : return true\n");
  OutputDebugStringA("second");
  OutputDebugStringA(nullptr);
  auto lines = standin::debug::lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "SerialComPort::Open : return true\n");
  EXPECT_EQ(standin::debug::text(), "SerialComPort::Open : return true\nsecond");
  standin::debug::clear();
  EXPECT_EQ(standin::debug::count(), 0u);
}

TEST(Strings, CopyAndFormatStayWithinTheirLimits) {
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  lstrcpynA(buf, "abcdefghijkl", 5);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(buf[5], 'x');
  EXPECT_EQ(lstrcmpiA("Keelmon.EXE", "keelmon.exe"), 0);
  EXPECT_LT(lstrcmpiA("a", "B"), 0);
  EXPECT_EQ(lstrcmpiW(L"Setup", L"SETUP"), 0);
  EXPECT_EQ(lstrlenA(nullptr), 0);
  char out[1100];
  EXPECT_EQ(wsprintfA(out, "%s-%d-%04x", "tapi", 12, 0x2a), 12);
  EXPECT_STREQ(out, "tapi-12-002a");
  std::string longer(2000, 'y');
  EXPECT_EQ(wsprintfA(out, "%s", longer.c_str()), 1023);  // the system's 1024-byte limit
  EXPECT_EQ(std::strlen(out), 1023u);
}

}  // namespace
