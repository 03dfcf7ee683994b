// Threads for tests, made with the platform's own calls.
#ifndef W32T_THREAD_HELPERS_H
#define W32T_THREAD_HELPERS_H

#include <windows.h>

#include <atomic>
#include <functional>

namespace w32t {

// Runs fn on a new platform thread; the caller closes the handle.
inline HANDLE run_thread(std::function<void()> fn) {
  auto *heap_fn = new std::function<void()>(std::move(fn));
  HANDLE h = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto *f = static_cast<std::function<void()> *>(p);
        (*f)();
        delete f;
        return 0;
      },
      heap_fn, 0, nullptr);
  if (!h)
    delete heap_fn;
  return h;
}

// Joins and closes a thread; false when it did not end in time.
inline bool join(HANDLE h, DWORD ms = 30000) {
  const bool ended = WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
  CloseHandle(h);
  return ended;
}

// An APC that counts its calls.
inline void CALLBACK count_apc(ULONG_PTR param) { reinterpret_cast<std::atomic<int> *>(param)->fetch_add(1); }

} // namespace w32t

#endif
