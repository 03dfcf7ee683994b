// Device-control dispatch.
#include <morvex/wire.h>

#include "protocol_device.h"

namespace vantrel {

transfer_engine *make_engine(protocol_device *device, UCHAR mode, UCHAR configuration_value) {
  return kl::create<transfer_engine>(NonPagedPool, device, mode, configuration_value);
}

NTSTATUS protocol_device::on_device_control(PIRP irp) {
  NTSTATUS st = control_dispatch(irp, IoGetCurrentIrpStackLocation(irp));
  if (st == STATUS_PENDING) return st;
  return finish(irp, st, irp->IoStatus.Information);
}

NTSTATUS protocol_device::control_dispatch(PIRP irp, PIO_STACK_LOCATION s) {
  using namespace zeph_wire;
  irp->IoStatus.Information = 0;
  ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
  auto *buf = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
  const USB_DEVICE_DESCRIPTOR &d = usb_.device_descriptor();
  auto one_byte = [&](UCHAR v) {
    if (in != 0 || out != 1) return STATUS_INVALID_PARAMETER;
    buf[0] = v;
    irp->IoStatus.Information = 1;
    return STATUS_SUCCESS;
  };
  switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_GET_BCD_DEVICE:
      if (in != 0 || out != 2) return STATUS_INVALID_PARAMETER;
      put16(buf, d.bcdDevice);
      irp->IoStatus.Information = 2;
      return STATUS_SUCCESS;
    case IOCTL_GET_MANUFACTURER_INDEX: return one_byte(d.iManufacturer);
    case IOCTL_GET_PRODUCT_INDEX: return one_byte(d.iProduct);
    case IOCTL_GET_SERIAL_NUMBER_INDEX: return one_byte(d.iSerialNumber);
    case IOCTL_GET_FIXED_INDEX: return one_byte(255);
    case IOCTL_UNSUPPORTED: return STATUS_NOT_IMPLEMENTED;
    default: return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS protocol_device::vendor_request_async(PIRP) { return STATUS_INVALID_PARAMETER; }
NTSTATUS protocol_device::vendor_request_sync(PIRP) { return STATUS_INVALID_PARAMETER; }

}  // namespace vantrel
