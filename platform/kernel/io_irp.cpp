// I/O manager: IRPs with their allocation, lookup, completion and cancellation rules. Device objects
// are in io_devices.cpp; buffers, work items and the control interface in io_buffers.cpp,
// io_workitems.cpp and io_control.cpp.
#include "io_internal.h"

#include <standin/kernel.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

namespace wbk {
namespace {

constexpr CSHORT kTypeIrp = 6;

// ---- IRP bookkeeping ----
// One dispatch call at one stack location. A dispatch routine that returns STATUS_PENDING must have marked
// its location by the time the completion passes it; whichever comes last checks (under the IRP's lock).
struct irp_call {
  bool marked = false;
  bool returned_pending = false;
  bool walked = false;
  int active = 0;  // dispatch calls still running on this record (under the IRP's lock)
  void reset() { marked = returned_pending = walked = false; }
};

// A stack level's record: its own, or one from the heap while a dispatch routine that was given the IRP
// earlier at this level (it was taken back and sent again) has not returned yet.
struct irp_level {
  irp_call own;
  irp_call *cur = nullptr;
};

// The record of an IRP from IoAllocateIrp lives in the same block, in front of the packet; its level
// records follow the packet. Blocks are never returned to the system, so a late use of a freed IRP
// finds its record (marked freed) instead of crashing; a freed block is reused only after a few
// hundred later frees of the same size on the same thread.
struct irp_rec {
  std::mutex mu;
  bool freed = true;
  // idle: with its creator; sent: in a driver's hands; halted: taken back by a completion routine
  // (STATUS_MORE_PROCESSING_REQUIRED), so its holder may complete it again, resend, reuse or free it.
  enum { idle, sent, halted } state = idle;
  bool threaded = false;     // built by the I/O manager, finalized by it
  int pins = 0;
  bool free_pending = false;
  irp_finalizer finalize;
  irp_finalizer_fn fin_fn = nullptr;
  std::atomic<bool> finalized{false};
  // The owner's hold (dropped when the IRP is freed) plus one per call still looking at the block;
  // the block is recycled when the last goes.
  std::atomic<int> holds{0};
  int stack = 0;
  irp_level *levels = nullptr;  // stack + 2 of them
  std::vector<irp_call *> extra;
  alignas(16) unsigned char space[kIrpContextSpace];

