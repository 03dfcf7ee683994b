// Test and demo control of the PnP manager: install a driver for hardware ids, watch device nodes, send
// PnP requests, remove devices, wait until PnP work and device-change messages are done.
#ifndef STANDIN_PNP_H
#define STANDIN_PNP_H

#include <cstdint>
#include <string>
#include <vector>

namespace standin::pnp {

// Registers the driver service `service_name` (HKLM "System\CurrentControlSet\Services\<name>", value
// "ImagePath") whose image is the shared library at image_path (loaded with dlopen like a .sys; its
// exported DriverEntry gets "\Registry\Machine\System\CurrentControlSet\Services\<name>"), and binds
// it to the hardware ids ("USB\VID_1A2B&PID_0100"). Devices plugged in later get it.
void install_driver(const std::string &service_name, const std::string &image_path,
                    const std::vector<std::string> &hardware_ids);
bool driver_loaded(const std::string &service_name);

// Instance ids of the device nodes present ("USB\VID_1A2B&PID_0100\1001").
std::vector<std::string> devices();
// "absent", "no driver", "added", "started", "failed", "surprise removed".
std::string device_state(const std::string &instance_id);

// Sends one PnP request (IRP_MN_*) to the top of the device's stack and returns its status.
int32_t send_pnp(const std::string &instance_id, int minor);
// Removes a device node: with query_first, IRP_MN_QUERY_REMOVE_DEVICE first (a refusal is returned and
// followed by IRP_MN_CANCEL_REMOVE_DEVICE); then IRP_MN_REMOVE_DEVICE even while handles are open.
// The bus forgets the device afterwards.
int32_t remove_device(const std::string &instance_id, bool query_first);

// A device on the root bus (no real bus behind it): instance "ROOT\<hardware id>\<unique>". It arrives
// at once; unplug_root_device is its surprise removal, queued behind the arrival even when the PnP
// thread has not made the device node yet. An unplug of a device that is not (or no longer) plugged is
// refused: false, and a debug line.
std::string add_root_device(const std::string &hardware_id, const std::string &unique);
bool unplug_root_device(const std::string &instance_id);
// Handles open on the device's stack (-1 when absent).
int open_handles(const std::string &instance_id);

// Sends a power request to the top of the device's stack as the power manager does and returns its
// status: minor 2 (set power) or 3 (query power), for a system state (system_state true: 1 working,
// 2-4 sleeping, 5 hibernate, 6 shutdown) or a device state (1 D0 .. 4 D3).
int32_t send_power(const std::string &instance_id, int minor, bool system_state, int state);
// The device power state that a driver of the stack last recorded with PoSetPowerState (the highest
// device object that recorded one); 1 (D0) when none did, 0 when the device is absent.
int device_power_state(const std::string &instance_id);

// IRP_MN_QUERY_CAPABILITIES to the top of the device's stack as the PnP manager sends it; the flags the
// stack answered (Removable, SurpriseRemovalOK, DeviceD2). Status in `status`.
struct capabilities {
  int32_t status = 0;
  bool removable = false;
  bool surprise_removal_ok = false;
  bool device_d2 = false;
};
capabilities query_capabilities(const std::string &instance_id);

// Waits until PnP work, DPCs, work items and device-change message delivery are all done.
bool settle(uint32_t timeout_ms = 10000);

}  // namespace standin::pnp

#endif
