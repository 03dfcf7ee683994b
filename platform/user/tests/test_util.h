// Small helpers shared by the stand-in's tests.
#ifndef WINPLAT_USER_TESTS_TEST_UTIL_H
#define WINPLAT_USER_TESTS_TEST_UTIL_H

#include <windows.h>

#include <chrono>
#include <thread>

namespace testutil {

// Polls `pred` until it holds or `ms` pass.
template <class Pred>
bool eventually(Pred pred, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A thread handle that closes itself.
struct handle {
  HANDLE h = nullptr;
  handle() = default;
  explicit handle(HANDLE v) : h(v) {}
  handle(const handle &) = delete;
  handle &operator=(const handle &) = delete;
  ~handle() {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  operator HANDLE() const { return h; }
};

}  // namespace testutil

#endif
