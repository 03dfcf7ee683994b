// SetupAPI over the kernel's device interfaces. Exported from winplat, which the loader also maps
// "setupapi.dll" to.
#include <setupapi.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kernel/kbridge.h"
#include "kobject.h"

namespace {

constexpr uint32_t kMagic = 0x53444956;  // device information set

struct devinfo_set {
  uint32_t magic = kMagic;
  std::vector<wbk::interface_info> interfaces;  // a snapshot, in registration order
  std::vector<std::string> devices;             // instance ids, DevInst = index + 1
};

std::mutex g_sets_mu;
std::set<devinfo_set *> &sets() {
  static auto *s = new std::set<devinfo_set *>;
  return *s;
}

devinfo_set *set_of(HDEVINFO h) {
  std::lock_guard<std::mutex> l(g_sets_mu);
  auto *s = static_cast<devinfo_set *>(h);
  if (!sets().count(s)) return nullptr;
  return s;
}

BOOL fail(DWORD e) {
  wb::set_last_error(e);
  return FALSE;
}

// Fills the caller's SP_DEVINFO_DATA for the device of an interface.
bool fill_devinfo(devinfo_set *s, const std::string &instance, PSP_DEVINFO_DATA d) {
  if (d->cbSize != sizeof(SP_DEVINFO_DATA)) return false;
  size_t i = 0;
  while (i < s->devices.size() && s->devices[i] != instance) ++i;
  memset(&d->ClassGuid, 0, sizeof d->ClassGuid);
  d->DevInst = (DWORD)(i + 1);
  d->Reserved = i;
  return true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *guid, PCSTR, HWND,
                                                                            DWORD flags) {
  if (!(flags & DIGCF_DEVICEINTERFACE) || (!guid && !(flags & DIGCF_ALLCLASSES))) {
    wb::set_last_error(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto *s = new devinfo_set;
  s->interfaces = wbk::list_interfaces((flags & DIGCF_ALLCLASSES) ? nullptr : guid, (flags & DIGCF_PRESENT) != 0);
  for (auto &i : s->interfaces) {
    bool known = false;
    for (auto &d : s->devices) known = known || d == i.instance_id;
    if (!known) s->devices.push_back(i.instance_id);
  }
  {
    std::lock_guard<std::mutex> l(g_sets_mu);
    sets().insert(s);
  }
  wb::set_last_error(0);
  return s;
}

__attribute__((visibility("default"))) BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h) {
  std::lock_guard<std::mutex> l(g_sets_mu);
  auto *s = static_cast<devinfo_set *>(h);
  if (!sets().erase(s)) return fail(ERROR_INVALID_HANDLE);
  delete s;
  return TRUE;
}

__attribute__((visibility("default"))) BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA device,
                                                                              const GUID *guid, DWORD index,
                                                                              PSP_DEVICE_INTERFACE_DATA out) {
  devinfo_set *s = set_of(h);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (!out || out->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (!guid) return fail(ERROR_INVALID_PARAMETER);
  DWORD n = 0;
  for (size_t i = 0; i < s->interfaces.size(); ++i) {
    const auto &it = s->interfaces[i];
    if (memcmp(&it.guid, guid, sizeof(GUID)) != 0) continue;
    if (device && (device->Reserved >= s->devices.size() || s->devices[device->Reserved] != it.instance_id)) continue;
    if (n++ != index) continue;
    out->InterfaceClassGuid = it.guid;
    out->Flags = it.enabled ? SPINT_ACTIVE : 0;
    out->Reserved = i + 1;
    wb::set_last_error(0);
    return TRUE;
  }
  return fail(ERROR_NO_MORE_ITEMS);
}

__attribute__((visibility("default"))) BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
    PDWORD required, PSP_DEVINFO_DATA device) {
  devinfo_set *s = set_of(h);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
      data->Reserved > s->interfaces.size())
    return fail(ERROR_INVALID_PARAMETER);
  const auto &it = s->interfaces[data->Reserved - 1];
  DWORD need = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + it.user_path.size() + 1);
  if (required) *required = need;
  if (!detail) {
    if (size) return fail(ERROR_INVALID_PARAMETER);
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return fail(ERROR_INVALID_USER_BUFFER);
  if (size < need) return fail(ERROR_INSUFFICIENT_BUFFER);
  if (device && !fill_devinfo(s, it.instance_id, device)) return fail(ERROR_INVALID_USER_BUFFER);
  memcpy(detail->DevicePath, it.user_path.c_str(), it.user_path.size() + 1);
  wb::set_last_error(0);
  return TRUE;
}

