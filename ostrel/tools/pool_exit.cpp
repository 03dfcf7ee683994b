// A client that exits while its threads use the pool: loads the library as a client loads it, starts
// threads that take and give back blocks without end, and calls ExitProcess after a while. The
// system stops those threads wherever they stand, perhaps inside the pool, before the library's
// detach: the process must end at once, whatever they held. Before that, a block taken and given back
// must leave the caller's last error as it was.
// With "factory" the client uses the library's own handle, which the factory returns, and holds no
// use of its own: the library's end at the exit is then the pool's last use.
// usage: poolexit [THREADS] [MILLISECONDS] [loader|factory]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <ostrel/ostrel_lib.h>

#include "tool_args.h"

namespace {

struct work {
  ostrel::api* pool;
  unsigned thread;
};

// Blocks of the size classes, mostly served from the thread's own slot, a few held at a time, and
// now and then one of the small heap and of virtual memory.
DWORD WINAPI use_pool(LPVOID p) {
  const work& w = *static_cast<const work*>(p);
  static const unsigned sizes[] = {1500, 3000, 1500, 5000, 1500, 20000, 1500, 100};
  ostrel::mem_block held[8];
  for (unsigned i = w.thread;; ++i) {
    ostrel::mem_block& b = held[i % 8];
    b = w.pool->allocate(i % 4096 == 0 ? 300000 : sizes[i % 8], false);
    if (b.data()) std::memset(b.data(), static_cast<int>(i), 16);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned threads = ostrel_tools::number_arg(argc, argv, 1, 16);
  const unsigned ms = ostrel_tools::number_arg(argc, argv, 2, 200);
  if (threads == 0 || threads > 64) {
    std::fprintf(stderr, "poolexit: bad arguments\n");
    return 2;
  }
  const bool by_factory = argc > 3 && std::strcmp(argv[3], "factory") == 0;
  ostrel::api* pool = nullptr;
  if (by_factory) {
    using factory = w32cpp::auto_handle<ostrel::api>* (*)();
    HMODULE module = LoadLibraryA("ostrel8");
    auto get = module ? reinterpret_cast<factory>(reinterpret_cast<void (*)()>(GetProcAddress(module, "ostrel_get_instance")))
                      : nullptr;
    if (get) pool = get()->get();
  } else {
    pool = (new ostrel::ostrel_lib)->get();  // the client's use, held to the end
  }
  if (!pool) {
    std::fprintf(stderr, "poolexit: ostrel8 did not load (error %lu)\n", static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  for (unsigned size : {100u, 5000u, 300000u}) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    { ostrel::mem_block b = pool->allocate(size, false); }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr, "poolexit: a block of %u bytes taken and given back left the last error %lu, not 2\n",
                   size, static_cast<unsigned long>(error));
      return 1;
    }
  }
  std::printf("poolexit: the last error survives the pool\n");
  static work jobs[64];
  for (unsigned t = 0; t < threads; ++t) {
    jobs[t] = work{pool, t};
    HANDLE h = CreateThread(nullptr, 0, use_pool, &jobs[t], 0, nullptr);
    if (!h) {
      std::fprintf(stderr, "poolexit: CreateThread failed (error %lu)\n", static_cast<unsigned long>(GetLastError()));
      return 2;
    }
    CloseHandle(h);
  }
  Sleep(ms);
  std::printf("poolexit: %u threads use the pool, exiting\n", threads);
  std::fflush(stdout);
  ExitProcess(0);
}
