// The driver's own device: naming, device interfaces, the device values in the hardware key, start, stop,
// removal, the exclusive open, and the routing of requests to the current transfer engine.
#ifndef VANTREL_PROTOCOL_DEVICE_H
#define VANTREL_PROTOCOL_DEVICE_H

#include "classlib/pnp_device.h"
#include "classlib/usb_lower.h"
#include "engine.h"

namespace vantrel {

constexpr USHORT language_en_us = 0x0409;

struct vendor_request_context;

class protocol_device : public kl::pnp_device {
 public:
  protocol_device(PDEVICE_OBJECT self, kl::device_names *names, PDEVICE_OBJECT pdo, ULONG unit);
  ~protocol_device() override;

  static protocol_device *from(PDEVICE_OBJECT d) { return static_cast<protocol_device *>(kl::device_object::from(d)); }

  NTSTATUS on_create(PIRP irp) override;
  NTSTATUS on_close(PIRP irp) override;
  NTSTATUS on_read(PIRP irp) override;
  NTSTATUS on_write(PIRP irp) override;
  NTSTATUS on_device_control(PIRP irp) override;
  NTSTATUS on_cleanup(PIRP irp) override;
  NTSTATUS on_system_control(PIRP irp) override;
  NTSTATUS on_start_device(PIRP irp) override;
  NTSTATUS on_stop_device(PIRP irp) override;
  NTSTATUS on_remove_device(PIRP irp) override;
  NTSTATUS on_surprise_removal(PIRP irp) override;
  NTSTATUS on_query_capabilities(PIRP irp) override;
  NTSTATUS default_pnp(PIRP irp) override { return on_system_control(irp); }
  NTSTATUS default_power(PIRP irp) override { return pass_power_down(irp); }

  NTSTATUS write_device_info();
  // The configuration whose iConfiguration string reads `name`: its bConfigurationValue.
  NTSTATUS find_configuration(PCWSTR name, UCHAR *value);
  NTSTATUS teardown_engines();
  NTSTATUS switch_engine(mode_record rec);
  NTSTATUS reset_device();
  // The word of a vendor command that the bulk engine serves itself (restart, pipe words), else 0.
  static ULONG engine_word(PIRP irp);
  // Vendor requests to the current engine; its own words under the mode and engine gates.
  NTSTATUS vendor_dispatch(PIRP irp);
  NTSTATUS select_configuration(UCHAR value, UCHAR a0, UCHAR a1, UCHAR a2);

  // Vendor requests (device control): the asynchronous path sends the caller's IRP down; the synchronous
  // path (bulk channels' pipe words) waits for the device.
  // With `gate_held` the caller holds the vendor gate already; it is given back either way.
  NTSTATUS vendor_request_async(PIRP irp, bool gate_held = false);
  NTSTATUS vendor_request_sync(PIRP irp);
  NTSTATUS read_string_descriptor(UCHAR index, USHORT language, UCHAR *length, PWCHAR text, ULONG size,
                                  ULONG *copied);

  // Readers of the current engine hold it so that it is never freed under them.
  transfer_engine *enter_engine();
  void leave_engine();

  bool unusable() const {
    return has(kl::state_remove_in_progress | kl::state_remove_pending | kl::state_surprise_removed) ||
           InterlockedOr(const_cast<volatile LONG *>(&transfer_error_), 0) ||
           InterlockedOr(const_cast<volatile LONG *>(&torn_down_), 0);
  }
  bool surprise_removed() const { return has(kl::state_surprise_removed); }
  bool stop_or_remove_pending() const {
    return has(kl::state_stop_pending | kl::state_remove_pending | kl::state_surprise_removed);
  }
  void set_transfer_error() { InterlockedExchange(&transfer_error_, 1); }
  // What requests ended by a stop or teardown get: the device is gone, or they were cancelled.
  NTSTATUS ending_status() const { return surprise_removed() ? STATUS_DEVICE_REMOVED : STATUS_CANCELLED; }
  kl::usb_lower_device &usb() { return usb_; }
  // Read without a lock: changed only by atomic exchange.
  transfer_engine *current_engine() const { return __atomic_load_n(&current_, __ATOMIC_SEQ_CST); }
  ULONG unit() const { return unit_; }

  // Live protocol devices (all units).
  static LONG live_devices();

 private:
  friend struct vendor_request_context;
  static NTSTATUS on_vendor_request_complete(PDEVICE_OBJECT, PIRP irp, PVOID context);
  NTSTATUS control_dispatch(PIRP irp, PIO_STACK_LOCATION s);
  void cancel_vendor_in_flight();
  void make_current(transfer_engine *e);
  // switch_engine with the mode gate already held.
  NTSTATUS switch_engine_held(mode_record rec);
  void wait_engine_users();
  void destroy_engines();
  NTSTATUS build_engine(PCWSTR name, UCHAR mode, transfer_engine **slot, bool *registered, const GUID *guid);

  bool bulk_registered_ = false;
  bool iso_registered_ = false;
  volatile LONG transfer_error_ = 0;
  volatile LONG resetting_ = 0;
  volatile LONG torn_down_ = 0;
  kl::kernel_event stopping_;
  kl::usb_lower_device usb_;
  idle_engine *idle_ = nullptr;
  transfer_engine *iso_ = nullptr;
  transfer_engine *bulk_ = nullptr;
  transfer_engine *current_ = nullptr;
  volatile LONG engine_users_ = 0;
  kl::gate engine_gate_;
  kl::gate mode_gate_;
  kl::gate reset_gate_;
  kl::gate vendor_gate_;
  KSPIN_LOCK vendor_lock_ = 0;
  vendor_request_context *vendor_in_flight_ = nullptr;
  kl::registry_key hardware_key_;
  bool first_open_ = true;
  ULONG unit_;
};

}  // namespace vantrel

#endif
