#include "core/device_file.h"

#include <cstdlib>
#include <utility>

namespace keelmon {

namespace {

template <class F>
F entry(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

HANDLE create(const std::string& path, bool synchronous) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     synchronous ? 0 : FILE_FLAG_OVERLAPPED, nullptr);
}

}  // namespace

setupapi_table::setupapi_table() {
  HMODULE m = LoadLibraryA("setupapi.dll");
  if (!m) return;
  copy_oem_inf = entry<copy_oem_inf_fn>(m, "SetupCopyOEMInfA");
  get_registry_property = entry<get_registry_property_fn>(m, "SetupDiGetDeviceRegistryPropertyA");
  get_class_devs = entry<get_class_devs_fn>(m, "SetupDiGetClassDevsA");
  get_interface_detail = entry<get_interface_detail_fn>(m, "SetupDiGetDeviceInterfaceDetailA");
  destroy_list = entry<destroy_list_fn>(m, "SetupDiDestroyDeviceInfoList");
  enum_interfaces = entry<enum_interfaces_fn>(m, "SetupDiEnumDeviceInterfaces");
  enum_device_info = entry<enum_device_info_fn>(m, "SetupDiEnumDeviceInfo");
  if (copy_oem_inf && get_registry_property && get_class_devs && get_interface_detail && destroy_list &&
      enum_interfaces && enum_device_info) {
    module = m;
    return;
  }
  FreeLibrary(m);
  copy_oem_inf = nullptr;
  get_registry_property = nullptr;
  get_class_devs = nullptr;
  get_interface_detail = nullptr;
  destroy_list = nullptr;
  enum_interfaces = nullptr;
  enum_device_info = nullptr;
}

setupapi_table::~setupapi_table() {
  if (module) FreeLibrary(module);
}

const setupapi_table& setupapi_table::instance() {
  static const setupapi_table table;
  return table;
}

DWORD interface_path(HDEVINFO set, const GUID& interface_class, DWORD index, std::string& path,
                     SP_DEVINFO_DATA* device) {
  const setupapi_table& api = setupapi_table::instance();
  if (!api.available()) return ERROR_INVALID_PARAMETER;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  if (!api.enum_interfaces(set, nullptr, &interface_class, index, &data)) return GetLastError();
  DWORD size = 0;
  if (!api.get_interface_detail(set, &data, nullptr, 0, &size, nullptr) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return GetLastError();
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) size = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::calloc(1, size));
  if (!detail) return ERROR_NOT_ENOUGH_MEMORY;
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (device) device->cbSize = sizeof(SP_DEVINFO_DATA);
  DWORD result = 0;
  if (api.get_interface_detail(set, &data, detail, size, nullptr, device))
    path.assign(detail->DevicePath);
  else
    result = GetLastError();
  std::free(detail);
  return result;
}

device_file::device_file(std::string path) : path_(std::move(path)) { heap_ = HeapCreate(0, heap_initial_size, 0); }

device_file::device_file(std::string path, HDEVINFO set, const SP_DEVINFO_DATA& device) : device_file(std::move(path)) {
  set_ = set;
  device_ = device;
  read_properties(set, device);
}

device_file::~device_file() {
  close();
  if (heap_) HeapDestroy(heap_);
}

void device_file::read_properties(HDEVINFO set, const SP_DEVINFO_DATA& device) {
  const setupapi_table& api = setupapi_table::instance();
  if (!api.available()) return;
  struct {
    DWORD property;
    std::string* text;
  } wanted[] = {{SPDRP_FRIENDLYNAME, &friendly_name_},
                {SPDRP_DEVICEDESC, &device_description_},
                {SPDRP_MFG, &manufacturer_},
                {SPDRP_HARDWAREID, &hardware_id_}};
  SP_DEVINFO_DATA record = device;
  for (auto& w : wanted) {
    BYTE buffer[property_size + 1] = {};
    DWORD type = 0;
    if (!api.get_registry_property(set, &record, w.property, &type, buffer, property_size, nullptr)) return;
    // A multi-string (the hardware ids) gives its first text.
    w.text->assign(reinterpret_cast<const char*>(buffer));
  }
}

HANDLE device_file::open(bool synchronous) {
  close();
  if (path_.empty()) return INVALID_HANDLE_VALUE;
  handle_ = create(path_, synchronous);
  synchronous_ = synchronous;
  return handle_;
}

HANDLE device_file::open(const std::string& path, bool synchronous) {
  path_ = path;
  return open(synchronous);
}

DWORD device_file::open(const GUID& interface_class, DWORD index, bool synchronous) {
  const setupapi_table& api = setupapi_table::instance();
  if (!api.available()) return ERROR_INVALID_PARAMETER;
  HDEVINFO set = api.get_class_devs(&interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return GetLastError();
  std::string path;
  DWORD result = interface_path(set, interface_class, index, path);
  api.destroy_list(set);
  if (result != 0) return result;
  if (open(path, synchronous) == INVALID_HANDLE_VALUE) return GetLastError();
  return 0;
}

bool device_file::close() {
  if (handle_ == INVALID_HANDLE_VALUE) return true;
  BOOL ok = CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  return ok != FALSE;
}

}  // namespace keelmon
