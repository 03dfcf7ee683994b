// Test-side PnP queries that go through a device's whole stack: the capabilities a stack reports.
#include "kinternal.h"

#include <standin/pnp.h>
#include <standin/usbbus.h>

namespace standin::pnp {

capabilities query_capabilities(const std::string &instance_id) {
  capabilities out;
  auto pdo = static_cast<PDEVICE_OBJECT>(standin::usbbus::physical_device_object(instance_id));
  if (!pdo) {
    out.status = STATUS_NO_SUCH_DEVICE;
    return out;
  }
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  out.status = wbk::send_pnp_and_wait(
      top, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
      [](PIO_STACK_LOCATION s, void *c) { s->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(c); },
      &caps, nullptr);
  ObDereferenceObject(top);
  out.removable = caps.Removable;
  out.surprise_removal_ok = caps.SurpriseRemovalOK;
  out.device_d2 = caps.DeviceD2;
  return out;
}

}  // namespace standin::pnp