  PIRP irp() { return reinterpret_cast<PIRP>(reinterpret_cast<char *>(this) + rec_bytes()); }
  static size_t rec_bytes() { return (sizeof(irp_rec) + 15) & ~(size_t)15; }
  irp_call *call_at(int level) { return level >= 0 && level <= stack + 1 ? levels[level].cur : nullptr; }
  irp_call *new_call(int level) {
    if (level < 0 || level > stack + 1) return nullptr;
    irp_level &l = levels[level];
    irp_call *c = &l.own;
    if (c->active) {
      c = new irp_call;
      extra.push_back(c);
    }
    c->reset();
    l.cur = c;
    return c;
  }
};

// Blocks of one stack size are carved from aligned chunks; a chunk registry (insert-only, read without a
// lock) tells whether a pointer is an IRP from IoAllocateIrp.
constexpr uintptr_t kChunk = 64 * 1024;
constexpr size_t kMaxStack = 100;
struct irp_chunk {
  size_t block, first, count;
};
constexpr size_t kChunkSlots = 1 << 13;
std::atomic<uintptr_t> g_chunks[kChunkSlots];

size_t chunk_slot(uintptr_t base) { return (size_t)((base / kChunk) * 0x9E3779B97F4A7C15ull >> 51) & (kChunkSlots - 1); }

bool register_chunk(uintptr_t base) {
  for (size_t i = chunk_slot(base), n = 0; n < kChunkSlots; ++n, i = (i + 1) & (kChunkSlots - 1)) {
    uintptr_t expect = 0;
    if (g_chunks[i].compare_exchange_strong(expect, base, std::memory_order_release)) return true;
  }
  return false;
}

const irp_chunk *find_chunk(uintptr_t base) {
  for (size_t i = chunk_slot(base), n = 0; n < kChunkSlots; ++n, i = (i + 1) & (kChunkSlots - 1)) {
    uintptr_t v = g_chunks[i].load(std::memory_order_acquire);
    if (v == base) return reinterpret_cast<const irp_chunk *>(v);
    if (!v) return nullptr;
  }
  return nullptr;
}

// First-in first-out list of blocks.
struct irp_fifo {
  std::vector<irp_rec *> v;
  size_t head = 0;
  size_t size() const { return v.size() - head; }
  void push(irp_rec *r) { v.push_back(r); }
  irp_rec *pop() {
    irp_rec *r = v[head++];
    if (head == v.size()) {
      v.clear();
      head = 0;
    } else if (head >= 256 && head * 2 >= v.size()) {
      v.erase(v.begin(), v.begin() + (std::ptrdiff_t)head);
      head = 0;
    }
    return r;
  }
};

// Per stack size: the chunk being carved and the blocks threads handed back in batches.
struct irp_class {
  std::mutex mu;
  char *carve = nullptr;
  size_t carved = 0;
  irp_fifo pool;
  std::atomic<size_t> pooled{0};
};
irp_class *g_classes = new irp_class[kMaxStack + 1];

constexpr size_t kQuarantine = 256;  // freed blocks a thread holds back per stack size before reusing them
constexpr size_t kBatch = 64;

size_t block_bytes(int stack) {
  return (irp_rec::rec_bytes() + ((IoSizeOfIrp(stack) + 15) & ~(size_t)15) + sizeof(irp_level) * (size_t)(stack + 2) +
          15) &
         ~(size_t)15;
}

// Each thread's freed blocks per stack size: the quarantine, oldest first, and blocks ready to reuse.
thread_local bool t_irp_cache_gone = false;  // its thread is ending: blocks go straight to the class

struct irp_cache {
  irp_fifo quarantine[kMaxStack + 1];
  std::vector<irp_rec *> ready[kMaxStack + 1];
  ~irp_cache() {
    t_irp_cache_gone = true;
    for (size_t s = 1; s <= kMaxStack; ++s) {
      if (!quarantine[s].size() && ready[s].empty()) continue;
      irp_class &c = g_classes[s];
      std::lock_guard<std::mutex> l(c.mu);
      for (irp_rec *r : ready[s]) c.pool.push(r);
      while (quarantine[s].size()) c.pool.push(quarantine[s].pop());
      c.pooled.store(c.pool.size(), std::memory_order_relaxed);
    }
  }
};

irp_cache &thread_irp_cache() {
  static thread_local irp_cache c;
  return c;
}

irp_rec *carve_block(int stack) {
  irp_class &c = g_classes[stack];
  const size_t block = block_bytes(stack), first = (sizeof(irp_chunk) + 63) & ~(size_t)63;
  std::lock_guard<std::mutex> l(c.mu);
  if (!c.carve || first + (c.carved + 1) * block > kChunk) {
    void *mem = std::aligned_alloc(kChunk, kChunk);
    if (!mem) return nullptr;
    memset(mem, 0, kChunk);  // blocks not carved yet read as no IRP
    auto *h = new (mem) irp_chunk{block, first, (kChunk - first) / block};
    if (!register_chunk(reinterpret_cast<uintptr_t>(h))) {
      std::free(mem);
      return nullptr;
    }
    c.carve = static_cast<char *>(mem);
    c.carved = 0;
  }
  char *p = c.carve + first + c.carved++ * block;
  auto *r = new (p) irp_rec;
  r->stack = stack;
  r->levels = reinterpret_cast<irp_level *>(reinterpret_cast<char *>(r->irp()) + ((IoSizeOfIrp(stack) + 15) & ~(size_t)15));
  for (int i = 0; i < stack + 2; ++i) new (&r->levels[i]) irp_level;
  return r;
}

irp_rec *take_block(int stack) {
  if (t_irp_cache_gone) return carve_block(stack);
  irp_cache &tc = thread_irp_cache();
  std::vector<irp_rec *> &ready = tc.ready[stack];
  if (ready.empty()) {
    irp_fifo &q = tc.quarantine[stack];
    if (q.size() > kQuarantine) return q.pop();
    irp_class &c = g_classes[stack];
    if (c.pooled.load(std::memory_order_relaxed)) {
      std::lock_guard<std::mutex> l(c.mu);
      for (size_t i = 0; i < kBatch && c.pool.size(); ++i) ready.push_back(c.pool.pop());
      c.pooled.store(c.pool.size(), std::memory_order_relaxed);
      std::reverse(ready.begin(), ready.end());  // oldest last, taken first
    }
    if (ready.empty()) return carve_block(stack);
  }
  irp_rec *r = ready.back();
  ready.pop_back();
  return r;
}

void recycle_block(irp_rec *r) {
  // The last hold is gone and the IRP is freed: nothing else reads or writes these now.
  if (!r->extra.empty() || r->finalize) {
    std::lock_guard<std::mutex> l(r->mu);
    for (irp_call *c : r->extra) delete c;
    r->extra.clear();
    r->finalize = nullptr;
  }
  if (t_irp_cache_gone) {
    irp_class &c = g_classes[r->stack];
    std::lock_guard<std::mutex> l(c.mu);
    c.pool.push(r);
    c.pooled.store(c.pool.size(), std::memory_order_relaxed);
    return;
  }
  irp_cache &tc = thread_irp_cache();
  irp_fifo &q = tc.quarantine[r->stack];
  q.push(r);
  if (q.size() > 2 * kQuarantine) {
    irp_class &c = g_classes[r->stack];
    std::lock_guard<std::mutex> l(c.mu);
    for (size_t i = 0; i < kQuarantine; ++i) c.pool.push(q.pop());
    c.pooled.store(c.pool.size(), std::memory_order_relaxed);
  }
}

void drop_hold(irp_rec *r) {
  if (r->holds.fetch_sub(1, std::memory_order_acq_rel) == 1) recycle_block(r);
}

irp_rec *irp_rec_of(PIRP irp) {
  auto p = reinterpret_cast<uintptr_t>(irp);
  const irp_chunk *h = find_chunk(p & ~(kChunk - 1));
  if (!h) return nullptr;
  uintptr_t off = p - reinterpret_cast<uintptr_t>(h);
  if (off < h->first + irp_rec::rec_bytes()) return nullptr;
  off -= h->first + irp_rec::rec_bytes();
  if (off % h->block || off / h->block >= h->count) return nullptr;
  auto *r = reinterpret_cast<irp_rec *>(p - irp_rec::rec_bytes());
  return r->stack ? r : nullptr;
}

void release_irp_memory(irp_rec *r) {
  // The packet is scrubbed so that a late use is caught as a rule break; the block waits in quarantine.
  PIRP irp = r->irp();
  memset(irp, 0xDD, irp->Size > sizeof(IRP) ? sizeof(IRP) : irp->Size);
  irp->Type = 0;
  drop_hold(r);
}

// Drops, on leaving, a hold taken (under the IRP's lock, while it was not freed) by a call that still
// reads the IRP's record after the IRP may have been freed.
struct held_block {
  explicit held_block(irp_rec *r) : r_(r) {}
  ~held_block() { drop_hold(r_); }
  held_block(const held_block &) = delete;
  held_block &operator=(const held_block &) = delete;

