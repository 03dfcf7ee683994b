// Test and demo control of the simulated USB bus: plug and unplug instruments, choose how URBs that finish
// at once complete, and the default maximum transfer size of new pipes.
#ifndef STANDIN_USBBUS_H
#define STANDIN_USBBUS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace simdev {
class usb_device;
}

namespace standin::usbbus {

// Plugs the device into the bus: a physical device object appears with instance id
// "USB\VID_xxxx&PID_xxxx\<serial>" and hardware ids "USB\VID_xxxx&PID_xxxx&REV_xxxx", "USB\VID_xxxx&PID_xxxx";
// the PnP manager loads and starts the bound driver (standin::pnp::install_driver). Returns the instance id.
std::string plug(std::shared_ptr<simdev::usb_device> device);
// Surprise removal: the device is removed from the bus (its transfers end with "removed", later URBs fail
// with STATUS_DEVICE_NOT_CONNECTED), the stack gets IRP_MN_SURPRISE_REMOVAL, and IRP_MN_REMOVE_DEVICE once
// the last handle is closed. A device that removes itself (fault injection) goes the same way.
void unplug(const std::string &instance_id);

// false (default): control, selection, abort and reset URBs complete inside IoCallDriver; true: they are
// returned STATUS_PENDING and completed from a bus thread. Endpoint transfers always complete later.
void set_asynchronous_completion(bool on);
// MaximumTransferSize that USBD_CreateConfigurationRequestEx puts into each pipe (default 4096).
void set_default_max_transfer_size(uint32_t bytes);
// false (default): the PDO completes PnP and power requests inside IoCallDriver; true: it returns
// STATUS_PENDING and completes them from a bus thread.
void set_asynchronous_pnp_power(bool on);

// Faults of the bus (per plugged device):
// the next `count` URB_FUNCTION_ABORT_PIPE requests succeed but end no transfer (a hung abort: the
// transfers stay pending until cancelled);
void ignore_aborts(const std::string &instance_id, unsigned count);
// after `skip` more transfers of the bulk or interrupt endpoint, the next one that finishes has its
// completion held back until that pipe is next aborted (or the port reset, or the device gone): the
// driver learns of a transfer that ended on the wire only after its abort;
void hold_completion_until_abort(const std::string &instance_id, uint8_t endpoint, unsigned skip);
size_t held_completions(const std::string &instance_id);
// the device answers the next vendor request, but its completion waits until release_vendor_requests
// (or the device goes): a request that stays in the stack as long as a test needs;
void hold_next_vendor_request(const std::string &instance_id);
size_t held_vendor_requests(const std::string &instance_id);
void release_vendor_requests(const std::string &instance_id);
// the next `count` IOCTL_INTERNAL_USB_RESET_PORT requests never complete unless cancelled.
void hang_port_resets(const std::string &instance_id, unsigned count);

std::vector<std::string> devices();
// The PnP and power requests (major << 8 | minor) that reached the device's PDO, oldest first.
std::vector<unsigned> pnp_power_requests_seen(const std::string &instance_id);
// The PDO of a plugged device (a PDEVICE_OBJECT), for kernel-side tests; null when absent.
void *physical_device_object(const std::string &instance_id);

}  // namespace standin::usbbus

#endif
