// The device installer's functions, bound at run time: a system without the library or one of the five
// entry points finds no device.
#ifndef QUILLON_SETUPAPI_TABLE_H
#define QUILLON_SETUPAPI_TABLE_H

#include <windows.h>
#include <setupapi.h>

namespace fileio {

struct setupapi_table {
  typedef HDEVINFO(WINAPI* get_class_devs_fn)(const GUID*, PCSTR, HWND, DWORD);
  typedef BOOL(WINAPI* get_interface_detail_fn)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A,
                                                DWORD, PDWORD, PSP_DEVINFO_DATA);
  typedef BOOL(WINAPI* get_instance_id_fn)(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD);
  typedef BOOL(WINAPI* destroy_list_fn)(HDEVINFO);
  typedef BOOL(WINAPI* enum_interfaces_fn)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);

  HMODULE module = nullptr;
  get_class_devs_fn get_class_devs = nullptr;
  get_interface_detail_fn get_interface_detail = nullptr;
  get_instance_id_fn get_instance_id = nullptr;
  destroy_list_fn destroy_list = nullptr;
  enum_interfaces_fn enum_interfaces = nullptr;

  // All five found.
  bool complete() const { return module != nullptr; }

  // The process's table, made on first use and kept until the library unloads.
  static const setupapi_table& instance();

  setupapi_table();
  ~setupapi_table();
  setupapi_table(const setupapi_table&) = delete;
  setupapi_table& operator=(const setupapi_table&) = delete;
};

}  // namespace fileio

#endif
