// Internal C++ interface of the user-mode object layer: counted kernel objects, the process
// handle table, the wait machinery, APCs and thread termination points. Other parts of winplat
// (device files, COM ports, ...) build their handles on this. Product code never includes it.
//
// Locking model: the platform-wide wait lock guards every object's signalled state and waiter list,
// except for events, which carry their own lock. A waiting thread registers on each object it waits
// for and sleeps on its own wake event; set_signalled_locked() meets the waits of the registered
// waiters it can meet, first come first served, and wakes only those, after the locks are left.
// A wait on one event that is not alertable holds only that event's lock, and so does setting an
// event nobody waits on through the wait lock (no multi-object or alertable waiter registered);
// everything else takes the wait lock first and then the lock of every event it touches. Code that
// holds only an event's lock never takes another lock, so holders of the wait lock may take event
// locks in any order. Events also take a path without any lock: their state word holds the
// signalled bit and a "pinned" bit that every locked operation on the event sets first (and clears
// at its end when no waiter is left). While that bit is clear nobody waits on the event, and
// setting, resetting or taking it is one compare-exchange on the word.
#ifndef WINPLAT_USER_KOBJECT_H
#define WINPLAT_USER_KOBJECT_H

#include <wbase.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

namespace wb {

struct waiter;  // a thread blocked in a platform wait (waiter.h)

// The one lock behind all signalled states. Hold it to change an object's state and signal it
// atomically; never call a blocking platform function or foreign code while holding it.
std::mutex &wait_lock();

// Makes a fresh mutex one that spins a little before it sleeps (for locks held a few hundred
// nanoseconds at a time).
void make_adaptive(std::mutex &m);

// A counted kernel object. Starts with one reference, owned by whoever created it; every handle
// in the table holds one more. The object is deleted when its last reference goes.
class kobject {
 public:
  kobject(const kobject &) = delete;
  kobject &operator=(const kobject &) = delete;

  void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept;

  // Short type name for diagnostics ("event", "mutex", "thread", "file", ...).
  virtual const char *type_name() const { return "object"; }

  // Wait protocol, called with the object's locks held (see above) by the waiting thread `w`.
  // is_signalled_locked: would a wait by `w` be satisfied now?
  // acquire_locked: the wait is satisfied; consume the state (auto-reset, mutex ownership).
  //   Returns 0, or WAIT_ABANDONED_0 (128) when an abandoned mutex was taken.
  virtual bool is_signalled_locked(const waiter *w) const { (void)w; return signalled_locked(); }
  virtual DWORD acquire_locked(waiter *w) {
    (void)w;
    if (!manual_reset_) state_.fetch_and(~k_signalled, std::memory_order_relaxed);
    return 0;
  }

  // Plain signalled flag with manual or auto reset. Setting it wakes the waiters; an auto-reset
  // object lets exactly one of them through.
  void set_signalled(bool on);               // takes the locks it needs unless the lock-free path can do it
  void set_signalled_locked(bool on);        // the object's locks already held
  bool signalled_locked() const { return state_.load(std::memory_order_relaxed) & k_signalled; }
  bool manual_reset() const { return manual_reset_; }
  // Events: state and waiters guarded by their own lock (taken after wait_lock() when both are held).
  bool own_lock() const { return lock_free_; }
  std::mutex &object_lock() { return lock_; }

  // The lock-free path (objects made with `lock_free` only). try_set_fast: sets or clears the flag;
  // false when locked code owns the state now (take the locks). try_take_fast: 1 when a wait by
  // anyone is met now (an auto-reset flag is taken), 0 when not signalled, -1 when locked code owns
  // the state.
  bool try_set_fast(bool on);
  int try_take_fast();
  // With the object's locks held: before locked code reads or changes the state, and at the end of that
  // operation (the lock-free path comes back once no waiter is registered).
  void pin_locked() {
    if (lock_free_) state_.fetch_or(k_pinned, std::memory_order_acq_rel);
  }
  void unpin_locked() {
    if (lock_free_ && waiters_.empty()) state_.fetch_and(~k_pinned, std::memory_order_release);
  }

