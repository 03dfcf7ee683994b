// The power manager's calls.
#include "pnp_internal.h"

using namespace wbk;
using namespace wbk::pnpm;

// ---- power manager ----
extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
    violation("PoCallDriver with an IRP that is not a power IRP");
  return IoCallDriver(device, irp);
}

extern "C" void PoStartNextPowerIrp(PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
    violation("PoStartNextPowerIrp with an IRP that is not a power IRP");
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
  POWER_STATE old = state;
  if (type == DevicePowerState) {
    auto &s = ps();
    std::lock_guard<std::mutex> l(s.mu);
    auto it = s.power.find(device);
    old.DeviceState = it == s.power.end() ? PowerDeviceD0 : it->second;
    s.power[device] = state.DeviceState;
  }
  return old;
}

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                      PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP *irp_out) {
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER;
  if (irp_out) *irp_out = nullptr;
  reference_device(device);
  queue_worker([device, minor, state, completion, context] {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    struct ctx_t {
      UCHAR minor;
      POWER_STATE state;
    } c{minor, state};
    ULONG_PTR info = 0;
    NTSTATUS st = send_pnp_and_wait(
        top, IRP_MJ_POWER, minor,
        [](PIO_STACK_LOCATION s, void *p) {
          auto *cc = static_cast<ctx_t *>(p);
          s->Parameters.Power.Type = DevicePowerState;
          s->Parameters.Power.State = cc->state;
        },
        &c, &info);
    dereference_device(top);
    if (completion) {
      IO_STATUS_BLOCK iosb{};
      iosb.Status = st;
      iosb.Information = info;
      callout_guard g("power completion");
      completion(device, minor, state, context, &iosb);
    }
    dereference_device(device);
  });
  return STATUS_PENDING;
}
