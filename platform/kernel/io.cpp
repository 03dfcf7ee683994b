// I/O manager core: driver and device objects, names and symbolic links, device stacks, IRPs with their
// completion and cancellation rules, MDLs, work items, shutdown notification.
#include "kinternal.h"

#include <standin/kernel.h>

#include <deque>
#include <map>
#include <unordered_map>
#include <vector>

struct _DEVOBJ_EXTENSION {
  PDEVICE_OBJECT dob = nullptr;
  std::atomic<long> refs{1};
  bool deleted = false;
  std::u16string name;  // "\Device\X", empty when unnamed
  PDEVICE_OBJECT attached_to = nullptr;
  std::unique_ptr<wbk::pdo_identity> identity;
  size_t alloc_size = 0;
};

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  std::atomic<bool> queued{false};
};

namespace wbk {
namespace {

constexpr CSHORT kTypeDevice = 3, kTypeDriver = 4, kTypeIrp = 6;

std::mutex g_ns;  // names, links, device lists and stacks
std::unordered_map<std::u16string, PDEVICE_OBJECT> g_devices;  // upper-case name -> device
std::unordered_map<std::u16string, std::u16string> g_links;     // upper-case link key -> target
std::vector<PDEVICE_OBJECT> g_shutdown;
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
  std::atomic<int> active{0};
};

struct irp_rec {
  std::mutex mu;
  bool freed = false;
  // idle: with its creator; sent: in a driver's hands; halted: taken back by a completion routine
  // (STATUS_MORE_PROCESSING_REQUIRED), so its holder may complete it again, resend, reuse or free it.
  enum { idle, sent, halted } state = idle;
  bool threaded = false;     // built by the I/O manager, finalized by it
  int pins = 0;
  bool free_pending = false;
  irp_finalizer finalize;
  // By stack level, grown as levels are used: most IRPs have a few locations, not 128.
  std::vector<std::shared_ptr<irp_call>> calls;
  std::shared_ptr<irp_call> &call_at(int level) {
    if (static_cast<size_t>(level) >= calls.size()) calls.resize(static_cast<size_t>(level) + 1);
    return calls[static_cast<size_t>(level)];
  }
};

std::mutex g_irps_mu;
// Never destroyed: IRPs and the freed ones kept for checks stay reachable until the process ends.
std::unordered_map<PIRP, std::shared_ptr<irp_rec>> &g_irps = *new std::unordered_map<PIRP, std::shared_ptr<irp_rec>>;
std::deque<PIRP> &g_quarantine = *new std::deque<PIRP>;
constexpr size_t kQuarantine = 2048;

std::shared_ptr<irp_rec> irp_rec_of(PIRP irp) {
  std::lock_guard<std::mutex> l(g_irps_mu);
  auto it = g_irps.find(irp);
  return it == g_irps.end() ? nullptr : it->second;
}

void release_irp_memory(PIRP irp) {
  // Freed IRPs stay mapped for a while so that a late use is caught as a rule break, not a crash.
  memset(irp, 0xDD, irp->Size > sizeof(IRP) ? sizeof(IRP) : irp->Size);
  irp->Type = 0;
  PIRP evict = nullptr;
  {
    std::lock_guard<std::mutex> l(g_irps_mu);
    g_quarantine.push_back(irp);
    if (g_quarantine.size() > kQuarantine) {
      evict = g_quarantine.front();
      g_quarantine.pop_front();
      g_irps.erase(evict);
    }
  }
  if (evict) ::operator delete(static_cast<void *>(evict));
}

KSPIN_LOCK g_cancel_lock = 0;

}  // namespace

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

void set_irp_finalizer(PIRP irp, irp_finalizer fn) {
  auto r = irp_rec_of(irp);
  std::lock_guard<std::mutex> l(r->mu);
  r->threaded = true;
  r->finalize = std::move(fn);
}

void pin_irp(PIRP irp) {
  auto r = irp_rec_of(irp);
  if (!r) return;
  std::lock_guard<std::mutex> l(r->mu);
  ++r->pins;
}

void unpin_irp(PIRP irp) {
  auto r = irp_rec_of(irp);
  if (!r) return;
  bool free_now;
  {
    std::lock_guard<std::mutex> l(r->mu);
    free_now = --r->pins == 0 && r->free_pending;
    if (free_now) r->freed = true;
  }
  if (free_now) release_irp_memory(irp);
}

