// Waiting for the pool's worker to settle a bucket.
#ifndef OSTREL_TESTS_POOL_WAIT_H
#define OSTREL_TESTS_POOL_WAIT_H

#include <windows.h>

#include <functional>

#include "pool.h"

namespace ostrel_test {

// Polls the bucket's state until `done` holds; false after 20 s (the worker runs at idle priority).
inline bool wait_bucket(const ostrel::pool& p, int c, const std::function<bool(const ostrel::w32heap_sized::state&)>& done) {
  for (int i = 0; i < 20000; ++i) {
    auto s = p.bucket_state(c);
    if (s && done(*s)) return true;
    Sleep(1);
  }
  return false;
}

}  // namespace ostrel_test

#endif