__attribute__((visibility("default"))) BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO h, PSP_DEVINFO_DATA device,
                                                                              PSTR id, DWORD size, PDWORD required) {
  devinfo_set *s = set_of(h);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (device->Reserved >= s->devices.size()) return fail(ERROR_INVALID_PARAMETER);
  const std::string &inst = s->devices[device->Reserved];
  DWORD need = (DWORD)inst.size() + 1;
  if (required) *required = need;
  if (!id || size < need) return fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(id, inst.c_str(), need);
  wb::set_last_error(0);
  return TRUE;
}

__attribute__((visibility("default"))) BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA out) {
  devinfo_set *s = set_of(h);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (!out || out->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (index >= s->devices.size()) return fail(ERROR_NO_MORE_ITEMS);
  fill_devinfo(s, s->devices[index], out);
  wb::set_last_error(0);
  return TRUE;
}

// Properties come from the device node's key (HKLM System\CurrentControlSet\Enum\<instance>), where
// the PnP manager writes "HardwareID" and an installation writes the texts.
__attribute__((visibility("default"))) BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO h, PSP_DEVINFO_DATA device,
                                                                                    DWORD property, PDWORD type,
                                                                                    PBYTE buffer, DWORD size,
                                                                                    PDWORD required) {
  devinfo_set *s = set_of(h);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (device->Reserved >= s->devices.size()) return fail(ERROR_INVALID_PARAMETER);
  const char *name = nullptr;
  switch (property) {
    case SPDRP_DEVICEDESC: name = "DeviceDesc"; break;
    case SPDRP_HARDWAREID: name = "HardwareID"; break;
    case SPDRP_MFG: name = "Mfg"; break;
    case SPDRP_FRIENDLYNAME: name = "FriendlyName"; break;
    default: return fail(13209);  // ERROR_INVALID_REG_PROPERTY
  }
  std::string key = "System\\CurrentControlSet\\Enum\\" + s->devices[device->Reserved];
  HKEY k;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return fail(ERROR_INVALID_DATA);
  DWORD t = 0, n = 0;
  LSTATUS st = RegQueryValueExA(k, name, nullptr, &t, nullptr, &n);
  if (st == ERROR_SUCCESS && buffer && size >= n) st = RegQueryValueExA(k, name, nullptr, &t, buffer, &n);
  RegCloseKey(k);
  if (st != ERROR_SUCCESS) return fail(ERROR_INVALID_DATA);
  if (type) *type = t;
  if (required) *required = n;
  if (!buffer || size < n) return fail(ERROR_INSUFFICIENT_BUFFER);
  wb::set_last_error(0);
  return TRUE;
}

// Copies the INF to C:\WINDOWS\inf\oem<n>.inf, n the first free number.
__attribute__((visibility("default"))) BOOL WINAPI SetupCopyOEMInfA(PCSTR source, PCSTR, DWORD, DWORD, PSTR dest,
                                                                   DWORD dest_size, PDWORD required,
                                                                   PSTR *component) {
  namespace fs = std::filesystem;
  if (!source) return fail(ERROR_INVALID_PARAMETER);
  std::error_code ec;
  fs::path from = wb::map_path(source);
  if (!fs::is_regular_file(from, ec)) return fail(ERROR_FILE_NOT_FOUND);
  fs::path folder = wb::map_path("C:\\WINDOWS\\inf");
  fs::create_directories(folder, ec);
  std::string name;
  for (int n = 0;; ++n) {
    name = "oem" + std::to_string(n) + ".inf";
    if (!fs::exists(folder / name, ec)) break;
  }
  std::string target = "C:\\WINDOWS\\inf\\" + name;
  DWORD need = (DWORD)target.size() + 1;
  if (required) *required = need;
  if (dest && dest_size < need) return fail(ERROR_INSUFFICIENT_BUFFER);
  if (!fs::copy_file(from, folder / name, ec)) return fail(ERROR_ACCESS_DENIED);
  if (dest) {
    memcpy(dest, target.c_str(), need);
    if (component) *component = dest + target.rfind('\\') + 1;
  }
  wb::set_last_error(0);
  return TRUE;
}

}  // extern "C"