void free_irp_internal(PIRP irp) {
  auto r = irp_rec_of(irp);
  if (!r) return;
  {
    std::lock_guard<std::mutex> l(r->mu);
    if (r->pins) {
      r->free_pending = true;
      return;
    }
    r->freed = true;
  }
  release_irp_memory(irp);
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
  std::lock_guard<std::mutex> l(g_ns);
  std::u16string key = link_key(to_u16(link));
  if (key.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (g_links.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  g_links[key] = to_u16(target);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link) {
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
  USHORT size = IoSizeOfIrp(stack_size);
  auto *irp = static_cast<PIRP>(::operator new(size, std::nothrow));
  if (!irp) return nullptr;
  IoInitializeIrp(irp, size, stack_size);
  auto r = std::make_shared<irp_rec>();
  std::lock_guard<std::mutex> l(g_irps_mu);
  g_irps[irp] = std::move(r);
  return irp;
}

extern "C" void IoFreeIrp(PIRP irp) {
  auto r = irp_rec_of(irp);
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
  auto r = irp_rec_of(irp);
  if (r) {
    std::lock_guard<std::mutex> l(r->mu);
    if (r->freed) {
      violation("IoReuseIrp on a freed IRP (%p)", (void *)irp);
      return;
    }
    if (r->state == irp_rec::sent) violation("IoReuseIrp on an IRP still owned by a lower driver (%p)", (void *)irp);
    r->state = irp_rec::idle;
    for (auto &c : r->calls) c.reset();
  }
  UCHAR flags = irp->AllocationFlags;
  IoInitializeIrp(irp, irp->Size, irp->StackCount);
  irp->AllocationFlags = flags;
  irp->IoStatus.Status = status;
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) violation("IoCallDriver at IRQL %d", KeGetCurrentIrql());
  auto r = irp_rec_of(irp);
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
  std::shared_ptr<irp_call> call;
  {
    std::lock_guard<std::mutex> l(r->mu);
    if (r->freed) {
      violation("IoCallDriver with a freed IRP (%p)", (void *)irp);
      return STATUS_INVALID_PARAMETER;
    }
    r->state = irp_rec::sent;
    call = r->call_at(level);
    if (!call || call->active.load() == 0) {
      call = std::make_shared<irp_call>();
      r->call_at(level) = call;
    }
  }
  call->active.fetch_add(1);
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
  call->active.fetch_sub(1);
  if (st == STATUS_PENDING) {
    bool broken;
    {
      std::lock_guard<std::mutex> l(r->mu);
      call->returned_pending = true;
      broken = call->walked && !call->marked;
    }
    if (broken)
      violation("%s returned STATUS_PENDING for IRP major 0x%x minor 0x%x without IoMarkIrpPending",
                driver_name(device).c_str(), major, minor);
  }
  return st;
}

extern "C" void IoMarkIrpPending(PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  s->Control |= SL_PENDING_RETURNED;
  auto r = irp_rec_of(irp);
  if (!r) return;
  std::lock_guard<std::mutex> l(r->mu);
  int level = irp->CurrentLocation;
  if (level >= 0 && level < 128) {
    auto &c = r->call_at(level);
    if (!c) c = std::make_shared<irp_call>();
    c->marked = true;
  }
}

extern "C" void IofCompleteRequest(PIRP irp, CCHAR) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) violation("IoCompleteRequest at IRQL %d", KeGetCurrentIrql());
  auto r = irp_rec_of(irp);
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
  }
  if (irp->IoStatus.Status == STATUS_PENDING) violation("IoCompleteRequest with the status STATUS_PENDING");
  if (IoSetCancelRoutine(irp, nullptr)) violation("IRP %p completed with its cancel routine still set", (void *)irp);
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION s = irp->Tail.Overlay.CurrentStackLocation;
    {
      bool broken = false;
      std::string who;
      {
        std::lock_guard<std::mutex> l(r->mu);
        auto &c = r->call_at((int)irp->CurrentLocation);
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
  bool threaded;
  {
    std::lock_guard<std::mutex> l(r->mu);
    fin = r->finalize;
    threaded = r->threaded;
  }
  if (fin) {
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
  auto r = irp_rec_of(irp);
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

// ---- buffers of I/O-manager IRPs ----
extern "C" PMDL IoAllocateMdl(PVOID va, ULONG length, BOOLEAN secondary, BOOLEAN, PIRP irp) {
  auto *m = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), tag4("Mdl ")));
  if (!m) return nullptr;
  memset(m, 0, sizeof *m);
  m->Size = sizeof(MDL);
  m->StartVa = (PVOID)((ULONG_PTR)va & ~(ULONG_PTR)0xFFF);
  m->ByteOffset = (ULONG)((ULONG_PTR)va & 0xFFF);
  m->ByteCount = length;
  m->MappedSystemVa = va;
  if (irp) {
    if (!secondary) {
      irp->MdlAddress = m;
    } else {
      PMDL *pp = &irp->MdlAddress;
      while (*pp) pp = &(*pp)->Next;
      *pp = m;
    }
  }
  return m;
}

extern "C" void IoFreeMdl(PMDL mdl) { ExFreePool(mdl); }

