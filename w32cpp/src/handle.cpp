#include <w32cpp/handle.h>
#include <w32cpp/lock.h>

namespace w32cpp {

use_count_base::use_count_base(DWORD initial) : count(initial) { InitializeCriticalSection(&lock); }

use_count_base::~use_count_base() { DeleteCriticalSection(&lock); }

void use_count_base::add_ref() {
  section_lock g(lock);
  if (count == 0)
    throw use_count_base_is_zero();
  ++count;
}

void use_count_base::release() {
  if (!release_noexcept())
    throw use_count_base_is_zero();
}

bool use_count_base::release_noexcept() noexcept {
  DWORD old;
  {
    section_lock g(lock);
    old = count;
    // A release more than was taken: refuse rather than wrap to 0xFFFFFFFF.
    if (old == 0)
      return false;
    count = old - 1;
  }
  // The object's destructor never runs inside the counter's lock.
  if (old == 1) {
    dispose();
    delete this;
  }
  return true;
}

DWORD use_count_base::use_count() const {
  section_lock g(lock);
  return count;
}

} // namespace w32cpp
