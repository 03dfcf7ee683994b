// Scoped ownership of a critical section.
#ifndef W32CPP_LOCK_H
#define W32CPP_LOCK_H

#include <windows.h>

namespace w32cpp {

// Enters the section for the scope; leaves it on every way out, exceptions included.
class section_lock {
 public:
  explicit section_lock(CRITICAL_SECTION &section) : section_(section) { EnterCriticalSection(&section_); }
  explicit section_lock(CRITICAL_SECTION *section) : section_lock(*section) {}
  ~section_lock() { LeaveCriticalSection(&section_); }
  section_lock(const section_lock &) = delete;
  section_lock &operator=(const section_lock &) = delete;

 private:
  CRITICAL_SECTION &section_;
};

}  // namespace w32cpp

#endif
