// Waitable timers. One service thread (not a Win32 thread) fires every timer of the process from
// the platform clock; all timer state is guarded by the wait lock, like every signalled state.
//
// As on Windows: setting a timer resets it to non-signalled and replaces an earlier setting; a
// completion routine runs as an APC on the thread that set the timer, at most one such APC is
// queued per timer at a time, and cancelling, re-setting or closing the last handle takes a
// queued one back. A timer whose setting thread has ended stops.
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "internal.h"

using namespace wb;

namespace {

class timer_object;

struct timer_service {
  std::condition_variable cv;
  std::multimap<uint64_t, timer_object *> queue;  // each entry holds a reference
  bool started = false;
};

timer_service &service() {
  static auto *s = new timer_service;
  return *s;
}

class timer_object final : public kobject {
 public:
  explicit timer_object(bool manual) : kobject(manual, false) {}
  const char *type_name() const override { return "timer"; }

  // Guarded by wait_lock().
  bool queued = false;
  std::multimap<uint64_t, timer_object *>::iterator pos;
  uint64_t due_ns = 0;
  uint64_t period_ns = 0;
  PTIMERAPCROUTINE routine = nullptr;
  LPVOID arg = nullptr;
  kref<thread_object> target;
  bool apc_pending = false;
  bool closed = false;

  // Stops the timer and takes back its queued APC. Objects whose last reference may go are
  // handed to the caller so they are released after the lock is left.
  void stop_locked(std::vector<kref<kobject>> &later, apc_queue &dropped) {
    if (queued) {
      service().queue.erase(pos);
      queued = false;
      later.push_back(kref<kobject>::adopt(this));  // the queue's reference
    }
    if (apc_pending && target) {
      auto &q = target->apcs;
      for (auto it = q.begin(); it != q.end(); ++it)
        if (it->tag == this) {
          dropped.push_back(std::move(*it));
          q.erase(it);
          break;
        }
    }
    apc_pending = false;
  }

  void enqueue_locked() {
    add_ref();
    pos = service().queue.emplace(due_ns, this);
    queued = true;
  }

 protected:
  void on_last_handle_closed() override {
    std::vector<kref<kobject>> later;
    apc_queue dropped;
    {
      std::lock_guard<std::mutex> g(wait_lock());
      closed = true;
      stop_locked(later, dropped);
      if (target) later.push_back(target);
      target = nullptr;
    }
  }
};

void run_completion(timer_object *t, uint64_t when) {
  PTIMERAPCROUTINE routine;
  LPVOID arg;
  {
    std::lock_guard<std::mutex> g(wait_lock());
    t->apc_pending = false;
    if (t->closed || !t->routine) return;
    routine = t->routine;
    arg = t->arg;
  }
  routine(arg, static_cast<DWORD>(when), static_cast<DWORD>(when >> 32));
}

void fire_locked(timer_object *t, uint64_t now, std::vector<kref<kobject>> &later) {
  service().queue.erase(t->pos);
  t->queued = false;
  later.push_back(kref<kobject>::adopt(t));
  if (t->routine && t->target && t->target->ended) return;  // its thread is gone: the timer stops
  t->set_signalled_locked(true);
  if (t->routine && t->target && !t->apc_pending) {
    uint64_t when = filetime_now();
    auto self = kref<timer_object>::share(t);
    t->apc_pending = queue_apc_locked(
        t->target.get(), [self, when] { run_completion(self.get(), when); }, t);
  }
  if (t->period_ns) {
    t->due_ns += t->period_ns;
    if (t->due_ns <= now) t->due_ns = now + t->period_ns;  // no burst after a stall
    t->enqueue_locked();
  }
}

void service_loop() {
  auto &s = service();
  std::unique_lock<std::mutex> lk(wait_lock());
  for (;;) {
    std::vector<kref<kobject>> later;
    uint64_t now = clock_now_ns();
    while (!s.queue.empty() && s.queue.begin()->first <= now) fire_locked(s.queue.begin()->second, now, later);
    if (!later.empty()) {
      lk.unlock();
      later.clear();
      lk.lock();
      continue;
    }
    if (s.queue.empty()) {
      s.cv.wait(lk);
    } else {
      uint64_t due = s.queue.begin()->first;
      s.cv.wait_for(lk, std::chrono::nanoseconds(due - now));
    }
  }
}

kobject *make_timer(void *ctx) { return new timer_object(*static_cast<bool *>(ctx)); }

}  // namespace

extern "C" {

HANDLE WINAPI CreateWaitableTimerA(LPSECURITY_ATTRIBUTES sa, BOOL manual, LPCSTR name) {
  (void)sa;
  bool m = manual != FALSE;
  return named_create(name, "timer", make_timer, &m);
}

HANDLE WINAPI OpenWaitableTimerA(DWORD access, BOOL inherit, LPCSTR name) {
  (void)access;
  (void)inherit;
  return named_open(name, "timer");
}

BOOL WINAPI SetWaitableTimer(HANDLE h, const LARGE_INTEGER *due, LONG period, PTIMERAPCROUTINE routine, LPVOID arg,
                             BOOL resume) {
  (void)resume;
  kref<timer_object> t = lookup_handle_as<timer_object>(h);
  if (!t) return FALSE;
  if (!due || period < 0) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Due time: negative is relative, in 100 ns units; otherwise an absolute UTC file time.
  const uint64_t now = clock_now_ns();
  constexpr uint64_t k_max_100ns = (1ull << 62) / 100;
  uint64_t rel_100ns;
  if (due->QuadPart < 0) {
    rel_100ns = static_cast<uint64_t>(-(due->QuadPart + 1)) + 1;
  } else {
    uint64_t ft = filetime_now();
    rel_100ns = static_cast<uint64_t>(due->QuadPart) > ft ? static_cast<uint64_t>(due->QuadPart) - ft : 0;
  }
  if (rel_100ns > k_max_100ns) rel_100ns = k_max_100ns;
  kref<thread_object> target;
  if (routine) target = kref<thread_object>::share(current_thread());

  std::vector<kref<kobject>> later;
  apc_queue dropped;
  {
    std::lock_guard<std::mutex> g(wait_lock());
    t->stop_locked(later, dropped);
    if (t->target) later.push_back(t->target);
    t->set_signalled_locked(false);
    t->due_ns = now + scale_wait_ns(rel_100ns * 100);
    t->period_ns = scale_wait_ns(static_cast<uint64_t>(period) * 1000000ull);
    t->routine = routine;
    t->arg = arg;
    t->target = target;
    t->enqueue_locked();
    auto &s = service();
    if (!s.started) {
      s.started = true;
      std::thread(service_loop).detach();
    }
    s.cv.notify_one();
  }
  return TRUE;
}

BOOL WINAPI CancelWaitableTimer(HANDLE h) {
  kref<timer_object> t = lookup_handle_as<timer_object>(h);
  if (!t) return FALSE;
  std::vector<kref<kobject>> later;
  apc_queue dropped;
  {
    std::lock_guard<std::mutex> g(wait_lock());
    t->stop_locked(later, dropped);
  }
  return TRUE;
}

}  // extern "C"
