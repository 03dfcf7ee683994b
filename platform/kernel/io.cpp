// I/O manager core: driver and device objects, names and symbolic links, device stacks, IRPs with their
// allocation, lookup, completion and cancellation rules. Buffers, work items and the control interface
// are in io_buffers.cpp, io_workitems.cpp and io_control.cpp.
#include "io_internal.h"

#include <standin/kernel.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

struct _DEVOBJ_EXTENSION {
  PDEVICE_OBJECT dob = nullptr;
  std::atomic<long> refs{1};
  bool deleted = false;
  std::atomic<bool> removal_begun{false};  // the PnP manager sent IRP_MN_REMOVE_DEVICE to its stack
  std::u16string name;  // "\Device\X", empty when unnamed
  PDEVICE_OBJECT attached_to = nullptr;
  std::unique_ptr<wbk::pdo_identity> identity;
  size_t alloc_size = 0;
};

namespace wbk {
namespace {

constexpr CSHORT kTypeDevice = 3, kTypeDriver = 4, kTypeIrp = 6;

std::unordered_map<std::u16string, PDEVICE_OBJECT> g_devices;  // upper-case name -> device
std::unordered_map<std::u16string, std::u16string> g_links;     // upper-case link key -> target
ULONG g_autoname = 0;

std::u16string link_key(const std::u16string &link) {
  std::u16string u = upper(link);
  for (const char16_t *p : {u"\\??\\", u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
    std::u16string pre(p);
    if (u.compare(0, pre.size(), pre) == 0) return u.substr(pre.size());
  }
  return u;
}

std::string driver_name(PDEVICE_OBJECT d) {
  if (!d || !d->DriverObject) return "?";
  return to_utf8(to_u16(&d->DriverObject->DriverName));
}

NTSTATUS STDCALL_invalid(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::mutex g_live_mu;
std::map<PDRIVER_OBJECT, long> g_live;  // device objects allocated and not yet freed, per driver
std::function<void(PDRIVER_OBJECT)> g_last_device_freed;

void free_device_memory(PDEVICE_OBJECT d) {
  PDRIVER_OBJECT drv = d->DriverObject;
  device_rec *r = d->DeviceObjectExtension;
  if (size_t n = purge_dpcs_in(d, r->alloc_size))
    violation("device object of %s freed with %zu DPC(s) in it still queued", driver_name(d).c_str(), n);
  delete r;
  ::operator delete(static_cast<void *>(d));
  bool last;
  std::function<void(PDRIVER_OBJECT)> hook;
  {
    std::lock_guard<std::mutex> l(g_live_mu);
    last = --g_live[drv] == 0;
    if (last) g_live.erase(drv);
    hook = g_last_device_freed;
  }
  if (last && hook) hook(drv);
}

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

std::mutex g_ns;
std::vector<PDEVICE_OBJECT> g_shutdown;

device_rec *rec_of(PDEVICE_OBJECT d) { return d ? d->DeviceObjectExtension : nullptr; }

void reference_device(PDEVICE_OBJECT d) {
  if (d) d->DeviceObjectExtension->refs.fetch_add(1);
}

void dereference_device(PDEVICE_OBJECT d) {
  if (!d) return;
  if (d->DeviceObjectExtension->refs.fetch_sub(1) == 1) free_device_memory(d);
}

PDEVICE_OBJECT lookup_device_name(const std::u16string &name) {
  std::lock_guard<std::mutex> l(g_ns);
  auto it = g_devices.find(upper(name));
  if (it == g_devices.end()) return nullptr;
  reference_device(it->second);
  return it->second;
}

std::u16string device_name(PDEVICE_OBJECT d) {
  std::lock_guard<std::mutex> l(g_ns);
  return d->DeviceObjectExtension->name;
}

std::u16string resolve_link(const std::u16string &link) {
  std::lock_guard<std::mutex> l(g_ns);
  auto it = g_links.find(link_key(link));
  return it == g_links.end() ? std::u16string() : it->second;
}

PDRIVER_OBJECT create_driver_object(const std::u16string &name) {
  auto *d = new DRIVER_OBJECT{};
  d->Type = kTypeDriver;
  d->Size = sizeof(DRIVER_OBJECT);
  d->DriverExtension = new DRIVER_EXTENSION{};
  d->DriverExtension->DriverObject = d;
  make_unicode(name, &d->DriverName);
  for (auto &f : d->MajorFunction) f = STDCALL_invalid;
  return d;
}

void destroy_driver_object(PDRIVER_OBJECT d) {
  RtlFreeUnicodeString(&d->DriverName);
  if (d->DriverExtension->ServiceKeyName.Buffer) RtlFreeUnicodeString(&d->DriverExtension->ServiceKeyName);
  delete d->DriverExtension;
  delete d;
}

long driver_live_devices(PDRIVER_OBJECT d) {
  std::lock_guard<std::mutex> l(g_live_mu);
  auto it = g_live.find(d);
  return it == g_live.end() ? 0 : it->second;
}

void on_last_device_freed(std::function<void(PDRIVER_OBJECT)> fn) {
  std::lock_guard<std::mutex> l(g_live_mu);
  g_last_device_freed = std::move(fn);
}

size_t driver_device_count(PDRIVER_OBJECT d) {
  std::lock_guard<std::mutex> l(g_ns);
  size_t n = 0;
  for (PDEVICE_OBJECT p = d->DeviceObject; p; p = p->NextDevice) ++n;
  return n;
}

void set_pdo_identity(PDEVICE_OBJECT pdo, const pdo_identity &id) {
  pdo->DeviceObjectExtension->identity = std::make_unique<pdo_identity>(id);
}

const pdo_identity *pdo_identity_of(PDEVICE_OBJECT pdo) {
  return pdo ? pdo->DeviceObjectExtension->identity.get() : nullptr;
}

PDEVICE_OBJECT pdo_of(PDEVICE_OBJECT d) {
  std::lock_guard<std::mutex> l(g_ns);
  while (d && d->DeviceObjectExtension->attached_to) d = d->DeviceObjectExtension->attached_to;
  return d;
}

void mark_removal_begun(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> l(g_ns);
  for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) d->DeviceObjectExtension->removal_begun = true;
}

bool removal_begun(PDEVICE_OBJECT d) {
  std::lock_guard<std::mutex> l(g_ns);
  return d && (d->DeviceObjectExtension->removal_begun || d->DeviceObjectExtension->deleted);
}

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

// ---- devices ----
extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extension_size, PUNICODE_STRING name, ULONG type,
                                   ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT *device) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) violation("IoCreateDevice at IRQL %d", KeGetCurrentIrql());
  *device = nullptr;
  size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~(size_t)15;
  size_t total = head + extension_size;
  std::u16string nm;
  std::lock_guard<std::mutex> l(g_ns);
  if (characteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
    char buf[32];
    snprintf(buf, sizeof buf, "\\Device\\%08x", ++g_autoname);
    nm = to_u16(buf);
  } else if (name && name->Length) {
    nm = to_u16(name);
  }
  if (!nm.empty() && g_devices.count(upper(nm))) return STATUS_OBJECT_NAME_COLLISION;
  void *mem = ::operator new(total, std::nothrow);
  if (!mem) return STATUS_INSUFFICIENT_RESOURCES;
  memset(mem, 0, total);
  auto *d = static_cast<PDEVICE_OBJECT>(mem);
  auto *r = new _DEVOBJ_EXTENSION;
  r->dob = d;
  r->name = nm;
  r->alloc_size = total;
  d->Type = kTypeDevice;
  d->Size = (USHORT)(total > 0xFFFF ? 0xFFFF : total);
  d->DriverObject = driver;
  d->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
  d->Characteristics = characteristics & ~(ULONG)FILE_AUTOGENERATED_DEVICE_NAME;
  d->DeviceExtension = extension_size ? static_cast<char *>(mem) + head : nullptr;
  d->DeviceType = type;
  d->StackSize = 1;
  d->DeviceObjectExtension = r;
  d->NextDevice = driver->DeviceObject;
  driver->DeviceObject = d;
  if (!nm.empty()) g_devices[upper(nm)] = d;
  {
    std::lock_guard<std::mutex> ll(g_live_mu);
    ++g_live[driver];
  }
  *device = d;
  return STATUS_SUCCESS;
}

