// SetupAPI over the kernel's device interfaces. Exported from winplat, which the loader also maps
// "setupapi.dll" to.
#include <setupapi.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "devinfo.h"
#include "kernel/kbridge.h"
#include "kobject.h"

namespace {

using wb::devinfo_set;

std::mutex g_sets_mu;
std::set<devinfo_set *> &sets() {
  static auto *s = new std::set<devinfo_set *>;
  return *s;
}

devinfo_set *set_of(HDEVINFO h) { return wb::devinfo_of(h); }

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

namespace wb {

devinfo_set *devinfo_of(HDEVINFO h) {
  std::lock_guard<std::mutex> l(g_sets_mu);
  auto *s = static_cast<devinfo_set *>(h);
  if (!sets().count(s)) return nullptr;
  return s;
}

HDEVINFO devinfo_register(devinfo_set *s) {
  std::lock_guard<std::mutex> l(g_sets_mu);
  sets().insert(s);
  return s;
}

}  // namespace wb

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
  wb::set_last_error(0);
  return wb::devinfo_register(s);
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

__attribute__((visibility("default"))) BOOL WINAPI
SetupDiGetDeviceInterfaceDetailA(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                 DWORD size, PDWORD required, PSP_DEVINFO_DATA device) {
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

}  // extern "C"
