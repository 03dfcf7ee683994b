// Events, mutexes and critical sections.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>
#include <typeinfo>

#if defined(__SANITIZE_THREAD__) || defined(__has_feature)
#include <sanitizer/tsan_interface.h>
#endif

#include <standin/faults.h>

#include "internal.h"
#include "process_exit.h"

using namespace wb;

namespace wb {

bool mutex_object::is_signalled_locked(const waiter *w) const { return owner == nullptr || owner == w->thread; }

DWORD mutex_object::acquire_locked(waiter *w) {
  if (owner == w->thread) {
    ++recursion;
    return 0;
  }
  if (w->thread->ended) {
    // A terminated thread runs on until its next wait, but its owned mutexes were already let go:
    // one it takes now is abandoned at once rather than held by a thread that will never release it.
    abandoned = true;
    return 0;
  }
  owner = w->thread;
  recursion = 1;
  add_ref();  // held by the owner's list until released or abandoned
  owner->owned_mutexes.push_back(this);
  if (abandoned) {
    abandoned = false;
    return WAIT_ABANDONED_0;
  }
  return 0;
}

}  // namespace wb

namespace {

class event_object final : public kobject {
 public:
  event_object(bool manual, bool initial) : kobject(manual, initial, true) {}
  const char *type_name() const override { return "event"; }
};

struct event_args {
  bool manual, initial;
};

kobject *make_event(void *ctx) {
  auto *a = static_cast<event_args *>(ctx);
  return new event_object(a->manual, a->initial);
}

kobject *make_mutex(void *) { return new mutex_object; }

// Sets or resets an event; with nobody waiting on it, without a reference or the wait lock.
BOOL set_event(HANDLE h, bool on) {
  kref<kobject> e;
  {
    handle_pin pin(h);
    kobject *o = pin.get();
    if (!o || typeid(*o) != typeid(event_object)) {
      if (!o) note_missing_handle(h);
      set_last_error_invalid_handle();
      return FALSE;
    }
    if (o->try_set_fast(on)) return TRUE;
    e = pin.ref();
  }
  e->set_signalled(on);
  return TRUE;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCSTR name) {
  (void)sa;
  if (fault_injected(standin::faults::site::create_event)) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  event_args a{manual != FALSE, initial != FALSE};
  return named_create(name, "event", make_event, &a);
}

HANDLE WINAPI OpenEventA(DWORD access, BOOL inherit, LPCSTR name) {
  (void)access;
  (void)inherit;
  return named_open(name, "event");
}

BOOL WINAPI SetEvent(HANDLE h) { return set_event(h, true); }

BOOL WINAPI ResetEvent(HANDLE h) { return set_event(h, false); }

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL initial_owner, LPCSTR name) {
  (void)sa;
  HANDLE h = named_create(name, "mutex", make_mutex, nullptr);
  if (h && initial_owner && GetLastError() != ERROR_ALREADY_EXISTS) {
    kref<mutex_object> m = lookup_handle_as<mutex_object>(h);
    wait_guard g;
    m->acquire_locked(&current_thread()->w);
    set_last_error(ERROR_SUCCESS);
  }
  return h;
}

HANDLE WINAPI OpenMutexA(DWORD access, BOOL inherit, LPCSTR name) {
  (void)access;
  (void)inherit;
  return named_open(name, "mutex");
}

BOOL WINAPI ReleaseMutex(HANDLE h) {
  kref<mutex_object> m = lookup_handle_as<mutex_object>(h);
  if (!m) return FALSE;
  thread_object *self = current_thread();
  wait_guard g;
  if (m->owner != self) {
    set_last_error(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--m->recursion == 0) {
    m->owner = nullptr;
    auto &v = self->owned_mutexes;
    for (auto it = v.begin(); it != v.end(); ++it)
      if (*it == m.get()) {
        v.erase(it);
        break;
      }
    m->wake_waiters_locked();
    m->release();  // the owner's reference; `m` keeps the object alive here
  }
  return TRUE;
}

// ---- critical sections -------------------------------------------------------------------
// The lock lives in the structure itself, so initialising and deleting only store fields and a
// zero-filled section that was never initialised works: LockCount is the lock word (0 free, 1 held,
// 2 held with sleepers), OwningThread the owner's thread id, RecursionCount its depth. A contended
// enter spins SpinCount times, then sleeps on a futex. Entering a critical section is not a
// termination point: a thread terminated while owning one leaves it owned, as on Windows; one
// terminated while asleep waiting for it stops there.

}  // extern "C"

