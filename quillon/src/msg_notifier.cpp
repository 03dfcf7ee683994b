#include "msg_notifier.h"

#include <dbt.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include <w32cpp/lock.h>

#include "io_protocol_wdm.h"

namespace fileio {

namespace {

// Marks the window threads. The platform's fiber-local storage, not compiler TLS: the module is
// loaded and unloaded at run time, and its index goes with it.
struct window_thread_mark {
  DWORD index = FlsAlloc(nullptr);
  ~window_thread_mark() {
    if (index != FLS_OUT_OF_INDEXES) FlsFree(index);
  }
  void set() const {
    if (index != FLS_OUT_OF_INDEXES) FlsSetValue(index, const_cast<window_thread_mark*>(this));
  }
  bool is_set() const { return index != FLS_OUT_OF_INDEXES && FlsGetValue(index) != nullptr; }
} window_thread;

// Notifiers retired on a window thread, kept until their thread has ended.
struct retired_list {
  retired_list() { InitializeCriticalSection(&lock); }
  ~retired_list() {
    entries.clear();  // threads asked to end long ago: their waits are short
    DeleteCriticalSection(&lock);
  }
  CRITICAL_SECTION lock;
  std::vector<w32cpp::auto_handle<msg_notifier>> entries;
};

retired_list& retired() {
  static retired_list list;
  return list;
}

}  // namespace

bool win_msg::on_window_thread() { return window_thread.is_set(); }

win_msg::win_msg(HINSTANCE instance) : instance_(instance) {
  const std::string numbers =
      std::to_string(reinterpret_cast<uintptr_t>(instance)) + std::to_string(reinterpret_cast<uintptr_t>(this));
  class_name_ = "W32MSGC" + numbers;
  window_name_ = "W32MSGW" + numbers;
  std::memset(&class_record_, 0, sizeof class_record_);
}

win_msg::~win_msg() { close(); }

void win_msg::open() {
  ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!ready_) return;
  thread_ = CreateThread(nullptr, 0, thread_body, this, 0, &thread_id_);
  if (!thread_) return;
  // The thread has a queue once it registered its class. A thread that ended early never gets one.
  while (!PostThreadMessageA(thread_id_, WM_USER, 0, 0) && GetLastError() == ERROR_INVALID_THREAD_ID) {
    if (WaitForSingleObject(thread_, 1) == WAIT_OBJECT_0) break;
  }
  HANDLE until[2] = {ready_, thread_};
  WaitForMultipleObjects(2, until, FALSE, INFINITE);
}

bool win_msg::ended() const { return !thread_ || WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0; }

void win_msg::request_close() {
  if (close_requested_ || !thread_) return;
  close_requested_ = true;
  // The window procedure answers WM_DESTROY with the quit message (at once when this is the window's
  // own thread); without a window the thread has ended or is ending by itself.
  HWND window = window_.load();
  if (!window || !SendNotifyMessageA(window, WM_DESTROY, 0, 0)) PostThreadMessageA(thread_id_, WM_QUIT, 0, 0);
}

void win_msg::close() {
  if (closed_) return;
  closed_ = true;
  request_close();
  // Never terminated: it may hold the device manager's or a listener list's locks. A thread cannot wait
  // for itself; disposal never destroys a notifier on a window thread, so that stays a guard.
  if (thread_ && GetCurrentThreadId() != thread_id_) WaitForSingleObject(thread_, INFINITE);
  if (thread_) CloseHandle(thread_);
  thread_ = nullptr;
  if (ready_) CloseHandle(ready_);
  ready_ = nullptr;
}

