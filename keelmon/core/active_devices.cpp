#include <windows.h>

#include <string>

#include "core/device_info.h"

namespace keelmon {

namespace {

constexpr const char* paths_key = "Software\\Ondrel_Fasko\\Drivers\\Paths";
constexpr DWORD path_value_size = 256;
constexpr DWORD name_value_size = 20;

// A string value read through a buffer of `size` bytes, always terminated.
bool read_string(HKEY key, const char* name, DWORD size, std::string& out) {
  std::string buffer(size + 1, '\0');
  DWORD type = 0;
  DWORD got = size;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&buffer[0]), &got) != ERROR_SUCCESS)
    return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  out.assign(buffer.c_str());
  return true;
}

}  // namespace

active_devices read_active_devices(const std::string& value_name) {
  active_devices result;
  HKEY paths = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, paths_key, &paths) != ERROR_SUCCESS) return result;
  std::string driver_key;
  bool have = read_string(paths, value_name.c_str(), path_value_size, driver_key);
  RegCloseKey(paths);
  if (!have) return result;

  std::string list_key = driver_key + "\\Active Devices";
  size_t at = list_key.find("SYSTEM");
  if (at == std::string::npos) at = list_key.find("System");
  if (at == std::string::npos) return result;
  list_key = list_key.substr(at);

  HKEY list = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, list_key.c_str(), &list) != ERROR_SUCCESS) return result;
  DWORD subkeys = 0, longest = 0;
  if (RegQueryInfoKeyA(list, nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr) != ERROR_SUCCESS ||
      subkeys == 0) {
    RegCloseKey(list);
    return result;
  }
  std::string name(longest + 2, '\0');
  bool ok = true;
  for (DWORD i = 0;; ++i) {
    LSTATUS st = RegEnumKeyA(list, i, &name[0], static_cast<DWORD>(name.size()));
    if (st == ERROR_NO_MORE_ITEMS) break;
    if (st != ERROR_SUCCESS) {
      ok = false;
      break;
    }
    HKEY entry = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, (list_key + "\\" + name.c_str()).c_str(), &entry) != ERROR_SUCCESS) {
      ok = false;
      break;
    }
    std::string device, public_name;
    if (read_string(entry, "DeviceName", name_value_size, device)) {
      read_string(entry, "PublicName", name_value_size, public_name);
      result.device_names.push_back(device);
      result.public_names.push_back(public_name);
    }
    RegCloseKey(entry);
  }
  RegCloseKey(list);
  if (!ok) {
    result.device_names.clear();
    result.public_names.clear();
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace keelmon