 private:
  irp_rec *r_;
};

KSPIN_LOCK g_cancel_lock = 0;

// Completions made while the completing thread held a spin lock other than the cancel spin lock: legal,
// but the completion routines above then run under that lock.
std::atomic<size_t> g_completions_under_lock{0};
// IoCallDriver made holding a spin lock: the lower driver may complete the IRP inside the call, so its
// completion routines would run under that lock too.
std::atomic<size_t> g_calls_under_lock{0};
// A user request's completion keeps its thread this long once the caller has its result (0: not armed).
std::atomic<uint32_t> g_hold_after_completion_ms{0};

}  // namespace

void set_irp_finalizer(PIRP irp, irp_finalizer fn) {
  irp_rec *r = irp_rec_of(irp);
  std::lock_guard<std::mutex> l(r->mu);
  r->threaded = true;
  r->finalize = std::move(fn);
}

void *set_irp_finalizer(PIRP irp, irp_finalizer_fn fn) {
  irp_rec *r = irp_rec_of(irp);
  std::lock_guard<std::mutex> l(r->mu);
  r->threaded = true;
  r->fin_fn = fn;
  return r->space;
}

irp_watch::irp_watch(PIRP irp) : rec_(irp_rec_of(irp)) {
  if (rec_) static_cast<irp_rec *>(rec_)->holds.fetch_add(1, std::memory_order_relaxed);
}

irp_watch::~irp_watch() {
  if (rec_) drop_hold(static_cast<irp_rec *>(rec_));
}

bool irp_watch::finalized() const {
  return rec_ && static_cast<irp_rec *>(rec_)->finalized.load(std::memory_order_acquire);
}

void pin_irp(PIRP irp) {
  irp_rec *r = irp_rec_of(irp);
  if (!r) return;
  std::lock_guard<std::mutex> l(r->mu);
  ++r->pins;
}

void unpin_irp(PIRP irp) {
  irp_rec *r = irp_rec_of(irp);
  if (!r) return;
  bool free_now;
  {
    std::lock_guard<std::mutex> l(r->mu);
    free_now = --r->pins == 0 && r->free_pending && !r->freed;
    if (free_now) r->freed = true;
  }
  if (free_now) release_irp_memory(r);
}

void free_irp_internal(PIRP irp) {
  irp_rec *r = irp_rec_of(irp);
  if (!r) return;
  {
    std::lock_guard<std::mutex> l(r->mu);
    if (r->freed) return;
    if (r->pins) {
      r->free_pending = true;
      return;
    }
    r->freed = true;
  }
  release_irp_memory(r);
}

IO_STATUS_BLOCK send_irp_and_wait(PDEVICE_OBJECT target, PIRP irp, bool wait_always) {
  KEVENT ev;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  irp->UserIosb = &iosb;
  irp->UserEvent = &ev;
  set_irp_finalizer(irp, [](PIRP done) {
    *done->UserIosb = done->IoStatus;
    PKEVENT e = done->UserEvent;
    free_irp_internal(done);
    KeSetEvent(e, IO_NO_INCREMENT, FALSE);
  });
  // The finalizer runs once the completion reaches the top, so the event is always set.
  if (IoCallDriver(target, irp) == STATUS_PENDING || wait_always)
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
  return iosb;
}

}  // namespace wbk

