// Per-thread state: each thread's object and id, its last error, its end, APC queueing and
// TerminateThread's stopping point.
#include <standin/thread.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <mutex>

#include "internal.h"

namespace wb {

std::condition_variable &thread_state_changed() {
  static auto *cv = new std::condition_variable;
  return *cv;
}

thread_local DWORD t_thread_id __attribute__((tls_model("initial-exec"))) = 0;

// ---- last error --------------------------------------------------------------------------

namespace {
// Initial-exec: winplat is loaded with the program, and these are read on every lock and call.
thread_local DWORD t_last_error __attribute__((tls_model("initial-exec"))) = 0;
}

void set_last_error(DWORD code) { t_last_error = code; }
DWORD last_error() { return t_last_error; }
void set_last_error_invalid_handle() { t_last_error = ERROR_INVALID_HANDLE; }

// ---- threads -----------------------------------------------------------------------------

thread_local thread_object *t_self __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

std::atomic<DWORD> g_next_thread_id{0x100};
std::atomic<std::size_t> g_stopped{0};

void on_thread_exit(void *p);

pthread_key_t exit_key() {
  static pthread_key_t key = [] {
    pthread_key_t k;
    pthread_key_create(&k, on_thread_exit);
    return k;
  }();
  return key;
}

std::vector<thread_object *> &live_threads() {
  static auto *v = new std::vector<thread_object *>;  // used by thread exits until the process ends
  return *v;
}

// Runs after the thread's C++ thread_local destructors: the thread is gone as Windows sees it.
void on_thread_exit(void *p) {
  auto *t = static_cast<thread_object *>(p);
  // Still alive as Windows sees it while the fiber-local callbacks run.
  end_fiber_local_storage(t);
  apc_queue dropped;
  {
    std::lock_guard<std::mutex> g(wait_lock());
    if (!t->ended) finish_thread_locked(t, t->pending_exit_code, dropped);
  }
  dropped.clear();
  if (t_self == t) {
    t_self = nullptr;
    t_thread_id = 0;
  }
  unlist_live_thread(t);
  t->release();
}

}  // namespace

thread_object::thread_object(DWORD id_, bool platform)
    : kobject(true, false), id(id_), platform_created(platform) {
  w.thread = this;
}

DWORD next_thread_id() { return g_next_thread_id.fetch_add(4); }

// Binds a thread's object to the running thread.
void bind_current_thread(thread_object *t) {
  t_self = t;
  t_thread_id = t->id;
  pthread_setspecific(exit_key(), t);
}

// A platform-made thread is listed from its creation, before it first runs: the exit ends it too.
void list_live_thread(thread_object *t) {
  std::lock_guard<std::mutex> g(live_threads_lock());
  live_threads().push_back(t);
}

void unlist_live_thread(thread_object *t) {
  std::lock_guard<std::mutex> g(live_threads_lock());
  std::erase(live_threads(), t);
}

std::mutex &live_threads_lock() {
  static auto *m = new std::mutex;
  return *m;
}

const std::vector<thread_object *> &live_threads_locked() { return live_threads(); }

thread_object *current_thread() {
  if (t_self) return t_self;
  auto *t = new thread_object(next_thread_id(), false);  // the thread's own reference
  t->linux_tid = static_cast<int>(gettid());
  bind_current_thread(t);
  list_live_thread(t);
  return t;
}

kref<kobject> current_thread_object() { return kref<kobject>::share(current_thread()); }

void finish_thread_locked(thread_object *t, DWORD code, apc_queue &dropped) {
  if (t->ended) return;
  t->ended = true;
  t->exit_code = code;
  for (mutex_object *m : t->owned_mutexes) {
    m->owner = nullptr;
    m->recursion = 0;
    m->abandoned = true;
    m->wake_waiters_locked();
    m->release();  // the object stays alive through the handle that took it, or goes now
  }
  t->owned_mutexes.clear();
  dropped.swap(t->apcs);
  t->set_signalled_locked(true);
  t->w.cv.notify_all();
  thread_state_changed().notify_all();
}

bool queue_apc_locked(thread_object *t, std::function<void()> fn, const void *tag) {
  if (t->ended) return false;
  t->apcs.push_back(apc_entry{std::move(fn), tag});
  if (t->blocked && t->blocked_alertable) notify_waiter(&t->w);
  return true;
}

bool queue_apc(kobject *thread, std::function<void()> fn) {
  auto *t = dynamic_cast<thread_object *>(thread);
  if (!t) {
    set_last_error(ERROR_INVALID_HANDLE);
    return false;
  }
  wait_guard g;
  if (!queue_apc_locked(t, std::move(fn))) {
    set_last_error(ERROR_GEN_FAILURE);
    return false;
  }
  return true;
}

[[noreturn]] void park_current_thread() {
  thread_object *self = current_thread();
  {
    std::lock_guard<std::mutex> g(wait_lock());
    self->stopped = true;
    self->blocked = false;
    g_stopped.fetch_add(1);
    thread_state_changed().notify_all();
  }
  // The thread never runs product code again; it holds no platform lock here.
  for (;;) ::pause();
}

std::size_t stopped_thread_count() { return g_stopped.load(); }

void termination_point() {
  thread_object *self = current_thread();
  if (!self->attention.load(std::memory_order_acquire)) return;
  std::unique_lock<std::mutex> lk(wait_lock());
  for (;;) {
    if (self->terminated) {
      lk.unlock();
      park_current_thread();
    }
    if (self->suspend_count == 0) return;
    self->blocked = true;
    self->blocked_alertable = false;
    thread_state_changed().notify_all();
    self->w.cv.wait(lk);
    self->blocked = false;
  }
}

}  // namespace wb

using namespace wb;

extern "C" {

DWORD WINAPI GetLastError(void) { return last_error(); }

void WINAPI SetLastError(DWORD code) { set_last_error(code); }

DWORD WINAPI GetCurrentThreadId(void) { return current_thread_id(); }

DWORD WINAPI QueueUserAPC(PAPCFUNC fn, HANDLE thread, ULONG_PTR data) {
  if (!fn) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  kref<thread_object> t = lookup_handle_as<thread_object>(thread);
  if (!t) return 0;
  return queue_apc(t.get(), [fn, data] { fn(data); }) ? 1 : 0;
}

}  // extern "C"

namespace standin::thread {

bool wait_until_blocked(HANDLE h, DWORD timeout_ms) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  if (!t) return false;
  g_block_observers.fetch_add(1, std::memory_order_seq_cst);
  std::unique_lock<std::mutex> lk(wait_lock());
  const bool r = thread_state_changed().wait_for(lk, std::chrono::milliseconds(timeout_ms),
                                                 [&] { return t->blocked || t->stopped || t->ended; }) &&
                 t->blocked;
  lk.unlock();
  g_block_observers.fetch_sub(1, std::memory_order_seq_cst);
  return r;
}

bool is_alertable_blocked(HANDLE h) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  if (!t) return false;
  std::lock_guard<std::mutex> g(wait_lock());
  return t->blocked && t->blocked_alertable;
}

std::size_t queued_apcs(HANDLE h) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  if (!t) return 0;
  std::lock_guard<std::mutex> g(wait_lock());
  return t->apcs.size();
}

bool is_stopped(HANDLE h) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  if (!t) return false;
  std::lock_guard<std::mutex> g(wait_lock());
  return t->stopped;
}

std::size_t stopped_count() { return stopped_thread_count(); }

}  // namespace standin::thread
