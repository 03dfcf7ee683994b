// Fiber-local storage (threads here never become fibers, so it is per thread).
//
// An index's value lives in each thread's object. When a thread that set values ends, the index
// callbacks get them (and the values are cleared) before the thread is finished; FlsFree hands
// every thread's value of the index to its callback on the calling thread. Both run under one
// process-wide lock, so that FlsFree returns only when no callback of the index still runs on any
// thread: a library that frees its index when it is unloaded is never called after. FlsGetValue
// takes no lock, and clears the last error when it succeeds.
#include <mutex>
#include <vector>

#include "internal.h"

using namespace wb;

namespace {

// Read on every FlsGetValue: constant-initialised, apart from the rest.
alignas(64) std::atomic<bool> g_allocated[k_fls_slots];

struct fls_state {
  std::recursive_mutex lock;  // callbacks may use FLS themselves
  PFLS_CALLBACK_FUNCTION callbacks[k_fls_slots] = {};
  std::vector<thread_object *> threads;  // every live thread that set a value
};

fls_state &fls() {
  static auto *s = new fls_state;  // used at thread exits until the process ends
  return *s;
}

bool valid_index(DWORD index) {
  if (index < k_fls_slots && g_allocated[index].load(std::memory_order_acquire)) return true;
  set_last_error(ERROR_INVALID_PARAMETER);
  return false;
}

}  // namespace

namespace wb {

void end_fiber_local_storage(thread_object *t) {
  auto &s = fls();
  std::lock_guard<std::recursive_mutex> g(s.lock);
  if (!t->fls_listed) return;
  for (unsigned i = 0; i < k_fls_slots; ++i) {
    void *v = t->fls[i].exchange(nullptr, std::memory_order_acq_rel);
    if (v && g_allocated[i].load(std::memory_order_relaxed) && s.callbacks[i]) s.callbacks[i](v);
  }
  std::erase(s.threads, t);
  t->fls_listed = false;
}

}  // namespace wb

extern "C" {

DWORD WINAPI FlsAlloc(PFLS_CALLBACK_FUNCTION callback) {
  auto &s = fls();
  std::lock_guard<std::recursive_mutex> g(s.lock);
  for (DWORD i = 0; i < k_fls_slots; ++i) {
    if (g_allocated[i].load(std::memory_order_relaxed)) continue;
    s.callbacks[i] = callback;
    g_allocated[i].store(true, std::memory_order_release);
    return i;
  }
  set_last_error(ERROR_NO_MORE_ITEMS);
  return FLS_OUT_OF_INDEXES;
}

BOOL WINAPI FlsFree(DWORD index) {
  auto &s = fls();
  std::lock_guard<std::recursive_mutex> g(s.lock);
  if (!valid_index(index)) return FALSE;
  const PFLS_CALLBACK_FUNCTION callback = s.callbacks[index];
  // A callback may end up in FlsSetValue for another index (never this one: it is still allocated).
  const std::vector<thread_object *> threads = s.threads;
  for (thread_object *t : threads) {
    void *v = t->fls[index].exchange(nullptr, std::memory_order_acq_rel);
    if (v && callback) callback(v);
  }
  s.callbacks[index] = nullptr;
  g_allocated[index].store(false, std::memory_order_release);
  return TRUE;
}

// As TlsGetValue on Windows, a successful call sets the last error to 0 (a null value then reads as a
// value, not as a failure).
PVOID WINAPI FlsGetValue(DWORD index) {
  if (!valid_index(index)) return nullptr;
  set_last_error(ERROR_SUCCESS);
  thread_object *t = known_thread();
  return t ? t->fls[index].load(std::memory_order_relaxed) : nullptr;
}

BOOL WINAPI FlsSetValue(DWORD index, PVOID value) {
  auto &s = fls();
  if (!valid_index(index)) return FALSE;
  thread_object *t = current_thread();  // bound: its end runs the callbacks
  if (!t->fls_listed) {
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (!valid_index(index)) return FALSE;
    s.threads.push_back(t);
    t->fls_listed = true;
  }
  t->fls[index].store(value, std::memory_order_release);  // FlsFree may hand it over from another thread
  return TRUE;
}

}  // extern "C"
