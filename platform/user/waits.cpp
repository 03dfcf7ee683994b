// The wait machinery: kernel objects' signalled states, waiters and their wake-ups, the waits and
// sleeps themselves, APCs run by alertable waits.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <chrono>
#include <mutex>
#include <optional>

#include "internal.h"

namespace wb {

void make_adaptive(std::mutex &m) {
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(m.native_handle(), &a);
  pthread_mutexattr_destroy(&a);
}

// Globals are created once and never destroyed: threads may still run while the process exits.
std::mutex &wait_lock() {
  static auto *m = [] {
    auto *mx = new std::mutex;
    // Held for a few hundred nanoseconds at a time: a thread that finds it taken spins a little
    // before it sleeps, so that independent waits do not queue behind each other's wake-ups.
    make_adaptive(*mx);
    return mx;
  }();
  return *m;
}

// ---- kobject -----------------------------------------------------------------------------

kobject::~kobject() = default;

void kobject::release() noexcept {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool kobject::try_set_fast(bool on) {
  uint32_t s = state_.load(std::memory_order_relaxed);
  for (;;) {
    if (s & k_pinned) return false;
    // Written even when unchanged: a setter's writes reach whoever takes the flag after it.
    const uint32_t want = on ? (s | k_signalled) : (s & ~k_signalled);
    if (state_.compare_exchange_weak(s, want, std::memory_order_acq_rel, std::memory_order_relaxed)) return true;
  }
}

int kobject::try_take_fast() {
  uint32_t s = state_.load(std::memory_order_acquire);
  for (;;) {
    if (s & k_pinned) return -1;
    if (!(s & k_signalled)) return 0;
    if (manual_reset_) return 1;
    if (state_.compare_exchange_weak(s, s & ~k_signalled, std::memory_order_acq_rel, std::memory_order_acquire))
      return 1;
  }
}

void kobject::set_signalled(bool on) {
  if (try_set_fast(on)) return;
  if (lock_free_) {
    // Only narrow waiters (or none): this event's lock is all it needs.
    wait_guard g(lock_);
    if (!on || wide_waiters_ == 0) {
      set_signalled_locked(on);
      return;
    }
  }
  wait_guard g;
  if (lock_free_) {
    std::lock_guard<std::mutex> l(lock_);
    set_signalled_locked(on);
    return;
  }
  set_signalled_locked(on);
}

void kobject::set_signalled_locked(bool on) {
  pin_locked();
  if (on) {
    state_.fetch_or(k_signalled, std::memory_order_release);
    wake_waiters_locked();
  } else {
    state_.fetch_and(~k_signalled, std::memory_order_relaxed);
  }
  unpin_locked();
}

// Registers and unregisters waiters, counting on each event those that need the wait lock.
struct wait_engine {
  static void add_waiter(kobject *o, waiter *w) {
    o->waiters_.push_back(w);
    if (o->lock_free_ && !w->narrow) ++o->wide_waiters_;
  }
  static void remove_waiter(kobject *o, waiter *w) {
    auto &v = o->waiters_;
    auto it = std::find(v.begin(), v.end(), w);
    if (it == v.end()) return;
    v.erase(it);
    if (o->lock_free_ && !w->narrow) --o->wide_waiters_;
  }
};

namespace {

// Waiters to notify when the calling thread leaves its wait_guard; each holds a reference to its
// thread. Plain data in initial-exec TLS: read on every signal.
constexpr int k_deferred_max = 64;
struct deferred_wakes {
  int guards = 0;
  int count = 0;
  thread_object *threads[k_deferred_max];
};
thread_local deferred_wakes t_wakes __attribute__((tls_model("initial-exec")));

DWORD try_satisfy_locked(DWORD count, kobject *const *objs, bool wait_all, waiter *w);

}  // namespace

void notify_waiter(waiter *w) {
  deferred_wakes &d = t_wakes;
  if (d.guards > 0 && d.count < k_deferred_max) {
    w->thread->add_ref();
    d.threads[d.count++] = w->thread;
  } else {
    w->cv.notify_one();
  }
}

wait_guard::wait_guard() : wait_guard(wait_lock()) {}

wait_guard::wait_guard(std::mutex &m) : m_(m) {
  m_.lock();
  ++t_wakes.guards;
}

wait_guard::~wait_guard() {
  deferred_wakes &d = t_wakes;
  --d.guards;
  m_.unlock();
  if (d.guards > 0) return;
  while (d.count > 0) {
    thread_object *t = d.threads[--d.count];
    t->w.cv.notify_one();
    t->release();
  }
}

// With wait_lock() held: the locks of the events among `objs` (each once), except `held`'s.
class event_locks {
 public:
  event_locks(DWORD count, kobject *const *objs, const kobject *held = nullptr);
  ~event_locks() { unlock(); }
  event_locks(const event_locks &) = delete;
  event_locks &operator=(const event_locks &) = delete;
  void unlock();

 private:
  kobject *locked_[MAXIMUM_WAIT_OBJECTS];
  DWORD n_ = 0;
};

event_locks::event_locks(DWORD count, kobject *const *objs, const kobject *held) {
  for (DWORD i = 0; i < count; ++i) {
    kobject *o = objs[i];
    if (!o->own_lock() || o == held || std::find(locked_, locked_ + n_, o) != locked_ + n_) continue;
    // Tried rather than waited for: these are taken in no fixed order, which is safe only because
    // the wait lock is held and whoever holds an event's lock alone leaves it without waiting.
    for (int spin = 0; !o->object_lock().try_lock(); ++spin) {
      if (spin < 64)
        __builtin_ia32_pause();
      else
        sched_yield();
    }
    locked_[n_++] = o;
  }
}

void event_locks::unlock() {
  while (n_ > 0) locked_[--n_]->object_lock().unlock();
}

// In the order they came: the first waiters whose wait can be met now get it.
void kobject::wake_waiters_locked() {
  for (size_t i = 0; i < waiters_.size();) {
    waiter *w = waiters_[i];
    if (w->satisfied.load(std::memory_order_relaxed) != WAIT_TIMEOUT || !w->objects ||
        w->thread->terminated.load(std::memory_order_relaxed)) {
      ++i;
      continue;
    }
    // A narrow waiter waits on this event alone; a wide one may wait on other events as well (the
    // wait lock is held then, so their locks may be taken in any order).
    event_locks others(w->narrow ? 0 : w->count, w->objects, this);
    const DWORD r = try_satisfy_locked(w->count, w->objects, w->wait_all, w);
    if (r == WAIT_TIMEOUT) {
      ++i;
      continue;
    }
    // Off every list now (this one's entry i included), so that the waiter returns without the lock.
    for (DWORD k = 0; k < w->count; ++k) wait_engine::remove_waiter(w->objects[k], w);
    w->objects = nullptr;
    w->thread->blocked.store(false, std::memory_order_relaxed);
    if (!w->narrow) w->thread->blocked_alertable = false;
    w->satisfied.store(r, std::memory_order_release);
    notify_waiter(w);
  }
}

void wake_event::notify_one() {
  seq_.fetch_add(1, std::memory_order_seq_cst);
  if (sleeping_.load(std::memory_order_seq_cst))
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&seq_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void wake_event::sleep(uint32_t seen, const std::chrono::steady_clock::time_point *deadline) {
  sleeping_.store(true, std::memory_order_seq_cst);
  if (seq_.load(std::memory_order_seq_cst) == seen) {
    auto *word = reinterpret_cast<uint32_t *>(&seq_);
    if (deadline) {
      // An absolute time on the monotonic clock, which steady_clock reads.
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
      timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      syscall(SYS_futex, word, FUTEX_WAIT_BITSET_PRIVATE, seen, &ts, nullptr, FUTEX_BITSET_MATCH_ANY);
    } else {
      syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
    }
  }
  sleeping_.store(false, std::memory_order_relaxed);
}

void wake_event::wait(std::unique_lock<std::mutex> &lk) {
  const uint32_t seen = prepare();
  lk.unlock();
  sleep(seen, nullptr);
  lk.lock();
}

void wake_event::wait_until(std::unique_lock<std::mutex> &lk, std::chrono::steady_clock::time_point deadline) {
  const uint32_t seen = prepare();
  lk.unlock();
  sleep(seen, &deadline);
  lk.lock();
}

// Threads in standin::thread::wait_until_blocked: a narrow wait, which blocks without the wait lock,
// tells them through thread_state_changed() only while there are any.
std::atomic<int> g_block_observers{0};

// ---- waits -------------------------------------------------------------------------------

namespace {

// Runs every queued APC, also those queued while they run, FIFO.
void run_apcs(thread_object *self) {
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> g(wait_lock());
      if (self->terminated) break;
      if (self->apcs.empty()) return;
      fn = std::move(self->apcs.front().fn);
      self->apcs.pop_front();
    }
    fn();
  }
  park_current_thread();
}

// Tries to satisfy the wait; returns WAIT_TIMEOUT when it cannot yet.
DWORD try_satisfy_locked(DWORD count, kobject *const *objs, bool wait_all, waiter *w) {
  if (count == 0) return WAIT_TIMEOUT;
  if (wait_all) {
    for (DWORD i = 0; i < count; ++i)
      if (!objs[i]->is_signalled_locked(w)) return WAIT_TIMEOUT;
    bool abandoned = false;
    for (DWORD i = 0; i < count; ++i)
      if (objs[i]->acquire_locked(w) == WAIT_ABANDONED_0) abandoned = true;
    return abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
  }
  for (DWORD i = 0; i < count; ++i) {
    if (objs[i]->is_signalled_locked(w)) return objs[i]->acquire_locked(w) + i;
  }
  return WAIT_TIMEOUT;
}

// A scaled long wait that an APC cut short. Callers go on waiting with the time left, which they
// measure on the real clock in unscaled milliseconds; a wait of that length that follows at once is
// the same wait going on and ends at its scaled end. Without this, every APC would start the
// remainder afresh (unscaled once it falls below the threshold), and a deadline wait under a steady
// trickle of APCs would last its full unscaled length.
struct cut_short_wait {
  bool valid = false;
  DWORD requested = 0;  // the length asked for, unscaled
  uint64_t start_ns = 0;
  uint64_t end_ns = 0;  // its scaled end
};
thread_local cut_short_wait t_cut_short __attribute__((tls_model("initial-exec")));

// Is a wait of `ms` starting at `now` the rest of `w`? The caller's remainder comes from GetTickCount
// and may be off by a few milliseconds, or more when it was preempted between the two waits.
bool continues(const cut_short_wait &w, DWORD ms, uint64_t now) {
  if (!w.valid || ms >= w.requested) return false;
  const uint64_t elapsed_ms = (now - w.start_ns) / 1000000ull;
  const uint64_t expected = elapsed_ms >= w.requested ? 0 : w.requested - elapsed_ms;
  constexpr uint64_t k_slack_ms = 50;
  return ms + k_slack_ms >= expected && ms <= expected + k_slack_ms;
}

// A wait on one event that is not alertable, under that event's lock alone.
DWORD wait_narrow(thread_object *self, kobject *const *objs, bool infinite, uint64_t start_ns, uint64_t end_ns,
                  const std::chrono::steady_clock::time_point &deadline) {
  kobject *e = objs[0];
  waiter &w = self->w;
  DWORD result;
  bool registered = false;
  std::unique_lock<std::mutex> lk(e->object_lock());
  e->pin_locked();
  for (;;) {
    if (self->terminated.load(std::memory_order_acquire)) {
      if (registered) wait_engine::remove_waiter(e, &w);
      w.objects = nullptr;
      e->unpin_locked();
      lk.unlock();
      self->blocked = false;
      park_current_thread();
    }
    if (registered && w.satisfied.load(std::memory_order_acquire) != WAIT_TIMEOUT) {
      result = w.satisfied.load(std::memory_order_relaxed);  // met by the setter, who took it off the list
      registered = false;
      break;
    }
    if (e->is_signalled_locked(&w)) {
      result = WAIT_OBJECT_0 + e->acquire_locked(&w);
      break;
    }
    if (!infinite && (end_ns <= start_ns || std::chrono::steady_clock::now() >= deadline)) {
      result = WAIT_TIMEOUT;
      break;
    }
    if (!registered) {
      w.objects = objs;
      w.count = 1;
      w.wait_all = false;
      w.narrow = true;
      w.satisfied.store(WAIT_TIMEOUT, std::memory_order_relaxed);
      wait_engine::add_waiter(e, &w);
      registered = true;
    }
    self->blocked.store(true, std::memory_order_seq_cst);
    const uint32_t seen = w.cv.prepare();
    lk.unlock();
    if (g_block_observers.load(std::memory_order_seq_cst) > 0) {
      std::lock_guard<std::mutex> g(wait_lock());
      thread_state_changed().notify_all();
    }
    w.cv.sleep(seen, infinite ? nullptr : &deadline);
    const DWORD met = w.satisfied.load(std::memory_order_acquire);
    if (met != WAIT_TIMEOUT) {
      result = met;  // met, taken off the list and marked running by the setter
      registered = false;
      break;
    }
    lk.lock();
    self->blocked = false;
  }
  if (lk.owns_lock()) {
    if (registered) wait_engine::remove_waiter(e, &w);
    if (registered) w.objects = nullptr;
    e->unpin_locked();
  }
  return result;
}

}  // namespace

void run_queued_apcs() { run_apcs(current_thread()); }

bool wait_met_at_once(kobject *o) {
  thread_object *self = t_self ? t_self : current_thread();
  if (self->attention.load(std::memory_order_acquire)) return false;  // a termination point first
  if (o->try_take_fast() != 1) return false;
  t_cut_short.valid = false;  // as any wait does
  return true;
}

DWORD wait_for_objects(DWORD count, kobject *const *objs, bool wait_all, DWORD ms, bool alertable) {
  if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && !objs)) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  thread_object *self = current_thread();
  termination_point();

  const bool infinite = ms == INFINITE;
  const uint64_t start_ns = infinite ? 0 : clock_now_ns();  // an endless wait needs no clock
  const cut_short_wait previous = t_cut_short;
  t_cut_short.valid = false;
  cut_short_wait cut;  // what this wait is, should an APC cut it short
  if (!infinite && alertable && continues(previous, ms, start_ns)) {
    cut = previous;
    // Its scaled time is up: a last look at the objects, as after any expired deadline.
    if (cut.end_ns <= start_ns) alertable = false;
  } else if (!infinite) {
    const DWORD scaled = scale_wait_ms(ms);
    cut.valid = scaled != ms;
    cut.requested = ms;
    cut.start_ns = start_ns;
    cut.end_ns = start_ns + static_cast<uint64_t>(scaled) * 1000000ull;
  }
  const uint64_t end_ns = infinite ? 0 : cut.valid ? cut.end_ns : start_ns + static_cast<uint64_t>(ms) * 1000000ull;
  const auto deadline = std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(end_ns)));

  DWORD result;
  if (count == 1 && objs[0]->own_lock() && !alertable) {
    result = wait_narrow(self, objs, infinite, start_ns, end_ns, deadline);
  } else {
    std::unique_lock<std::mutex> lk(wait_lock());
    std::optional<event_locks> events(std::in_place, count, objs);
    for (DWORD i = 0; i < count; ++i) objs[i]->pin_locked();
    bool registered = false;
    auto unregister = [&] {
      if (!registered) return;
      for (DWORD i = 0; i < count; ++i) wait_engine::remove_waiter(objs[i], &self->w);
      self->w.objects = nullptr;
      registered = false;
    };
    for (;;) {
      if (self->terminated) {
        unregister();
        events.reset();
        lk.unlock();
        park_current_thread();
      }
      if (registered && self->w.satisfied.load(std::memory_order_acquire) != WAIT_TIMEOUT) {
        result = self->w.satisfied.load(std::memory_order_relaxed);  // met by the signaller
        registered = false;                                          // who took it off the lists
        break;
      }
      result = try_satisfy_locked(count, objs, wait_all, &self->w);
      if (result != WAIT_TIMEOUT) break;
      if (alertable && !self->apcs.empty()) {
        result = WAIT_IO_COMPLETION;
        break;
      }
      if (!infinite && (end_ns <= start_ns || std::chrono::steady_clock::now() >= deadline)) {
        result = WAIT_TIMEOUT;
        break;
      }
      if (!registered) {
        self->w.objects = objs;
        self->w.count = count;
        self->w.wait_all = wait_all;
        self->w.narrow = false;
        self->w.satisfied.store(WAIT_TIMEOUT, std::memory_order_relaxed);
        for (DWORD i = 0; i < count; ++i) wait_engine::add_waiter(objs[i], &self->w);
        registered = true;
      }
      self->blocked = true;
      self->blocked_alertable = alertable;
      thread_state_changed().notify_all();
      const uint32_t seen = self->w.cv.prepare();
      events.reset();
      lk.unlock();
      self->w.cv.sleep(seen, infinite ? nullptr : &deadline);
      const DWORD met = self->w.satisfied.load(std::memory_order_acquire);
      if (met != WAIT_TIMEOUT) {
        // Met, taken off the lists and marked running by the signaller: no need of the lock.
        result = met;
        registered = false;
        break;
      }
      lk.lock();
      events.emplace(count, objs);
      self->blocked = false;
      self->blocked_alertable = false;
    }
    if (lk.owns_lock()) {
      unregister();
      for (DWORD i = 0; i < count; ++i) objs[i]->unpin_locked();
    }
  }
  if (result == WAIT_IO_COMPLETION) {
    run_apcs(self);
    // Set after the APCs, whose own waits must not take it.
    if (cut.valid) t_cut_short = cut;
  }
  termination_point();
  return result;
}

}  // namespace wb

