// Test control of device installation: the installer's device records (present or not, with hardware
// ids and configuration flags), the INF store under %windir%\inf (real files below ZEPH_ROOT), the
// Plug and Play installer's driver update, the pending-installation state and a failure switch for
// each call.
#ifndef STANDIN_DEVINST_H
#define STANDIN_DEVINST_H

#include <windows.h>

#include <string>
#include <vector>

namespace standin::devinst {

struct device {
  std::string instance_id;  // "USB\VID_1234&PID_0001\5&1" - the enumerator is its first component
  std::vector<std::wstring> hardware_ids;
  bool present = true;
  // SPDRP_CONFIGFLAGS: absent when config_type is REG_NONE.
  DWORD config_type = REG_NONE;
  DWORD config_flags = 0;
  // Filled by the stand-in: the published INF (e.g. "oem3.inf") a driver update installed, and how
  // many updates the device has had.
  std::string driver_inf;
  int updates = 0;
};

struct published_inf {
  std::string oem_name;       // "oem0.inf" ...
  std::string original_name;  // the file name it was copied from ("vantrel.inf")
};

// The calls that a switch can make fail.
enum class call {
  get_class_devs,     // SetupDiGetClassDevsW
  enum_device_info,   // SetupDiEnumDeviceInfo
  get_property,       // SetupDiGetDeviceRegistryPropertyW
  set_property,       // SetupDiSetDeviceRegistryPropertyW
  create_info_list,   // SetupDiCreateDeviceInfoList
  get_instance_id,    // SetupDiGetDeviceInstanceIdW
  open_device_info,   // SetupDiOpenDeviceInfoW
  update_driver,      // UpdateDriverForPlugAndPlayDevicesW
  copy_oem_inf,       // SetupCopyOEMInfW
  uninstall_oem_inf,  // SetupUninstallOEMInfW
  devnode_status,     // CM_Get_DevNode_Status (fails with CR_NO_SUCH_DEVNODE, present or not)
  count
};

// Everything back to the start: no devices, no switches, no pending installation, no reboot, counts 0.
// The INF store's files are left alone (they live below ZEPH_ROOT, which the test owns).
void reset();

void add_device(const device &d);
std::vector<device> devices();
// The record with this instance id (compared without regard to case); false when there is none.
bool find_device(const std::string &instance_id, device *out);

// The store below %windir%\inf (GetWindowsDirectory: C:\WINDOWS), ordered by oem number.
std::vector<published_inf> inf_store();
// The folder of the store on Linux.
std::string inf_store_folder();

// CMP_WaitNoPendingInstallEvents reports WAIT_TIMEOUT while true.
void set_install_in_progress(bool pending);
// A successful driver update reports that a reboot is needed.
void set_update_needs_reboot(bool reboot);
// SetupPromptReboot calls so far.
int reboot_prompts();

// The call fails with `error` after `skip` successful calls, `times` times (0: from then on).
void fail(call which, DWORD error, int skip = 0, int times = 0);
// How often the call was made since the last reset.
int calls(call which);
struct update_request {
  std::wstring hardware_id;
  std::wstring inf_path;
  DWORD flags = 0;
};
// The driver update calls so far, in order.
std::vector<update_request> update_requests();

}  // namespace standin::devinst

#endif