extern "C" void IoDeleteDevice(PDEVICE_OBJECT d) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) violation("IoDeleteDevice at IRQL %d", KeGetCurrentIrql());
  {
    std::lock_guard<std::mutex> l(g_ns);
    device_rec *r = d->DeviceObjectExtension;
    if (!r || r->deleted) {
      violation("IoDeleteDevice on a device object that was already deleted (%p)", (void *)d);
      return;
    }
    if (r->attached_to)
      violation("IoDeleteDevice on a device of %s still attached to a lower device (IoDetachDevice first)",
                driver_name(d).c_str());
    r->deleted = true;
    if (!r->name.empty()) g_devices.erase(upper(r->name));
    PDEVICE_OBJECT *pp = &d->DriverObject->DeviceObject;
    while (*pp && *pp != d) pp = &(*pp)->NextDevice;
    if (*pp) *pp = d->NextDevice;
    d->NextDevice = nullptr;
    for (auto it = g_shutdown.begin(); it != g_shutdown.end(); ++it) {
      if (*it == d) {
        g_shutdown.erase(it);
        break;
      }
    }
  }
  dereference_device(d);
}

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) violation("IoCreateSymbolicLink at IRQL %d", KeGetCurrentIrql());
  std::lock_guard<std::mutex> l(g_ns);
  std::u16string key = link_key(to_u16(link));
  if (key.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (g_links.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  g_links[key] = to_u16(target);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) violation("IoDeleteSymbolicLink at IRQL %d", KeGetCurrentIrql());
  std::lock_guard<std::mutex> l(g_ns);
  return g_links.erase(link_key(to_u16(link))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  std::lock_guard<std::mutex> l(g_ns);
  if (!target || target->DeviceObjectExtension->deleted) return nullptr;
  PDEVICE_OBJECT top = target;
  while (top->AttachedDevice) top = top->AttachedDevice;
  top->AttachedDevice = source;
  source->DeviceObjectExtension->attached_to = top;
  source->StackSize = (CCHAR)(top->StackSize + 1);
  if (top->AlignmentRequirement > source->AlignmentRequirement) source->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

extern "C" void IoDetachDevice(PDEVICE_OBJECT target) {
  std::lock_guard<std::mutex> l(g_ns);
  PDEVICE_OBJECT upper_dev = target->AttachedDevice;
  if (!upper_dev) {
    violation("IoDetachDevice on a device with nothing attached (%p)", (void *)target);
    return;
  }
  target->AttachedDevice = nullptr;
  upper_dev->DeviceObjectExtension->attached_to = nullptr;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT d) {
  std::lock_guard<std::mutex> l(g_ns);
  while (d->AttachedDevice) d = d->AttachedDevice;
  return d;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT d) {
  std::lock_guard<std::mutex> l(g_ns);
  while (d->AttachedDevice) d = d->AttachedDevice;
  reference_device(d);
  return d;
}

static bool is_device(PVOID o) {
  auto *d = static_cast<PDEVICE_OBJECT>(o);
  return d && d->Type == kTypeDevice && d->DeviceObjectExtension && d->DeviceObjectExtension->dob == d;
}

extern "C" void ObReferenceObject(PVOID o) {
  if (is_device(o)) reference_device(static_cast<PDEVICE_OBJECT>(o));
}

extern "C" void ObDereferenceObject(PVOID o) {
  if (is_device(o)) dereference_device(static_cast<PDEVICE_OBJECT>(o));
}

extern "C" NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT d) {
  std::lock_guard<std::mutex> l(g_ns);
  g_shutdown.push_back(d);
  d->Flags |= DO_SHUTDOWN_REGISTERED;
  return STATUS_SUCCESS;
}

extern "C" void IoUnregisterShutdownNotification(PDEVICE_OBJECT d) {
  std::lock_guard<std::mutex> l(g_ns);
  for (auto it = g_shutdown.begin(); it != g_shutdown.end(); ++it) {
    if (*it == d) {
      g_shutdown.erase(it);
      break;
    }
  }
  d->Flags &= ~(ULONG)DO_SHUTDOWN_REGISTERED;
}

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
