// Pipe workers, delivery queues, the notification channel and the isochronous stream.
#include <morvex/wire.h>

#include "arena.h"
#include "channels.h"
#include "protocol_device.h"

namespace vantrel {

namespace {

constexpr UCHAR interrupt_endpoint = 0x82;
constexpr UCHAR iso_endpoint = 0x81;
constexpr ULONG worker_requests = 8;
// A short or over-long isochronous packet ends the read with this status.
constexpr NTSTATUS iso_packet_length_status = (NTSTATUS)0x80000900L;

void pause_ms(LONG ms) {
  LARGE_INTEGER t = kl::relative_ms(ms);
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

// The state words change by interlocked exchange, some outside the worker's lock: read them atomically.
bool is_set(volatile LONG &word) { return InterlockedOr(&word, 0) != 0; }

}  // namespace

// ---- pipe_worker ----

pipe_worker::~pipe_worker() {
  if (is_set(prepared_)) {
    abort();
    wait_drained();
    KeFlushQueuedDpcs();
    release();
  }
}

NTSTATUS pipe_worker::start() {
  if (is_set(prepared_)) return STATUS_UNSUCCESSFUL;
  const kl::usb_pipe_entry *p = device_->usb().pipe(pipe_index_);
  if (!p) return STATUS_UNSUCCESSFUL;
  pipe_ = *p;
  NTSTATUS st = prepare();
  if (!NT_SUCCESS(st)) return st;
  KeInitializeSpinLock(&lock_);
  InitializeListHead(&ready_);
  InitializeListHead(&completed_);
  InitializeListHead(&cancelled_);
  InitializeListHead(&in_flight_list_);
  records_ = static_cast<worker_request *>(nonpaged().allocate(sizeof(worker_request) * request_count_));
  buffers_ = static_cast<UCHAR *>(kl::allocate(buffer_size_ * request_count_));
  if (!records_ || !buffers_) {
    nonpaged().free(records_);
    kl::release(buffers_);
    records_ = nullptr;
    buffers_ = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  kl::zero(records_, sizeof(worker_request) * request_count_);
  allocated_ = 0;
  CCHAR stack = device_->usb().lower()->StackSize;
  // Pool exhaustion leaves fewer transfers queued, not none.
  for (ULONG i = 0; i < request_count_; ++i) {
    worker_request &r = records_[allocated_];
    r.worker = this;
    r.buffer = buffers_ + i * buffer_size_;
    r.length = buffer_size_;
    r.urb = static_cast<PURB>(kl::allocate(urb_size_));
    r.irp = r.urb ? IoAllocateIrp(stack, FALSE) : nullptr;
    if (!r.irp) {
      kl::release(r.urb);
      r.urb = nullptr;
      continue;
    }
    InsertTailList(&ready_, &r.link);
    ++allocated_;
  }
  if (allocated_ == 0) {
    release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  InterlockedExchange(&prepared_, 1);
  return STATUS_SUCCESS;
}

NTSTATUS pipe_worker::build_requests() {
  if (!is_set(prepared_)) return STATUS_UNSUCCESSFUL;
  NTSTATUS st = before_submit();
  if (!NT_SUCCESS(st)) return st;
  InterlockedExchange(&stopping_, 0);
  InterlockedExchange(&running_, 1);
  submit();
  return STATUS_SUCCESS;
}

void pipe_worker::submit() {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    if (is_set(stopping_) || !is_set(running_) || IsListEmpty(&ready_)) {
      KeReleaseSpinLock(&lock_, irql);
      return;
    }
    auto *r = CONTAINING_RECORD(RemoveHeadList(&ready_), worker_request, link);
    InsertTailList(&in_flight_list_, &r->link);
    InterlockedIncrement(&in_flight_);
    // Submission order, never reset while the worker runs: the delivery order follows it.
    r->sequence = sequence_++;
    KeReleaseSpinLock(&lock_, irql);
    // No lock is held across the call: a completion inside it takes the worker's lock.
    device_->increment_outstanding_requests();
    IoReuseIrp(r->irp, STATUS_NOT_SUPPORTED);
    build_urb(r);
    device_->usb().submit_urb_async(r->irp, r->urb, on_request_complete, r);
  }
}

NTSTATUS pipe_worker::on_request_complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *r = static_cast<worker_request *>(context);
  pipe_worker *w = r->worker;
  protocol_device *device = w->device_;
  InterlockedIncrement(&w->active_);
  KIRQL irql;
  KeAcquireSpinLock(&w->lock_, &irql);
  RemoveEntryList(&r->link);
  bool cancelled = irp->IoStatus.Status == STATUS_CANCELLED || is_set(w->stopping_);
  if (cancelled) {
    InsertTailList(&w->cancelled_, &r->link);
  } else {
    // Ordered by submission.
    LIST_ENTRY *e = w->completed_.Blink;
    while (e != &w->completed_ && CONTAINING_RECORD(e, worker_request, link)->sequence > r->sequence) e = e->Blink;
    InsertHeadList(e, &r->link);
  }
  InterlockedDecrement(&w->in_flight_);
  bool deliver = !is_set(w->stopping_) && !cancelled;
  KeReleaseSpinLock(&w->lock_, irql);
  if (deliver && w->sink_) w->sink_->signal();
  InterlockedDecrement(&w->active_);  // the worker is not touched after this
  device->decrement_outstanding_requests();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

worker_request *pipe_worker::take_completed() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  worker_request *r = nullptr;
  if (!IsListEmpty(&completed_)) r = CONTAINING_RECORD(RemoveHeadList(&completed_), worker_request, link);
  KeReleaseSpinLock(&lock_, irql);
  return r;
}

void pipe_worker::recycle(worker_request *r) {
  // A transfer that failed because the device is gone, or on a device going away, is retired: sent
  // again it would only fail again at once, for ever.
  NTSTATUS last = r->irp->IoStatus.Status;
  bool retire = !NT_SUCCESS(last) && (last == STATUS_DEVICE_NOT_CONNECTED || last == STATUS_NO_SUCH_DEVICE ||
                                      device_->unusable() || device_->stop_or_remove_pending());
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  InsertTailList(is_set(stopping_) || !is_set(running_) || retire ? &cancelled_ : &ready_, &r->link);
  KeReleaseSpinLock(&lock_, irql);
}

void pipe_worker::abort() {
  if (!is_set(prepared_)) return;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  InterlockedExchange(&stopping_, 1);
  LONG n = in_flight_;
  KeReleaseSpinLock(&lock_, irql);
  if (n > 0) device_->usb().abort_pipe(pipe_.handle);
}

void pipe_worker::wait_drained() {
  if (!is_set(prepared_)) return;
  for (int waited = 0; InterlockedOr(&in_flight_, 0) != 0 || InterlockedOr(&active_, 0) != 0; ++waited) {
    if (waited == 1000) {
      // The abort did not end them: cancel our own IRPs (never freed before they are back).
      PIRP irps[32];
      ULONG n = 0;
      KIRQL irql;
      KeAcquireSpinLock(&lock_, &irql);
      for (LIST_ENTRY *e = in_flight_list_.Flink; e != &in_flight_list_ && n < 32; e = e->Flink)
        irps[n++] = CONTAINING_RECORD(e, worker_request, link)->irp;
      KeReleaseSpinLock(&lock_, irql);
      for (ULONG i = 0; i < n; ++i) IoCancelIrp(irps[i]);
    }
    pause_ms(1);
  }
}

void pipe_worker::release() {
  if (records_) {
    for (ULONG i = 0; i < allocated_; ++i) {
      if (records_[i].irp) IoFreeIrp(records_[i].irp);
      kl::release(records_[i].urb);
    }
  }
  nonpaged().free(records_);
  kl::release(buffers_);
  records_ = nullptr;
  buffers_ = nullptr;
  allocated_ = 0;
  InterlockedExchange(&running_, 0);
  InterlockedExchange(&prepared_, 0);
}

NTSTATUS interrupt_reader::prepare() {
  if (pipe_.address != interrupt_endpoint || pipe_.type != UsbdPipeTypeInterrupt) return STATUS_UNSUCCESSFUL;
  request_count_ = worker_requests;
  buffer_size_ = record_size;
  urb_size_ = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  return STATUS_SUCCESS;
}

void interrupt_reader::build_urb(worker_request *r) {
  kl::usb_pipe::build_transfer_urb(r->urb, pipe_.handle, r->buffer, r->length, true, false);
}

ULONG iso_reader::packets_for(ULONG p, ULONG t) {
  if (p == 0) return 0;
  ULONG packets = t / p;
  if (packets > 255) {
    // Transfers of 4096 bytes at most for the instrument's packet sizes; any other size is bounded too.
    if (p == 120) return 34;
    if (p == 240) return 17;
    if (p == 360) return 11;
    packets = 4096 / p;
  }
  if (packets > 255) packets = 255;
  return packets ? packets : 1;
}

NTSTATUS iso_reader::prepare() {
  if (pipe_.address != iso_endpoint || pipe_.type != UsbdPipeTypeIsochronous) return STATUS_UNSUCCESSFUL;
  if (pipe_.max_packet == 0) return STATUS_INVALID_PARAMETER;
  packet_size_ = pipe_.max_packet;
  packets_ = packets_for(packet_size_, pipe_.max_transfer);
  request_count_ = worker_requests;
  buffer_size_ = packet_size_ * packets_;
  urb_size_ = kl::usb_pipe::isochronous_urb_size(packets_);
  return STATUS_SUCCESS;
}

NTSTATUS iso_reader::before_submit() { return device_->usb().reset_pipe(pipe_.handle); }

void iso_reader::build_urb(worker_request *r) {
  kl::usb_pipe::build_isochronous_urb(r->urb, pipe_.handle, r->length, packets_, packet_size_, true);
  r->urb->UrbIsochronousTransfer.TransferBuffer = r->buffer;
}

// ---- delivery queues ----

delivery_queue::delivery_queue(protocol_device *device, pipe_worker *worker) : pdev_(device), worker_(worker) {
  init(device, true, true, nullptr);
  KeInitializeDpc(&dpc_, dpc_routine, this);
  worker_->set_sink(this);
}

delivery_queue::~delivery_queue() {
  stop_channel();
  KeFlushQueuedDpcs();
}

void delivery_queue::signal() { KeInsertQueueDpc(&dpc_, nullptr, nullptr); }

NTSTATUS delivery_queue::start_channel() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  source_ = nullptr;
  error_count_ = 0;
  error_ = false;
  reset_source();
  KeReleaseSpinLock(&lock_, irql);
  // Running only once the worker's lists exist: a DPC left from before the start (a request accepted
  // as the channel stopped) fills only a running queue.
  NTSTATUS st = worker_->start();
  if (NT_SUCCESS(st)) {
    InterlockedExchange(&running_, 1);
    st = worker_->build_requests();
  }
  if (!NT_SUCCESS(st)) {
    InterlockedExchange(&running_, 0);
    worker_->abort();
    worker_->wait_drained();
    KeFlushQueuedDpcs();
    worker_->release();
    return st;
  }
  started_ = true;
  return STATUS_SUCCESS;
}

void delivery_queue::stop_channel() {
  if (!is_running() && !started_) return;
  InterlockedExchange(&running_, 0);
  started_ = false;
  worker_->abort();
  worker_->wait_drained();
  // No DPC may still hold a transfer when they are freed.
  KeFlushQueuedDpcs();
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  source_ = nullptr;
  KeReleaseSpinLock(&lock_, irql);
  worker_->release();
  cleanup_irps(nullptr, pdev_->ending_status());
  KeAcquireSpinLock(&lock_, &irql);
  PIRP irp = current_;
  // A current IRP whose cancel routine is running is that routine's to complete.
  bool mine = irp && IoSetCancelRoutine(irp, nullptr) != nullptr;
  KeReleaseSpinLock(&lock_, irql);
  if (mine) start_next(irp, pdev_->ending_status());
}

void delivery_queue::complete_current(PIRP irp, NTSTATUS status) { start_next(irp, status); }

void delivery_queue::start_io(PIRP irp) {
  if (!start_irp(irp)) return;
  // Under the queue's lock: once the cancel routine is in place the DPC may fill and complete the IRP,
  // and it does so only holding this lock.
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  (void)IoSetCancelRoutine(irp, cancel_routine);
  bool cancelled = kl::cancelled(irp) && IoSetCancelRoutine(irp, nullptr);
  KeReleaseSpinLock(&lock_, irql);
  if (cancelled) {
    complete_current(irp, STATUS_CANCELLED);
    return;
  }
  signal();
}

void delivery_queue::dpc_routine(PKDPC, PVOID context, PVOID, PVOID) {
  auto *q = static_cast<delivery_queue *>(context);
  KeAcquireSpinLockAtDpcLevel(&q->lock_);
  PIRP irp = q->current_;
  if (irp && !IoSetCancelRoutine(irp, nullptr)) {
    // Being cancelled: its cancel routine completes it.
    KeReleaseSpinLockFromDpcLevel(&q->lock_);
    return;
  }
  const bool filling = q->is_running();
  bool done = filling ? q->fill(irp) : false;
  if (irp && !q->is_running()) {
    // Accepted just before the channel stopped, after the stop looked for a current IRP: nothing would
    // ever fill it, so it ends here.
    irp->IoStatus.Status = q->pdev_->ending_status();
    done = true;
  } else if (irp && !done) {
    (void)IoSetCancelRoutine(irp, cancel_routine);
    if (kl::cancelled(irp) && IoSetCancelRoutine(irp, nullptr)) {
      irp->IoStatus.Status = STATUS_CANCELLED;
      done = true;
    }
  }
  KeReleaseSpinLockFromDpcLevel(&q->lock_);
  // What fill gave back goes down again only now: no lock is held across IoCallDriver.
  if (filling) q->worker_->submit();
  if (irp && done) q->complete_current(irp, irp->IoStatus.Status);
}

bool notification_delivery_queue::start_irp(PIRP irp) {
  irp->IoStatus.Information = 0;
  ULONG out = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  NTSTATUS st = STATUS_PENDING;
  if (out == 0)
    st = STATUS_SUCCESS;
  else if (!is_running())
    st = STATUS_CANCELLED;
  else if (error_)
    st = STATUS_UNSUCCESSFUL;
  if (st != STATUS_PENDING) {
    complete_current(irp, st);
    return false;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  return true;
}

void notification_delivery_queue::reset_source() { read_position_ = 0; }

bool notification_delivery_queue::fill(PIRP irp) {
  using zeph_wire::NOTIFY_SIZE;
  constexpr ULONG rec = interrupt_reader::record_size;
  for (;;) {
    if (!source_) {
      source_ = worker_->take_completed();
      read_position_ = 0;
      if (!source_) return false;
    }
    NTSTATUS st = source_->irp->IoStatus.Status;
    if (!NT_SUCCESS(st) || !USBD_SUCCESS(source_->urb->UrbHeader.Status)) {
      // A failed transfer stays: later requests fail until the channel starts again.
      ++error_count_;
      error_ = true;
      if (!irp) return false;
      irp->IoStatus.Status = NT_SUCCESS(st) ? STATUS_UNSUCCESSFUL : st;
      if (st == STATUS_DEVICE_NOT_CONNECTED) irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
      return true;
    }
    error_ = false;
    ULONG got = kl::min_of<ULONG>(source_->urb->UrbBulkOrInterruptTransfer.TransferBufferLength, source_->length);
    bool done = false;
    while (!done && read_position_ < got) {
      const UCHAR *r = source_->buffer + read_position_;
      ULONG n = kl::min_of<ULONG>(rec, got - read_position_);
      read_position_ += rec;
      if (n < 3 || zeph_wire::notify_code(r) == 0) continue;
      if (!irp) continue;  // nobody waits: the record is lost
      // The record as received; nothing is read past what arrived.
      auto *out = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
      kl::copy(out, r, n);
      kl::zero(out + n, NOTIFY_SIZE - n);
      irp->IoStatus.Information = NOTIFY_SIZE;
      irp->IoStatus.Status = STATUS_SUCCESS;
      done = true;
    }
    if (read_position_ >= got) {
      worker_->recycle(source_);
      source_ = nullptr;
    }
    if (done) return true;
  }
}

bool iso_delivery_queue::start_irp(PIRP irp) {
  irp->IoStatus.Information = 0;
  ULONG len = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  NTSTATUS st = STATUS_PENDING;
  if (len == 0) {
    st = STATUS_SUCCESS;
  } else if (!is_running()) {
    st = STATUS_CANCELLED;
  } else {
    UCHAR *dest = irp->MdlAddress
                      ? static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                      : nullptr;
    if (!dest) {
      st = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      KIRQL irql;
      KeAcquireSpinLock(&lock_, &irql);
      destination_ = dest;
      destination_length_ = len;
      KeReleaseSpinLock(&lock_, irql);
    }
  }
  if (st != STATUS_PENDING) {
    complete_current(irp, st);
    return false;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  return true;
}

void iso_delivery_queue::reset_source() {
  packet_ = 0;
  packet_position_ = 0;
}

bool iso_delivery_queue::fill(PIRP irp) {
  // A bounded amount of work per DPC: failed transfers recycled at once must not keep it running.
  for (int sources = 0;; ++sources) {
    if (sources == 32) {
      signal();
      return false;
    }
    if (!source_) {
      source_ = worker_->take_completed();
      reset_source();
      if (!source_) return false;
    }
    NTSTATUS st = source_->irp->IoStatus.Status;
    auto &u = source_->urb->UrbIsochronousTransfer;
    if (!NT_SUCCESS(st) || !USBD_SUCCESS(u.Hdr.Status)) {
      // A failed transfer ends the current read; the stream goes on with the next one.
      ++error_count_;
      error_ = true;
      worker_->recycle(source_);
      source_ = nullptr;
      if (!irp) continue;
      irp->IoStatus.Status = NT_SUCCESS(st) ? STATUS_DEVICE_DATA_ERROR : st;
      if (st == STATUS_DEVICE_NOT_CONNECTED) irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
      return true;
    }
    const ULONG stride = worker_->packet_size();
    for (; packet_ < u.NumberOfPackets; ++packet_, packet_position_ = 0) {
      const USBD_ISO_PACKET_DESCRIPTOR &p = u.IsoPacket[packet_];
      if (p.Length == 0 || !irp) continue;
      if (p.Length != stride || p.Offset + p.Length > source_->length) {
        // The rest of this transfer is dropped.
        ++error_count_;
        error_ = true;
        irp->IoStatus.Status = iso_packet_length_status;
        worker_->recycle(source_);
        source_ = nullptr;
        return true;
      }
      // A packet the controller flagged still delivers its data; the read reports a data error.
      if (!USBD_SUCCESS(p.Status)) irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
      ULONG written = (ULONG)irp->IoStatus.Information;
      ULONG n = kl::min_of<ULONG>(p.Length - packet_position_, destination_length_ - written);
      kl::copy(destination_ + written, source_->buffer + p.Offset + packet_position_, n);
      packet_position_ += n;
      irp->IoStatus.Information = written + n;
      if (written + n == destination_length_) {
        if (packet_position_ == p.Length) {
          ++packet_;
          packet_position_ = 0;
        }
        if (packet_ >= u.NumberOfPackets) {
          worker_->recycle(source_);
          source_ = nullptr;
        }
        return true;
      }
    }
    worker_->recycle(source_);
    source_ = nullptr;
  }
}

// ---- channels ----

notification_channel::notification_channel(protocol_device *device, UCHAR interface_number)
    : channel(device, interface_number), reader_(device, interface_number), queue_(device, &reader_) {}

notification_channel::~notification_channel() { queue_.stop_channel(); }

NTSTATUS notification_channel::start(UCHAR parameter) {
  parameter_ = parameter;
  return queue_.start_channel();
}

NTSTATUS notification_channel::stop() {
  queue_.stop_channel();
  return STATUS_SUCCESS;
}

NTSTATUS notification_channel::queue_irp(PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength != zeph_wire::NOTIFY_SIZE)
    return STATUS_INVALID_PARAMETER;
  irp->IoStatus.Information = 0;
  return queue_.queue_irp(irp);
}

// Called with the device's mode and engine gates and the engine's gate held.
NTSTATUS notification_channel::restart(PIRP irp) {
  stop();
  NTSTATUS st = start(parameter_);
  irp->IoStatus.Status = st;
  return st;
}

iso_stream_channel::iso_stream_channel(protocol_device *device, UCHAR interface_number)
    : channel(device, interface_number), reader_(device, interface_number), queue_(device, &reader_) {}

iso_stream_channel::~iso_stream_channel() { queue_.stop_channel(); }

NTSTATUS iso_stream_channel::start(UCHAR parameter) {
  parameter_ = parameter;
  if (parameter == 0) return STATUS_SUCCESS;  // no bandwidth at setting 0: reads end at once
  NTSTATUS st = queue_.start_channel();
  started_ = NT_SUCCESS(st);
  return st;
}

NTSTATUS iso_stream_channel::stop() {
  queue_.stop_channel();
  started_ = false;
  return STATUS_SUCCESS;
}

NTSTATUS iso_stream_channel::queue_irp(PIRP irp) {
  irp->IoStatus.Information = 0;
  return queue_.queue_irp(irp);
}

NTSTATUS iso_stream_channel::cleanup(PFILE_OBJECT) { return stop(); }

}  // namespace vantrel
