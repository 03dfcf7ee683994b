// An opened device-interface path with the SetupAPI properties of its device, and the run-time binding
// of SetupAPI itself.
#ifndef KEELMON_CORE_DEVICE_FILE_H
#define KEELMON_CORE_DEVICE_FILE_H

#include <windows.h>
#include <setupapi.h>

#include <string>

namespace keelmon {

// SetupAPI bound at run time. When the library or any of its seven entry points is missing, every
// entry is empty and users treat SetupAPI as unavailable (no devices, no properties).
class setupapi_table {
 public:
  typedef BOOL(WINAPI* copy_oem_inf_fn)(PCSTR, PCSTR, DWORD, DWORD, PSTR, DWORD, PDWORD, PSTR*);
  typedef BOOL(WINAPI* get_registry_property_fn)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
  typedef HDEVINFO(WINAPI* get_class_devs_fn)(const GUID*, PCSTR, HWND, DWORD);
  typedef BOOL(WINAPI* get_interface_detail_fn)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A,
                                                DWORD, PDWORD, PSP_DEVINFO_DATA);
  typedef BOOL(WINAPI* destroy_list_fn)(HDEVINFO);
  typedef BOOL(WINAPI* enum_interfaces_fn)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
  typedef BOOL(WINAPI* enum_device_info_fn)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);

  HMODULE module = nullptr;
  copy_oem_inf_fn copy_oem_inf = nullptr;
  get_registry_property_fn get_registry_property = nullptr;
  get_class_devs_fn get_class_devs = nullptr;
  get_interface_detail_fn get_interface_detail = nullptr;
  destroy_list_fn destroy_list = nullptr;
  enum_interfaces_fn enum_interfaces = nullptr;
  enum_device_info_fn enum_device_info = nullptr;

  bool available() const { return module != nullptr; }

  // Loaded on first use, freed at process exit.
  static const setupapi_table& instance();

  setupapi_table();
  ~setupapi_table();
  setupapi_table(const setupapi_table&) = delete;
  setupapi_table& operator=(const setupapi_table&) = delete;
};

// The path of the device interface at `index` of the set (two-call detail read). 0 on success, else the
// error: 87 without SetupAPI, 8 when the detail buffer cannot be allocated, or the failing call's error.
DWORD interface_path(HDEVINFO set, const GUID& interface_class, DWORD index, std::string& path,
                     SP_DEVINFO_DATA* device = nullptr);

class device_file {
 public:
  // Heap for the request records of the device's driver (see driver_device).
  static constexpr SIZE_T heap_initial_size = 0x4000;
  // Property buffers hold this many bytes.
  static constexpr DWORD property_size = 256;

  explicit device_file(std::string path = std::string());
  // Also reads the four properties of the device from the set (stopping at the first that fails).
  device_file(std::string path, HDEVINFO set, const SP_DEVINFO_DATA& device);
  ~device_file();
  device_file(const device_file&) = delete;
  device_file& operator=(const device_file&) = delete;

  // Opens the remembered path; an empty path gives INVALID_HANDLE_VALUE. An open handle is closed first.
  HANDLE open(bool synchronous);
  // Opens (and remembers) another path.
  HANDLE open(const std::string& path, bool synchronous);
  // Opens the device interface at `index` of the class; 0 on success, else the error (see interface_path).
  DWORD open(const GUID& interface_class, DWORD index, bool synchronous);
  // True when the handle closed, or when nothing was open.
  bool close();

  bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE handle() const { return handle_; }
  bool synchronous() const { return synchronous_; }
  const std::string& path() const { return path_; }
  // Private heap of this file's request records (null when it could not be made).
  HANDLE heap() const { return heap_; }

  const std::string& friendly_name() const { return friendly_name_; }
  const std::string& device_description() const { return device_description_; }
  const std::string& manufacturer() const { return manufacturer_; }
  const std::string& hardware_id() const { return hardware_id_; }

 private:
  void read_properties(HDEVINFO set, const SP_DEVINFO_DATA& device);

  std::string path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool synchronous_ = false;
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device_{};
  HANDLE heap_ = nullptr;
  std::string friendly_name_;
  std::string device_description_;
  std::string manufacturer_;
  std::string hardware_id_;
};

}  // namespace keelmon

#endif
