// The PnP and power device base of a function driver: the link to the lower device, the outstanding
// request count, create/close serialisation, the PnP state machine and the device interfaces.
#ifndef VANTREL_PNP_DEVICE_H
#define VANTREL_PNP_DEVICE_H

#include "kdriver.h"

namespace kl {

enum pnp_state : ULONG {
  state_stop_pending = 0x01,
  state_remove_pending = 0x02,
  state_removed = 0x04,
  state_started = 0x08,
  state_remove_in_progress = 0x10,
  state_surprise_removed = 0x20,
};

// What the library does around each PnP step.
struct pnp_policy {
  bool refuse_query_stop_while_open = true;
  bool refuse_query_stop_while_busy = true;
  bool refuse_query_remove_while_open = true;
  bool disable_interfaces_at_stop = true;
  bool disable_interfaces_at_remove = true;
  bool delete_on_last_close = true;
  bool fail_while_removed = true;
};

class pnp_device : public device_object {
 public:
  static constexpr int max_interfaces = 4;

  pnp_device(PDEVICE_OBJECT self, device_names *names, PDEVICE_OBJECT pdo, const GUID *main_interface);
  ~pnp_device() override;

  NTSTATUS irp_dispatch(PIRP irp) override;
  NTSTATUS on_pnp(PIRP irp) override;
  NTSTATUS on_power(PIRP irp) override;
  NTSTATUS on_major_default(PIRP irp) override;

  // Hooks of the PnP steps (the library passes the IRPs down around them).
  virtual NTSTATUS on_start_device(PIRP) { return STATUS_SUCCESS; }
  virtual NTSTATUS on_stop_device(PIRP) { return STATUS_SUCCESS; }
  virtual NTSTATUS on_query_remove_device(PIRP) { return STATUS_SUCCESS; }
  virtual NTSTATUS on_remove_device(PIRP) { return STATUS_SUCCESS; }
  virtual NTSTATUS on_cancel_remove_device(PIRP) { return STATUS_SUCCESS; }
  virtual NTSTATUS on_query_stop_device(PIRP) { return STATUS_SUCCESS; }
  virtual NTSTATUS on_cancel_stop_device(PIRP) { return STATUS_SUCCESS; }
  virtual NTSTATUS on_surprise_removal(PIRP) { return STATUS_SUCCESS; }
  virtual NTSTATUS on_query_capabilities(PIRP irp) { return default_pnp(irp); }
  // PnP minors nobody handles: the IRP still holds its count. The base completes it unchanged.
  virtual NTSTATUS default_pnp(PIRP irp);
  // Power IRPs nobody handles.
  virtual NTSTATUS default_power(PIRP irp);

  LONG increment_outstanding_requests();
  LONG decrement_outstanding_requests();
  LONG outstanding_requests() const { return InterlockedOr(const_cast<volatile LONG *>(&outstanding_), 0); }
  LONG open_count() const { return InterlockedOr(const_cast<volatile LONG *>(&open_count_), 0); }
  // Read without a lock by every request, changed by PnP: atomic both ways.
  ULONG state() const { return (ULONG)InterlockedOr(reinterpret_cast<volatile LONG *>(const_cast<ULONG *>(&state_)), 0); }
  bool is_removed() const { return (state() & (state_removed | state_surprise_removed)) != 0; }

  // Waits for the stop / remove event (100 ns units, 0 = none); STATUS_UNSUCCESSFUL above APC_LEVEL.
  NTSTATUS wait_for_stop(LONGLONG timeout);
  NTSTATUS wait_for_remove(LONGLONG timeout);

  NTSTATUS register_device_interface(const GUID *guid, PUNICODE_STRING reference = nullptr);
  void enable_device_interfaces(PUNICODE_STRING link = nullptr) { set_interfaces(link, true); }
  void disable_device_interfaces(PUNICODE_STRING link = nullptr) { set_interfaces(link, false); }
  int interface_count() const { return interface_count_; }

  // IRP_MN_QUERY_CAPABILITIES sent down (Size 64, Version 1, Address and UINumber -1): the stack's
  // system-to-device power table replaces the default one.
  NTSTATUS query_capabilities();
  DEVICE_POWER_STATE power_state_for_system_state(SYSTEM_POWER_STATE s) const;

  // Skips this device's stack location and passes the IRP down, releasing its count.
  NTSTATUS pass_down(PIRP irp);
  // Sends the IRP down and waits for the lower drivers; the IRP comes back to the caller, count kept.
  NTSTATUS pass_down_and_wait(PIRP irp);
  // Power IRPs: PoStartNextPowerIrp, pass down with PoCallDriver, release the count.
  NTSTATUS pass_power_down(PIRP irp);

  PDEVICE_OBJECT physical_device() const { return pdo_; }
  PDEVICE_OBJECT lower_device() const { return lower_; }
  DEVICE_POWER_STATE device_power() const { return device_power_; }
  void set_device_power(DEVICE_POWER_STATE s) { device_power_ = s; }
  NTSTATUS creation_status() const { return creation_status_; }

 protected:
  // Completes with `status` after releasing the IRP's count.
  NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    decrement_outstanding_requests();
    return complete(irp, status, information);
  }
  void set_state(ULONG bits) { InterlockedOr(reinterpret_cast<volatile LONG *>(&state_), (LONG)bits); }
  void clear_state(ULONG bits) { InterlockedAnd(reinterpret_cast<volatile LONG *>(&state_), ~(LONG)bits); }
  bool has(ULONG bits) const { return (state() & bits) != 0; }

  NTSTATUS pnp_remove(PIRP irp);

  PDEVICE_OBJECT pdo_;
  PDEVICE_OBJECT lower_ = nullptr;
  volatile LONG outstanding_ = 1;
  volatile LONG open_count_ = 0;
  kernel_mutex mutex_;
  kernel_event stop_event_;
  kernel_event remove_event_;
  ULONG state_ = 0;
  pnp_policy policy_;
  LONGLONG stop_timeout_ = 0;
  LONGLONG remove_timeout_ = 0;
  DEVICE_POWER_STATE device_power_ = PowerDeviceD0;
  SYSTEM_POWER_STATE system_power_ = PowerSystemWorking;
  DEVICE_POWER_STATE power_table_[PowerSystemMaximum];
  bool power_table_valid_ = false;
  NTSTATUS creation_status_ = STATUS_SUCCESS;

  struct interface_record {
    counted_unicode_string link;
    GUID guid;
    bool enabled;
  };
  interface_record interfaces_[max_interfaces];
  int interface_count_ = 0;

 private:
  void set_interfaces(PUNICODE_STRING link, bool on);
  static void system_power_requested(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb);
};

}  // namespace kl

#endif
