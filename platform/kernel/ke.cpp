// Kernel core: rule checks, IRQL and spin locks, dispatcher objects, DPCs, system worker threads,
// pool, DbgPrint.
#include "kinternal.h"
#include "serial_queue.h"
#include "user/kobject.h"

#include <standin/kernel.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <thread>
#include <unordered_map>

namespace wbk {
namespace {

// ---- rule checks ----
struct violation_store {
  std::mutex mu;
  std::vector<std::string> items;
  std::function<void(const std::string &)> handler;
};
violation_store &violations() {
  static auto *v = new violation_store;
  return *v;
}

// ---- per-thread state ----
struct kthread_state {
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> held;
};
thread_local kthread_state t_state;

}  // namespace

void violation(const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  std::string msg = std::string("kernel rule broken: ") + buf;
  std::function<void(const std::string &)> h;
  {
    auto &v = violations();
    std::lock_guard<std::mutex> l(v.mu);
    v.items.push_back(msg);
    h = v.handler;
  }
  fprintf(stderr, "%s\n", msg.c_str());
  if (h) h(msg);
}

void *thread_token() { return &t_state; }

// ---- driver code in progress (an image is not unmapped under a thread still running in it) ----
namespace {
std::atomic<long> g_driver_code{0};
thread_local long t_driver_code = 0;
}  // namespace

driver_code_scope::driver_code_scope() {
  ++t_driver_code;
  g_driver_code.fetch_add(1);
}

driver_code_scope::~driver_code_scope() {
  g_driver_code.fetch_sub(1);
  --t_driver_code;
}
void set_irql(KIRQL irql) { t_state.irql = irql; }
size_t held_spin_locks() { return t_state.held.size(); }
bool holds_spin_lock(const KSPIN_LOCK *lock) {
  for (auto *h : t_state.held)
    if (h == lock) return true;
  return false;
}

callout_guard::callout_guard(const char *what) : what_(what), irql_(t_state.irql), locks_(t_state.held.size()) {
  ++t_driver_code;
  g_driver_code.fetch_add(1);
}

callout_guard::~callout_guard() {
  g_driver_code.fetch_sub(1);
  --t_driver_code;
  if (t_state.held.size() > locks_) {
    violation("%s returned holding %zu spin lock(s)", what_, t_state.held.size() - locks_);
    while (t_state.held.size() > locks_) {
      PKSPIN_LOCK l = t_state.held.back();
      t_state.held.pop_back();
      __atomic_store_n(l, (KSPIN_LOCK)0, __ATOMIC_RELEASE);
    }
  }
  if (t_state.irql != irql_) {
    violation("%s returned at IRQL %d, entered at IRQL %d", what_, t_state.irql, irql_);
    t_state.irql = irql_;
  }
}

int64_t timeout_to_ns(const LARGE_INTEGER *timeout) {
  if (!timeout) return -1;
  int64_t t = timeout->QuadPart;
  if (t > 0) {  // absolute system time
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    t = now.QuadPart - t;
    if (t > 0) t = 0;
  }
  uint64_t ns = (uint64_t)(-t) * 100;
  uint64_t ms = ns / 1000000;
  if (ms >= 1000 && ms < 0xFFFFFFFEull) {
    uint64_t scaled = wb::scale_wait_ms((DWORD)ms);
    if (scaled != ms) ns = scaled * 1000000;
  }
  return (int64_t)ns;
}

// ---- busy accounting for wait_settled ----
namespace {
// Never destroyed: a worker may still be leaving its last item while the process exits.
std::mutex &g_busy_mu = *new std::mutex;
std::condition_variable &g_busy_cv = *new std::condition_variable;
long g_busy = 0;
}  // namespace

void busy_enter() {
  std::lock_guard<std::mutex> l(g_busy_mu);
  ++g_busy;
}
void busy_leave() {
  std::lock_guard<std::mutex> l(g_busy_mu);
  if (--g_busy == 0) g_busy_cv.notify_all();
}
bool wait_settled(int64_t timeout_ms) {
  std::unique_lock<std::mutex> l(g_busy_mu);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  // Settled means idle twice in a row: a finishing item may queue the next.
  for (;;) {
    if (!g_busy_cv.wait_until(l, deadline, [] { return g_busy == 0; })) return false;
    l.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    l.lock();
    if (g_busy == 0) return true;
  }
}

// ---- system worker threads (work items, PnP and completion work) ----
namespace {
struct worker_pool {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> q;
  int idle = 0;
};
worker_pool &pool_workers() {
  static auto *p = new worker_pool;
  return *p;
}
void worker_main() {
  auto &p = pool_workers();
  set_irql(PASSIVE_LEVEL);
  std::unique_lock<std::mutex> l(p.mu);
  for (;;) {
    ++p.idle;
    p.cv.wait(l, [&] { return !p.q.empty(); });
    --p.idle;
    auto fn = std::move(p.q.front());
    p.q.pop_front();
    l.unlock();
    fn();
    busy_leave();
    l.lock();
  }
}
}  // namespace

void queue_worker(std::function<void()> fn) {
  auto &p = pool_workers();
  busy_enter();
  std::lock_guard<std::mutex> l(p.mu);
  p.q.push_back(std::move(fn));
  if (p.idle < (int)p.q.size()) {
    std::thread(worker_main).detach();
  } else {
    p.cv.notify_one();
  }
}

}  // namespace wbk