using namespace wbk;

// ---- IRPs ----
extern "C" void IoInitializeIrp(PIRP irp, USHORT packet_size, CCHAR stack_size) {
  memset(irp, 0, packet_size);
  irp->Type = kTypeIrp;
  irp->Size = packet_size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = (CHAR)(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
  InitializeListHead(&irp->ThreadListEntry);
}

extern "C" PIRP IoAllocateIrp(CCHAR stack_size, BOOLEAN) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) violation("IoAllocateIrp at IRQL %d", KeGetCurrentIrql());
  if (stack_size < 1 || stack_size > 100) {
    violation("IoAllocateIrp with %d stack locations", stack_size);
    return nullptr;
  }
  irp_rec *r = take_block(stack_size);
  if (!r) return nullptr;
  PIRP irp = r->irp();
  IoInitializeIrp(irp, IoSizeOfIrp(stack_size), stack_size);
  r->finalized.store(false, std::memory_order_relaxed);
  std::lock_guard<std::mutex> l(r->mu);
  r->holds.store(1, std::memory_order_relaxed);
  r->state = irp_rec::idle;
  r->threaded = false;
  r->pins = 0;
  r->free_pending = false;
  r->fin_fn = nullptr;
  for (int i = 0; i < stack_size + 2; ++i) r->levels[i].cur = nullptr;
  r->freed = false;
  return irp;
}

extern "C" void IoFreeIrp(PIRP irp) {
  irp_rec *r = irp_rec_of(irp);
  if (!r) {
    violation("IoFreeIrp(%p): not an IRP from IoAllocateIrp", (void *)irp);
    return;
  }
  {
    std::lock_guard<std::mutex> l(r->mu);
    if (r->freed) {
      violation("IoFreeIrp on an IRP that was already freed (%p)", (void *)irp);
      return;
    }
    if (r->state == irp_rec::sent) {
      violation("IoFreeIrp on an IRP still owned by a lower driver (%p)", (void *)irp);
      return;
    }
    if (r->threaded) {
      violation("IoFreeIrp on an IRP the I/O manager owns (%p)", (void *)irp);
      return;
    }
  }
  free_irp_internal(irp);
}

