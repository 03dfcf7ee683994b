#include "irp_queue.h"

namespace kl {

void managed_irp_queue::init(pnp_device *device, bool start_at_dispatch, bool cancel_safe, completion_hook hook) {
  device_ = device;
  KeInitializeSpinLock(&lock_);
  pending_.init();
  current_ = nullptr;
  busy_ = false;
  starting_ = false;
  deferred_ = nullptr;
  start_at_dispatch_ = start_at_dispatch;
  cancel_safe_ = cancel_safe;
  hook_ = hook;
}

managed_irp_queue::~managed_irp_queue() {
  LARGE_INTEGER t = relative_ms(1);
  while (InterlockedOr(&owned_, 0) != 0) KeDelayExecutionThread(KernelMode, FALSE, &t);
}

void managed_irp_queue::finish_irp(PIRP irp, NTSTATUS status, CCHAR boost) {
  // Taken first: once the count drops, the queue's owner may free it.
  completion_hook hook = hook_;
  pnp_device *device = device_;
  irp->IoStatus.Status = status;
  if (status == STATUS_CANCELLED) irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, boost);
  InterlockedDecrement(&owned_);
  if (hook)
    hook(device ? device->self() : nullptr);
  else
    device->decrement_outstanding_requests();
}

void managed_irp_queue::start(PIRP irp) {
  if (start_at_dispatch_) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    start_io(irp);
    KeLowerIrql(old);
  } else {
    start_io(irp);
  }
}

bool managed_irp_queue::claim_start(PIRP irp) {
  if (starting_) {
    deferred_ = irp;
    return false;
  }
  starting_ = true;
  InterlockedIncrement(&owned_);  // the starter's hold: the queue stays until its loop has left
  return true;
}

void managed_irp_queue::run_starts(PIRP irp) {
  // An IRP that fails in its start finishes it and makes the next current: started here, not from inside
  // that start, a long queue failing at once cannot grow the kernel stack by one start per IRP.
  while (irp) {
    start(irp);
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    irp = deferred_;
    deferred_ = nullptr;
    if (!irp) starting_ = false;
    KeReleaseSpinLock(&lock_, irql);
  }
  InterlockedDecrement(&owned_);
}

NTSTATUS managed_irp_queue::queue_irp(PIRP irp) {
  IoMarkIrpPending(irp);
  InterlockedIncrement(&owned_);
  irp->Tail.Overlay.DriverContext[0] = this;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (busy_) {
    pending_.push_back(&irp->Tail.Overlay.ListEntry);
    if (cancel_safe_) {
      (void)IoSetCancelRoutine(irp, cancel_routine);
      // Cancelled before the routine was in place: when it can still be taken back nobody else will
      // complete the IRP; otherwise the cancel routine runs and finds it parked.
      if (kl::cancelled(irp) && IoSetCancelRoutine(irp, nullptr)) {
        pending_.remove(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&lock_, irql);
        finish_irp(irp, STATUS_CANCELLED, IO_NO_INCREMENT);
        return STATUS_PENDING;
      }
    }
    KeReleaseSpinLock(&lock_, irql);
    return STATUS_PENDING;
  }
  busy_ = true;
  current_ = irp;
  bool run = claim_start(irp);
  KeReleaseSpinLock(&lock_, irql);
  if (run) run_starts(irp);
  return STATUS_PENDING;
}

void managed_irp_queue::start_next(PIRP done, NTSTATUS status, CCHAR boost) {
  PIRP next = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (done && current_ == done) current_ = nullptr;
  if (!current_) {
    for (LIST_ENTRY *e = pending_.head()->Flink; e != pending_.head(); e = e->Flink) {
      PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
      // An IRP whose cancel routine is already running stays where that routine will look for it.
      if (cancel_safe_ && !IoSetCancelRoutine(irp, nullptr)) continue;
      pending_.remove(e);
      next = irp;
      break;
    }
    current_ = next;
    busy_ = next != nullptr;
  }
  bool run = next && claim_start(next);
  KeReleaseSpinLock(&lock_, irql);
  if (done) finish_irp(done, status, boost);
  if (run) run_starts(next);
}

void managed_irp_queue::cleanup_irps(PFILE_OBJECT file, NTSTATUS status) {
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  for (LIST_ENTRY *e = pending_.head()->Flink; e != pending_.head();) {
    LIST_ENTRY *following = e->Flink;
    PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    bool mine = !file || IoGetCurrentIrpStackLocation(irp)->FileObject == file;
    if (mine && (!cancel_safe_ || IoSetCancelRoutine(irp, nullptr))) {
      pending_.remove(e);
      InsertTailList(&taken, e);
    }
    e = following;
  }
  KeReleaseSpinLock(&lock_, irql);
  while (!IsListEmpty(&taken)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry);
    irp->IoStatus.Information = 0;
    finish_irp(irp, status, IO_NO_INCREMENT);
  }
}

void managed_irp_queue::cancel_routine(PDEVICE_OBJECT, PIRP irp) {
  // Never complete while holding the cancel spin lock.
  IoReleaseCancelSpinLock(irp->CancelIrql);
  queue_of(irp)->cancel_irp(irp);
}

void managed_irp_queue::cancel_irp(PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (current_ == irp) {
    KeReleaseSpinLock(&lock_, irql);
    start_next(irp, STATUS_CANCELLED);
    return;
  }
  for (LIST_ENTRY *e = pending_.head()->Flink; e != pending_.head(); e = e->Flink) {
    if (e == &irp->Tail.Overlay.ListEntry) {
      pending_.remove(e);
      KeReleaseSpinLock(&lock_, irql);
      finish_irp(irp, STATUS_CANCELLED, IO_NO_INCREMENT);
      return;
    }
  }
  KeReleaseSpinLock(&lock_, irql);
}

}  // namespace kl
