#include "protocol_driver.h"

#include "arena.h"
#include "protocol_device.h"

namespace vantrel {

kl::kernel_driver *make_protocol_driver(PDRIVER_OBJECT driver) {
  return kl::create<protocol_driver>(NonPagedPool, driver);
}

NTSTATUS protocol_driver::driver_entry(PUNICODE_STRING registry_path) {
  if (registry_path) {
    kl::registry_key params;
    // Only read: a missing Parameters key is left missing.
    if (NT_SUCCESS(params.open_subkey(*registry_path, L"Parameters", KEY_READ))) {
      params.query_dword(L"BreakOnEntry", &break_on_entry);
      params.query_dword(L"configuration", &configuration);
    }
  }
  unit_counter = 0;
  kl::create_at<nonpaged_arena>(&nonpaged());
  kl::create_at<paged_arena>(&paged());
  arenas_made_ = true;
  nonpaged().set_failure_hook(kl::allocation_failure_hook);
  paged().set_failure_hook(kl::allocation_failure_hook);
  NTSTATUS a = nonpaged().create(nonpaged_arena_size, NonPagedPool);
  NTSTATUS b = paged().create(paged_arena_size, PagedPool);
  if (!NT_SUCCESS(a) || !NT_SUCCESS(b)) return STATUS_INSUFFICIENT_RESOURCES;  // unload() frees the other
  return STATUS_SUCCESS;
}

NTSTATUS protocol_driver::add_device(PDEVICE_OBJECT pdo) {
  kl::device_names names;
  NTSTATUS st;
  PDEVICE_OBJECT d = kl::device_object::create_instance(driver_object, sizeof(protocol_device), L"VANTRELDevice",
                                                        unit_counter, FILE_DEVICE_UNKNOWN, L"VANTRELDevice", 0,
                                                        DO_DIRECT_IO | DO_POWER_PAGABLE, &names, &st);
  if (!d) return STATUS_INSUFFICIENT_RESOURCES;
  auto *dev = kl::create_at<protocol_device>(d->DeviceExtension, d, &names, pdo, unit_counter);
  st = dev->creation_status();
  if (!NT_SUCCESS(st)) {
    // A device that could not be built does not use up a unit number.
    dev->destroy();
    return st;
  }
  ++unit_counter;
  POWER_STATE s;
  s.DeviceState = PowerDeviceD0;
  PoSetPowerState(d, DevicePowerState, s);
  dev->set_device_power(PowerDeviceD0);
  return STATUS_SUCCESS;
}

void protocol_driver::unload() {
  kernel_driver::unload();
  if (arenas_made_) {
    nonpaged().release();
    paged().release();
    arenas_made_ = false;
  }
}

}  // namespace vantrel

// The image's entry point.
extern "C" DRIVER_INITIALIZE_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  return kl::driver_entry_glue(driver, registry_path, vantrel::make_protocol_driver);
}
