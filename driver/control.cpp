// Device-control dispatch: descriptor queries, vendor requests to the instrument (one at a time), mode
// selection and the device reset.
#include <morvex/wire.h>

#include "protocol_device.h"

namespace vantrel {

using namespace zeph_wire;

// One asynchronous vendor request in flight. The completion and a reset that cancels the request each
// hold a reference; whoever lets go last finishes the caller's IRP.
struct vendor_request_context {
  protocol_device *device;
  PIRP irp;
  PURB urb;
  volatile LONG refs;
  volatile LONG done;
};

namespace {

// The header and the bytes moved, never more than the caller's output buffer takes: a command or write
// without an output buffer reports 0, as the I/O manager would otherwise copy past that buffer.
ULONG_PTR vendor_information(PIRP irp, ULONG moved) {
  ULONG out = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  return kl::min_of<ULONG>(HEADER_SIZE + moved, out);
}

// The checks shared by both vendor paths; STATUS_SUCCESS when the request may go to the instrument.
NTSTATUS validate_vendor(PIRP irp, bool *in) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
  ULONG in_len = s->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out_len = s->Parameters.DeviceIoControl.OutputBufferLength;
  if (in_len < HEADER_SIZE) return STATUS_INVALID_PARAMETER;
  header_view h{static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer)};
  ULONG length = h.length();
  if (code == IOCTL_VENDOR_COMMAND) {
    if (length != 0) return STATUS_INVALID_PARAMETER;
  } else if (code == IOCTL_VENDOR_WRITE || code == IOCTL_VENDOR_READ) {
    if (length == 0) return STATUS_INVALID_PARAMETER;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  if (length > MAX_DATA) return STATUS_INVALID_PARAMETER;
  if (out_len >= HEADER_SIZE && code != IOCTL_VENDOR_READ &&
      (in_len < length + HEADER_SIZE || out_len < length + HEADER_SIZE))
    return STATUS_INVALID_PARAMETER;
  if (code == IOCTL_VENDOR_WRITE && in_len < length + HEADER_SIZE) return STATUS_INVALID_PARAMETER;
  if (code == IOCTL_VENDOR_READ && out_len < length + HEADER_SIZE) return STATUS_INVALID_PARAMETER;
  if (code != IOCTL_VENDOR_READ && out_len >= 1 && out_len < HEADER_SIZE) return STATUS_INVALID_PARAMETER;
  *in = code == IOCTL_VENDOR_READ;
  return STATUS_SUCCESS;
}

PURB build_vendor_urb(PIRP irp, bool in) {
  header_view h{static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer)};
  return kl::usb_pipe::build_control_request_urb(nullptr, URB_FUNCTION_VENDOR_DEVICE, in ? 1 : 0, h.request(),
                                                 h.w_value(), h.value(), h.p + HEADER_SIZE, h.length());
}

NTSTATUS map_async(NTSTATUS st, USBD_STATUS u, bool surprise_removed) {
  if (st == STATUS_DEVICE_NOT_CONNECTED) return STATUS_DEVICE_REMOVED;
  if (st != STATUS_DEVICE_DATA_ERROR) return st;
  switch (u) {
    case USBD_STATUS_CRC: return surprise_removed ? STATUS_DEVICE_REMOVED : STATUS_DEVICE_DATA_ERROR;
    case USBD_STATUS_STALL_PID: return STATUS_IO_DEVICE_ERROR;
    case USBD_STATUS_DEV_NOT_RESPONDING: return surprise_removed ? STATUS_DEVICE_REMOVED : STATUS_IO_TIMEOUT;
    default: return STATUS_DEVICE_DATA_ERROR;
  }
}

}  // namespace

NTSTATUS protocol_device::on_device_control(PIRP irp) {
  NTSTATUS st = control_dispatch(irp, IoGetCurrentIrpStackLocation(irp));
  if (st == STATUS_PENDING) return st;
  return finish(irp, st, irp->IoStatus.Information);
}

