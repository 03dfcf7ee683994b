#include "usb_lower.h"

namespace kl {

namespace usb_pipe {

PURB build_control_request_urb(PURB urb, USHORT function, ULONG direction, UCHAR request, USHORT value,
                               USHORT index, PVOID buffer, ULONG length) {
  if (!urb) urb = static_cast<PURB>(allocate(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
  if (!urb) return nullptr;
  zero(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  ULONG flags = 0;
  if (direction & 1) flags |= USBD_TRANSFER_DIRECTION_IN;
  if (direction & 2) flags |= USBD_SHORT_TRANSFER_OK;
  UsbBuildVendorRequest(urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request, value,
                        index, buffer, nullptr, length, nullptr);
  return urb;
}

PURB build_transfer_urb(PURB urb, USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, bool in, bool short_ok) {
  if (!urb) urb = static_cast<PURB>(allocate(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
  if (!urb) return nullptr;
  zero(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  ULONG flags = (in ? USBD_TRANSFER_DIRECTION_IN : 0) | (short_ok ? USBD_SHORT_TRANSFER_OK : 0);
  UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                         length, flags, nullptr);
  return urb;
}

ULONG isochronous_urb_size(ULONG packets) { return (ULONG)GET_ISO_URB_SIZE(packets); }

PURB build_isochronous_urb(PURB urb, USBD_PIPE_HANDLE pipe, ULONG length, ULONG packets, ULONG packet_size, bool in) {
  ULONG size = isochronous_urb_size(packets);
  if (!urb) urb = static_cast<PURB>(allocate(size));
  if (!urb) return nullptr;
  zero(urb, size);
  urb->UrbIsochronousTransfer.Hdr.Length = (USHORT)size;
  urb->UrbIsochronousTransfer.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  urb->UrbIsochronousTransfer.PipeHandle = pipe;
  urb->UrbIsochronousTransfer.TransferFlags = (in ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_START_ISO_TRANSFER_ASAP;
  urb->UrbIsochronousTransfer.TransferBufferLength = length;
  urb->UrbIsochronousTransfer.NumberOfPackets = packets;
  for (ULONG i = 0; i < packets; ++i) {
    urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * packet_size;
    if (!in) urb->UrbIsochronousTransfer.IsoPacket[i].Length = packet_size;
  }
  return urb;
}

}  // namespace usb_pipe

namespace {

NTSTATUS signal_completion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

usb_lower_device::usb_lower_device() {
  zero(&device_descriptor_, sizeof device_descriptor_);
  zero(pipes_, sizeof pipes_);
}

usb_lower_device::~usb_lower_device() { release_descriptors(); }

NTSTATUS usb_lower_device::attach(PDEVICE_OBJECT self, PDEVICE_OBJECT pdo) {
  lower_ = IoAttachDeviceToDeviceStack(self, pdo);
  return lower_ ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS usb_lower_device::send_internal(ULONG code, PVOID arg1, ULONG timeout_ms) {
  if (!lower_) return STATUS_NO_SUCH_DEVICE;
  PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  s->Parameters.DeviceIoControl.IoControlCode = code;
  s->Parameters.Others.Argument1 = arg1;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetCompletionRoutine(irp, signal_completion, &done, TRUE, TRUE, TRUE);
  NTSTATUS st = IoCallDriver(lower_, irp);
  bool timed_out = false;
  if (st == STATUS_PENDING) {
    NTSTATUS w;
    if (timeout_ms) {
      LARGE_INTEGER t = relative_ms((LONG)timeout_ms);
      w = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &t);
    } else {
      w = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    if (w == STATUS_TIMEOUT) {
      // Our own IRP: cancel it and wait until the lower driver has let go before freeing it.
      timed_out = true;
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
  }
  st = timed_out ? STATUS_TIMEOUT : irp->IoStatus.Status;
  IoFreeIrp(irp);
  return st;
}

NTSTATUS usb_lower_device::submit_urb_and_wait(PURB urb, ULONG timeout_ms) {
  return send_internal(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, timeout_ms);
}

NTSTATUS usb_lower_device::reset_port(ULONG timeout_ms) {
  NTSTATUS st = send_internal(IOCTL_INTERNAL_USB_RESET_PORT, nullptr, timeout_ms);
  return st;
}

NTSTATUS usb_lower_device::submit_urb_async(PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE completion, PVOID context) {
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  s->MinorFunction = 0;
  s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  s->Parameters.Others.Argument1 = urb;
  if (completion) {
    IoSetCompletionRoutine(irp, completion, context, TRUE, TRUE, TRUE);
    return IoCallDriver(lower_, irp);
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, signal_completion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower_, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS usb_lower_device::read_device_descriptor() {
  auto *urb = static_cast<PURB>(allocate(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
  auto *buf = static_cast<UCHAR *>(allocate(sizeof(USB_DEVICE_DESCRIPTOR)));
  NTSTATUS st = STATUS_INSUFFICIENT_RESOURCES;
  if (urb && buf) {
    zero(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                 buf, nullptr, sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
    st = submit_urb_and_wait(urb, 0);
    if (NT_SUCCESS(st) && urb->UrbControlDescriptorRequest.TransferBufferLength < sizeof(USB_DEVICE_DESCRIPTOR))
      st = STATUS_DEVICE_DATA_ERROR;
    if (NT_SUCCESS(st)) {
      copy(&device_descriptor_, buf, sizeof device_descriptor_);
      descriptor_valid_ = true;
    }
  }
  release(urb);
  release(buf);
  return st;
}

NTSTATUS usb_lower_device::read_configuration_descriptor(UCHAR index, ULONG size) {
  auto *buf = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(allocate(size));
  if (!buf) return STATUS_INSUFFICIENT_RESOURCES;
  auto *urb = static_cast<PURB>(allocate(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
  if (!urb) {
    release(buf);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  zero(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  zero(buf, size);
  UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                               index, 0, buf, nullptr, size, nullptr);
  NTSTATUS st = submit_urb_and_wait(urb, 0);
  ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
  release(urb);
  if (NT_SUCCESS(st) && (got < sizeof(USB_CONFIGURATION_DESCRIPTOR) || buf->wTotalLength > got))
    st = STATUS_DEVICE_DATA_ERROR;
  if (!NT_SUCCESS(st)) {
    release(buf);
    return st;
  }
  // The active selection's pipes were copied out, so the previous buffer can go.
  release(config_);
  config_ = buf;
  config_bytes_ = buf->wTotalLength;
  return STATUS_SUCCESS;
}

NTSTATUS usb_lower_device::read_string(UCHAR index, USHORT language, UCHAR *length, PWCHAR text, ULONG size,
                                       ULONG *copied) {
  if (copied) *copied = 0;
  auto *urb = static_cast<PURB>(allocate(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  UCHAR head[4] = {0, 0, 0, 0};
  zero(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, index,
                               language, head, nullptr, sizeof head, nullptr);
  NTSTATUS st = submit_urb_and_wait(urb, 0);
  ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
  if (!NT_SUCCESS(st)) {
    release(urb);
    return st;
  }
  // A descriptor shorter than its own header carries no text.
  UCHAR b_length = got >= 1 ? head[0] : 0;
  if (got < 2 || b_length < 2) b_length = 2;
  if (length) *length = (UCHAR)(b_length - 2);
  if (!text || size == 0) {
    release(urb);
    return st;
  }
  auto *full = static_cast<UCHAR *>(allocate(b_length));  // a transfer buffer stays resident
  if (!full) {
    release(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  zero(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, index,
                               language, full, nullptr, b_length, nullptr);
  st = submit_urb_and_wait(urb, 0);
  got = urb->UrbControlDescriptorRequest.TransferBufferLength;
  release(urb);
  if (NT_SUCCESS(st)) {
    // Bounded by the bytes received and by the caller's buffer (room for the NUL kept).
    ULONG received = got > 2 ? kl::min_of<ULONG>(got, full[0] >= 2 ? full[0] : 2) - 2 : 0;
    ULONG room = size >= 2 ? size - 2 : 0;
    ULONG n = received;
    if (n > room) {
      n = room;
      st = STATUS_BUFFER_TOO_SMALL;
    }
    n &= ~1u;
    if (size >= 2) {
      copy(text, full + 2, n);
      text[n / 2] = 0;
      if (copied) *copied = n + 2;
    }
  }
  release(full);
  return st;
}

NTSTATUS usb_lower_device::deconfigure() {
  auto *urb = static_cast<PURB>(allocate(sizeof(struct _URB_SELECT_CONFIGURATION)));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  zero(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
  UsbBuildSelectConfigurationRequest(urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  NTSTATUS st = submit_urb_and_wait(urb, 0);
  release(urb);
  config_handle_ = nullptr;
  zero(pipes_, sizeof pipes_);
  free_select_urb();
  current_index_ = 255;
  configuration_status = interface_status = STATUS_UNSUCCESSFUL;
  return st;
}

void usb_lower_device::free_select_urb() {
  // Made by the USB driver library, with its own tag.
  if (select_urb_) ExFreePool(select_urb_);
  select_urb_ = nullptr;
}

void usb_lower_device::release_descriptors() {
  free_select_urb();
  release(config_);
  config_ = nullptr;
  config_bytes_ = 0;
  zero(pipes_, sizeof pipes_);
  config_handle_ = nullptr;
}

NTSTATUS usb_lower_device::select_configuration(UCHAR value, UCHAR a0, UCHAR a1, UCHAR a2) {
  if (value == 0) return STATUS_INVALID_PARAMETER;
  if (!descriptor_valid_) {
    NTSTATUS st = read_device_descriptor();
    if (!NT_SUCCESS(st)) return st;
  }
  if (value > device_descriptor_.bNumConfigurations) return STATUS_INVALID_PARAMETER;
  if (skip_deconfigure) {
    skip_deconfigure = false;
  } else {
    NTSTATUS st = deconfigure();
    if (!NT_SUCCESS(st)) return st;
  }
  // Select by value, read by index: the descriptor that carries the value is looked for, the value is
  // never taken for an index.
  NTSTATUS st = STATUS_INVALID_PARAMETER;
  UCHAR index = 0;
  for (; index < device_descriptor_.bNumConfigurations; ++index) {
    st = read_configuration_descriptor(index, config_buffer_size);
    if (!NT_SUCCESS(st)) return st;
    if (config_->bConfigurationValue == value) break;
  }
  if (index == device_descriptor_.bNumConfigurations) return STATUS_INVALID_PARAMETER;
  current_index_ = index;
  wanted_alt_[0] = a0;
  wanted_alt_[1] = a1;
  wanted_alt_[2] = a2;

  USBD_INTERFACE_LIST_ENTRY list[max_interfaces + 1];
  zero(list, sizeof list);
  int kept = 0;
  for (PUCHAR at = reinterpret_cast<PUCHAR>(config_);;) {
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config_, at, -1, -1, -1, -1, -1);
    if (!d) break;
    at = reinterpret_cast<PUCHAR>(d) + d->bLength;
    if (d->bLength == 0) break;
    // Interfaces beyond the three the instrument has are not selected (no setting to match them).
    if (d->bInterfaceNumber >= max_interfaces) continue;
    if (d->bAlternateSetting != wanted_alt_[d->bInterfaceNumber]) continue;
    if (kept == max_interfaces) return STATUS_UNSUCCESSFUL;
    list[kept++].InterfaceDescriptor = d;
  }
  if (kept == 0) return STATUS_UNSUCCESSFUL;
  PURB urb = USBD_CreateConfigurationRequestEx(config_, list);
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  st = submit_urb_and_wait(urb, 0);
  configuration_status = st;
  if (!NT_SUCCESS(st)) {
    ExFreePool(urb);
    return STATUS_UNSUCCESSFUL;
  }
  free_select_urb();
  select_urb_ = urb;
  config_handle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
  zero(pipes_, sizeof pipes_);
  for (int i = 0; i < kept; ++i) {
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    if (!info) continue;
    for (ULONG e = 0; e < info->NumberOfPipes; ++e) {
      ULONG k = info->InterfaceNumber + e;
      if (k >= max_pipes) break;
      const USBD_PIPE_INFORMATION &p = info->Pipes[e];
      pipes_[k] = usb_pipe_entry{p.PipeHandle, p.EndpointAddress, info->InterfaceNumber, p.PipeType,
                                 p.MaximumPacketSize, p.MaximumTransferSize, true};
    }
  }
  interface_status = STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS usb_lower_device::pipe_request(USHORT function, USBD_PIPE_HANDLE pipe) {
  auto *urb = static_cast<PURB>(allocate(sizeof(struct _URB_PIPE_REQUEST)));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  zero(urb, sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbPipeRequest.Hdr.Function = function;
  urb->UrbPipeRequest.PipeHandle = pipe;
  NTSTATUS st = submit_urb_and_wait(urb, 0);
  release(urb);
  return st;
}

NTSTATUS usb_lower_device::abort_pipe(USBD_PIPE_HANDLE pipe) { return pipe_request(URB_FUNCTION_ABORT_PIPE, pipe); }

NTSTATUS usb_lower_device::reset_pipe(USBD_PIPE_HANDLE pipe) {
  return pipe_request(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe);
}

}  // namespace kl
