#include "engine.h"

#include <morvex/wire.h>

#include "channels.h"
#include "protocol_device.h"

namespace vantrel {

NTSTATUS channel::queue_irp(PIRP irp) {
  device_->decrement_outstanding_requests();
  return kl::device_object::complete(irp, STATUS_INVALID_PARAMETER);
}

transfer_engine::transfer_engine(protocol_device *device, UCHAR mode, UCHAR configuration_value)
    : device_(device), record_{mode, 0, 0, 0}, configuration_value_(configuration_value) {
  gate_.init();
}

transfer_engine::~transfer_engine() {
  for (channel *&c : channel_) {
    kl::destroy(c);
    c = nullptr;
  }
}

NTSTATUS transfer_engine::refuse(PIRP irp, NTSTATUS status) {
  device_->decrement_outstanding_requests();
  return kl::device_object::complete(irp, status);
}

NTSTATUS transfer_engine::start(UCHAR p1, UCHAR p2, UCHAR p3) {
  // Interfaces 0, 1, 2 take the settings p3, p1, p2.
  NTSTATUS st = device_->select_configuration(configuration_value_, p3, p1, p2);
  if (!NT_SUCCESS(st)) {
    // A device that refuses its configuration is marked for good; running out of pool changes nothing.
    if (st != STATUS_INSUFFICIENT_RESOURCES) device_->set_transfer_error();
    return st;
  }
  return start_channels(p1, p2, p3);
}

NTSTATUS transfer_engine::stop() {
  NTSTATUS st = stop_channels();
  if (NT_SUCCESS(st) && !device_->unusable()) {
    NTSTATUS sel = device_->select_configuration(configuration_value_, 0, 0, 0);
    if (!NT_SUCCESS(sel) && sel != STATUS_INSUFFICIENT_RESOURCES) device_->set_transfer_error();
  }
  return st;
}

NTSTATUS transfer_engine::start_channels(UCHAR p1, UCHAR p2, UCHAR p3) {
  const UCHAR params[channels] = {p3, p1, p2};
  record_.p1 = p1;
  record_.p2 = p2;
  record_.p3 = p3;
  // A cleanup of a handle that entered this engine before it was stopped may still come: not while
  // its channels start.
  gate_.take();
  NTSTATUS st = STATUS_SUCCESS;
  for (int i = 0; i < channels && NT_SUCCESS(st); ++i) {
    if (!channel_[i]) continue;
    st = channel_[i]->start(params[i]);
    // The engine does not become current: nothing it started may go on running unowned.
    if (!NT_SUCCESS(st)) stop_channels_held();
  }
  gate_.give();
  return st;
}

NTSTATUS transfer_engine::stop_channels() {
  gate_.take();
  NTSTATUS st = stop_channels_held();
  gate_.give();
  return st;
}

NTSTATUS transfer_engine::stop_channels_held() {
  for (channel *c : channel_) {
    if (!c) continue;
    NTSTATUS st = c->stop();
    if (!NT_SUCCESS(st)) return st;
  }
  return STATUS_SUCCESS;
}

NTSTATUS transfer_engine::vendor_request(PIRP irp) { return device_->vendor_request_async(irp); }

NTSTATUS transfer_engine::read_notification(PIRP irp) {
  if (!channel_[0]) return STATUS_NOT_IMPLEMENTED;
  return channel_[0]->queue_irp(irp);
}

NTSTATUS transfer_engine::read(PIRP irp) {
  if (!channel_[1]) return refuse(irp, STATUS_INVALID_PARAMETER);
  return channel_[1]->queue_irp(irp);
}

NTSTATUS transfer_engine::write(PIRP irp) {
  if (!channel_[2]) return refuse(irp, STATUS_INVALID_PARAMETER);
  return channel_[2]->queue_irp(irp);
}

NTSTATUS transfer_engine::cleanup(PFILE_OBJECT file) {
  gate_.take();
  bool failed = false;
  for (channel *c : channel_)
    if (c && !NT_SUCCESS(c->cleanup(file))) failed = true;
  gate_.give();
  return failed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

bool transfer_engine::complete() const { return channel_[0] && channel_[1] && channel_[2]; }

bulk_engine::bulk_engine(protocol_device *device, UCHAR configuration_value)
    : transfer_engine(device, zeph_wire::MODE_BULK, configuration_value) {
  channel_[0] = kl::create<notification_channel>(NonPagedPool, device, (UCHAR)0);
  channel_[1] = kl::create<bulk_channel>(NonPagedPool, device, (UCHAR)1, true);
  channel_[2] = kl::create<bulk_channel>(NonPagedPool, device, (UCHAR)2, false);
}

NTSTATUS bulk_engine::vendor_request(PIRP irp) {
  irp->IoStatus.Information = 0;
  NTSTATUS st;
  switch (protocol_device::engine_word(irp)) {
    case zeph_wire::WORD_RESTART_NOTIFY:
      if (device_->unusable()) return STATUS_UNSUCCESSFUL;
      gate_.take();  // a cleanup stops the same channel
      st = static_cast<notification_channel *>(channel_[0])->restart(irp);
      gate_.give();
      return st;
    case zeph_wire::WORD_READ_PIPE_RESET:
      return static_cast<bulk_channel *>(channel_[1])->vendor_word(irp);
    case zeph_wire::WORD_WRITE_PIPE_RESET:
      return static_cast<bulk_channel *>(channel_[2])->vendor_word(irp);
    default:
      return device_->vendor_request_async(irp);
  }
}

isochronous_engine::isochronous_engine(protocol_device *device, UCHAR configuration_value)
    : transfer_engine(device, zeph_wire::MODE_ISO, configuration_value) {
  channel_[0] = kl::create<notification_channel>(NonPagedPool, device, (UCHAR)0);
  channel_[1] = kl::create<iso_stream_channel>(NonPagedPool, device, (UCHAR)1);
  // Interface 2 has no transfers in this configuration: writes are refused, never left pending.
  channel_[2] = kl::create<channel>(NonPagedPool, device, (UCHAR)2);
}

transfer_engine *make_engine(protocol_device *device, UCHAR mode, UCHAR configuration_value) {
  transfer_engine *e = nullptr;
  if (mode == zeph_wire::MODE_BULK)
    e = kl::create<bulk_engine>(NonPagedPool, device, configuration_value);
  else if (mode == zeph_wire::MODE_ISO)
    e = kl::create<isochronous_engine>(NonPagedPool, device, configuration_value);
  if (e && !e->complete()) {
    kl::destroy(e);
    e = nullptr;
  }
  return e;
}

}  // namespace vantrel