using namespace wb;

extern "C" {

DWORD WINAPI WaitForMultipleObjectsEx(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD ms, BOOL alertable) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  kref<kobject> refs[MAXIMUM_WAIT_OBJECTS];
  kobject *objs[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < count; ++i) {
    refs[i] = lookup_handle(handles[i]);
    if (!refs[i]) return WAIT_FAILED;  // ERROR_INVALID_HANDLE set
    objs[i] = refs[i].get();
  }
  if (wait_all) {
    for (DWORD i = 0; i < count; ++i)
      for (DWORD j = i + 1; j < count; ++j)
        if (objs[i] == objs[j]) {
          set_last_error(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
  }
  return wait_for_objects(count, objs, wait_all != FALSE, ms, alertable != FALSE);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD ms) {
  return WaitForMultipleObjectsEx(count, handles, wait_all, ms, FALSE);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE h, DWORD ms, BOOL alertable) {
  kref<kobject> o;
  {
    // A signalled event nobody waits on is taken without a reference or the wait lock.
    handle_pin pin(h);
    if (!pin.get()) {
      note_missing_handle(h);
      set_last_error_invalid_handle();
      return WAIT_FAILED;
    }
    if (wait_met_at_once(pin.get())) return WAIT_OBJECT_0;
    o = pin.ref();
  }
  kobject *p = o.get();
  return wait_for_objects(1, &p, false, ms, alertable != FALSE);
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) { return WaitForSingleObjectEx(h, ms, FALSE); }

DWORD WINAPI SleepEx(DWORD ms, BOOL alertable) {
  if (ms == 0 && !alertable) {
    termination_point();
    sched_yield();
    return 0;
  }
  DWORD r = wait_for_objects(0, nullptr, false, ms, alertable != FALSE);
  return r == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

void WINAPI Sleep(DWORD ms) { SleepEx(ms, FALSE); }

BOOL WINAPI SwitchToThread(void) {
  termination_point();
  sched_yield();
  return TRUE;
}

}  // extern "C"