using namespace wbk;

// ---- IRQL ----
extern "C" KIRQL KeGetCurrentIrql(void) { return t_state.irql; }

extern "C" KIRQL KfRaiseIrql(KIRQL new_irql) {
  KIRQL old = t_state.irql;
  if (new_irql < old) violation("KeRaiseIrql to %d from the higher IRQL %d", new_irql, old);
  t_state.irql = new_irql;
  return old;
}

extern "C" void KeLowerIrql(KIRQL new_irql) {
  if (new_irql > t_state.irql) violation("KeLowerIrql to %d from the lower IRQL %d", new_irql, t_state.irql);
  if (new_irql < DISPATCH_LEVEL && !t_state.held.empty())
    violation("IRQL lowered to %d while holding %zu spin lock(s)", new_irql, t_state.held.size());
  t_state.irql = new_irql;
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

// ---- spin locks ----
static void spin_acquire(PKSPIN_LOCK lock) {
  for (auto *h : t_state.held) {
    if (h == lock) {
      violation("spin lock %p acquired again by its owner (deadlock on a real system)", (void *)lock);
      return;
    }
  }
  KSPIN_LOCK mine = (KSPIN_LOCK)thread_token();
  for (unsigned spins = 0;; ++spins) {
    KSPIN_LOCK expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, mine, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    if (spins > 64) std::this_thread::yield();
  }
  t_state.held.push_back(lock);
}

static void spin_release(PKSPIN_LOCK lock) {
  for (size_t i = t_state.held.size(); i-- > 0;) {
    if (t_state.held[i] == lock) {
      t_state.held.erase(t_state.held.begin() + (long)i);
      __atomic_store_n(lock, (KSPIN_LOCK)0, __ATOMIC_RELEASE);
      return;
    }
  }
  violation("spin lock %p released by a thread that does not hold it", (void *)lock);
}

extern "C" void KeInitializeSpinLock(PKSPIN_LOCK lock) { __atomic_store_n(lock, (KSPIN_LOCK)0, __ATOMIC_RELEASE); }

extern "C" KIRQL KfAcquireSpinLock(PKSPIN_LOCK lock) {
  KIRQL old = t_state.irql;
  if (old > DISPATCH_LEVEL) violation("KeAcquireSpinLock at IRQL %d", old);
  t_state.irql = DISPATCH_LEVEL;
  spin_acquire(lock);
  return old;
}

extern "C" void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL new_irql) {
  spin_release(lock);
  if (new_irql > DISPATCH_LEVEL) violation("KeReleaseSpinLock to IRQL %d", new_irql);
  t_state.irql = new_irql;
}

