// Transfer engines: mode 0 (idle), 1 (bulk) and 2 (isochronous). The current engine of a device receives
// its vendor, notification, read, write and cleanup requests; each engine owns up to three channels, one
// per interface of its configuration.
#ifndef VANTREL_ENGINE_H
#define VANTREL_ENGINE_H

#include "classlib/kobjects.h"

namespace vantrel {

class protocol_device;

// The 4-byte mode record {mode, p1, p2, p3}.
struct mode_record {
  UCHAR mode, p1, p2, p3;
  ULONG as_ulong() const { return (ULONG)mode | (ULONG)p1 << 8 | (ULONG)p2 << 16 | (ULONG)p3 << 24; }
};

class channel {
 public:
  channel(protocol_device *device, UCHAR interface_number) : device_(device), interface_(interface_number) {}
  virtual ~channel() = default;
  virtual NTSTATUS start(UCHAR parameter) {
    parameter_ = parameter;
    return STATUS_SUCCESS;
  }
  virtual NTSTATUS stop() { return STATUS_SUCCESS; }
  // Takes the IRP (completing it or returning STATUS_PENDING); the default refuses it.
  virtual NTSTATUS queue_irp(PIRP irp);
  virtual NTSTATUS cleanup(PFILE_OBJECT) { return STATUS_SUCCESS; }
  UCHAR interface_number() const { return interface_; }
  UCHAR parameter() const { return parameter_; }

 protected:
  protocol_device *device_;
  UCHAR interface_;
  UCHAR parameter_ = 0;
};

class transfer_engine {
 public:
  static constexpr int channels = 3;

  transfer_engine(protocol_device *device, UCHAR mode, UCHAR configuration_value);
  virtual ~transfer_engine();

  virtual NTSTATUS start(UCHAR p1, UCHAR p2, UCHAR p3);
  virtual NTSTATUS stop();
  virtual NTSTATUS start_channels(UCHAR p1, UCHAR p2, UCHAR p3);
  virtual NTSTATUS stop_channels();
  // Device-control requests: STATUS_PENDING when the IRP was taken, else the status to complete it with.
  virtual NTSTATUS vendor_request(PIRP irp);
  virtual NTSTATUS read_notification(PIRP irp);
  // Reads and writes: the engine completes or keeps the IRP.
  virtual NTSTATUS read(PIRP irp);
  virtual NTSTATUS write(PIRP irp);
  virtual NTSTATUS cleanup(PFILE_OBJECT file);

  bool is_idle() const { return record_.mode == 0; }
  // All its channels were built.
  bool complete() const;
  mode_record record() const { return record_; }
  UCHAR configuration_value() const { return configuration_value_; }
  channel *channel_at(int i) const { return channel_[i]; }

 protected:
  NTSTATUS refuse(PIRP irp, NTSTATUS status);
  // stop_channels with the engine's gate held.
  NTSTATUS stop_channels_held();

  protocol_device *device_;
  mode_record record_;
  UCHAR configuration_value_;
  kl::gate gate_;
  channel *channel_[channels] = {nullptr, nullptr, nullptr};
};

class idle_engine : public transfer_engine {
 public:
  explicit idle_engine(protocol_device *device) : transfer_engine(device, 0, 0) {}
  NTSTATUS start(UCHAR, UCHAR, UCHAR) override { return STATUS_SUCCESS; }
  NTSTATUS stop() override { return STATUS_SUCCESS; }
  NTSTATUS start_channels(UCHAR, UCHAR, UCHAR) override { return STATUS_SUCCESS; }
  NTSTATUS stop_channels() override { return STATUS_SUCCESS; }
  NTSTATUS vendor_request(PIRP) override { return STATUS_INVALID_PARAMETER; }
  NTSTATUS read_notification(PIRP) override { return STATUS_INVALID_PARAMETER; }
  NTSTATUS read(PIRP irp) override { return refuse(irp, STATUS_INVALID_PARAMETER); }
  NTSTATUS write(PIRP irp) override { return refuse(irp, STATUS_INVALID_PARAMETER); }
  NTSTATUS cleanup(PFILE_OBJECT) override { return STATUS_SUCCESS; }
};

class bulk_engine : public transfer_engine {
 public:
  bulk_engine(protocol_device *device, UCHAR configuration_value);
  // The three pipe words are served here, every other word goes to the instrument.
  NTSTATUS vendor_request(PIRP irp) override;
};

class isochronous_engine : public transfer_engine {
 public:
  isochronous_engine(protocol_device *device, UCHAR configuration_value);
};

// Builds the engine of configuration `value` for mode 1 or 2 (non-paged pool); none without memory.
transfer_engine *make_engine(protocol_device *device, UCHAR mode, UCHAR configuration_value);

}  // namespace vantrel

#endif