  // Meets, in the order they came, the waits of the waiters registered on this object that can be
  // met now, and wakes them (call it after changing state that is_signalled_locked reads).
  // The object's locks must be held; wait_lock() too when a waiter waits on more than this event.
  void wake_waiters_locked();

  // Number of table handles that refer to this object.
  long handle_count() const { return handles_.load(std::memory_order_acquire); }

 protected:
  explicit kobject(bool manual_reset = true, bool initially_signalled = false, bool lock_free = false)
      : manual_reset_(manual_reset),
        lock_free_(lock_free),
        state_((initially_signalled ? k_signalled : 0u) | (lock_free ? 0u : k_pinned)) {
    if (lock_free) make_adaptive(lock_);
  }
  virtual ~kobject();

  // Called once, without any platform lock held, when the last table handle to this object is
  // closed (the object may still live on through internal references). Timers cancel here,
  // files close their descriptor, named objects leave the namespace.
  virtual void on_last_handle_closed() {}

 private:
  friend HANDLE insert_handle(kobject *);
  friend bool close_handle(HANDLE);
  friend struct wait_engine;

  static constexpr uint32_t k_signalled = 1;
  static constexpr uint32_t k_pinned = 2;  // locked code owns the state (always, without lock_free)

  std::atomic<long> refs_{1};
  std::atomic<long> handles_{0};
  const bool manual_reset_;
  const bool lock_free_;
  std::atomic<uint32_t> state_;
  std::vector<waiter *> waiters_;  // guarded by wait_lock(), or by lock_ for events
  std::mutex lock_;                 // events only
  uint32_t wide_waiters_ = 0;       // events: registered waiters that need wait_lock() to be met
};

// Intrusive counted pointer to a kernel object.
template <class T>
class kref {
 public:
  kref() = default;
  kref(std::nullptr_t) {}
  // Adopts an existing reference (no add_ref): kref<event_object>(new event_object(...)).
  static kref adopt(T *p) { kref r; r.p_ = p; return r; }
  // Takes one more reference.
  static kref share(T *p) { if (p) p->add_ref(); kref r; r.p_ = p; return r; }
  kref(const kref &o) : p_(o.p_) { if (p_) p_->add_ref(); }
  kref(kref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  kref(const kref<U> &o) : p_(o.get()) { if (p_) p_->add_ref(); }
  kref &operator=(kref o) noexcept { std::swap(p_, o.p_); return *this; }
  ~kref() { if (p_) p_->release(); }
  T *get() const { return p_; }
  T *operator->() const { return p_; }
  T &operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T *detach() { return std::exchange(p_, nullptr); }

 private:
  T *p_ = nullptr;
};

// ---- handle table -------------------------------------------------------------------------

// Puts the object into the process handle table (one more reference, one more handle) and
// returns its handle. Handles are multiples of 4 and are not reused soon after closing.
// Returns NULL with ERROR_NOT_ENOUGH_MEMORY set only when the table cannot grow.
HANDLE insert_handle(kobject *obj);

// Looks a handle up. Pseudo handles: GetCurrentThread() ((HANDLE)-2) yields the calling
// thread's object. NULL, INVALID_HANDLE_VALUE, closed or unknown handles yield null and set
// ERROR_INVALID_HANDLE.
kref<kobject> lookup_handle(HANDLE h);
void set_last_error_invalid_handle();
// Counts a call that named a value handed out earlier whose handle is closed (standin/handles.h).
void note_missing_handle(HANDLE h);
std::uint64_t closed_handle_uses();

// Holds a handle's object without taking a reference: the handle's slot stays locked (a close or
// another look-up of the same handle waits) until the pin goes. For a few instructions only: never
// block, take a lock or call out while pinned; take a reference (ref()) for anything longer.
class handle_pin {
 public:
  explicit handle_pin(HANDLE h);
  ~handle_pin() {
    if (slot_) slot_->store(value_, std::memory_order_release);
  }
  handle_pin(const handle_pin &) = delete;
  handle_pin &operator=(const handle_pin &) = delete;
  kobject *get() const { return obj_; }
  kref<kobject> ref() const { return kref<kobject>::share(obj_); }