DWORD WINAPI win_msg::thread_body(LPVOID p) {
  auto* self = static_cast<win_msg*>(p);
  window_thread.set();
  const HINSTANCE instance = self->instance_;
  const std::string class_name = self->class_name_;
  WNDCLASSA& wc = self->class_record_;
  wc.style = 0;
  wc.lpfnWndProc = window_proc;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = 4;
  wc.hInstance = instance;
  wc.lpszClassName = self->class_name_.c_str();
  self->atom_ = RegisterClassA(&wc);
  const bool registered = self->atom_ != 0;
  HWND window =
      CreateWindowExA(WS_EX_TOOLWINDOW, class_name.c_str(), self->window_name_.c_str(), WS_POPUP, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, self);
  self->window_.store(window);
  SetEvent(self->ready_);  // from here on the object may be destroyed once the loop has ended
  MSG msg;
  std::memset(&msg, 0, sizeof msg);
  if (window) {
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
      if (got == -1 || !msg.hwnd) continue;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    DestroyWindow(window);
  }
  if (registered) UnregisterClassA(class_name.c_str(), instance);
  return static_cast<DWORD>(msg.wParam);
}

LRESULT CALLBACK win_msg::window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return DefWindowProcA(window, message, wparam, lparam);
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  auto* self = reinterpret_cast<win_msg*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!self) return DefWindowProcA(window, message, wparam, lparam);
  return self->on_message(window, message, wparam, lparam);
}

msg_notifier::msg_notifier(karnet::guid interface_class, const io_protocol_wdm* protocol, HINSTANCE instance)
    : win_msg(instance), class_(interface_class), protocol_(protocol) {
  std::memset(&version_, 0, sizeof version_);
  version_.dwOSVersionInfoSize = sizeof version_;
  GetVersionExA(&version_);
  open();
  HWND w = window();
  if (!w || !class_.is_set()) return;
  DEV_BROADCAST_DEVICEINTERFACE_A filter;
  std::memset(&filter, 0, sizeof filter);
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = *class_.get();
  notification_ = RegisterDeviceNotificationA(w, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

msg_notifier::~msg_notifier() {
  retire();
  close();
}

void msg_notifier::retire() {
  if (retired_.exchange(true)) return;
  if (notification_ && version_.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS) UnregisterDeviceNotification(notification_);
  notification_ = nullptr;
  request_close();
}

void msg_notifier::dispose(w32cpp::auto_handle<msg_notifier>& notifier) {
  if (!notifier) return;
  if (!on_window_thread()) {
    notifier.reset();
    return;
  }
  // A notice on some window thread holds listener-list locks that another window thread may be waiting
  // for: waiting for that thread here could deadlock.
  notifier->retire();
  retired_list& r = retired();
  w32cpp::section_lock hold(r.lock);
  r.entries.push_back(notifier);
  notifier.reset();
}

void msg_notifier::reap(bool wait) {
  if (on_window_thread()) wait = false;
  std::vector<w32cpp::auto_handle<msg_notifier>> ending;
  {
    retired_list& r = retired();
    w32cpp::section_lock hold(r.lock);
    for (auto it = r.entries.begin(); it != r.entries.end();) {
      if (wait || (*it)->ended()) {
        ending.push_back(*it);
        it = r.entries.erase(it);
      } else {
        ++it;
      }
    }
  }
  ending.clear();  // outside the lock: each waits for its thread
}

LRESULT msg_notifier::on_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_DEVICECHANGE) return DefWindowProcA(window, message, wparam, lparam);
  if (retired_.load()) return 0;
  // Held for both notices: a listener may stop the transport or unwatch this class meanwhile.
  karnet::protocol_handle protocol = io_protocol_wdm::handle_of(protocol_);
  if (!protocol) return 0;
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
  const bool ours = header && (header->dbch_devicetype == DBT_DEVTYP_DEVNODE ||
                               header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE);
  switch (wparam) {
    case DBT_DEVNODES_CHANGED:
      // Both checks, even when a listener of the first one retires this notifier.
      protocol->notify_removal(class_);
      protocol->notify_arrival(class_);
      break;
    case DBT_DEVICEARRIVAL:
      if (ours) protocol->notify_arrival(class_);
      break;
    case DBT_DEVICEREMOVECOMPLETE:
      if (ours) protocol->notify_removal(class_);
      break;
    default: break;
  }
  return 0;
}

}  // namespace fileio
