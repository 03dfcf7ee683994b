// Threads that use the pool and end, round after round, with the library loaded as a client loads
// it. Every round must end within its deadline: a thread whose end hangs in the library shows here.
// usage: poolchurn [ROUNDS] [THREADS] [BLOCKS] [SIZE]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <ostrel/ostrel_lib.h>

#include "tool_args.h"

namespace {

struct churn {
  ostrel::api* pool;
  unsigned blocks;
  unsigned size;
  unsigned thread;
  LONG* corrupt;
};

// Takes and gives back `blocks` blocks, a few held at a time so that some go past the thread's own
// cache, each filled and checked before it goes.
DWORD WINAPI churn_thread(LPVOID p) {
  const churn& c = *static_cast<const churn*>(p);
  constexpr unsigned k_held = 12;
  ostrel::mem_block held[k_held];
  for (unsigned i = 0; i < c.blocks; ++i) {
    ostrel::mem_block& b = held[i % k_held];
    if (b.data()) {
      const unsigned char want = static_cast<unsigned char>(c.thread * 16 + (i - k_held) % 16);
      if (b.bytes()[0] != want || std::memcmp(b.bytes(), b.bytes() + 1, c.size - 1) != 0)
        InterlockedIncrement(c.corrupt);
    }
    b = c.pool->allocate(c.size, false);
    if (!b.data()) {
      InterlockedIncrement(c.corrupt);
      continue;
    }
    std::memset(b.data(), c.thread * 16 + i % 16, c.size);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned rounds = ostrel_tools::number_arg(argc, argv, 1, 20);
  const unsigned threads = ostrel_tools::number_arg(argc, argv, 2, 4);
  const unsigned blocks = ostrel_tools::number_arg(argc, argv, 3, 10000);
  const unsigned size = ostrel_tools::number_arg(argc, argv, 4, 1500);
  if (threads == 0 || threads > MAXIMUM_WAIT_OBJECTS || size == 0) {
    std::fprintf(stderr, "poolchurn: bad arguments\n");
    return 2;
  }
  ostrel::ostrel_lib lib;
  if (!lib) {
    std::fprintf(stderr, "poolchurn: ostrel8 did not load (error %lu)\n", GetLastError());
    return 2;
  }
  LONG corrupt = 0;
  churn work[MAXIMUM_WAIT_OBJECTS];
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  for (unsigned r = 0; r < rounds; ++r) {
    const DWORD start = GetTickCount();
    for (unsigned t = 0; t < threads; ++t) {
      work[t] = churn{lib.get(), blocks, size, t, &corrupt};
      handles[t] = CreateThread(nullptr, 0, churn_thread, &work[t], 0, nullptr);
      if (!handles[t]) {
        std::fprintf(stderr, "poolchurn: CreateThread failed (error %lu)\n", GetLastError());
        return 2;
      }
    }
    // Generous for 40,000 blocks; a thread that hangs at its end never makes it.
    const DWORD w = WaitForMultipleObjects(threads, handles, TRUE, 30000);
    if (w != WAIT_OBJECT_0) {
      std::fprintf(stderr, "poolchurn: round %u: the threads did not all end within 30 s\n", r + 1);
      std::fflush(stderr);
      // The hung threads hold the library's locks: no orderly exit is possible.
      TerminateProcess(GetCurrentProcess(), 3);
    }
    for (unsigned t = 0; t < threads; ++t) CloseHandle(handles[t]);
    std::printf("round %u: %u threads x %u blocks of %u bytes, %lu ms\n", r + 1, threads, blocks, size,
                GetTickCount() - start);
    std::fflush(stdout);
  }
  if (corrupt) {
    std::fprintf(stderr, "poolchurn: %ld blocks missing or overwritten\n", corrupt);
    return 1;
  }
  std::printf("poolchurn: %u rounds done\n", rounds);
  return 0;
}
