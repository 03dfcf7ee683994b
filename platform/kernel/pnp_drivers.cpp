// Driver services: loading drivers like a .sys, DriverEntry, unload once the last device is gone.
#include "pnp_internal.h"

namespace wbk::pnpm {

NTSTATUS load_service(service &svc) {
  if (svc.obj) return STATUS_SUCCESS;
  void *dl = dlopen(svc.image.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    DbgPrint("PnP: cannot load driver %s: %s\n", svc.image.c_str(), dlerror());
    return STATUS_NO_SUCH_DEVICE;
  }
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(dl, "DriverEntry"));
  if (!entry) {
    DbgPrint("PnP: %s has no DriverEntry\n", svc.image.c_str());
    dlclose(dl);
    return STATUS_INVALID_PARAMETER;
  }
  PDRIVER_OBJECT obj = create_driver_object(to_u16("\\Driver\\") + from_utf8(svc.name));
  make_unicode(to_u16("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + from_utf8(svc.name),
               &svc.registry_path);
  make_unicode(from_utf8(svc.name), &obj->DriverExtension->ServiceKeyName);
  obj->DriverInit = entry;
  NTSTATUS st;
  {
    callout_guard g("DriverEntry");
    try {
      st = entry(obj, &svc.registry_path);
    } catch (const standin::kernel::raised_status &e) {
      violation("ExRaiseStatus(0x%08x) not handled in DriverEntry of %s", (unsigned)e.status, svc.name.c_str());
      st = e.status;
    }
  }
  if (!NT_SUCCESS(st)) {
    DbgPrint("PnP: DriverEntry of %s failed with %08x\n", svc.name.c_str(), (unsigned)st);
    if (driver_device_count(obj))
      violation("DriverEntry of %s failed and left %zu device object(s)", svc.name.c_str(), driver_device_count(obj));
    destroy_driver_object(obj);
    RtlFreeUnicodeString(&svc.registry_path);
    dlclose(dl);
    return st;
  }
  svc.dl = dl;
  svc.obj = obj;
  return STATUS_SUCCESS;
}

void unload_service(service &svc) {
  if (!svc.obj) return;
  if (!svc.obj->DriverUnload) return;  // a driver without an unload routine stays
  if (driver_live_devices(svc.obj) > 0) {
    // Device objects still in memory: deleted ones that a handle still references, or one that a
    // removal left for its last close to delete. As the PnP manager does, unload once they are gone.
    svc.unload_pending = true;
    return;
  }
  svc.unload_pending = false;
  bool idle = wait_driver_code_idle(5000);
  {
    callout_guard g("DriverUnload");
    svc.obj->DriverUnload(svc.obj);
  }
  size_t left = driver_device_count(svc.obj);
  if (left) {
    violation("driver %s unloaded with %zu device object(s) left", svc.name.c_str(), left);
    svc.obj = nullptr;  // leaked on purpose: something may still point into it
    svc.dl = nullptr;
    return;
  }
  destroy_driver_object(svc.obj);
  RtlFreeUnicodeString(&svc.registry_path);
  if (idle) dlclose(svc.dl);  // else some thread may still run in the image: keep it mapped
  svc.obj = nullptr;
  svc.dl = nullptr;
}

void deferred_unload(PDRIVER_OBJECT drv) {
  queue_pnp([drv] {
    auto &s = ps();
    service *svc = nullptr;
    {
      std::lock_guard<std::mutex> l(s.mu);
      for (auto &kv : s.services)
        if (kv.second.obj == drv && kv.second.unload_pending && kv.second.devices == 0) svc = &kv.second;
    }
    if (svc) unload_service(*svc);
  });
}

}  // namespace wbk::pnpm

using namespace wbk;

namespace standin::kernel {

void *create_driver(const std::string &name, int32_t (*entry)(void *driver, void *registry_path)) {
  PDRIVER_OBJECT d = create_driver_object(to_u16("\\Driver\\") + from_utf8(name));
  UNICODE_STRING path{};
  make_unicode(to_u16("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + from_utf8(name), &path);
  NTSTATUS st;
  {
    callout_guard g("DriverEntry");
    st = entry ? entry(d, &path) : STATUS_SUCCESS;
  }
  RtlFreeUnicodeString(&path);
  if (!NT_SUCCESS(st)) {
    destroy_driver_object(d);
    return nullptr;
  }
  return d;
}

void unload_driver(void *driver) {
  auto *d = static_cast<PDRIVER_OBJECT>(driver);
  wait_driver_code_idle(5000);
  if (d->DriverUnload) {
    callout_guard g("DriverUnload");
    d->DriverUnload(d);
  }
  size_t left = driver_device_count(d);
  if (left) {
    violation("driver %s unloaded with %zu device object(s) left", to_utf8(to_u16(&d->DriverName)).c_str(), left);
    return;
  }
  destroy_driver_object(d);
}

}  // namespace standin::kernel
