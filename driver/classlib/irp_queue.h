// A driver-managed, cancel-safe queue that runs one IRP at a time: an IRP is started at once when the
// queue is idle, else parked with a cancel routine; finishing the current one starts the next.
#ifndef VANTREL_IRP_QUEUE_H
#define VANTREL_IRP_QUEUE_H

#include "pnp_device.h"

namespace kl {

class managed_irp_queue {
 public:
  typedef void (*completion_hook)(PDEVICE_OBJECT device);

  managed_irp_queue() = default;
  // Waits until every IRP the queue took has been completed (a cancel routine may still be finishing
  // one that nobody else could take back). PASSIVE_LEVEL.
  virtual ~managed_irp_queue();
  void init(pnp_device *device, bool start_at_dispatch, bool cancel_safe, completion_hook hook = nullptr);

  // Always STATUS_PENDING (the IRP is marked pending first).
  NTSTATUS queue_irp(PIRP irp);
  // Makes the next parked IRP current (or the queue idle), then completes `done` when given.
  void start_next(PIRP done, NTSTATUS status, CCHAR boost = IO_NO_INCREMENT);
  // Completes the parked IRPs (of one file object when given) with STATUS_CANCELLED.
  void cleanup_irps(PFILE_OBJECT file, NTSTATUS status = STATUS_CANCELLED);
  ULONG parked() const { return pending_.size(); }
  PIRP current() const { return current_; }

 protected:
  // Runs the current IRP; the subclass finishes it with start_next.
  virtual void start_io(PIRP) {}
  // Body of the cancel routine (the cancel spin lock already released).
  virtual void cancel_irp(PIRP irp);
  // Completes an IRP of the queue and releases its count.
  void finish_irp(PIRP irp, NTSTATUS status, CCHAR boost);

  static void cancel_routine(PDEVICE_OBJECT device, PIRP irp);
  void start(PIRP irp);
  // Under the lock: true when the caller is to run `irp`, false when a start already running takes it.
  bool claim_start(PIRP irp);
  // Starts `irp`, then the IRPs that finishing it made current meanwhile, in a loop, never nested.
  void run_starts(PIRP irp);

  pnp_device *device_ = nullptr;
  KSPIN_LOCK lock_ = 0;
  list_head pending_;
  PIRP current_ = nullptr;
  bool busy_ = false;
  bool starting_ = false;    // a thread is in run_starts
  PIRP deferred_ = nullptr;  // made current while starting_: that thread starts it
  bool start_at_dispatch_ = true;
  bool cancel_safe_ = true;
  completion_hook hook_ = nullptr;
  volatile LONG owned_ = 0;  // IRPs taken and not yet through finish_irp
};

inline managed_irp_queue *queue_of(PIRP irp) {
  return static_cast<managed_irp_queue *>(irp->Tail.Overlay.DriverContext[0]);
}

}  // namespace kl

#endif
