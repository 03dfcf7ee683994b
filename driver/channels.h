// The channels of the transfer engines: the notification channel (interrupt reader and delivery queue),
// the isochronous stream (iso reader and delivery queue), the bulk read and write channels.
#ifndef VANTREL_CHANNELS_H
#define VANTREL_CHANNELS_H

#include "classlib/irp_queue.h"
#include "classlib/usb_lower.h"
#include "engine.h"

namespace vantrel {

class delivery_queue;
class pipe_worker;

// One driver-owned transfer: buffer, URB and IRP, reused for the life of a started worker.
struct worker_request {
  LIST_ENTRY link;
  pipe_worker *worker;
  UCHAR *buffer;
  ULONG length;
  PURB urb;
  PIRP irp;
  ULONG sequence;
};

// A fixed set of transfers kept queued on one pipe, without a thread: submitted, completed, handed to a
// delivery queue, recycled; stopped by aborting the pipe and waiting until none is in flight.
class pipe_worker {
 public:
  pipe_worker(protocol_device *device, UCHAR pipe_index) : device_(device), pipe_index_(pipe_index) {}
  virtual ~pipe_worker();
  void set_sink(delivery_queue *sink) { sink_ = sink; }

  NTSTATUS start();           // prepare
  NTSTATUS build_requests();  // build and submit
  void abort();
  // Waits until nothing is in flight and no completion runs; after a second, cancels what the abort did
  // not end and goes on waiting.
  void wait_drained();
  // Frees the transfers (nothing in flight, no DPC left that could use them).
  void release();

  // The oldest completed transfer (submission order), or none.
  worker_request *take_completed();
  // Gives a consumed transfer back, to be rebuilt and resubmitted by submit() while running.
  void recycle(worker_request *r);
  // Sends the transfers that are ready; never called holding a spin lock.
  void submit();
  bool running() const { return running_ != 0; }
  const kl::usb_pipe_entry &pipe() const { return pipe_; }
  ULONG packet_size() const { return packet_size_; }

 protected:
  // Checks the pipe and sets the sizes; the base then allocates.
  virtual NTSTATUS prepare() = 0;
  virtual void build_urb(worker_request *r) = 0;
  virtual NTSTATUS before_submit() { return STATUS_SUCCESS; }

  protocol_device *device_;
  UCHAR pipe_index_;
  kl::usb_pipe_entry pipe_{};
  ULONG request_count_ = 0;
  ULONG buffer_size_ = 0;
  ULONG urb_size_ = 0;
  ULONG packet_size_ = 0;
  ULONG packets_ = 0;

 private:
  static NTSTATUS on_request_complete(PDEVICE_OBJECT, PIRP irp, PVOID context);

  delivery_queue *sink_ = nullptr;
  KSPIN_LOCK lock_ = 0;
  LIST_ENTRY ready_;
  LIST_ENTRY completed_;
  LIST_ENTRY cancelled_;
  LIST_ENTRY in_flight_list_;
  worker_request *records_ = nullptr;
  UCHAR *buffers_ = nullptr;
  volatile LONG in_flight_ = 0;
  volatile LONG active_ = 0;  // completions still running in the worker
  volatile LONG prepared_ = 0;
  volatile LONG running_ = 0;
  volatile LONG stopping_ = 0;
  ULONG sequence_ = 0;
  ULONG allocated_ = 0;
};

class interrupt_reader : public pipe_worker {
 public:
  static constexpr ULONG record_size = 63;
  using pipe_worker::pipe_worker;

 protected:
  NTSTATUS prepare() override;
  void build_urb(worker_request *r) override;
};

class iso_reader : public pipe_worker {
 public:
  using pipe_worker::pipe_worker;
  // Packets per transfer and transfer size for packet size p and maximum transfer t (0: refused).
  static ULONG packets_for(ULONG p, ULONG t);

 protected:
  NTSTATUS prepare() override;
  void build_urb(worker_request *r) override;
  NTSTATUS before_submit() override;
};

// A managed queue whose current IRP is filled from a DPC with what the worker delivers.
class delivery_queue : public kl::managed_irp_queue {
 public:
  explicit delivery_queue(protocol_device *device, pipe_worker *worker);
  ~delivery_queue() override;
  NTSTATUS start_channel();
  void stop_channel();
  void signal();

