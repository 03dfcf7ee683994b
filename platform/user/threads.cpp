// Threads: creation, suspension, exit codes, priorities and TerminateThread.
//
// TerminateThread policy: the victim's handle is signalled with the given exit code at once, its
// owned mutexes are abandoned and its queued APCs dropped; the thread itself stops for good at
// its next platform wait or sleep (or at once when it is blocked in one). It is parked there,
// never returning into product code, and it holds no platform lock while parked.
#include <process.h>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>

#include <standin/thread.h>

#include "internal.h"
#include "process_exit.h"

namespace wb {
DWORD next_thread_id();
void bind_current_thread(thread_object *t);
}  // namespace wb

using namespace wb;

namespace {

bool valid_priority(int p) {
  return p == THREAD_PRIORITY_IDLE || (p >= THREAD_PRIORITY_LOWEST && p <= THREAD_PRIORITY_HIGHEST) ||
         p == THREAD_PRIORITY_TIME_CRITICAL;
}

int nice_for(int level) {
  switch (level) {
    case THREAD_PRIORITY_IDLE: return 19;
    case THREAD_PRIORITY_LOWEST: return 10;
    case THREAD_PRIORITY_BELOW_NORMAL: return 5;
    case THREAD_PRIORITY_ABOVE_NORMAL: return -5;
    case THREAD_PRIORITY_HIGHEST: return -10;
    case THREAD_PRIORITY_TIME_CRITICAL: return -20;
    default: return 0;
  }
}

// Linux lets an unprivileged thread lower its priority but not raise it back, so a level is
// only applied when the process may undo it; otherwise it is recorded only.
bool may_renice() {
  static const bool ok = [] {
    pid_t tid = gettid();
    errno = 0;
    int cur = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno != 0 || cur <= -20) return false;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), cur - 1) != 0) return false;
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), cur);
    return true;
  }();
  return ok;
}

void apply_priority(thread_object *t) {
  int tid = t->linux_tid.load();
  if (tid == 0 || !may_renice()) return;
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_for(t->priority.load()));
}

// While a test holds thread starts, a new thread waits here as one the scheduler has not run yet.
std::mutex &start_hold_lock() {
  static auto *m = new std::mutex;
  return *m;
}
std::condition_variable &start_hold_changed() {
  static auto *cv = new std::condition_variable;
  return *cv;
}
bool g_holding_starts = false;

void *trampoline(void *p) {
  auto *t = static_cast<thread_object *>(p);  // carries the thread's own reference
  {
    std::unique_lock<std::mutex> l(start_hold_lock());
    start_hold_changed().wait(l, [] { return !g_holding_starts; });
  }
  t->linux_tid = static_cast<int>(gettid());
  bind_current_thread(t);
  // Started while the process exits: it ends there, as every other thread.
  if (process_exiting()) park_current_thread();
  if (t->priority.load() != 0) apply_priority(t);
  {
    std::unique_lock<std::mutex> lk(wait_lock());
    while (t->suspend_count > 0 && !t->terminated) {
      t->blocked = true;
      thread_state_changed().notify_all();
      t->w.cv.wait(lk);
      t->blocked = false;
    }
    if (t->terminated) return nullptr;  // ended before it ran: nothing of it to stop
  }
  run_queued_apcs();
  DWORD code = t->start(t->arg);
  std::lock_guard<std::mutex> g(wait_lock());
  t->pending_exit_code = code;
  return nullptr;  // the exit key's destructor finishes the thread after its thread_locals
}

std::atomic<unsigned> g_failing_creates{0};

}  // namespace

void standin::thread::fail_next_creates(unsigned count) { g_failing_creates = count; }

