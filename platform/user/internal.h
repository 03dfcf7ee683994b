// Declarations shared by the core's own sources (threads, waits, timers, sync objects).
#ifndef WINPLAT_USER_INTERNAL_H
#define WINPLAT_USER_INTERNAL_H

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "kobject.h"
#include "thread_state.h"
#include "waiter.h"

namespace standin::faults {
enum class site;
}

namespace wb {

// True when a failure-injection rule makes this call at `where` fail.
bool fault_injected(standin::faults::site where);

// Holds wait_lock() (or the given object lock); the waiters woken meanwhile are notified once it is
// left, so that they do not wake only to block on the lock. Under a plain lock they are notified at
// once.
class wait_guard {
 public:
  wait_guard();
  explicit wait_guard(std::mutex &m);
  ~wait_guard();
  wait_guard(const wait_guard &) = delete;
  wait_guard &operator=(const wait_guard &) = delete;

 private:
  std::mutex &m_;
};

// A wait on `o` (pinned or referenced by the caller) met without the wait lock: a lock-free object
// that is signalled and has no waiter, taken as the wait would take it. False: do the full wait.
bool wait_met_at_once(kobject *o);

// Wakes a waiter whose wait a signal met (after the wait_guard is left when one is held).
void notify_waiter(waiter *w);

// Threads in standin::thread::wait_until_blocked: a narrow wait tells them only while there are any.
extern std::atomic<int> g_block_observers;

class mutex_object final : public kobject {
 public:
  mutex_object() : kobject(true, false) {}
  const char *type_name() const override { return "mutex"; }
  bool is_signalled_locked(const waiter *w) const override;
  DWORD acquire_locked(waiter *w) override;

  thread_object *owner = nullptr;
  DWORD recursion = 0;
  bool abandoned = false;
};

// Named-object namespace shared by events, mutexes and timers (names are case-sensitive).
// find_or_create: with the namespace locked, returns a new handle to the existing object of that
// name (last error ERROR_ALREADY_EXISTS), or NULL with ERROR_INVALID_HANDLE when the name is
// taken by another type; else calls make(), registers the result under the name and returns
// its handle (last error 0). make() returns an object with one reference, or null on failure.
HANDLE named_create(const char *name, const char *type, kobject *(*make)(void *), void *ctx);
// Opens an existing named object of `type`, or NULL with ERROR_FILE_NOT_FOUND.
HANDLE named_open(const char *name, const char *type);

// Nanoseconds a wait of `ns` lasts with the long-wait scaling.
uint64_t scale_wait_ns(uint64_t ns);

// 100 ns units since 1601-01-01 UTC.
uint64_t filetime_now();

}  // namespace wb

#endif  // WINPLAT_USER_INTERNAL_H