 private:
  std::atomic<uintptr_t> *slot_ = nullptr;
  uintptr_t value_ = 0;
  kobject *obj_ = nullptr;
};

// Typed look-up: null with ERROR_INVALID_HANDLE when the handle is unknown or of another type.
template <class T>
kref<T> lookup_handle_as(HANDLE h) {
  kref<kobject> o = lookup_handle(h);
  if (!o) return {};
  if constexpr (std::is_final_v<T>) {
    // A final type is matched by its type alone, without a walk of the class tree.
    if (typeid(*o) == typeid(T)) return kref<T>::adopt(static_cast<T *>(o.detach()));
  } else if (T *t = dynamic_cast<T *>(o.get())) {
    return kref<T>::share(t);
  }
  set_last_error_invalid_handle();
  return {};
}

// Removes the handle (CloseHandle's work). False with ERROR_INVALID_HANDLE when unknown.
bool close_handle(HANDLE h);

// ---- per-thread state --------------------------------------------------------------------

void set_last_error(DWORD code);
DWORD last_error();

// The calling thread's object (a waitable "thread" kobject), created on first use for threads
// the platform did not start (main, test runners, std::thread).
kref<kobject> current_thread_object();

// Queues fn as an APC to a thread object (FIFO per thread). It runs on that thread during its
// next alertable wait or sleep, which then returns WAIT_IO_COMPLETION. False when `thread` is
// not a thread object or the thread has ended (ERROR_INVALID_HANDLE / ERROR_GEN_FAILURE set).
bool queue_apc(kobject *thread, std::function<void()> fn);

// ---- waits -------------------------------------------------------------------------------

// The full wait: WaitForMultipleObjectsEx semantics on objects (count 1..64, no duplicates
// check). Returns WAIT_OBJECT_0 + i, WAIT_ABANDONED_0 + i, WAIT_IO_COMPLETION, WAIT_TIMEOUT or
// WAIT_FAILED (last error set). `ms` is scaled by the platform clock when it is a long wait.
// The caller keeps a reference to every object for the duration. Also a termination point.
DWORD wait_for_objects(DWORD count, kobject *const *objects, bool wait_all, DWORD ms,
                       bool alertable);

// A point where a thread that was terminated with TerminateThread stops for good. Every
// platform wait and sleep calls it; long-running platform calls that block outside the wait
// machinery (device reads, ...) should call it before and after blocking. Never call it while
// holding wait_lock() or any other lock.
void termination_point();

// ---- clock -------------------------------------------------------------------------------

// The platform's one clock (monotonic, nanoseconds). Waits, sleeps, timers and GetTickCount
// all read it.
uint64_t clock_now_ns();

// What a wait of `ms` lasts on this platform: long fixed waits (at or above the threshold set
// by the tests, 5000 ms by default) are multiplied by the test scale; INFINITE stays INFINITE.
// Kernel-side time-outs should go through it as well.
DWORD scale_wait_ms(DWORD ms);

// ---- Windows paths -------------------------------------------------------------------------

// Maps a Windows path to the Linux file system. "X:\a\b" becomes <root>/x/a/b where <root> is
// $ZEPH_ROOT (default: the current directory). Backslashes become slashes; Linux absolute
// paths pass unchanged. Existing components are matched case-insensitively.
std::string map_path(const char *windows_path);

}  // namespace wb

#endif  // WINPLAT_USER_KOBJECT_H
