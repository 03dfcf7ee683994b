#include "pnp_device.h"

namespace kl {

namespace {

NTSTATUS signal_event_completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  // The IRP returns to the sender, which completes it: no pending mark is carried up from here.
  (void)irp;
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS device_powered_up(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  auto *d = static_cast<pnp_device *>(device_object::from(device));
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    PoSetPowerState(device, DevicePowerState, s->Parameters.Power.State);
    d->set_device_power(s->Parameters.Power.State.DeviceState);
  }
  PoStartNextPowerIrp(irp);
  d->decrement_outstanding_requests();
  return STATUS_CONTINUE_COMPLETION;
}

}  // namespace

pnp_device::pnp_device(PDEVICE_OBJECT self, device_names *names, PDEVICE_OBJECT pdo, const GUID *main_interface)
    : device_object(self, names), pdo_(pdo) {
  mutex_.init(1);
  stop_event_.init(SynchronizationEvent, false);
  remove_event_.init(SynchronizationEvent, false);
  for (auto &r : interfaces_) r.enabled = false;
  if (main_interface) creation_status_ = register_device_interface(main_interface);
}

pnp_device::~pnp_device() {
  for (int i = 0; i < interface_count_; ++i) interfaces_[i].link.release();
  interface_count_ = 0;
}

LONG pnp_device::increment_outstanding_requests() {
  LONG n = InterlockedIncrement(&outstanding_);
  if (n == 2) stop_event_.clear();
  return n;
}

LONG pnp_device::decrement_outstanding_requests() {
  LONG n = InterlockedDecrement(&outstanding_);
  if (n == 1) stop_event_.set();
  if (n == 0) remove_event_.set();
  return n;
}

NTSTATUS pnp_device::wait_for_stop(LONGLONG timeout) {
  if (KeGetCurrentIrql() > APC_LEVEL) return STATUS_UNSUCCESSFUL;
  return stop_event_.wait_100ns(timeout);
}

NTSTATUS pnp_device::wait_for_remove(LONGLONG timeout) {
  if (KeGetCurrentIrql() > APC_LEVEL) return STATUS_UNSUCCESSFUL;
  return remove_event_.wait_100ns(timeout);
}

NTSTATUS pnp_device::register_device_interface(const GUID *guid, PUNICODE_STRING reference) {
  if (interface_count_ >= max_interfaces) return STATUS_INSUFFICIENT_RESOURCES;
  UNICODE_STRING link{};
  NTSTATUS st = IoRegisterDeviceInterface(pdo_, guid, reference, &link);
  if (!NT_SUCCESS(st)) return st;
  interface_record &r = interfaces_[interface_count_];
  st = r.link.assign(link);
  RtlFreeUnicodeString(&link);
  if (!NT_SUCCESS(st)) return st;
  r.guid = *guid;
  r.enabled = false;
  ++interface_count_;
  return STATUS_SUCCESS;
}

void pnp_device::set_interfaces(PUNICODE_STRING link, bool on) {
  for (int i = 0; i < interface_count_; ++i) {
    interface_record &r = interfaces_[i];
    if (link && !r.link.equals(*link)) continue;
    if (r.enabled == on) continue;
    if (NT_SUCCESS(IoSetDeviceInterfaceState(r.link.get(), on ? TRUE : FALSE)) || !on) r.enabled = on;
  }
}

NTSTATUS pnp_device::pass_down(PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  decrement_outstanding_requests();
  return IoCallDriver(lower_, irp);
}

NTSTATUS pnp_device::pass_down_and_wait(PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, signal_event_completion, &done, TRUE, TRUE, TRUE);
  NTSTATUS st = IoCallDriver(lower_, irp);
  if (st == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    st = irp->IoStatus.Status;
  }
  return st;
}

