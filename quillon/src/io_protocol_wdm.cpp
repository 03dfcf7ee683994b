#include "io_protocol_wdm.h"

#include <cstring>
#include <memory>
#include <new>

#include <w32cpp/lock.h>

#include "setupapi_table.h"

namespace fileio {

namespace {

struct protocol_holder {
  protocol_holder() { InitializeCriticalSection(&lock); }
  ~protocol_holder() { DeleteCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  w32cpp::auto_handle<io_protocol_wdm> holder;
};

protocol_holder& holder_state() {
  static protocol_holder state;
  return state;
}

// One device-information set of a class, destroyed with the object.
class device_info_set {
 public:
  device_info_set(const setupapi_table& api, const GUID* interface_class) : api_(api), class_(*interface_class) {
    if (api_.get_class_devs)
      set_ = api_.get_class_devs(&class_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  }
  ~device_info_set() {
    if (valid() && api_.destroy_list) api_.destroy_list(set_);
  }
  device_info_set(const device_info_set&) = delete;
  device_info_set& operator=(const device_info_set&) = delete;

  bool valid() const { return set_ != nullptr && set_ != INVALID_HANDLE_VALUE; }

  // Interface number `index`: its device path and instance id. 0, or 87 at the end of the list (or on
  // any failure of the system's calls), 8 when a buffer cannot be allocated.
  DWORD fetch(DWORD index, std::string& path, std::string& instance_id) const {
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    if (!api_.enum_interfaces || !api_.enum_interfaces(set_, nullptr, &class_, index, &data))
      return ERROR_INVALID_PARAMETER;
    DWORD size = 0;
    api_.get_interface_detail(set_, &data, nullptr, 0, &size, nullptr);
    if (size == 0) return ERROR_INVALID_PARAMETER;
    std::unique_ptr<char[]> detail_buffer(new (std::nothrow) char[size]);
    if (!detail_buffer) return ERROR_NOT_ENOUGH_MEMORY;
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail_buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    if (!api_.get_interface_detail(set_, &data, detail, size, nullptr, &device)) return ERROR_INVALID_PARAMETER;
    DWORD id_size = 0;
    api_.get_instance_id(set_, &device, nullptr, 0, &id_size);
    if (id_size == 0) return ERROR_INVALID_PARAMETER;
    std::unique_ptr<char[]> id(new (std::nothrow) char[id_size]);
    if (!id) return ERROR_NOT_ENOUGH_MEMORY;
    if (!api_.get_instance_id(set_, &device, id.get(), id_size, nullptr)) return ERROR_INVALID_PARAMETER;
    id[id_size - 1] = '\0';
    // The path ends within the buffer the system sized for it.
    const size_t offset = static_cast<size_t>(detail->DevicePath - detail_buffer.get());
    path.assign(detail->DevicePath, strnlen(detail->DevicePath, size - offset));
    instance_id = id.get();
    return 0;
  }

 private:
  const setupapi_table& api_;
  GUID class_;
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

}  // namespace

io_protocol_wdm::io_protocol_wdm() { InitializeCriticalSection(&lock_); }

io_protocol_wdm::~io_protocol_wdm() {
  unwatch_all();
  DeleteCriticalSection(&lock_);
}

karnet::interface_list io_protocol_wdm::enumerate(karnet::guid interface_class) {
  karnet::interface_list result;
  if (!interface_class.is_set()) return result;
  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  const bool nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  const std::string prefix = nt ? "SYSTEM\\CurrentControlSet\\Enum\\" : "Enum\\";
  const std::string suffix = nt ? "\\Device Parameters" : "";

  const setupapi_table& api = setupapi_table::instance();
  if (!api.complete()) return result;
  device_info_set set(api, interface_class.get());
  if (!set.valid()) return result;
  for (DWORD index = 0;; ++index) {
    std::string path, instance_id;
    if (set.fetch(index, path, instance_id) != 0) break;
    karnet::device_description description(instance_id, prefix, suffix, "wdm");
    karnet::io_device_interface device = create_device_interface(path, interface_class, description);
    if (device.attached()) result.push_back(device);  // no device manager: nothing to list
  }
  return result;
}

void io_protocol_wdm::watch(karnet::guid interface_class) {
  if (!interface_class.is_set()) return;
  msg_notifier::reap(false);
  w32cpp::section_lock hold(lock_);
  if (notifiers_.count(interface_class)) return;
  w32cpp::auto_handle<msg_notifier> notifier(new msg_notifier(interface_class, this, module_instance()));
  // Without a window (the thread or the window could not be made) there is nothing to keep: a later
  // watch tries again.
  if (notifier->window()) notifiers_[interface_class] = notifier;
}

void io_protocol_wdm::unwatch(karnet::guid interface_class) {
  w32cpp::auto_handle<msg_notifier> ending;
  {
    w32cpp::section_lock hold(lock_);
    auto it = notifiers_.find(interface_class);
    if (it == notifiers_.end()) return;
    ending = it->second;
    notifiers_.erase(it);
  }
  // Outside the lock: the notifier's thread may be waiting for it.
  msg_notifier::dispose(ending);
}

void io_protocol_wdm::unwatch_all() {
  std::map<karnet::guid, w32cpp::auto_handle<msg_notifier>> ending;
  {
    w32cpp::section_lock hold(lock_);
    ending.swap(notifiers_);
  }
  for (auto& entry : ending) msg_notifier::dispose(entry.second);
}

karnet::protocol_handle io_protocol_wdm::self() { return handle_of(this); }

karnet::protocol_handle io_protocol_wdm::handle_of(const io_protocol_wdm* protocol) {
  protocol_holder& s = holder_state();
  w32cpp::section_lock hold(s.lock);
  if (!protocol || s.holder.get() != protocol) return karnet::protocol_handle();
  return karnet::protocol_handle(s.holder);
}

karnet::device_handle io_protocol_wdm::open(std::string name) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

void io_protocol_wdm::close(karnet::device_handle* handle) {
  if (handle) CloseHandle(*handle);
}

karnet::protocol_handle io_protocol_wdm::current() {
  protocol_holder& s = holder_state();
  w32cpp::section_lock hold(s.lock);
  return karnet::protocol_handle(s.holder);
}

bool io_protocol_wdm::install(const w32cpp::auto_handle<io_protocol_wdm>& protocol) {
  protocol_holder& s = holder_state();
  w32cpp::section_lock hold(s.lock);
  if (s.holder) return false;
  s.holder = protocol;
  return true;
}

w32cpp::auto_handle<io_protocol_wdm> io_protocol_wdm::uninstall() {
  w32cpp::auto_handle<io_protocol_wdm> taken;
  protocol_holder& s = holder_state();
  w32cpp::section_lock hold(s.lock);
  taken.swap(s.holder);
  return taken;  // released by the caller, outside the lock
}

}  // namespace fileio
