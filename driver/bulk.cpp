// Bulk read and write channels: a 3-byte little-endian length first, then the data in chunks of whole
// packets, one transfer at a time per channel, the caller's buffer used in place.
#include <morvex/wire.h>

#include "channels.h"
#include "protocol_device.h"

namespace vantrel {

struct bulk_channel::transfer {
  bulk_channel *channel;
  ULONG length;       // the caller's length
  ULONG remaining;
  ULONG transferred;
  ULONG chunk;
  PURB urb;
  UCHAR *address;     // the caller's buffer in system space, at the current position
  bool first;
  UCHAR word[4];      // the length word on the wire
};

namespace {

NTSTATUS map_data_error(USBD_STATUS s) {
  switch (s) {
    case USBD_STATUS_CRC:
    case USBD_STATUS_BTSTUFF:
    case USBD_STATUS_DATA_TOGGLE_MISMATCH:
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_DATA_UNDERRUN:
    case USBD_STATUS_BUFFER_OVERRUN:
    case USBD_STATUS_BUFFER_UNDERRUN:
      return STATUS_DEVICE_DATA_ERROR;
    case USBD_STATUS_STALL_PID: return STATUS_CANCELLED;
    case USBD_STATUS_DEV_NOT_RESPONDING: return STATUS_IO_TIMEOUT;
    default: return STATUS_UNSUCCESSFUL;
  }
}

void pause_ms(LONG ms) {
  LARGE_INTEGER t = kl::relative_ms(ms);
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

}  // namespace

bulk_channel::bulk_channel(protocol_device *device, UCHAR interface_number, bool in)
    : channel(device, interface_number), in_(in) {
  queue_.owner = this;
  queue_.init(device, true, true, nullptr);
}

bulk_channel::~bulk_channel() {
  InterlockedExchange(&stopping_, 1);
  queue_.cleanup_irps(nullptr, device_->ending_status());
  abort_and_drain();
}

const kl::usb_pipe_entry *bulk_channel::pipe_entry() { return device_->usb().pipe(interface_); }

NTSTATUS bulk_channel::start(UCHAR parameter) {
  parameter_ = parameter;
  InterlockedExchange(&error_, 0);
  InterlockedExchange(&stopping_, 0);
  InterlockedExchange(&gone_, 0);
  return STATUS_SUCCESS;
}

void bulk_channel::abort_and_drain() {
  for (int waited = 0; InterlockedOr(&in_flight_, 0) != 0; ++waited) {
    if (waited % 100 == 0) {
      const kl::usb_pipe_entry *p = pipe_entry();
      if (p) device_->usb().abort_pipe(p->handle);
    }
    pause_ms(1);
  }
}

NTSTATUS bulk_channel::stop() {
  // A transfer between two chunks sees the flag and ends instead of going on.
  InterlockedExchange(&stopping_, 1);
  queue_.cleanup_irps(nullptr, device_->ending_status());
  abort_and_drain();
  return reset_pipe();
}

NTSTATUS bulk_channel::cleanup(PFILE_OBJECT file) {
  queue_.cleanup_irps(file);
  if (InterlockedOr(&in_flight_, 0) != 0) {
    const kl::usb_pipe_entry *p = pipe_entry();
    if (p) device_->usb().abort_pipe(p->handle);
  }
  return STATUS_SUCCESS;
}

NTSTATUS bulk_channel::reset_pipe() {
  if (device_->unusable()) return STATUS_SUCCESS;
  const kl::usb_pipe_entry *p = pipe_entry();
  if (!p) return STATUS_SUCCESS;
  PURB urb = kl::usb_pipe::build_control_request_urb(nullptr, URB_FUNCTION_VENDOR_DEVICE, 0, 2,
                                                     in_ ? 0x1003 : 0x1103, 0, nullptr, 0);
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS st = device_->usb().submit_urb_and_wait(urb, 5000);
  kl::release(urb);
  if (NT_SUCCESS(st)) st = device_->usb().reset_pipe(p->handle);
  return st;
}

NTSTATUS bulk_channel::vendor_word(PIRP irp) {
  if (device_->unusable()) return STATUS_UNSUCCESSFUL;
  NTSTATUS st = device_->vendor_request_sync(irp);
  if (!NT_SUCCESS(st)) return st;
  InterlockedExchange(&error_seen_, 0);
  const kl::usb_pipe_entry *p = pipe_entry();
  st = p ? device_->usb().reset_pipe(p->handle) : STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(st)) InterlockedExchange(&error_, 0);
  irp->IoStatus.Status = st;
  return st;
}

NTSTATUS bulk_channel::queue_irp(PIRP irp) {
  irp->IoStatus.Information = 0;
  return queue_.queue_irp(irp);
}

NTSTATUS bulk_channel::send(PIRP irp, transfer *t, ULONG length, bool short_ok) {
  const kl::usb_pipe_entry *p = pipe_entry();
  if (!p) return STATUS_INVALID_DEVICE_STATE;
  PVOID buffer = t->first ? static_cast<PVOID>(t->word) : static_cast<PVOID>(t->address);
  kl::usb_pipe::build_transfer_urb(t->urb, p->handle, buffer, length, in_, short_ok);
  device_->usb().submit_urb_async(irp, t->urb, on_transfer_complete, t);
  return STATUS_PENDING;
}

void bulk_channel::start_io(PIRP irp) {
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  ULONG len = in_ ? s->Parameters.Read.Length : s->Parameters.Write.Length;
  NTSTATUS st = STATUS_PENDING;
  // Counted before the stop flag is read: a stop that comes now waits for this transfer, and one that
  // came first is seen, so the pipe table is never read while a mode change rewrites it.
  InterlockedIncrement(&in_flight_);
  const kl::usb_pipe_entry *p = InterlockedOr(&stopping_, 0) ? nullptr : pipe_entry();
  if (kl::cancelled(irp) || InterlockedOr(&stopping_, 0))
    st = STATUS_CANCELLED;
  else if (len == 0)
    st = STATUS_SUCCESS;
  else if (!in_ && len > zeph_wire::FRAME_MAX)
    st = STATUS_INVALID_PARAMETER;  // does not fit the 3-byte length
  else if (device_->surprise_removed() || InterlockedOr(&gone_, 0))
    st = STATUS_DEVICE_REMOVED;
  else if (InterlockedOr(&error_, 0))
    st = STATUS_UNSUCCESSFUL;
  else if (!p || p->max_packet == 0 || p->max_transfer == 0)
    st = STATUS_INVALID_DEVICE_STATE;
  if (st != STATUS_PENDING) {
    InterlockedDecrement(&in_flight_);
    queue_.start_next(irp, st);
    return;
  }
  transfer *t = static_cast<transfer *>(kl::allocate(sizeof(transfer)));
  UCHAR *address = irp->MdlAddress
                       ? static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                       : nullptr;
  PURB urb = t && address ? kl::usb_pipe::build_transfer_urb(nullptr, nullptr, nullptr, 0, in_, false) : nullptr;
  if (!urb) {
    kl::release(t);
    InterlockedDecrement(&in_flight_);
    queue_.start_next(irp, STATUS_INSUFFICIENT_RESOURCES);
    return;
  }
  // Whole packets per chunk; a pipe whose transfer size is below one packet still moves one.
  ULONG chunk = (p->max_transfer / p->max_packet) * p->max_packet;
  if (chunk == 0) chunk = p->max_transfer;
  *t = transfer{this, len, in_ ? 0 : len, 0, chunk, urb, address, true, {0, 0, 0, 0}};
  if (!in_) zeph_wire::put24(t->word, len);
  send(irp, t, zeph_wire::FRAME_HEADER, false);
}

void bulk_channel::finish(PIRP irp, transfer *t, NTSTATUS status) {
  kl::release(t->urb);
  kl::release(t);
  InterlockedDecrement(&in_flight_);
  queue_.start_next(irp, status);
}

NTSTATUS bulk_channel::on_transfer_complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *t = static_cast<transfer *>(context);
  bulk_channel *c = t->channel;
  protocol_device *d = c->device_;
  NTSTATUS st = irp->IoStatus.Status;
  ULONG bytes = t->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (NT_SUCCESS(st)) {
    if (t->first) {
      if (c->in_) {
        ULONG n = zeph_wire::get24(t->word);
        if (bytes != zeph_wire::FRAME_HEADER) {
          st = STATUS_UNSUCCESSFUL;
        } else if (n > t->length) {
          st = STATUS_BUFFER_TOO_SMALL;
        } else {
          t->remaining = n;
        }
        if (!NT_SUCCESS(st)) {
          InterlockedExchange(&c->error_, 1);
          InterlockedExchange(&c->error_seen_, 1);
        }
      }
      t->first = false;
    } else {
      ULONG n = kl::min_of(bytes, t->remaining);
      t->transferred += n;
      t->remaining -= n;
      t->address += n;
      if (n == 0) st = STATUS_UNSUCCESSFUL;  // a transfer that moves nothing would never end
    }
    irp->IoStatus.Information = t->transferred;
    if (NT_SUCCESS(st) && t->remaining > 0) {
      if (InterlockedOr(&c->stopping_, 0) || d->stop_or_remove_pending()) {
        // Cut off mid-frame: the caller learns it, and the channel refuses transfers until its pipe is
        // reset, so the next read does not take data for a length.
        st = d->surprise_removed() ? STATUS_DEVICE_REMOVED : STATUS_CANCELLED;
      } else {
        c->send(irp, t, kl::min_of(t->remaining, t->chunk), c->in_);
        return STATUS_MORE_PROCESSING_REQUIRED;
      }
    }
  } else if (st == STATUS_DEVICE_DATA_ERROR) {
    // A stage lost on the wire is not sent again: the host may already hold a packet whose handshake
    // the device missed, and after a pipe reset that packet would come twice. The transfer fails and the
    // channel refuses transfers until the client's pipe word resets both sides.
    st = map_data_error(t->urb->UrbHeader.Status);
  } else if (st == STATUS_DEVICE_NOT_CONNECTED || (st == STATUS_CANCELLED && d->surprise_removed())) {
    st = STATUS_DEVICE_REMOVED;
  }
  if (st == STATUS_DEVICE_REMOVED) InterlockedExchange(&c->gone_, 1);
  if (!NT_SUCCESS(st)) {
    InterlockedExchange(&c->error_, 1);
    if (!c->in_) InterlockedExchange(&c->error_seen_, 1);
    if (st == STATUS_BUFFER_TOO_SMALL) irp->IoStatus.Information = 0;
  }
  // Completion goes on from the queue, which starts the next transfer.
  c->finish(irp, t, st);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace vantrel