NTSTATUS pnp_device::query_capabilities() {
  PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  DEVICE_CAPABILITIES caps;
  zero(&caps, sizeof caps);
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_PNP;
  s->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  s->Parameters.DeviceCapabilities.Capabilities = &caps;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetCompletionRoutine(irp, signal_event_completion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower_, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS st = irp->IoStatus.Status;
  IoFreeIrp(irp);
  if (NT_SUCCESS(st)) {
    for (int i = 0; i < PowerSystemMaximum; ++i) power_table_[i] = caps.DeviceState[i];
    power_table_valid_ = true;
  }
  return st;
}

DEVICE_POWER_STATE pnp_device::power_state_for_system_state(SYSTEM_POWER_STATE s) const {
  if (s <= PowerSystemUnspecified || s >= PowerSystemMaximum) return PowerDeviceUnspecified;
  if (power_table_valid_ && power_table_[s] != PowerDeviceUnspecified) return power_table_[s];
  return s == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

void pnp_device::system_power_requested(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
  // The device has its new state: now the system request goes on down.
  PIRP irp = static_cast<PIRP>(context);
  auto *d = static_cast<pnp_device *>(device_object::from(IoGetCurrentIrpStackLocation(irp)->DeviceObject));
  if (!NT_SUCCESS(iosb->Status)) {
    PoStartNextPowerIrp(irp);
    d->finish(irp, iosb->Status);
    return;
  }
  d->pass_power_down(irp);
}

NTSTATUS pnp_device::pass_power_down(PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  decrement_outstanding_requests();
  return PoCallDriver(lower_, irp);
}

NTSTATUS pnp_device::default_pnp(PIRP irp) {
  NTSTATUS st = irp->IoStatus.Status;
  return finish(irp, st, irp->IoStatus.Information);
}

NTSTATUS pnp_device::default_power(PIRP irp) {
  PoStartNextPowerIrp(irp);
  return finish(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

NTSTATUS pnp_device::on_major_default(PIRP irp) { return finish(irp, STATUS_NOT_IMPLEMENTED); }

NTSTATUS pnp_device::irp_dispatch(PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  increment_outstanding_requests();
  switch (s->MajorFunction) {
    case IRP_MJ_CREATE: {
      mutex_.acquire();
      if (is_removed() || has(state_remove_pending)) {
        mutex_.release();
        return finish(irp, STATUS_DELETE_PENDING);
      }
      NTSTATUS st = on_create(irp);
      if (NT_SUCCESS(st)) InterlockedIncrement(&open_count_);
      mutex_.release();
      return st;
    }
    case IRP_MJ_CLOSE: {
      mutex_.acquire();
      NTSTATUS st = on_close(irp);
      LONG left = open_count_;
      if (NT_SUCCESS(st)) left = InterlockedDecrement(&open_count_);
      if (left == 0 && has(state_removed) && !has(state_remove_in_progress) &&
          policy_.delete_on_last_close) {
        // The removal came while this handle was open: the last close ends the object.
        mutex_.release();
        destroy();
        return st;
      }
      mutex_.release();
      return st;
    }
    case IRP_MJ_CLEANUP:
      return on_cleanup(irp);
    case IRP_MJ_POWER:
      if (is_removed()) {
        PoStartNextPowerIrp(irp);
        return finish(irp, STATUS_DELETE_PENDING);
      }
      return on_power(irp);
    case IRP_MJ_PNP:
      if (has(state_removed) && s->MinorFunction != IRP_MN_REMOVE_DEVICE)
        return finish(irp, STATUS_DELETE_PENDING);
      return on_pnp(irp);
    case IRP_MJ_SYSTEM_CONTROL:
      if (has(state_removed)) return finish(irp, STATUS_DELETE_PENDING);
      return on_system_control(irp);
    default:
      if (policy_.fail_while_removed && (is_removed() || has(state_remove_pending)))
        return finish(irp, STATUS_DELETE_PENDING);
      if (has(state_stop_pending) || !has(state_started)) return finish(irp, STATUS_UNSUCCESSFUL);
      return device_object::irp_dispatch(irp);
  }
}

NTSTATUS pnp_device::on_pnp(PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS st;
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
      st = pass_down_and_wait(irp);
      if (NT_SUCCESS(st)) query_capabilities();  // the default power table serves when it fails
      if (NT_SUCCESS(st)) st = on_start_device(irp);
      if (NT_SUCCESS(st)) {
        set_state(state_started);
        clear_state(state_stop_pending);
      }
      return finish(irp, st);

    case IRP_MN_QUERY_STOP_DEVICE:
      if ((policy_.refuse_query_stop_while_open && open_count() != 0) ||
          (policy_.refuse_query_stop_while_busy && outstanding_requests() > 2))
        return finish(irp, STATUS_DEVICE_BUSY);
      st = on_query_stop_device(irp);
      if (!NT_SUCCESS(st)) return finish(irp, st);
      set_state(state_stop_pending);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return pass_down(irp);

    case IRP_MN_QUERY_REMOVE_DEVICE: {
      mutex_.acquire();
      if (policy_.refuse_query_remove_while_open && open_count_ != 0) {
        mutex_.release();
        return finish(irp, STATUS_DEVICE_BUSY);
      }
      st = on_query_remove_device(irp);
      if (!NT_SUCCESS(st)) {
        mutex_.release();
        return finish(irp, st);
      }
      set_state(state_remove_pending);
      mutex_.release();
      // New requests now fail; wait for those still inside before agreeing.
      IoSkipCurrentIrpStackLocation(irp);
      decrement_outstanding_requests();
      while (outstanding_requests() > 1) wait_for_stop(stop_timeout_);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return IoCallDriver(lower_, irp);
    }

    case IRP_MN_CANCEL_STOP_DEVICE:
      st = pass_down_and_wait(irp);
      on_cancel_stop_device(irp);
      clear_state(state_stop_pending);
      return finish(irp, NT_SUCCESS(st) ? STATUS_SUCCESS : st);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      st = pass_down_and_wait(irp);
      on_cancel_remove_device(irp);
      clear_state(state_remove_pending);
      return finish(irp, NT_SUCCESS(st) ? STATUS_SUCCESS : st);

    case IRP_MN_STOP_DEVICE:
      on_stop_device(irp);
      clear_state(state_stop_pending | state_started);
      if (policy_.disable_interfaces_at_stop) disable_device_interfaces();
      irp->IoStatus.Status = STATUS_SUCCESS;
      return pass_down(irp);

    case IRP_MN_SURPRISE_REMOVAL:
      set_state(state_surprise_removed);
      on_surprise_removal(irp);
      clear_state(state_stop_pending | state_remove_pending | state_started);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return pass_down(irp);

    case IRP_MN_REMOVE_DEVICE:
      return pnp_remove(irp);

    case IRP_MN_QUERY_CAPABILITIES:
      return on_query_capabilities(irp);

    default:
      return default_pnp(irp);
  }
}

NTSTATUS pnp_device::pnp_remove(PIRP irp) {
  // Creates and closes wait on the mutex holding a count: the waits below run without it.
  mutex_.acquire();
  set_state(state_removed | state_remove_in_progress);
  mutex_.release();
  if (policy_.disable_interfaces_at_remove) disable_device_interfaces();
  on_remove_device(irp);
  // Release the remove IRP's own count, then wait until every request still inside has left: the
  // device fails new ones, and nothing may be freed while an IRP in flight points at it.
  decrement_outstanding_requests();
  while (outstanding_requests() > 1) wait_for_stop(stop_timeout_);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS st = IoCallDriver(lower_, irp);
  IoDetachDevice(lower_);
  lower_ = nullptr;
  // The device's own reference: the count reaches 0 once nothing else is outstanding.
  if (decrement_outstanding_requests() > 0)
    while (outstanding_requests() > 0) wait_for_remove(remove_timeout_);
  mutex_.acquire();
  delete_link();
  if (self_->Flags & DO_SHUTDOWN_REGISTERED) {
    IoUnregisterShutdownNotification(self_);
    self_->Flags &= ~DO_SHUTDOWN_REGISTERED;
  }
  if (open_count_ == 0) {
    mutex_.release();
    destroy();
    return st;
  }
  clear_state(state_stop_pending | state_remove_pending | state_started | state_remove_in_progress);
  mutex_.release();
  return st;
}

NTSTATUS pnp_device::on_power(PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (s->MinorFunction == IRP_MN_SET_POWER) {
    if (s->Parameters.Power.Type == DevicePowerState) {
      DEVICE_POWER_STATE want = s->Parameters.Power.State.DeviceState;
      if (want == device_power_) return pass_power_down(irp);
      if (want < device_power_) {
        // Powering up: record the state once the lower drivers have powered the device.
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, device_powered_up, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(lower_, irp);
        return STATUS_PENDING;
      }
      PoSetPowerState(self_, DevicePowerState, s->Parameters.Power.State);
      device_power_ = want;
      return pass_power_down(irp);
    }
    // A system state: the device goes to the state the stack's table gives for it first.
    system_power_ = s->Parameters.Power.State.SystemState;
    DEVICE_POWER_STATE want = power_state_for_system_state(system_power_);
    if (want == PowerDeviceUnspecified || want == device_power_) return pass_power_down(irp);
    IoMarkIrpPending(irp);
    POWER_STATE ps;
    ps.DeviceState = want;
    NTSTATUS st = PoRequestPowerIrp(pdo_, IRP_MN_SET_POWER, ps, system_power_requested, irp, nullptr);
    if (!NT_SUCCESS(st)) {
      PoStartNextPowerIrp(irp);
      finish(irp, st);
    }
    return STATUS_PENDING;
  }
  return default_power(irp);
}

}  // namespace kl