extern "C" void IoReuseIrp(PIRP irp, NTSTATUS status) {
  irp_rec *r = irp_rec_of(irp);
  if (r) {
    std::lock_guard<std::mutex> l(r->mu);
    if (r->freed) {
      violation("IoReuseIrp on a freed IRP (%p)", (void *)irp);
      return;
    }
    if (r->state == irp_rec::sent) violation("IoReuseIrp on an IRP still owned by a lower driver (%p)", (void *)irp);
    r->state = irp_rec::idle;
    for (int i = 0; i < r->stack + 2; ++i) r->levels[i].cur = nullptr;
  }
  UCHAR flags = irp->AllocationFlags;
  IoInitializeIrp(irp, irp->Size, irp->StackCount);
  irp->AllocationFlags = flags;
  irp->IoStatus.Status = status;
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) violation("IoCallDriver at IRQL %d", KeGetCurrentIrql());
  if (held_spin_locks()) g_calls_under_lock.fetch_add(1, std::memory_order_relaxed);
  irp_rec *r = irp_rec_of(irp);
  if (!r || irp->Type != kTypeIrp) {
    violation("IoCallDriver with an IRP that was freed or never allocated (%p)", (void *)irp);
    return STATUS_INVALID_PARAMETER;
  }
  if (!device) {
    violation("IoCallDriver with no device object");
    return STATUS_INVALID_PARAMETER;
  }
  if (irp->CurrentLocation <= 1) {
    violation("IoCallDriver: the IRP has no stack location left for %s (stack size too small)",
              driver_name(device).c_str());
    return STATUS_INVALID_PARAMETER;
  }
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION s = irp->Tail.Overlay.CurrentStackLocation;
  s->DeviceObject = device;
  int level = irp->CurrentLocation;
  irp_call *call;
  {
    std::lock_guard<std::mutex> l(r->mu);
    if (r->freed) {
      violation("IoCallDriver with a freed IRP (%p)", (void *)irp);
      return STATUS_INVALID_PARAMETER;
    }
    r->holds.fetch_add(1, std::memory_order_relaxed);
    r->state = irp_rec::sent;
    call = r->call_at(level);
    if (!call || call->active == 0) call = r->new_call(level);
    ++call->active;
  }
  held_block hold(r);
  UCHAR major = s->MajorFunction, minor = s->MinorFunction;
  PDRIVER_DISPATCH fn = device->DriverObject->MajorFunction[major];
  NTSTATUS st;
  {
    callout_guard g("dispatch routine");
    try {
      st = fn(device, irp);
    } catch (const standin::kernel::raised_status &e) {
      violation("ExRaiseStatus(0x%08x) not handled by the dispatch routine of %s", (unsigned)e.status,
                driver_name(device).c_str());
      st = e.status;
    }
  }
  bool broken = false;
  {
    std::lock_guard<std::mutex> l(r->mu);
    --call->active;
    if (st == STATUS_PENDING) {
      call->returned_pending = true;
      broken = call->walked && !call->marked;
    }
  }
  if (broken)
    violation("%s returned STATUS_PENDING for IRP major 0x%x minor 0x%x without IoMarkIrpPending",
              driver_name(device).c_str(), major, minor);
  return st;
}

extern "C" void IoMarkIrpPending(PIRP irp) {
  irp_rec *r = irp_rec_of(irp);
  if (!r) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
    return;
  }
  std::lock_guard<std::mutex> l(r->mu);
  if (r->freed) {  // its stack pointer is scrubbed: following it would crash
    violation("IoMarkIrpPending on a freed IRP (%p)", (void *)irp);
    return;
  }
  IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
  int level = irp->CurrentLocation;
  irp_call *c = r->call_at(level);
  if (!c) c = r->new_call(level);
  if (c) c->marked = true;
}

