#include <w32cpp/handle.h>

namespace w32cpp {

use_count_base::use_count_base(DWORD initial) : count(initial) { InitializeCriticalSection(&lock); }

use_count_base::~use_count_base() { DeleteCriticalSection(&lock); }

void use_count_base::add_ref() {
  EnterCriticalSection(&lock);
  if (count == 0) {
    LeaveCriticalSection(&lock);
    throw use_count_base_is_zero();
  }
  ++count;
  LeaveCriticalSection(&lock);
}

void use_count_base::release() {
  if (!release_noexcept())
    throw use_count_base_is_zero();
}

bool use_count_base::release_noexcept() noexcept {
  EnterCriticalSection(&lock);
  const DWORD old = count;
  if (old == 0) {
    // A release more than was taken: refuse rather than wrap to 0xFFFFFFFF.
    LeaveCriticalSection(&lock);
    return false;
  }
  count = old - 1;
  LeaveCriticalSection(&lock);
  // The object's destructor never runs inside the counter's lock.
  if (old == 1) {
    dispose();
    delete this;
  }
  return true;
}

DWORD use_count_base::use_count() const {
  EnterCriticalSection(&lock);
  const DWORD n = count;
  LeaveCriticalSection(&lock);
  return n;
}

} // namespace w32cpp
