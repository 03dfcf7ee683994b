// Events, mutexes and critical sections.
#include <pthread.h>

#include <mutex>

#include <standin/faults.h>

#include "internal.h"

using namespace wb;

namespace wb {

bool mutex_object::is_signalled_locked(const waiter *w) const { return owner == nullptr || owner == w->thread; }

DWORD mutex_object::acquire_locked(waiter *w) {
  if (owner == w->thread) {
    ++recursion;
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
  event_object(bool manual, bool initial) : kobject(manual, initial) {}
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

kref<event_object> event_of(HANDLE h) { return lookup_handle_as<event_object>(h); }

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

BOOL WINAPI SetEvent(HANDLE h) {
  kref<event_object> e = event_of(h);
  if (!e) return FALSE;
  e->set_signalled(true);
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE h) {
  kref<event_object> e = event_of(h);
  if (!e) return FALSE;
  e->set_signalled(false);
  return TRUE;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL initial_owner, LPCSTR name) {
  (void)sa;
  HANDLE h = named_create(name, "mutex", make_mutex, nullptr);
  if (h && initial_owner && GetLastError() != ERROR_ALREADY_EXISTS) {
    kref<mutex_object> m = lookup_handle_as<mutex_object>(h);
    std::lock_guard<std::mutex> g(wait_lock());
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
  std::lock_guard<std::mutex> g(wait_lock());
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
// A recursive pthread mutex kept behind DebugInfo. The owner and recursion fields are kept up to
// date for diagnostics. Entering a critical section is not a termination point: a thread
// terminated while owning one leaves it owned, as on Windows.

namespace {

pthread_mutex_t *make_cs_lock() {
  auto *m = new pthread_mutex_t;
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(m, &a);
  pthread_mutexattr_destroy(&a);
  return m;
}

// A zero-filled section that was never initialised gets its lock on first use.
pthread_mutex_t *cs_lock(LPCRITICAL_SECTION cs) {
  void *p = __atomic_load_n(&cs->DebugInfo, __ATOMIC_ACQUIRE);
  if (p) return static_cast<pthread_mutex_t *>(p);
  pthread_mutex_t *m = make_cs_lock();
  void *expected = nullptr;
  if (__atomic_compare_exchange_n(&cs->DebugInfo, &expected, m, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) return m;
  pthread_mutex_destroy(m);
  delete m;
  return static_cast<pthread_mutex_t *>(expected);
}

void note_entered(LPCRITICAL_SECTION cs) {
  HANDLE me = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId()));
  __atomic_store_n(&cs->OwningThread, me, __ATOMIC_RELAXED);
  __atomic_add_fetch(&cs->RecursionCount, 1, __ATOMIC_RELAXED);
}

}  // namespace

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  cs->DebugInfo = make_cs_lock();
  cs->LockCount = -1;
  cs->RecursionCount = 0;
  cs->OwningThread = nullptr;
  cs->LockSemaphore = nullptr;
  cs->SpinCount = 0;
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spin) {
  InitializeCriticalSection(cs);
  cs->SpinCount = spin;
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutex_lock(cs_lock(cs));
  note_entered(cs);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  if (pthread_mutex_trylock(cs_lock(cs)) != 0) return FALSE;
  note_entered(cs);
  return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  HANDLE me = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId()));
  // Leaving a section the caller does not own is ignored rather than corrupting it.
  if (__atomic_load_n(&cs->OwningThread, __ATOMIC_RELAXED) != me) return;
  if (__atomic_sub_fetch(&cs->RecursionCount, 1, __ATOMIC_RELAXED) == 0)
    __atomic_store_n(&cs->OwningThread, nullptr, __ATOMIC_RELAXED);
  pthread_mutex_unlock(cs_lock(cs));
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  auto *m = static_cast<pthread_mutex_t *>(__atomic_exchange_n(&cs->DebugInfo, nullptr, __ATOMIC_ACQ_REL));
  if (m) {
    pthread_mutex_destroy(m);
    delete m;
  }
  cs->RecursionCount = 0;
  cs->OwningThread = nullptr;
}

}  // extern "C"