void standin::thread::hold_starts(bool hold) {
  {
    std::lock_guard<std::mutex> l(start_hold_lock());
    g_holding_starts = hold;
  }
  start_hold_changed().notify_all();
}

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID arg,
                           DWORD flags, LPDWORD thread_id) {
  (void)sa;
  if (!start) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  for (unsigned left = g_failing_creates.load(); left > 0;) {
    if (g_failing_creates.compare_exchange_weak(left, left - 1)) {
      set_last_error(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  auto t = kref<thread_object>::adopt(new thread_object(next_thread_id(), true));
  t->start = start;
  t->arg = arg;
  t->suspend_count = (flags & CREATE_SUSPENDED) ? 1 : 0;
  t->update_attention_locked();  // not shared yet
  HANDLE h = insert_handle(t.get());
  if (!h) return nullptr;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  size_t def = 0;
  pthread_attr_getstacksize(&attr, &def);
  if (!(flags & STACK_SIZE_PARAM_IS_A_RESERVATION) && stack > def) pthread_attr_setstacksize(&attr, stack);
  pthread_t pt;
  t->add_ref();  // the thread's own reference
  list_live_thread(t.get());
  int rc = pthread_create(&pt, &attr, trampoline, t.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    unlist_live_thread(t.get());
    t->release();
    close_handle(h);
    set_last_error(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_GEN_FAILURE);
    return nullptr;
  }
  if (thread_id) *thread_id = t->id;
  return h;
}

void WINAPI ExitThread(DWORD code) {
  thread_object *self = current_thread();
  {
    std::lock_guard<std::mutex> g(wait_lock());
    self->pending_exit_code = code;
  }
  pthread_exit(nullptr);
}

BOOL WINAPI TerminateThread(HANDLE h, DWORD code) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  if (!t) return FALSE;
  apc_queue dropped;
  {
    std::lock_guard<std::mutex> g(wait_lock());
    if (!t->ended) {
      t->terminated = true;
      t->update_attention_locked();
      finish_thread_locked(t.get(), code, dropped);
    }
  }
  dropped.clear();
  if (t.get() == current_thread()) {
    t = nullptr;
    park_current_thread();
  }
  return TRUE;
}

BOOL WINAPI GetExitCodeThread(HANDLE h, LPDWORD code) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  if (!t) return FALSE;
  if (!code) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(wait_lock());
  *code = t->exit_code;
  return TRUE;
}

DWORD WINAPI SuspendThread(HANDLE h) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  if (!t) return static_cast<DWORD>(-1);
  DWORD prev;
  {
    std::lock_guard<std::mutex> g(wait_lock());
    if (t->ended) {
      set_last_error(ERROR_ACCESS_DENIED);
      return static_cast<DWORD>(-1);
    }
    prev = t->suspend_count;
    if (prev >= 127) {
      set_last_error(ERROR_TOO_MANY_POSTS);
      return static_cast<DWORD>(-1);
    }
    ++t->suspend_count;
    t->update_attention_locked();
  }
  // Another thread stops at its next platform wait or sleep; the caller itself stops now.
  if (t.get() == current_thread()) termination_point();
  return prev;
}

DWORD WINAPI ResumeThread(HANDLE h) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  if (!t) return static_cast<DWORD>(-1);
  std::lock_guard<std::mutex> g(wait_lock());
  DWORD prev = t->suspend_count;
  if (prev > 0 && --t->suspend_count == 0) {
    t->update_attention_locked();
    t->w.cv.notify_all();
  }
  return prev;
}

BOOL WINAPI SetThreadPriority(HANDLE h, int level) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  if (!t) return FALSE;
  if (!valid_priority(level)) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  t->priority.store(level);
  apply_priority(t.get());
  return TRUE;
}

int WINAPI GetThreadPriority(HANDLE h) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  if (!t) return THREAD_PRIORITY_ERROR_RETURN;
  return t->priority.load();
}

DWORD WINAPI GetThreadId(HANDLE h) {
  kref<thread_object> t = lookup_handle_as<thread_object>(h);
  return t ? t->id : 0;
}

uintptr_t __cdecl _beginthreadex(void *security, unsigned stack_size, unsigned(__stdcall *start)(void *), void *arg,
                                 unsigned initflag, unsigned *thrdaddr) {
  if (!start) {
    errno = EINVAL;
    return 0;
  }
  DWORD id = 0;
  HANDLE h = CreateThread(static_cast<LPSECURITY_ATTRIBUTES>(security), stack_size,
                          reinterpret_cast<LPTHREAD_START_ROUTINE>(start), arg, initflag, &id);
  if (!h) {
    errno = EAGAIN;
    return 0;
  }
  if (thrdaddr) *thrdaddr = id;
  return reinterpret_cast<uintptr_t>(h);
}

void __cdecl _endthreadex(unsigned code) { ExitThread(code); }

}  // extern "C"