NTSTATUS protocol_device::control_dispatch(PIRP irp, PIO_STACK_LOCATION s) {
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
    case IOCTL_SELECT_MODE:
      if (in != SELECT_MODE_INPUT || out != 0) return STATUS_INVALID_PARAMETER;
      return switch_engine(mode_record{buf[0], buf[1], buf[2], 0});
    case IOCTL_GET_STRING_LENGTH: {
      if (in != 1 || out != 1) return STATUS_INVALID_PARAMETER;
      UCHAR length = 0;
      irp->IoStatus.Information = 1;
      NTSTATUS st = read_string_descriptor(buf[0], language_en_us, &length, nullptr, 0, nullptr);
      buf[0] = length;
      return st;
    }
    case IOCTL_GET_STRING: {
      if (in != 1) return STATUS_INVALID_PARAMETER;
      ULONG copied = 0;
      // The whole output buffer is the limit, and Information the bytes really written.
      NTSTATUS st = read_string_descriptor(buf[0], language_en_us, nullptr, reinterpret_cast<PWCHAR>(buf), out,
                                           &copied);
      irp->IoStatus.Information = copied;
      return st;
    }
    case IOCTL_GET_BCD_DEVICE:
      if (in != 0 || out != 2) return STATUS_INVALID_PARAMETER;
      put16(buf, d.bcdDevice);
      irp->IoStatus.Information = 2;
      return STATUS_SUCCESS;
    case IOCTL_GET_MANUFACTURER_INDEX: return one_byte(d.iManufacturer);
    case IOCTL_GET_PRODUCT_INDEX: return one_byte(d.iProduct);
    case IOCTL_GET_SERIAL_NUMBER_INDEX: return one_byte(d.iSerialNumber);
    case IOCTL_GET_FIXED_INDEX: return one_byte(255);
    case IOCTL_VENDOR_COMMAND:
    case IOCTL_VENDOR_WRITE:
    case IOCTL_VENDOR_READ:
      return vendor_dispatch(irp);
    case IOCTL_READ_NOTIFICATION: {
      transfer_engine *e = enter_engine();
      NTSTATUS st = e->read_notification(irp);
      leave_engine();
      return st;
    }
    case IOCTL_RESET_DEVICE:
    case IOCTL_RESET_DEVICE2:
      return reset_device();
    case IOCTL_UNSUPPORTED:
      return STATUS_NOT_IMPLEMENTED;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS protocol_device::vendor_request_async(PIRP irp, bool gate_held) {
  irp->IoStatus.Information = 0;
  bool in = false;
  NTSTATUS st = surprise_removed() ? STATUS_DEVICE_REMOVED : validate_vendor(irp, &in);
  auto *ctx = NT_SUCCESS(st) ? static_cast<vendor_request_context *>(kl::allocate(sizeof(vendor_request_context)))
                             : nullptr;
  PURB urb = ctx ? build_vendor_urb(irp, in) : nullptr;
  if (NT_SUCCESS(st) && !urb) st = STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(st)) {
    kl::release(ctx);
    irp->IoStatus.Information = 0;
    if (gate_held) vendor_gate_.give();
    return st;
  }
  *ctx = vendor_request_context{this, irp, urb, 1, 0};
  // One vendor request in flight per device: a second caller waits here in its own thread.
  if (!gate_held) vendor_gate_.take();
  {
    kl::spin_guard g(&vendor_lock_);
    vendor_in_flight_ = ctx;
  }
  IoMarkIrpPending(irp);
  usb_.submit_urb_async(irp, urb, on_vendor_request_complete, ctx);
  return STATUS_PENDING;
}

NTSTATUS protocol_device::on_vendor_request_complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *ctx = static_cast<vendor_request_context *>(context);
  protocol_device *d = ctx->device;
  {
    kl::spin_guard g(&d->vendor_lock_);
    if (d->vendor_in_flight_ == ctx) d->vendor_in_flight_ = nullptr;
    ctx->done = 1;
  }
  d->vendor_gate_.give();
  NTSTATUS st = map_async(irp->IoStatus.Status, ctx->urb->UrbHeader.Status, d->surprise_removed());
  irp->IoStatus.Status = st;
  ULONG moved = ctx->urb->UrbControlVendorClassRequest.TransferBufferLength;
  irp->IoStatus.Information = NT_SUCCESS(st) ? vendor_information(irp, moved) : 0;
  if (InterlockedDecrement(&ctx->refs) != 0) {
    // A reset is cancelling this request right now: it completes the IRP once it lets go.
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  kl::release(ctx->urb);
  kl::release(ctx);
  d->decrement_outstanding_requests();
  return STATUS_CONTINUE_COMPLETION;
}

void protocol_device::cancel_vendor_in_flight() {
  vendor_request_context *ctx = nullptr;
  {
    kl::spin_guard g(&vendor_lock_);
    ctx = vendor_in_flight_;
    if (ctx && !ctx->done && !kl::cancelled(ctx->irp)) {
      InterlockedIncrement(&ctx->refs);
      vendor_in_flight_ = nullptr;
    } else {
      ctx = nullptr;
    }
  }
  if (!ctx) return;
  // Outside the lock: the cancel may run the completion, which takes it.
  IoCancelIrp(ctx->irp);
  if (InterlockedDecrement(&ctx->refs) == 0) {
    PIRP irp = ctx->irp;
    kl::release(ctx->urb);
    kl::release(ctx);
    decrement_outstanding_requests();
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

NTSTATUS protocol_device::vendor_request_sync(PIRP irp) {
  bool in = false;
  NTSTATUS st = validate_vendor(irp, &in);
  if (!NT_SUCCESS(st)) return st;
  PURB urb = build_vendor_urb(irp, in);
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  st = usb_.submit_urb_and_wait(urb, 5000);
  if (st == STATUS_TIMEOUT) {
    st = STATUS_IO_TIMEOUT;
  } else if (st == STATUS_DEVICE_DATA_ERROR) {
    switch (urb->UrbHeader.Status) {
      case USBD_STATUS_CRC: st = surprise_removed() ? STATUS_DEVICE_REMOVED : STATUS_DEVICE_DATA_ERROR; break;
      case USBD_STATUS_STALL_PID: st = STATUS_IO_DEVICE_ERROR; break;
      case USBD_STATUS_DEV_NOT_RESPONDING: st = STATUS_IO_TIMEOUT; break;
      default: st = STATUS_UNSUCCESSFUL; break;
    }
  } else if (st == STATUS_DEVICE_NOT_CONNECTED) {
    st = STATUS_DEVICE_REMOVED;
  }
  irp->IoStatus.Information = NT_SUCCESS(st) ? vendor_information(irp, urb->UrbControlVendorClassRequest.TransferBufferLength) : 0;
  irp->IoStatus.Status = st;
  kl::release(urb);
  return st;
}

}  // namespace vantrel