extern "C" void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
  if (t_state.irql != DISPATCH_LEVEL) violation("KeAcquireSpinLockAtDpcLevel at IRQL %d", t_state.irql);
  spin_acquire(lock);
}

extern "C" void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
  if (t_state.irql != DISPATCH_LEVEL) violation("KeReleaseSpinLockFromDpcLevel at IRQL %d", t_state.irql);
  spin_release(lock);
}

// ---- dispatcher objects ----
namespace {
constexpr ULONG kDispatcherMagic = 0x4B444F42;  // initialised marker
constexpr UCHAR kTypeNotification = 0, kTypeSynchronization = 1, kTypeMutex = 2;

std::mutex g_disp_mu;
std::condition_variable g_disp_cv;

DISPATCHER_HEADER *header_of(PVOID object) {
  auto *h = static_cast<DISPATCHER_HEADER *>(object);
  if (!h || h->Magic != kDispatcherMagic) {
    violation("wait on an object that is not an initialised kernel event or mutex (%p)", object);
    return nullptr;
  }
  return h;
}

bool signalled_locked(DISPATCHER_HEADER *h) {
  if (h->Type == kTypeMutex) return h->SignalState > 0 || h->Owner == thread_token();
  return h->SignalState != 0;
}

void acquire_locked(DISPATCHER_HEADER *h) {
  if (h->Type == kTypeSynchronization) {
    h->SignalState = 0;
  } else if (h->Type == kTypeMutex) {
    if (h->Owner == thread_token()) {
      ++h->Recursion;
    } else {
      h->Owner = thread_token();
      h->Recursion = 1;
      h->SignalState = 0;
    }
  }
}
}  // namespace

extern "C" void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  std::lock_guard<std::mutex> l(g_disp_mu);
  memset(event, 0, sizeof *event);
  event->Header.Type = type == SynchronizationEvent ? kTypeSynchronization : kTypeNotification;
  event->Header.SignalState = state ? 1 : 0;
  event->Header.Magic = kDispatcherMagic;
}

extern "C" LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN wait) {
  if (t_state.irql > DISPATCH_LEVEL) violation("KeSetEvent at IRQL %d", t_state.irql);
  (void)wait;
  std::lock_guard<std::mutex> l(g_disp_mu);
  if (event->Header.Magic != kDispatcherMagic) violation("KeSetEvent on an uninitialised event %p", (void *)event);
  LONG old = event->Header.SignalState;
  event->Header.SignalState = 1;
  g_disp_cv.notify_all();
  return old;
}

extern "C" LONG KeResetEvent(PRKEVENT event) {
  std::lock_guard<std::mutex> l(g_disp_mu);
  LONG old = event->Header.SignalState;
  event->Header.SignalState = 0;
  return old;
}

extern "C" void KeClearEvent(PRKEVENT event) { KeResetEvent(event); }

extern "C" LONG KeReadStateEvent(PRKEVENT event) {
  std::lock_guard<std::mutex> l(g_disp_mu);
  return event->Header.SignalState;
}

extern "C" void KeInitializeMutex(PRKMUTEX mutex, ULONG level) {
  std::lock_guard<std::mutex> l(g_disp_mu);
  memset(mutex, 0, sizeof *mutex);
  mutex->Header.Type = kTypeMutex;
  mutex->Header.SignalState = 1;
  mutex->Header.Magic = kDispatcherMagic;
  mutex->Level = level;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN) {
  std::lock_guard<std::mutex> l(g_disp_mu);
  DISPATCHER_HEADER &h = mutex->Header;
  if (h.Owner != thread_token()) {
    violation("KeReleaseMutex by a thread that does not own the mutex %p", (void *)mutex);
    return 0;
  }
  LONG old = h.SignalState;
  if (--h.Recursion == 0) {
    h.Owner = nullptr;
    h.SignalState = 1;
    g_disp_cv.notify_all();
  }
  return old;
}

