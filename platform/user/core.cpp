// Kernel objects, the handle table, per-thread state, waits, APCs and the platform clock.
#include <standin/clock.h>
#include <standin/thread.h>

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_map>

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

std::condition_variable &thread_state_changed() {
  static auto *cv = new std::condition_variable;
  return *cv;
}

// ---- clock -------------------------------------------------------------------------------

namespace {

struct clock_state {
  std::atomic<uint32_t> tick_offset{0};
  std::atomic<double> scale{1.0};
  std::atomic<uint32_t> threshold{5000};
  clock_state() {
    if (const char *s = std::getenv("ZEPH_WAIT_SCALE")) {
      char *end = nullptr;
      double v = std::strtod(s, &end);
      if (end != s && v >= 0.0) scale.store(v);
    }
  }
};

clock_state &clk() {
  static auto *c = new clock_state;
  return *c;
}

}  // namespace

uint64_t clock_now_ns() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

DWORD scale_wait_ms(DWORD ms) {
  if (ms == INFINITE || ms < clk().threshold.load()) return ms;
  double v = std::ceil(static_cast<double>(ms) * clk().scale.load());
  if (v >= static_cast<double>(INFINITE)) return INFINITE - 1;
  return static_cast<DWORD>(v);
}

uint64_t scale_wait_ns(uint64_t ns) {
  if (ns < static_cast<uint64_t>(clk().threshold.load()) * 1000000ull) return ns;
  double v = static_cast<double>(ns) * clk().scale.load();
  constexpr uint64_t k_max = 1ull << 62;  // far enough to mean never, and safe to add to the clock
  if (v >= static_cast<double>(k_max)) return k_max;
  return static_cast<uint64_t>(v);
}

uint64_t filetime_now() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
  return static_cast<uint64_t>(ns / 100) + 116444736000000000ull;
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

void notify_waiter(waiter *w) {
  deferred_wakes &d = t_wakes;
  if (d.guards > 0 && d.count < k_deferred_max) {
    w->thread->add_ref();
    d.threads[d.count++] = w->thread;
  } else {
    w->cv.notify_one();
  }
}

DWORD try_satisfy_locked(DWORD count, kobject *const *objs, bool wait_all, waiter *w);

}  // namespace

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

thread_local DWORD t_thread_id __attribute__((tls_model("initial-exec"))) = 0;

// ---- last error --------------------------------------------------------------------------

namespace {
// Initial-exec: winplat is loaded with the program, and these are read on every lock and call.
thread_local DWORD t_last_error __attribute__((tls_model("initial-exec"))) = 0;
}

void set_last_error(DWORD code) { t_last_error = code; }
DWORD last_error() { return t_last_error; }
void set_last_error_invalid_handle() { t_last_error = ERROR_INVALID_HANDLE; }

// ---- handle table and names --------------------------------------------------------------

namespace {

// Handle values index a two-level array of slots, read without a table-wide lock: a lookup holds
// only its slot's lock bit while it takes its reference, so a close on another thread cannot free
// the object in between. Insertions and closes also take the table's mutex, for the count and the
// next value. Chunks are never freed.
constexpr uintptr_t k_handle_first = 0x104;
constexpr uintptr_t k_handle_limit = 0x7FFFFFF0;
constexpr size_t k_chunk_bits = 12;
constexpr size_t k_chunk_size = size_t{1} << k_chunk_bits;
constexpr size_t k_chunk_count = ((k_handle_limit - k_handle_first) / 4 >> k_chunk_bits) + 1;

using handle_slot = std::atomic<uintptr_t>;  // object pointer, bit 0 the slot's lock

// Read on every look-up: constant-initialised, so no guard is checked (its pages are touched only as
// chunks are made).
std::atomic<handle_slot *> g_handle_chunks[k_chunk_count];

// GetCurrentThread()'s value, told without a call.
bool is_current_thread_pseudo(HANDLE h) { return reinterpret_cast<uintptr_t>(h) == ~uintptr_t{1}; }

struct handle_table {
  std::mutex m;
  size_t live = 0;
  uintptr_t next = 0x100;
};

handle_table &table() {
  static auto *t = new handle_table;
  return *t;
}

// The slot of a handle value, or null when no handle of that value was ever made.
handle_slot *slot_of(uintptr_t v) {
  if (v < k_handle_first || v >= k_handle_limit || (v & 3)) return nullptr;
  const size_t i = (v - k_handle_first) / 4;
  handle_slot *chunk = g_handle_chunks[i >> k_chunk_bits].load(std::memory_order_acquire);
  return chunk ? &chunk[i & (k_chunk_size - 1)] : nullptr;
}

// Locks the slot and returns what it holds. An empty slot is never locked (0 is returned): a lookup
// of a stale value must not hold a slot an insertion is filling, or its unlock would wipe the new entry.
uintptr_t lock_slot(handle_slot *s) {
  for (;;) {
    uintptr_t v = s->load(std::memory_order_relaxed);
    if (v == 0) return 0;
    if (v & 1) {
      __builtin_ia32_pause();
      continue;
    }
    if (s->compare_exchange_weak(v, v | 1, std::memory_order_acquire, std::memory_order_relaxed)) return v;
  }
}

struct name_table {
  std::mutex m;
  std::unordered_map<std::string, kobject *> by_name;
  std::unordered_map<kobject *, std::string> by_object;
};

name_table &names() {
  static auto *n = new name_table;
  return *n;
}

// The highest value handed out so far, and the calls that named a value at or below it whose handle
// was closed (standin/handles.h).
std::atomic<uintptr_t> g_highest_handle{0};
std::atomic<std::uint64_t> g_closed_uses{0};

}  // namespace