extern "C" void IofCompleteRequest(PIRP irp, CCHAR) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) violation("IoCompleteRequest at IRQL %d", KeGetCurrentIrql());
  if (holds_spin_lock(&g_cancel_lock))
    violation("IRP %p completed while holding the cancel spin lock (release it first)", (void *)irp);
  else if (held_spin_locks())
    g_completions_under_lock.fetch_add(1, std::memory_order_relaxed);
  irp_rec *r = irp_rec_of(irp);
  if (!r) {
    violation("IoCompleteRequest with an IRP that was never allocated (%p)", (void *)irp);
    return;
  }
  {
    std::lock_guard<std::mutex> l(r->mu);
    if (r->freed || irp->Type != kTypeIrp) {
      violation("IoCompleteRequest with a freed IRP %p (completed twice, or used after it was freed)", (void *)irp);
      return;
    }
    if (r->state == irp_rec::idle) {
      violation("IRP %p completed twice (or completed without being sent)", (void *)irp);
      return;
    }
    r->state = irp_rec::idle;
    r->holds.fetch_add(1, std::memory_order_relaxed);
  }
  held_block hold(r);
  if (irp->IoStatus.Status == STATUS_PENDING) violation("IoCompleteRequest with the status STATUS_PENDING");
  if (IoSetCancelRoutine(irp, nullptr)) violation("IRP %p completed with its cancel routine still set", (void *)irp);
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION s = irp->Tail.Overlay.CurrentStackLocation;
    {
      bool broken = false;
      {
        std::lock_guard<std::mutex> l(r->mu);
        irp_call *c = r->call_at((int)irp->CurrentLocation);
        if (c) {
          c->walked = true;
          broken = c->returned_pending && !c->marked;
        }
      }
      if (broken)
        violation("%s returned STATUS_PENDING for IRP major 0x%x minor 0x%x without IoMarkIrpPending",
                  driver_name(s->DeviceObject).c_str(), s->MajorFunction, s->MinorFunction);
    }
    irp->PendingReturned = (s->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = s->CompletionRoutine;
    PVOID ctx = s->Context;
    UCHAR control = s->Control;
    s->CompletionRoutine = nullptr;
    s->Context = nullptr;
    s->Control = 0;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    PDEVICE_OBJECT dev =
        irp->CurrentLocation <= irp->StackCount ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    NTSTATUS st = irp->IoStatus.Status;
    bool invoke = routine && ((NT_SUCCESS(st) && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (!NT_SUCCESS(st) && (control & SL_INVOKE_ON_ERROR)) ||
                              (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      {
        std::lock_guard<std::mutex> l(r->mu);
        r->state = irp_rec::halted;  // the routine may take the IRP back
      }
      NTSTATUS rs;
      {
        callout_guard g("completion routine");
        rs = routine(dev, irp, ctx);
      }
      if (rs == STATUS_MORE_PROCESSING_REQUIRED) return;  // the routine owns the IRP again
      std::lock_guard<std::mutex> l(r->mu);
      r->state = irp_rec::idle;
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  irp_finalizer fin;
  irp_finalizer_fn fn;
  bool threaded;
  {
    std::lock_guard<std::mutex> l(r->mu);
    fn = r->fin_fn;
    if (!fn) fin = r->finalize;
    threaded = r->threaded;
  }
  r->finalized.store(true, std::memory_order_release);
  if (fn) {
    fn(irp, r->space);
    // The completing thread is held up (preempted) after the caller has its result.
    if (uint32_t ms = g_hold_after_completion_ms.exchange(0)) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  } else if (fin) {
    fin(irp);
  } else if (!threaded) {
    violation("IRP %p from IoAllocateIrp completed to its top: its completion routine must return "
              "STATUS_MORE_PROCESSING_REQUIRED",
              (void *)irp);
  }
}

extern "C" void IoAcquireCancelSpinLock(PKIRQL irql) { *irql = KfAcquireSpinLock(&g_cancel_lock); }
extern "C" void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&g_cancel_lock, irql); }

extern "C" PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  return reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&irp->CancelRoutine), (PVOID)routine));
}

extern "C" BOOLEAN IoCancelIrp(PIRP irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) violation("IoCancelIrp at IRQL %d", KeGetCurrentIrql());
  irp_rec *r = irp_rec_of(irp);
  if (!r || irp->Type != kTypeIrp) {
    violation("IoCancelIrp with an IRP that was freed or never allocated (%p)", (void *)irp);
    return FALSE;
  }
  KIRQL entry = KeGetCurrentIrql();
  size_t locks = held_spin_locks();
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST);  // drivers read it without the cancel lock
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  PDEVICE_OBJECT dev =
      irp->CurrentLocation <= irp->StackCount ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
  {
    driver_code_scope scope;
    routine(dev, irp);
  }
  if (held_spin_locks() > locks) {
    violation("cancel routine returned without releasing the cancel spin lock");
    IoReleaseCancelSpinLock(entry);
  }
  if (KeGetCurrentIrql() != entry) {
    violation("cancel routine returned at IRQL %d, IoCancelIrp was called at %d", KeGetCurrentIrql(), entry);
    set_irql(entry);
  }
  return TRUE;
}

namespace standin::kernel {

size_t completions_under_spin_lock() { return g_completions_under_lock.load(); }
size_t calls_under_spin_lock() { return g_calls_under_lock.load(); }
void clear_completions_under_spin_lock() {
  g_completions_under_lock = 0;
  g_calls_under_lock = 0;
}
void hold_after_next_completion(uint32_t ms) { g_hold_after_completion_ms = ms; }

}  // namespace standin::kernel
