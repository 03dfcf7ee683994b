#include <windows.h>
#include <dbt.h>

#include "core/device_file.h"
#include "core/device_monitor.h"

namespace keelmon {

const GUID interface_notification_source::device_interface_guid_outside = LUME_INTERFACE_GUID_INIT;

interface_notification_source::interface_notification_source(device_monitor& monitor, const GUID& interface_class)
    : notification_source(kind_interfaces, monitor), interface_class_(interface_class) {}

interface_notification_source::~interface_notification_source() {
  close_window();
  device_monitor::guard hold(monitor_);
  removed_.clear();
  devices_.clear();
}

bool interface_notification_source::start() {
  if (started_) return true;
  WNDCLASSA wc{};
  wc.lpfnWndProc = window_proc;
  wc.cbWndExtra = 4;
  wc.lpszClassName = window_class;
  // Another source of this kind in the process may hold the class already; its procedure is this one.
  class_registered_ = RegisterClassA(&wc) != 0;
  if (!class_registered_ && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  window_ = CreateWindowExA(WS_EX_TOOLWINDOW, window_class, "NotificationOnChange", WS_POPUP, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, this);
  if (!window_) {
    // Left registered, the class would refuse every later start.
    close_window();
    return false;
  }
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  filter.dbcc_classguid = interface_class_;
  notification_ = RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (!notification_) {
    close_window();
    return false;
  }
  {
    device_monitor::guard hold(monitor_);
    report(update_arrival, true);
  }
  started_ = true;
  return true;
}

void interface_notification_source::close_window() {
  if (notification_) UnregisterDeviceNotification(notification_);
  notification_ = nullptr;
  // A window of another thread cannot be destroyed from here; it goes with its thread.
  if (window_ && GetWindowThreadProcessId(window_, nullptr) == GetCurrentThreadId()) {
    closing_ = true;
    DestroyWindow(window_);
    closing_ = false;
  }
  window_ = nullptr;
  if (class_registered_) UnregisterClassA(window_class, nullptr);
  class_registered_ = false;
}

void interface_notification_source::poll() {
  if (!started_ && (monitor_.stopping() || !start())) return;
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

bool interface_notification_source::stop() {
  started_ = false;
  close_window();
  purge();
  return true;
}

LRESULT CALLBACK interface_notification_source::window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_NCCREATE:
      SetWindowLongPtrA(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams));
      break;
    case WM_DESTROY: {
      // Destroyed by anyone but the source itself: the owning thread's loop ends with it.
      auto* self = reinterpret_cast<interface_notification_source*>(GetWindowLongPtrA(window, GWLP_USERDATA));
      if (!self || !self->closing_) PostQuitMessage(0);
      break;
    }
    case WM_DEVICECHANGE:
      if (wparam == DBT_DEVNODES_CHANGED || wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE) {
        auto* self = reinterpret_cast<interface_notification_source*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self) {
          device_monitor::guard hold(self->monitor_);
          self->report(static_cast<uint32_t>(wparam), false);
        }
      }
      break;
    default: break;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

void interface_notification_source::report(uint32_t code, bool starting) {
  // A listener may pump this thread's messages (a message box does): a change that comes meanwhile
  // waits until the one being reported is done, so the map and its device objects do not change
  // under the listeners.
  pending_.push_back(code);
  if (reporting_) return;
  reporting_ = true;
  while (!pending_.empty()) {
    uint32_t next = pending_.front();
    pending_.pop_front();
    int result = update(next);
    // The start reports what is present, new or not.
    if (starting) result = device_count_ != 0 ? change_added : 0;
    starting = false;
    if (result != 0) monitor_.notify(result, this);
  }
  reporting_ = false;
}

int interface_notification_source::update(uint32_t code) {
  const setupapi_table& api = setupapi_table::instance();
  if (!api.available()) return 0;
  HDEVINFO set = api.get_class_devs(&interface_class_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return 0;
  device_monitor::guard hold(monitor_);
  const bool arrival = code == update_arrival;
  if (!arrival) seen_.clear();
  int result = 0;
  DWORD index = 0;
  for (;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!api.enum_interfaces(set, nullptr, &interface_class_, index, &data)) break;
    SP_DEVINFO_DATA device{};
    std::string path;
    // An interface whose detail cannot be read is counted but has no key.
    if (interface_path(set, interface_class_, index, path, &device) != 0) continue;
    if (arrival) {
      if (devices_.count(path)) continue;
      auto info = std::make_unique<driver_device_info>(path, set, device);
      info->read_all();
      if (info->file()) info->file()->close();
      devices_[path] = std::move(info);
      result = change_added;
    } else {
      seen_.push_back(path);
    }
  }
  device_count_ = static_cast<int>(index);
  api.destroy_list(set);
  // A scan that lost no device reports no change.
  if (!arrival && drop_unseen()) result = change_removed;
  return result;
}

}  // namespace keelmon