 protected:
  void start_io(PIRP irp) override;
  // Accepts the IRP as current (true) or completes it (false).
  virtual bool start_irp(PIRP irp) = 0;
  // Fills the current IRP (none: drops what arrives); true when it is done. Under the queue's lock.
  virtual bool fill(PIRP current) = 0;
  virtual void reset_source() = 0;
  // Completes the current IRP that start_irp accepted, outside the queue's lock.
  void complete_current(PIRP irp, NTSTATUS status);

  bool is_running() { return InterlockedOr(&running_, 0) != 0; }

  protocol_device *pdev_;
  pipe_worker *worker_;
  worker_request *source_ = nullptr;
  volatile LONG running_ = 0;
  bool started_ = false;
  ULONG error_count_ = 0;
  bool error_ = false;

 private:
  static void dpc_routine(PKDPC, PVOID context, PVOID, PVOID);
  KDPC dpc_;
};

class notification_delivery_queue : public delivery_queue {
 public:
  using delivery_queue::delivery_queue;

 protected:
  bool start_irp(PIRP irp) override;
  bool fill(PIRP current) override;
  void reset_source() override;

 private:
  ULONG read_position_ = 0;
};

class iso_delivery_queue : public delivery_queue {
 public:
  using delivery_queue::delivery_queue;

 protected:
  bool start_irp(PIRP irp) override;
  bool fill(PIRP current) override;
  void reset_source() override;

 private:
  ULONG packet_ = 0;
  ULONG packet_position_ = 0;
  UCHAR *destination_ = nullptr;
  ULONG destination_length_ = 0;
};

// Channel 0: notification records for IOCTL_READ_NOTIFICATION.
class notification_channel : public channel {
 public:
  notification_channel(protocol_device *device, UCHAR interface_number);
  ~notification_channel() override;
  NTSTATUS start(UCHAR parameter) override;
  NTSTATUS stop() override;
  NTSTATUS queue_irp(PIRP irp) override;
  NTSTATUS cleanup(PFILE_OBJECT) override { return stop(); }
  // Word 0x020303: stop and start again, serialised with mode changes and cleanups by the caller.
  NTSTATUS restart(PIRP irp);

 private:
  interrupt_reader reader_;
  notification_delivery_queue queue_;
};

// Channel 1 in mode 2: the isochronous stream into read requests.
class iso_stream_channel : public channel {
 public:
  iso_stream_channel(protocol_device *device, UCHAR interface_number);
  ~iso_stream_channel() override;
  NTSTATUS start(UCHAR parameter) override;
  NTSTATUS stop() override;
  NTSTATUS queue_irp(PIRP irp) override;
  NTSTATUS cleanup(PFILE_OBJECT file) override;

 private:
  iso_reader reader_;
  iso_delivery_queue queue_;
  bool started_ = false;
};

// Bulk channels of mode 1: framed transfers, one at a time per channel through its queue.
class bulk_channel : public channel {
 public:
  bulk_channel(protocol_device *device, UCHAR interface_number, bool in);
  ~bulk_channel() override;
  NTSTATUS start(UCHAR parameter) override;
  NTSTATUS stop() override;
  NTSTATUS queue_irp(PIRP irp) override;
  NTSTATUS cleanup(PFILE_OBJECT file) override;
  // The channel's pipe word (0x021003 read, 0x021103 write) from the caller's vendor command.
  NTSTATUS vendor_word(PIRP irp);

  struct transfer;

 private:
  class queue : public kl::managed_irp_queue {
   public:
    bulk_channel *owner = nullptr;

   protected:
    void start_io(PIRP irp) override { owner->start_io(irp); }
  };

  void start_io(PIRP irp);
  static NTSTATUS on_transfer_complete(PDEVICE_OBJECT, PIRP irp, PVOID context);
  NTSTATUS reset_pipe();
  void abort_and_drain();
  void finish(PIRP irp, transfer *t, NTSTATUS status);
  NTSTATUS send(PIRP irp, transfer *t, ULONG length, bool short_ok);
  const kl::usb_pipe_entry *pipe_entry();

  queue queue_;
  bool in_;
  volatile LONG error_ = 0;
  volatile LONG error_seen_ = 0;
  volatile LONG in_flight_ = 0;  // transfers running
  volatile LONG stopping_ = 0;
  volatile LONG gone_ = 0;       // a transfer found the device gone
};

}  // namespace vantrel

#endif
