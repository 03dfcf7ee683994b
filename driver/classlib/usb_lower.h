// The USB view of the next-lower device: descriptors, configuration selection, the pipes of the active
// configuration, URB building and submission (synchronous with a time-out, or asynchronous).
#ifndef VANTREL_USB_LOWER_H
#define VANTREL_USB_LOWER_H

#include "kobjects.h"

namespace kl {

struct usb_pipe_entry {
  USBD_PIPE_HANDLE handle;
  UCHAR address;
  UCHAR interface_number;
  USBD_PIPE_TYPE type;
  USHORT max_packet;
  ULONG max_transfer;
  bool valid;
};

namespace usb_pipe {
// Vendor or class control request; direction 0 OUT, 1 IN, 3 IN with short transfer OK.
PURB build_control_request_urb(PURB urb, USHORT function, ULONG direction, UCHAR request, USHORT value,
                               USHORT index, PVOID buffer, ULONG length);
PURB build_transfer_urb(PURB urb, USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, bool in, bool short_ok);
PURB build_isochronous_urb(PURB urb, USBD_PIPE_HANDLE pipe, ULONG length, ULONG packets, ULONG packet_size,
                           bool in);
ULONG isochronous_urb_size(ULONG packets);
}  // namespace usb_pipe

class usb_lower_device {
 public:
  static constexpr int max_interfaces = 3;
  static constexpr int max_pipes = 8;
  static constexpr ULONG config_buffer_size = 4096;

  usb_lower_device();
  ~usb_lower_device();

  NTSTATUS attach(PDEVICE_OBJECT self, PDEVICE_OBJECT pdo);
  PDEVICE_OBJECT lower() const { return lower_; }
  void forget_lower() { lower_ = nullptr; }

  NTSTATUS read_device_descriptor();
  const USB_DEVICE_DESCRIPTOR &device_descriptor() const { return device_descriptor_; }
  bool device_descriptor_valid() const { return descriptor_valid_; }
  // Replaces the configuration buffer with descriptor `index` read into `size` bytes.
  NTSTATUS read_configuration_descriptor(UCHAR index, ULONG size);
  PUSB_CONFIGURATION_DESCRIPTOR configuration_buffer() const { return config_; }
  ULONG configuration_bytes() const { return config_bytes_; }
  // String descriptor `index`: its text length in bytes (bLength - 2, 0 when shorter) and, with a buffer,
  // its UTF-16 text copied NUL-terminated into at most `size` bytes: every copy is bounded by what the
  // device sent and by the buffer. STATUS_BUFFER_TOO_SMALL when the text was cut.
  NTSTATUS read_string(UCHAR index, USHORT language, UCHAR *length, PWCHAR text, ULONG size, ULONG *copied);

  // Selects configuration value `value` with the given alternate settings of interfaces 0-2.
  NTSTATUS select_configuration(UCHAR value, UCHAR a0, UCHAR a1, UCHAR a2);
  NTSTATUS deconfigure();
  void release_descriptors();
  bool configured() const { return config_handle_ != nullptr; }
  UCHAR current_configuration_index() const { return current_index_; }

  // Pipe entry k (interface number + endpoint index); none when absent.
  const usb_pipe_entry *pipe(ULONG k) const { return k < max_pipes && pipes_[k].valid ? &pipes_[k] : nullptr; }

  // Sends the URB on an IRP of its own and waits (ms, 0 = without time-out). A wait that times out
  // cancels the IRP and waits for it before returning STATUS_TIMEOUT. PASSIVE_LEVEL only.
  NTSTATUS submit_urb_and_wait(PURB urb, ULONG timeout_ms);
  // Sends the URB on the caller's IRP; with a completion routine returns what the lower driver returns.
  NTSTATUS submit_urb_async(PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE completion, PVOID context);
  NTSTATUS abort_pipe(USBD_PIPE_HANDLE pipe);
  NTSTATUS reset_pipe(USBD_PIPE_HANDLE pipe);
  // IOCTL_INTERNAL_USB_RESET_PORT; waits up to timeout_ms, then cancels and still waits for the IRP.
  NTSTATUS reset_port(ULONG timeout_ms);

  CCHAR stack_size() const { return lower_ ? (CCHAR)(lower_->StackSize + 1) : 1; }

 private:
  NTSTATUS send_internal(ULONG code, PVOID arg1, ULONG timeout_ms);
  void free_select_urb();
  NTSTATUS pipe_request(USHORT function, USBD_PIPE_HANDLE pipe);

  PDEVICE_OBJECT lower_ = nullptr;
  USB_DEVICE_DESCRIPTOR device_descriptor_;
  bool descriptor_valid_ = false;
  PUSB_CONFIGURATION_DESCRIPTOR config_ = nullptr;
  ULONG config_bytes_ = 0;
  PURB select_urb_ = nullptr;
  USBD_CONFIGURATION_HANDLE config_handle_ = nullptr;
  UCHAR current_index_ = 255;
  UCHAR wanted_alt_[max_interfaces] = {0, 0, 0};
  usb_pipe_entry pipes_[max_pipes];

 public:
  bool skip_deconfigure = true;
  NTSTATUS configuration_status = STATUS_UNSUCCESSFUL;
  NTSTATUS interface_status = STATUS_UNSUCCESSFUL;
};

}  // namespace kl

#endif