namespace {

#if defined(__SANITIZE_THREAD__)
#define WB_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WB_TSAN 1
#endif
#endif

#ifdef WB_TSAN
// So that ThreadSanitizer sees a mutex (lock order, "mutex held" in reports), not bare atomics.
void tsan_create(void *m) { __tsan_mutex_create(m, 0); }
void tsan_destroy(void *m) { __tsan_mutex_destroy(m, 0); }
void tsan_pre_lock(void *m, unsigned f) { __tsan_mutex_pre_lock(m, f); }
void tsan_post_lock(void *m, unsigned f) { __tsan_mutex_post_lock(m, f, 0); }
void tsan_pre_unlock(void *m) { __tsan_mutex_pre_unlock(m, 0); }
void tsan_post_unlock(void *m) { __tsan_mutex_post_unlock(m, 0); }
#else
void tsan_create(void *) {}
void tsan_destroy(void *) {}
void tsan_pre_lock(void *, unsigned) {}
void tsan_post_lock(void *, unsigned) {}
void tsan_pre_unlock(void *) {}
void tsan_post_unlock(void *) {}
#endif

#ifdef WB_TSAN
constexpr unsigned k_try = __tsan_mutex_try_lock;
constexpr unsigned k_try_failed = __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed;
#else
constexpr unsigned k_try = 0;
constexpr unsigned k_try_failed = 0;
#endif

LONG *lock_word(LPCRITICAL_SECTION cs) { return &cs->LockCount; }

HANDLE owner_value(DWORD id) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id)); }

bool owned_by(LPCRITICAL_SECTION cs, HANDLE me) { return __atomic_load_n(&cs->OwningThread, __ATOMIC_RELAXED) == me; }

void take_ownership(LPCRITICAL_SECTION cs, HANDLE me) {
  __atomic_store_n(&cs->OwningThread, me, __ATOMIC_RELAXED);
  cs->RecursionCount = 1;
}

void futex_wait(LONG *word, LONG value) { syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0); }

void futex_wake_one(LONG *word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

// Lock word 0 -> 1 once, or false.
bool try_take(LONG *w) {
  LONG expected = 0;
  return __atomic_compare_exchange_n(w, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void enter_contended(LPCRITICAL_SECTION cs) {
  LONG *w = lock_word(cs);
  // Spinning pays only while the owner runs and no one sleeps yet: once a waiter sleeps, every
  // leave wakes one, and a spinner would only race the woken thread.
  for (ULONG_PTR spin = cs->SpinCount; spin > 0; --spin) {
    const LONG v = __atomic_load_n(w, __ATOMIC_RELAXED);
    if (v == 0 && try_take(w)) return;
    if (v == 2) break;
    __builtin_ia32_pause();
  }
  // Marked 2 so that the leaving owner knows to wake a sleeper.
  while (__atomic_exchange_n(w, 2, __ATOMIC_ACQUIRE) != 0) {
    if (process_exiting())
      check_orphaned_section(
          static_cast<DWORD>(reinterpret_cast<uintptr_t>(__atomic_load_n(&cs->OwningThread, __ATOMIC_RELAXED))));
    futex_wait(w, 2);
    // A thread terminated (or suspended) while it slept was blocked, and stops here without the
    // section, as on Windows; the wake-up it may have used goes on to the next sleeper.
    if (current_thread()->attention.load(std::memory_order_acquire)) {
      futex_wake_one(w);
      termination_point();
    }
  }
}

}  // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  cs->DebugInfo = nullptr;
  cs->LockCount = 0;
  cs->RecursionCount = 0;
  cs->OwningThread = nullptr;
  cs->LockSemaphore = nullptr;
  cs->SpinCount = 0;
  tsan_create(cs);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spin) {
  InitializeCriticalSection(cs);
  cs->SpinCount = spin;
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  const HANDLE me = owner_value(current_thread_id());
  if (owned_by(cs, me)) {
    ++cs->RecursionCount;
    return;
  }
  tsan_pre_lock(cs, 0);
  if (!try_take(lock_word(cs))) enter_contended(cs);
  take_ownership(cs, me);
  tsan_post_lock(cs, 0);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  const HANDLE me = owner_value(current_thread_id());
  if (owned_by(cs, me)) {
    ++cs->RecursionCount;
    return TRUE;
  }
  tsan_pre_lock(cs, k_try);
  if (!try_take(lock_word(cs))) {
    tsan_post_lock(cs, k_try_failed);
    return FALSE;
  }
  take_ownership(cs, me);
  tsan_post_lock(cs, k_try);
  return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  // Leaving a section the caller does not own is ignored rather than corrupting it.
  if (!owned_by(cs, owner_value(current_thread_id()))) return;
  if (--cs->RecursionCount > 0) return;
  __atomic_store_n(&cs->OwningThread, nullptr, __ATOMIC_RELAXED);
  tsan_pre_unlock(cs);
  LONG *w = lock_word(cs);
  LONG expected = 1;
  if (!__atomic_compare_exchange_n(w, &expected, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
    __atomic_store_n(w, 0, __ATOMIC_RELEASE);
    futex_wake_one(w);
  }
  tsan_post_unlock(cs);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  tsan_destroy(cs);
  cs->LockCount = 0;
  cs->RecursionCount = 0;
  cs->OwningThread = nullptr;
}

}  // extern "C"
