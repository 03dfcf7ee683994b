// I/O manager: driver and device objects, device names and symbolic links, device stacks, object
// references and shutdown notification. IRPs are in io_irp.cpp.
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

constexpr CSHORT kTypeDevice = 3, kTypeDriver = 4;

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

}  // namespace

std::string driver_name(PDEVICE_OBJECT d) {
  if (!d || !d->DriverObject) return "?";
  return to_utf8(to_u16(&d->DriverObject->DriverName));
}

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
