// Failure injection for the memory services and event creation.
#ifndef STANDIN_FAULTS_H
#define STANDIN_FAULTS_H

#include <windows.h>

#include <cstddef>

namespace standin::faults {

enum class site {
  heap_create,    // HeapCreate returns NULL (ERROR_NOT_ENOUGH_MEMORY)
  heap_alloc,     // HeapAlloc/HeapReAlloc fail (NULL, or the exception with HEAP_GENERATE_EXCEPTIONS)
  virtual_alloc,  // VirtualAlloc returns NULL (ERROR_NOT_ENOUGH_MEMORY)
  local_alloc,    // LocalAlloc/GlobalAlloc return NULL (ERROR_NOT_ENOUGH_MEMORY)
  create_event,   // CreateEventA returns NULL (ERROR_NOT_ENOUGH_MEMORY)
};

struct rule {
  site where = site::heap_alloc;
  unsigned skip = 0;                // let this many matching calls succeed first
  unsigned count = 1;               // then fail this many (0: every one until cleared)
  HANDLE heap = nullptr;            // heap_alloc only: this heap alone (nullptr: any heap)
  bool this_thread_only = false;    // only calls from the thread that added the rule
};

// Adds a rule; rules are checked in the order added, and a call matched by one is not seen by
// the later ones.
void add(const rule &r);
// Shorthand: the next `count` calls at `where` fail, on any thread.
void fail_next(site where, unsigned count = 1);
// Removes every rule and zeroes the counters.
void clear();
// Failures injected at `where` since the last clear().
std::size_t injected(site where);
// System exceptions raised for HEAP_GENERATE_EXCEPTIONS since the last clear(): on Windows a C++
// catch of a DWARF-unwinding build never sees them, and the process ends.
std::size_t exceptions_raised();

}  // namespace standin::faults

#endif
