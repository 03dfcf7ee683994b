#include "kdriver.h"

namespace kl {

namespace {

kernel_driver *g_driver = nullptr;
bool g_dos_devices_prefix = false;

NTSTATUS dispatch_glue(PDEVICE_OBJECT device, PIRP irp) {
  kernel_driver *d = g_driver;
  if (!d) return device_object::complete(irp, STATUS_NO_SUCH_DEVICE);
  return d->dispatch(device, irp);
}

NTSTATUS add_device_glue(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  kernel_driver *d = g_driver;
  if (!d) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS st = d->add_device(pdo);
  if (NT_SUCCESS(st))
    for (PDEVICE_OBJECT o = driver->DeviceObject; o; o = o->NextDevice) o->Flags &= ~DO_DEVICE_INITIALIZING;
  return st;
}

void unload_glue(PDRIVER_OBJECT) {
  kernel_driver *d = g_driver;
  if (!d) return;
  d->unload();
  g_driver = nullptr;
  kl::destroy(d);
}

// "\DosDevices\" on systems that keep the class keys under Services, "\??\" where Control has them.
void probe_link_prefix() {
  registry_key control, services;
  bool in_control = NT_SUCCESS(control.open_subkey(root_control, L"Class", KEY_READ));
  bool in_services = NT_SUCCESS(services.open_subkey(root_services, L"Class", KEY_READ));
  g_dos_devices_prefix = !in_control && in_services;
}

}  // namespace

kernel_driver *the_driver() { return g_driver; }
PCWSTR link_prefix() { return g_dos_devices_prefix ? L"\\DosDevices\\" : L"\\??\\"; }

void allocation_failure_hook(ksize_t size, POOL_TYPE type) {
  DbgPrint("Failed to allocate %x bytes from pool of type %x\n", (unsigned)size, (unsigned)type);
}

NTSTATUS kernel_driver::driver_entry(PUNICODE_STRING) { return STATUS_SUCCESS; }
NTSTATUS kernel_driver::add_device(PDEVICE_OBJECT) { return STATUS_SUCCESS; }

void kernel_driver::unload() {
  PDEVICE_OBJECT d = driver_object->DeviceObject;
  while (d) {
    PDEVICE_OBJECT next = d->NextDevice;
    device_object::from(d)->destroy();
    d = next;
  }
}

NTSTATUS kernel_driver::dispatch(PDEVICE_OBJECT device, PIRP irp) {
  return device_object::from(device)->irp_dispatch(irp);
}

NTSTATUS driver_entry_glue(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path,
                           kernel_driver *(*make)(PDRIVER_OBJECT)) {
  // Every global of the driver is constant-initialised: there are no static constructors to run.
  probe_link_prefix();
  kernel_driver *d = make(driver);
  if (!d) return STATUS_INSUFFICIENT_RESOURCES;
  if (!g_driver) g_driver = d;
  // Without memory for the copy the path stays empty and entry goes on.
  if (registry_path) d->registry_path.assign(*registry_path, PagedPool);
  static const UCHAR majors[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE,   IRP_MJ_READ,  IRP_MJ_WRITE,         IRP_MJ_DEVICE_CONTROL,
                                 IRP_MJ_CLEANUP, IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL};
  for (UCHAR m : majors) driver->MajorFunction[m] = dispatch_glue;
  driver->DriverUnload = unload_glue;
  driver->DriverExtension->AddDevice = add_device_glue;
  d->flags = 0;
  NTSTATUS st = d->driver_entry(registry_path);
  d->has_devices = driver->DeviceObject != nullptr;
  if (!NT_SUCCESS(st)) {
    // The system unloads the image without DriverUnload: leave no object, copy or arena behind.
    driver->DriverUnload = nullptr;
    driver->DriverExtension->AddDevice = nullptr;
    for (UCHAR m : majors) driver->MajorFunction[m] = nullptr;
    d->unload();
    if (g_driver == d) g_driver = nullptr;
    kl::destroy(d);
  }
  return st;
}

PDEVICE_OBJECT device_object::create_instance(PDRIVER_OBJECT driver, ULONG extension_size, PCWSTR name, ULONG unit,
                                              ULONG type, PCWSTR link_name, ULONG characteristics, ULONG flags,
                                              device_names *names, NTSTATUS *status) {
  counted_unicode_string dev_name, prefix;
  NTSTATUS st = prefix.append(L"\\Device\\");
  if (NT_SUCCESS(st)) st = dev_name.from_text_and_number(name, unit);
  if (NT_SUCCESS(st)) {
    counted_unicode_string full;
    st = full.append(prefix.value());
    if (NT_SUCCESS(st)) st = full.append(dev_name.value());
    dev_name.take(full);
  }
  if (!NT_SUCCESS(st)) {
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  PDEVICE_OBJECT d = nullptr;
  st = IoCreateDevice(driver, extension_size, dev_name.get(), type, characteristics,
                      (flags & DO_EXCLUSIVE) ? TRUE : FALSE, &d);
  if (!NT_SUCCESS(st)) {
    *status = st;
    return nullptr;
  }
  counted_unicode_string link;
  if (link_name) {
    counted_unicode_string tail;
    st = link.append(link_prefix());
    if (NT_SUCCESS(st)) st = tail.from_text_and_number(link_name, unit);
    if (NT_SUCCESS(st)) st = link.append(tail.value());
    if (NT_SUCCESS(st)) st = IoCreateSymbolicLink(link.get(), dev_name.get());
    if (!NT_SUCCESS(st)) {
      // The device object goes here and is never handed out: its only owner was this call.
      IoDeleteDevice(d);
      *status = st;
      return nullptr;
    }
  }
  d->Flags |= flags & ~DO_EXCLUSIVE;
  names->name.take(dev_name);
  names->link.take(link);
  *status = STATUS_SUCCESS;
  return d;
}

device_object::device_object(PDEVICE_OBJECT self, device_names *names) : self_(self), marker_(marker_created) {
  names_.name.take(names->name);
  names_.link.take(names->link);
  link_created_ = !names_.link.empty();
}

device_object::~device_object() {
  delete_link();
  names_.name.release();
  marker_ = 0;
}

void device_object::delete_link() {
  if (link_created_) IoDeleteSymbolicLink(names_.link.get());
  link_created_ = false;
  names_.link.release();
}

void device_object::destroy() {
  PDEVICE_OBJECT d = self_;
  this->~device_object();
  IoDeleteDevice(d);
}

NTSTATUS device_object::irp_dispatch(PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE: return on_create(irp);
    case IRP_MJ_CLOSE: return on_close(irp);
    case IRP_MJ_READ: return on_read(irp);
    case IRP_MJ_WRITE: return on_write(irp);
    case IRP_MJ_DEVICE_CONTROL: return on_device_control(irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return on_internal_device_control(irp);
    case IRP_MJ_CLEANUP: return on_cleanup(irp);
    case IRP_MJ_POWER: return on_power(irp);
    case IRP_MJ_SYSTEM_CONTROL: return on_system_control(irp);
    case IRP_MJ_PNP: return on_pnp(irp);
    default: return on_major_default(irp);
  }
}

NTSTATUS device_object::on_major_default(PIRP irp) { return complete(irp, STATUS_NOT_IMPLEMENTED); }

}  // namespace kl