extern "C" LONG KeReadStateMutex(PRKMUTEX mutex) {
  std::lock_guard<std::mutex> l(g_disp_mu);
  return mutex->Header.SignalState;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                          PLARGE_INTEGER timeout) {
  bool poll = timeout && timeout->QuadPart == 0;
  if (t_state.irql > DISPATCH_LEVEL || (t_state.irql == DISPATCH_LEVEL && !poll)) {
    violation("KeWaitForSingleObject with a non-zero time-out at IRQL %d", t_state.irql);
    if (!poll) return STATUS_UNSUCCESSFUL;
  }
  if (!t_state.held.empty() && !poll) violation("KeWaitForSingleObject while holding a spin lock");
  int64_t ns = timeout_to_ns(timeout);
  std::unique_lock<std::mutex> l(g_disp_mu);
  DISPATCHER_HEADER *h = header_of(object);
  if (!h) return STATUS_UNSUCCESSFUL;
  auto ready = [&] { return signalled_locked(h); };
  if (ns < 0) {
    g_disp_cv.wait(l, ready);
  } else if (!g_disp_cv.wait_for(l, std::chrono::nanoseconds(ns), ready)) {
    return STATUS_TIMEOUT;
  }
  acquire_locked(h);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  if (t_state.irql > APC_LEVEL) violation("KeDelayExecutionThread at IRQL %d", t_state.irql);
  int64_t ns = timeout_to_ns(interval);
  if (ns > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
  return STATUS_SUCCESS;
}

extern "C" PKTHREAD KeGetCurrentThread(void) { return (PKTHREAD)thread_token(); }

extern "C" void KeStallExecutionProcessor(ULONG us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

extern "C" void KeQuerySystemTime(PLARGE_INTEGER time) {
  // 100 ns units since 1601-01-01.
  auto now = std::chrono::system_clock::now().time_since_epoch();
  time->QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100 + 116444736000000000LL;
}

extern "C" void KeQueryTickCount(PLARGE_INTEGER ticks) {
  ticks->QuadPart = (LONGLONG)(wb::clock_now_ns() / 156250);  // 15.625 ms ticks
}

extern "C" ULONG KeQueryTimeIncrement(void) { return 156250; }

// ---- DPCs ----
namespace {
// A queued DPC; its routine and arguments are read as it leaves the queue.
struct dpc_call {
  PRKDPC dpc;
  PKDEFERRED_ROUTINE routine;
  PVOID context, arg1, arg2;
};
serial_queue<dpc_call> &dpcs() {
  static auto *d = new serial_queue<dpc_call>(
      DISPATCH_LEVEL,
      [](dpc_call &c) {
        c.routine = c.dpc->DeferredRoutine;
        c.context = c.dpc->DeferredContext;
        c.arg1 = c.dpc->SystemArgument1;
        c.arg2 = c.dpc->SystemArgument2;
        c.dpc->DpcData = nullptr;  // may be queued again from here on
      },
      [](dpc_call &c) {
        callout_guard g("DPC routine");
        c.routine(c.dpc, c.context, c.arg1, c.arg2);
      });
  return *d;
}
}  // namespace

extern "C" void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  memset(dpc, 0, sizeof *dpc);
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2) {
  auto &d = dpcs();
  std::lock_guard<std::mutex> l(d.mutex());
  if (dpc->DpcData) return FALSE;
  if (!dpc->DeferredRoutine) {
    violation("KeInsertQueueDpc on a DPC without a routine");
    return FALSE;
  }
  dpc->DpcData = dpc;
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  d.push_locked(dpc_call{dpc, nullptr, nullptr, nullptr, nullptr});
  return TRUE;
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
  auto &d = dpcs();
  std::lock_guard<std::mutex> l(d.mutex());
  if (!dpc->DpcData) return FALSE;
  if (d.erase_locked_if([dpc](const dpc_call &c) { return c.dpc == dpc; }) == 0) return FALSE;
  dpc->DpcData = nullptr;
  return TRUE;
}

extern "C" void KeFlushQueuedDpcs(void) {
  if (t_state.irql > PASSIVE_LEVEL) violation("KeFlushQueuedDpcs at IRQL %d", t_state.irql);
  dpcs().wait_idle();
}

namespace wbk {
size_t purge_dpcs_in(const void *base, size_t size) {
  auto &d = dpcs();
  std::lock_guard<std::mutex> l(d.mutex());
  auto lo = reinterpret_cast<uintptr_t>(base);
  return d.erase_locked_if([lo, size](const dpc_call &c) {
    auto a = reinterpret_cast<uintptr_t>(c.dpc);
    return a >= lo && a < lo + size;
  });
}

bool wait_driver_code_idle(int64_t timeout_ms) {
  KeFlushQueuedDpcs();
  // A routine may still be returning into the image after it signalled whoever waits for it (a DPC or
  // completion routine that completed the last request): wait for the others' call-outs to unwind.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (g_driver_code.load() > t_driver_code) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}
}  // namespace wbk

// ---- pool ----
namespace {
struct pool_block {
  POOL_TYPE type;
  ULONG tag;
  size_t size;
};
struct pool_state {
  std::mutex mu;
  std::unordered_map<void *, pool_block> live;
  std::map<uintptr_t, size_t> paged;  // start -> size, for address look-ups
  std::function<bool(int, size_t, uint32_t)> fail;
  unsigned fail_skip = 0, fail_count = 0;
  uint32_t fail_tag = 0;
  size_t injected = 0;
};
pool_state &pool() {
  static auto *p = new pool_state;
  return *p;
}
}  // namespace

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  bool paged = (type & 1) != 0;
  if (paged && t_state.irql > APC_LEVEL) violation("paged pool allocated at IRQL %d", t_state.irql);
  if (t_state.irql > DISPATCH_LEVEL) violation("pool allocated at IRQL %d", t_state.irql);
  auto &p = pool();
  std::function<bool(int, size_t, uint32_t)> fail;
  {
    std::lock_guard<std::mutex> l(p.mu);
    if (p.fail_count && (!p.fail_tag || p.fail_tag == tag)) {
      if (p.fail_skip) {
        --p.fail_skip;
      } else {
        --p.fail_count;
        ++p.injected;
        return nullptr;
      }
    }
    fail = p.fail;
  }
  if (fail && fail((int)type, bytes, tag)) {
    std::lock_guard<std::mutex> l(p.mu);
    ++p.injected;
    return nullptr;
  }
  void *mem = malloc(bytes ? bytes : 1);
  if (!mem) return nullptr;
  memset(mem, 0xCD, bytes);  // pool is not zeroed
  std::lock_guard<std::mutex> l(p.mu);
  p.live[mem] = pool_block{type, tag, bytes};
  if (paged) p.paged[(uintptr_t)mem] = bytes;
  return mem;
}

extern "C" PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes) {
  return ExAllocatePoolWithTag(type, bytes, 0x656E6F4E);  // "None"
}