void note_missing_handle(HANDLE h) {
  const uintptr_t v = reinterpret_cast<uintptr_t>(h);
  if (v >= k_handle_first && v < k_handle_limit && !(v & 3) && v <= g_highest_handle.load(std::memory_order_acquire))
    g_closed_uses.fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t closed_handle_uses() { return g_closed_uses.load(std::memory_order_relaxed); }

HANDLE insert_handle(kobject *obj) {
  if (!obj) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto &t = table();
  std::lock_guard<std::mutex> g(t.m);
  if (t.live >= (k_handle_limit - k_handle_first) / 4) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  handle_slot *s;
  for (;;) {
    t.next += 4;
    if (t.next >= k_handle_limit) t.next = k_handle_first;
    const size_t i = (t.next - k_handle_first) / 4;
    auto &chunk = g_handle_chunks[i >> k_chunk_bits];
    if (!chunk.load(std::memory_order_relaxed)) {
      auto *fresh = new (std::nothrow) handle_slot[k_chunk_size]();
      if (!fresh) {
        set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
      }
      chunk.store(fresh, std::memory_order_release);
    }
    s = &chunk.load(std::memory_order_relaxed)[i & (k_chunk_size - 1)];
    if (s->load(std::memory_order_relaxed) == 0) break;  // values in use are skipped after a wrap
  }
  obj->add_ref();
  obj->handles_.fetch_add(1, std::memory_order_acq_rel);
  ++t.live;
  s->store(reinterpret_cast<uintptr_t>(obj), std::memory_order_release);
  if (t.next > g_highest_handle.load(std::memory_order_relaxed)) g_highest_handle.store(t.next, std::memory_order_release);
  return reinterpret_cast<HANDLE>(t.next);
}

handle_pin::handle_pin(HANDLE h) {
  if (is_current_thread_pseudo(h)) {
    obj_ = current_thread();  // lives as long as the calling thread
    return;
  }
  handle_slot *s = slot_of(reinterpret_cast<uintptr_t>(h));
  if (const uintptr_t v = s ? lock_slot(s) : 0) {
    slot_ = s;
    value_ = v;
    obj_ = reinterpret_cast<kobject *>(v);
  }
}

kref<kobject> lookup_handle(HANDLE h) {
  if (is_current_thread_pseudo(h)) return kref<kobject>::share(current_thread());
  handle_slot *s = slot_of(reinterpret_cast<uintptr_t>(h));
  if (const uintptr_t v = s ? lock_slot(s) : 0) {
    auto *obj = reinterpret_cast<kobject *>(v);
    obj->add_ref();
    s->store(v, std::memory_order_release);
    return kref<kobject>::adopt(obj);
  }
  note_missing_handle(h);
  set_last_error(ERROR_INVALID_HANDLE);
  return {};
}

bool close_handle(HANDLE h) {
  kobject *obj = nullptr;
  {
    auto &t = table();
    std::lock_guard<std::mutex> g(t.m);
    handle_slot *s = slot_of(reinterpret_cast<uintptr_t>(h));
    if (s) {
      obj = reinterpret_cast<kobject *>(lock_slot(s));
      if (obj) s->store(0, std::memory_order_release);
    }
    if (!obj) {
      note_missing_handle(h);
      set_last_error(ERROR_INVALID_HANDLE);
      return false;
    }
    --t.live;
  }
  bool last;
  {
    // Under the name lock so that a concurrent open by name never revives a closing object.
    auto &n = names();
    std::lock_guard<std::mutex> g(n.m);
    last = obj->handles_.fetch_sub(1, std::memory_order_acq_rel) == 1;
    if (last) {
      auto it = n.by_object.find(obj);
      if (it != n.by_object.end()) {
        n.by_name.erase(it->second);
        n.by_object.erase(it);
      }
    }
  }
  if (last) obj->on_last_handle_closed();
  obj->release();
  return true;
}

HANDLE named_create(const char *name, const char *type, kobject *(*make)(void *), void *ctx) {
  if (name && !*name) name = nullptr;  // an empty name makes an unnamed object
  if (!name) {
    kobject *o = make(ctx);
    if (!o) return nullptr;
    HANDLE h = insert_handle(o);
    o->release();
    if (h) set_last_error(ERROR_SUCCESS);
    return h;
  }
  auto &n = names();
  std::lock_guard<std::mutex> g(n.m);
  auto it = n.by_name.find(name);
  if (it != n.by_name.end()) {
    if (std::string(it->second->type_name()) != type) {
      set_last_error(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    HANDLE h = insert_handle(it->second);
    if (h) set_last_error(ERROR_ALREADY_EXISTS);
    return h;
  }
  kobject *o = make(ctx);
  if (!o) return nullptr;
  HANDLE h = insert_handle(o);
  if (h) {
    n.by_name.emplace(name, o);
    n.by_object.emplace(o, name);
    set_last_error(ERROR_SUCCESS);
  }
  o->release();
  return h;
}

HANDLE named_open(const char *name, const char *type) {
  if (!name) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto &n = names();
  std::lock_guard<std::mutex> g(n.m);
  auto it = n.by_name.find(name);
  if (it == n.by_name.end()) {
    set_last_error(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (std::string(it->second->type_name()) != type) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return insert_handle(it->second);
}

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
  t->release();
}

}  // namespace

thread_object::thread_object(DWORD id_, bool platform)
    : kobject(true, false), id(id_), platform_created(platform) {
  w.thread = this;
}

DWORD next_thread_id() { return g_next_thread_id.fetch_add(4); }

// Binds a platform-created thread's object to the running thread.
void bind_current_thread(thread_object *t) {
  t_self = t;
  t_thread_id = t->id;
  pthread_setspecific(exit_key(), t);
}

thread_object *current_thread() {
  if (t_self) return t_self;
  auto *t = new thread_object(next_thread_id(), false);  // the thread's own reference
  t->linux_tid = static_cast<int>(gettid());
  bind_current_thread(t);
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

// Threads in standin::thread::wait_until_blocked: a narrow wait, which blocks without the wait lock,
// tells them through thread_state_changed() only while there are any.
std::atomic<int> g_block_observers{0};

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

// ---- Win32 entry points ------------------------------------------------------------------

using namespace wb;

extern "C" {

DWORD WINAPI GetLastError(void) { return last_error(); }
void WINAPI SetLastError(DWORD code) { set_last_error(code); }

BOOL WINAPI CloseHandle(HANDLE h) {
  if (h == GetCurrentThread()) return TRUE;  // pseudo handles need no closing
  return close_handle(h) ? TRUE : FALSE;
}

BOOL WINAPI DuplicateHandle(HANDLE src_process, HANDLE src, HANDLE dst_process, LPHANDLE out, DWORD access,
                            BOOL inherit, DWORD options) {
  (void)access;
  (void)inherit;
  if (src_process != GetCurrentProcess() || dst_process != GetCurrentProcess() || !out) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  kref<kobject> o = lookup_handle(src);
  if (!o) return FALSE;
  HANDLE h = insert_handle(o.get());
  if (!h) return FALSE;
  if ((options & DUPLICATE_CLOSE_SOURCE) && src != GetCurrentThread()) close_handle(src);
  *out = h;
  return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }
HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }
DWORD WINAPI GetCurrentThreadId(void) { return current_thread_id(); }

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

DWORD WINAPI QueueUserAPC(PAPCFUNC fn, HANDLE thread, ULONG_PTR data) {
  if (!fn) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  kref<thread_object> t = lookup_handle_as<thread_object>(thread);
  if (!t) return 0;
  return queue_apc(t.get(), [fn, data] { fn(data); }) ? 1 : 0;
}

DWORD WINAPI GetTickCount(void) {
  return static_cast<DWORD>(clock_now_ns() / 1000000ull) + clk().tick_offset.load();
}

ULONGLONG WINAPI GetTickCount64(void) { return clock_now_ns() / 1000000ull + clk().tick_offset.load(); }

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *count) {
  if (!count) {
    set_last_error(ERROR_NOACCESS);
    return FALSE;
  }
  count->QuadPart = static_cast<LONGLONG>(clock_now_ns() / 100);
  return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *freq) {
  if (!freq) {
    set_last_error(ERROR_NOACCESS);
    return FALSE;
  }
  freq->QuadPart = 10000000;
  return TRUE;
}

}  // extern "C"

// ---- test control ------------------------------------------------------------------------

namespace standin::clock {

void set_tick_offset(std::uint32_t offset) { clk().tick_offset.store(offset); }
std::uint32_t tick_offset() { return clk().tick_offset.load(); }
void set_tick_count(std::uint32_t value) {
  clk().tick_offset.store(value - static_cast<std::uint32_t>(clock_now_ns() / 1000000ull));
}
void set_long_wait_scale(double factor, std::uint32_t threshold_ms) {
  clk().scale.store(factor < 0.0 ? 0.0 : factor);
  clk().threshold.store(threshold_ms);
}
double long_wait_scale() { return clk().scale.load(); }
std::uint32_t long_wait_threshold() { return clk().threshold.load(); }
std::uint32_t scaled(std::uint32_t ms) { return scale_wait_ms(ms); }
void reset() {
  clk().tick_offset.store(0);
  clk().scale.store(1.0);
  clk().threshold.store(5000);
}

}  // namespace standin::clock

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

namespace standin::handles {
std::uint64_t closed_uses() { return wb::closed_handle_uses(); }
}  // namespace standin::handles
