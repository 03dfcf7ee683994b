#include "setupapi_table.h"

namespace fileio {

namespace {

template <class F>
F entry(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

setupapi_table::setupapi_table() {
  HMODULE m = LoadLibraryA("setupapi.dll");
  if (!m) return;
  get_class_devs = entry<get_class_devs_fn>(m, "SetupDiGetClassDevsA");
  get_interface_detail = entry<get_interface_detail_fn>(m, "SetupDiGetDeviceInterfaceDetailA");
  get_instance_id = entry<get_instance_id_fn>(m, "SetupDiGetDeviceInstanceIdA");
  destroy_list = entry<destroy_list_fn>(m, "SetupDiDestroyDeviceInfoList");
  enum_interfaces = entry<enum_interfaces_fn>(m, "SetupDiEnumDeviceInterfaces");
  if (get_class_devs && get_interface_detail && get_instance_id && destroy_list && enum_interfaces) {
    module = m;
    return;
  }
  FreeLibrary(m);
  get_class_devs = nullptr;
  get_interface_detail = nullptr;
  get_instance_id = nullptr;
  destroy_list = nullptr;
  enum_interfaces = nullptr;
}

setupapi_table::~setupapi_table() {
  if (module) FreeLibrary(module);
}

const setupapi_table& setupapi_table::instance() {
  static const setupapi_table table;
  return table;
}

}  // namespace fileio