static void pool_free(PVOID p, const ULONG *tag) {
  if (!p) {
    violation("ExFreePool(NULL)");
    return;
  }
  if (t_state.irql > DISPATCH_LEVEL) violation("pool freed at IRQL %d", t_state.irql);
  auto &ps = pool();
  {
    std::lock_guard<std::mutex> l(ps.mu);
    auto it = ps.live.find(p);
    if (it == ps.live.end()) {
      violation("ExFreePool(%p): not a pool block, or freed twice", p);
      return;
    }
    if ((it->second.type & 1) && t_state.irql > APC_LEVEL) violation("paged pool freed at IRQL %d", t_state.irql);
    if (tag && *tag != it->second.tag) {
      violation("ExFreePoolWithTag(%p): tag %08x, block was allocated with %08x", p, *tag, it->second.tag);
    }
    if (it->second.type & 1) ps.paged.erase((uintptr_t)p);
    ps.live.erase(it);
  }
  free(p);
}

namespace wbk {
bool in_paged_pool(const void *p, size_t bytes) {
  auto &ps = pool();
  std::lock_guard<std::mutex> l(ps.mu);
  auto a = (uintptr_t)p;
  auto next = ps.paged.upper_bound(a);  // the first block starting after p
  if (next != ps.paged.end() && next->first < a + bytes) return true;
  if (next == ps.paged.begin()) return false;
  --next;
  return a < next->first + (next->second ? next->second : 1);
}
}  // namespace wbk