extern "C" void IoBuildPartialMdl(PMDL, PMDL target, PVOID va, ULONG length) {
  target->StartVa = (PVOID)((ULONG_PTR)va & ~(ULONG_PTR)0xFFF);
  target->ByteOffset = (ULONG)((ULONG_PTR)va & 0xFFF);
  target->ByteCount = length;
  target->MappedSystemVa = va;
  target->MdlFlags |= MDL_PARTIAL;
}

extern "C" PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG) {
  if (!mdl) {
    violation("MmGetSystemAddressForMdlSafe(NULL)");
    return nullptr;
  }
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return static_cast<char *>(mdl->StartVa) + mdl->ByteOffset;
}

extern "C" void MmBuildMdlForNonPagedPool(PMDL mdl) { mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL; }
extern "C" void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE, LOCK_OPERATION) { mdl->MdlFlags |= MDL_PAGES_LOCKED; }
extern "C" void MmUnlockPages(PMDL mdl) { mdl->MdlFlags &= ~MDL_PAGES_LOCKED; }

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG in_length,
                                              PVOID output, ULONG out_length, BOOLEAN internal, PKEVENT event,
                                              PIO_STATUS_BLOCK iosb) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) violation("IoBuildDeviceIoControlRequest at IRQL %d", KeGetCurrentIrql());
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (!irp) return nullptr;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  s->Parameters.DeviceIoControl.IoControlCode = code;
  s->Parameters.DeviceIoControl.InputBufferLength = in_length;
  s->Parameters.DeviceIoControl.OutputBufferLength = out_length;
  ULONG method = METHOD_FROM_CTL_CODE(code);
  PVOID sysbuf = nullptr;
  if (method == METHOD_BUFFERED) {
    ULONG n = in_length > out_length ? in_length : out_length;
    if (n) {
      sysbuf = ExAllocatePoolWithTag(NonPagedPool, n, tag4("IoBf"));
      if (!sysbuf) {
        free_irp_internal(irp);
        return nullptr;
      }
      if (input && in_length) memcpy(sysbuf, input, in_length);
    }
    irp->AssociatedIrp.SystemBuffer = sysbuf;
  } else if (method == METHOD_NEITHER) {
    s->Parameters.DeviceIoControl.Type3InputBuffer = input;
    irp->UserBuffer = output;
  } else {
    irp->AssociatedIrp.SystemBuffer = input;
    if (output && out_length) IoAllocateMdl(output, out_length, FALSE, FALSE, irp);
  }
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  set_irp_finalizer(irp, [method, output, out_length, sysbuf](PIRP done) {
    if (method == METHOD_BUFFERED && sysbuf) {
      ULONG_PTR n = done->IoStatus.Information;
      if (!NT_ERROR(done->IoStatus.Status) && output && n) memcpy(output, sysbuf, n > out_length ? out_length : n);
      ExFreePool(sysbuf);
    }
    if (done->MdlAddress) IoFreeMdl(done->MdlAddress);
    if (done->UserIosb) *done->UserIosb = done->IoStatus;
    PKEVENT ev = done->UserEvent;
    free_irp_internal(done);
    if (ev) KeSetEvent(ev, IO_NO_INCREMENT, FALSE);
  });
  return irp;
}

// ---- work items ----
extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device) {
  auto *w = new (std::nothrow) _IO_WORKITEM;
  if (!w) return nullptr;
  w->device = device;
  reference_device(device);
  return w;
}

extern "C" void IoFreeWorkItem(PIO_WORKITEM item) {
  if (item->queued.load()) {
    violation("IoFreeWorkItem on a queued work item");
    return;
  }
  dereference_device(item->device);
  delete item;
}

extern "C" void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE, PVOID context) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) violation("IoQueueWorkItem at IRQL %d", KeGetCurrentIrql());
  if (item->queued.exchange(true)) {
    violation("IoQueueWorkItem on a work item that is already queued");
    return;
  }
  PDEVICE_OBJECT dev = item->device;
  reference_device(dev);
  queue_worker([item, routine, context, dev] {
    item->queued = false;
    {
      callout_guard g("work item routine");
      routine(dev, context);
    }
    dereference_device(dev);
  });
}

// ---- control interface ----
namespace standin::kernel {
void send_shutdown_notifications() {
  std::vector<PDEVICE_OBJECT> list;
  {
    std::lock_guard<std::mutex> l(g_ns);
    list = g_shutdown;
    for (auto *d : list) reference_device(d);
  }
  for (auto *d : list) {
    KEVENT ev;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(d->StackSize, FALSE);
    if (irp) {
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SHUTDOWN;
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      irp->UserIosb = &iosb;
      irp->UserEvent = &ev;
      set_irp_finalizer(irp, [](PIRP done) {
        *done->UserIosb = done->IoStatus;
        PKEVENT e = done->UserEvent;
        free_irp_internal(done);
        KeSetEvent(e, 0, FALSE);
      });
      if (IoCallDriver(d, irp) == STATUS_PENDING) KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
    }
    dereference_device(d);
  }
}
}  // namespace standin::kernel
