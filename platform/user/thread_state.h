// Per-thread state: each thread's object (its id, exit, suspension, APC queue and waiter), the calls
// that find, end and stop the calling thread, and APC queueing.
#ifndef WINPLAT_USER_THREAD_STATE_H
#define WINPLAT_USER_THREAD_STATE_H

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "kobject.h"
#include "waiter.h"

namespace wb {

class mutex_object;

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


// Runs the calling thread's queued APCs (FIFO, also those queued meanwhile). A new thread does
// this before its start routine, as Windows does.
void run_queued_apcs();

// Stops the calling thread for good (TerminateThread policy). Never returns.
[[noreturn]] void park_current_thread();

// Notified (with wait_lock()) whenever a thread blocks, for the test observers.
std::condition_variable &thread_state_changed();

// Number of threads parked by TerminateThread.
std::size_t stopped_thread_count();

// Every thread not yet ended that the platform made (from its creation on, started or not) or
// bound to its object (process_exit.cpp stops them). The caller holds live_threads_lock(), taken
// after wait_lock() when both are held.
std::mutex &live_threads_lock();
const std::vector<thread_object *> &live_threads_locked();
void list_live_thread(thread_object *t);
void unlist_live_thread(thread_object *t);

}  // namespace wb

#endif  // WINPLAT_USER_THREAD_STATE_H
