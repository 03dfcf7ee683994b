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

namespace standin::faults {
enum class site;
}

namespace wb {

// True when a failure-injection rule makes this call at `where` fail.
bool fault_injected(standin::faults::site where);

class thread_object;
class mutex_object;

// What a waiting thread sleeps on: a sequence number and a futex, so that a signaller that met the
// wait can wake it without the thread taking wait_lock() again. A wake between the check under the
// lock and the sleep is not lost (the number has moved on).
class wake_event {
 public:
  void notify_one();
  void notify_all() { notify_one(); }  // one thread sleeps on it
  // Leaves `lk` while asleep and takes it again.
  void wait(std::unique_lock<std::mutex> &lk);
  void wait_until(std::unique_lock<std::mutex> &lk, std::chrono::steady_clock::time_point deadline);
  // The two halves: prepare() with the lock held, sleep() after leaving it.
  uint32_t prepare() const { return seq_.load(std::memory_order_acquire); }
  void sleep(uint32_t seen, const std::chrono::steady_clock::time_point *deadline);

 private:
  std::atomic<uint32_t> seq_{0};
  std::atomic<bool> sleeping_{false};
};

// One per thread; a blocked wait sleeps on cv (checked with wait_lock()).
struct waiter {
  wake_event cv;
  thread_object *thread = nullptr;
  // The wait it is registered for (guarded by wait_lock()). A signaller that finds the wait can be
  // met meets it on the waiter's behalf (taking the objects' state, as the waiter would), takes it
  // off every object's list and leaves the result in `satisfied` (written last, with release), so
  // that only that waiter is woken, nothing is taken twice, and the waiter returns without the lock.
  kobject *const *objects = nullptr;
  DWORD count = 0;
  bool wait_all = false;
  bool narrow = false;  // a wait on one event that is not alertable, guarded by that event's lock alone
  std::atomic<DWORD> satisfied{WAIT_TIMEOUT};
};

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

// A queued APC; `tag` lets its owner (a timer) take it back out of the queue.
struct apc_entry {
  std::function<void()> fn;
  const void *tag = nullptr;
};
using apc_queue = std::deque<apc_entry>;

// Fiber-local storage indexes per process (as many as older Windows gave).
constexpr unsigned k_fls_slots = 128;

class thread_object final : public kobject {
 public:
  thread_object(DWORD id, bool platform_created);
  const char *type_name() const override { return "thread"; }

  const DWORD id;
  const bool platform_created;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID arg = nullptr;
  std::atomic<int> priority{0};
  std::atomic<int> linux_tid{0};

  // Guarded by wait_lock().
  DWORD exit_code = STILL_ACTIVE;
  DWORD pending_exit_code = 0;  // what the thread returned, applied when it is finished
  DWORD suspend_count = 0;
  // TerminateThread: stop at the next platform wait or sleep (read without the lock by event setters).
  std::atomic<bool> terminated{false};
  // terminated || suspend_count > 0, readable without the lock (written under it).
  std::atomic<bool> attention{false};
  void update_attention_locked() { attention.store(terminated || suspend_count > 0, std::memory_order_release); }
  bool stopped = false;     // reached that point and is parked for good
  bool ended = false;       // exit code final, handle signalled
  std::atomic<bool> blocked{false};  // also set by waits on one event, without wait_lock()
  bool blocked_alertable = false;
  apc_queue apcs;
  std::vector<mutex_object *> owned_mutexes;  // each holds a reference
  waiter w;
  // Fiber-local values (fls.cpp): written by the thread itself, or cleared by FlsFree under the
  // FLS lock. `fls_listed`: on the list FlsFree visits (guarded by that lock).
  std::atomic<void *> fls[k_fls_slots] = {};
  bool fls_listed = false;
};

// Runs the thread's fiber-local callbacks at its end, before it is finished (fls.cpp).
void end_fiber_local_storage(thread_object *t);

// The calling thread's object (created on first use). Valid for the thread's life.
thread_object *current_thread();
// The calling thread's object, or null when it has none yet (nothing is created).
extern thread_local thread_object *t_self __attribute__((tls_model("initial-exec")));
inline thread_object *known_thread() { return t_self; }

// The calling thread's id, read from TLS once the thread is known (locks ask on every call).
extern thread_local DWORD t_thread_id __attribute__((tls_model("initial-exec")));
inline DWORD current_thread_id() {
  const DWORD id = t_thread_id;
  return id ? id : current_thread()->id;
}

// Ends a thread's life as Windows sees it: exit code, mutexes abandoned, handle signalled.
// Called with wait_lock() held; the queued APCs are moved into `dropped` so that they are
// destroyed after the lock is left.
void finish_thread_locked(thread_object *t, DWORD code, apc_queue &dropped);

// Queues an APC with wait_lock() held. False when the thread has ended.
bool queue_apc_locked(thread_object *t, std::function<void()> fn, const void *tag = nullptr);

// A wait on `o` (pinned or referenced by the caller) met without the wait lock: a lock-free object
// that is signalled and has no waiter, taken as the wait would take it. False: do the full wait.
bool wait_met_at_once(kobject *o);

// Runs the calling thread's queued APCs (FIFO, also those queued meanwhile). A new thread does
// this before its start routine, as Windows does.
void run_queued_apcs();

// Stops the calling thread for good (TerminateThread policy). Never returns.
[[noreturn]] void park_current_thread();

// Notified (with wait_lock()) whenever a thread blocks, for the test observers.
std::condition_variable &thread_state_changed();

// Number of threads parked by TerminateThread.
std::size_t stopped_thread_count();

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