extern "C" void ExFreePool(PVOID p) { pool_free(p, nullptr); }
extern "C" void ExFreePoolWithTag(PVOID p, ULONG tag) { pool_free(p, &tag); }

extern "C" void ExRaiseStatus(NTSTATUS status) { throw standin::kernel::raised_status{status}; }

// ---- debug output ----
namespace {
struct dbg_sink {
  std::mutex mu;
  std::vector<std::string> lines;
  bool echo = getenv("ZEPH_DEBUG_ECHO") && getenv("ZEPH_DEBUG_ECHO")[0] == '1';
};
dbg_sink &dbg() {
  static auto *d = new dbg_sink;
  return *d;
}
}  // namespace

extern "C" ULONG DbgPrint(PCSTR format, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  auto &d = dbg();
  std::lock_guard<std::mutex> l(d.mu);
  d.lines.emplace_back(buf);
  if (d.lines.size() > 10000) d.lines.erase(d.lines.begin());
  if (d.echo) fprintf(stderr, "[kd] %s", buf);
  return n < 0 ? 0 : (ULONG)n;
}

extern "C" void DbgBreakPoint(void) { violation("DbgBreakPoint reached"); }

extern "C" void WbKernelAssertFailed(PCSTR expr, PCSTR file, ULONG line) {
  violation("ASSERT(%s) failed at %s:%u", expr, file, line);
}

// ---- control interface ----
namespace standin::kernel {

std::vector<std::string> take_violations() {
  auto &v = violations();
  std::lock_guard<std::mutex> l(v.mu);
  return std::exchange(v.items, {});
}

void set_violation_handler(std::function<void(const std::string &)> handler) {
  auto &v = violations();
  std::lock_guard<std::mutex> l(v.mu);
  v.handler = std::move(handler);
}

std::vector<std::string> debug_lines() {
  auto &d = dbg();
  std::lock_guard<std::mutex> l(d.mu);
  return d.lines;
}

std::string debug_text() {
  std::string s;
  for (auto &x : debug_lines()) s += x;
  return s;
}

void clear_debug() {
  auto &d = dbg();
  std::lock_guard<std::mutex> l(d.mu);
  d.lines.clear();
}

void fail_pool(unsigned skip, unsigned count, uint32_t tag) {
  auto &p = pool();
  std::lock_guard<std::mutex> l(p.mu);
  p.fail_skip = skip;
  p.fail_count = count;
  p.fail_tag = tag;
}

void set_pool_failure(std::function<bool(int, size_t, uint32_t)> fn) {
  auto &p = pool();
  std::lock_guard<std::mutex> l(p.mu);
  p.fail = std::move(fn);
}

void clear_pool_failures() {
  auto &p = pool();
  std::lock_guard<std::mutex> l(p.mu);
  p.fail = nullptr;
  p.fail_count = p.fail_skip = 0;
  p.fail_tag = 0;
  p.injected = 0;
}

size_t pool_failures_injected() {
  auto &p = pool();
  std::lock_guard<std::mutex> l(p.mu);
  return p.injected;
}

size_t pool_blocks(uint32_t tag) {
  auto &p = pool();
  std::lock_guard<std::mutex> l(p.mu);
  size_t n = 0;
  for (auto &kv : p.live)
    if (!tag || kv.second.tag == tag) ++n;
  return n;
}

size_t pool_bytes(uint32_t tag) {
  auto &p = pool();
  std::lock_guard<std::mutex> l(p.mu);
  size_t n = 0;
  for (auto &kv : p.live)
    if (!tag || kv.second.tag == tag) n += kv.second.size;
  return n;
}

void flush_dpcs() { KeFlushQueuedDpcs(); }

bool settle(uint32_t timeout_ms) { return wbk::wait_settled(timeout_ms); }

int current_irql() { return KeGetCurrentIrql(); }

}  // namespace standin::kernel
