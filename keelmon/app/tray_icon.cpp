#include "app/tray_icon.h"

#include "app/dialogs.h"
#include "app/framework.h"
#include "app/resource.h"
#include "core/device_monitor.h"

namespace keelmon {

namespace {

// The taskbar-restart event and the number of "TaskBarCreated", shared by every tray icon of the
// process. The event lives while a tray icon does.
struct process_state {
  CRITICAL_SECTION lock;
  HANDLE taskbar_event = nullptr;
  unsigned users = 0;
  UINT taskbar_created = 0;
  process_state() { InitializeCriticalSection(&lock); }
};
process_state& shared() {
  static process_state* s = new process_state;  // never destroyed: tray threads may outlive statics
  return *s;
}

class section_lock {
 public:
  explicit section_lock(CRITICAL_SECTION& s) : s_(s) { EnterCriticalSection(&s_); }
  ~section_lock() { LeaveCriticalSection(&s_); }
  section_lock(const section_lock&) = delete;
  section_lock& operator=(const section_lock&) = delete;

 private:
  CRITICAL_SECTION& s_;
};

}  // namespace

tray_icon::tray_icon(HINSTANCE instance) : instance_(instance) {
  InitializeCriticalSection(&section_);
  // Manual-reset: every add() that waits sees the window once it exists, not only the first.
  ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  {
    process_state& s = shared();
    section_lock l(s.lock);
    if (!s.taskbar_event) s.taskbar_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ++s.users;
  }
  thread_ = CreateThread(nullptr, 0, thread_main, this, 0, &thread_id_);
}

tray_icon::~tray_icon() {
  // A window thread that did not end may still use all of this: nothing of it is released.
  if (!shut_down()) return;
  if (ready_) CloseHandle(ready_);
  {
    process_state& s = shared();
    section_lock l(s.lock);
    // The last tray icon closes the shared event; a later one makes a new one.
    if (--s.users == 0 && s.taskbar_event) {
      CloseHandle(s.taskbar_event);
      s.taskbar_event = nullptr;
    }
  }
  DeleteCriticalSection(&section_);
}

bool tray_icon::shut_down() {
  if (shut_down_) return thread_ended_;
  shut_down_ = true;
  remove();
  if (!thread_) return true;
  wait_for_window();
  if (HWND hwnd = window()) PostMessageA(hwnd, WM_QUIT, 0, 0);
  // A slot may be sending to this thread's windows (the main dialog): answered while waiting.
  thread_ended_ = wait_answering(thread_, thread_wait_ms);
  if (thread_ended_) {
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  return thread_ended_;
}

void tray_icon::wait_for_window() {
  if (!ready_ || !thread_) return;
  HANDLE waits[2] = {ready_, thread_};
  WaitForMultipleObjects(2, waits, FALSE, thread_wait_ms);
}

bool tray_icon::added() const {
  section_lock l(section_);
  return added_;
}

bool tray_icon::add_failed() const {
  section_lock l(section_);
  return add_failed_;
}

bool tray_icon::notify(DWORD operation) { return Shell_NotifyIconA(operation, &data_) != FALSE; }

void tray_icon::release_icon() {
  if (data_.hIcon) DestroyIcon(data_.hIcon);
  data_.hIcon = nullptr;
}

bool tray_icon::add(UINT icon_id, const char* tip, bool no_wait) {
  section_lock l(section_);
  if (added_) return true;
  // Without the window (its thread failed or is late) there is no icon to show; the caller reports it.
  if (!no_wait) wait_for_window();
  if (!window()) return false;
  HICON icon = LoadIconA(instance_, MAKEINTRESOURCEA(icon_id));
  if (!icon) return false;
  release_icon();
  data_.hIcon = icon;
  if (tip)
    lstrcpynA(data_.szTip, tip, 64);
  else
    data_.szTip[0] = 0;
  add_failed_ = !notify(NIM_ADD);
  added_ = true;
  return true;
}

bool tray_icon::remove() {
  section_lock l(section_);
  if (added_ && !add_failed_) notify(NIM_DELETE);
  // A refused icon is not in the notification area either: it counts as removed, so that the next
  // add() shows it again instead of reporting it as already there.
  added_ = false;
  add_failed_ = false;
  release_icon();
  return true;
}

bool tray_icon::set_icon(UINT icon_id) {
  section_lock l(section_);
  HICON icon = LoadIconA(instance_, MAKEINTRESOURCEA(icon_id));
  if (!icon) return false;
  if (icon != data_.hIcon) release_icon();
  data_.hIcon = icon;
  return !added_ || add_failed_ || notify(NIM_MODIFY);
}

bool tray_icon::set_tip(const char* tip) {
  section_lock l(section_);
  if (tip)
    lstrcpynA(data_.szTip, tip, 64);
  else
    data_.szTip[0] = 0;
  return !added_ || add_failed_ || notify(NIM_MODIFY);
}

bool tray_icon::readd() {
  section_lock l(section_);
  if (!add_failed_) notify(NIM_MODIFY);
  if (notify(NIM_ADD)) {
    add_failed_ = false;
    return true;
  }
  add_failed_ = true;
  return false;
}

bool tray_icon::taskbar_restarted() {
  process_state& s = shared();
  section_lock l(s.lock);
  return s.taskbar_event && WaitForSingleObject(s.taskbar_event, 0) == WAIT_OBJECT_0;
}

DWORD WINAPI tray_icon::thread_main(LPVOID param) { return static_cast<tray_icon*>(param)->run_window(); }

DWORD tray_icon::run_window() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = window_proc;
  wc.cbWndExtra = 4;
  wc.hInstance = instance_;
  wc.lpszClassName = window_class;
  bool registered = RegisterClassA(&wc) != 0;
  HWND hwnd = CreateWindowExA(WS_EX_TOOLWINDOW, window_class, "StatusBarButton", WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance_, this);
  if (!hwnd) {
    if (registered) UnregisterClassA(window_class, instance_);
    return 1;
  }
  // Not under the section: add() holds it while it waits for this event, which publishes the fields.
  data_.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data_.hWnd = hwnd;
  data_.uID = (UINT)(UINT_PTR)this;
  data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data_.uCallbackMessage = WM_TRAY_CALLBACK;
  // Last: an add() that does not wait takes a window it sees as the sign that the record is complete.
  window_ = hwnd;
  SetEvent(ready_);
  MSG message;
  for (;;) {
    BOOL r = GetMessageA(&message, hwnd, 0, 0);
    if (r == 0 || r == -1) break;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  DestroyWindow(hwnd);
  if (registered) UnregisterClassA(window_class, instance_);
  return 0;
}

LRESULT CALLBACK tray_icon::window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lparam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, (LONG_PTR)cs->lpCreateParams);
  } else if (auto* self = reinterpret_cast<tray_icon*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA))) {
    self->handle(message, wparam, lparam);
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

void tray_icon::handle(UINT message, WPARAM, LPARAM lparam) {
  process_state& s = shared();
  if (message == WM_CREATE) {
    UINT number = RegisterWindowMessageA("TaskBarCreated");
    section_lock l(s.lock);
    s.taskbar_created = number;
    return;
  }
  if (message == WM_TRAY_CALLBACK) {
    switch (LOWORD(lparam)) {
      case WM_LBUTTONDOWN: on_left_button_down(); break;
      case WM_LBUTTONUP: on_left_button_up(); break;
      case WM_RBUTTONDOWN: on_right_button_down(); break;
      case WM_RBUTTONUP: on_right_button_up(); break;
      case WM_LBUTTONDBLCLK: on_left_double_click(); break;
      default: break;
    }
    return;
  }
  UINT taskbar_created;
  {
    section_lock l(s.lock);
    taskbar_created = s.taskbar_created;
    if (message == taskbar_created && taskbar_created && s.taskbar_event) SetEvent(s.taskbar_event);
  }
  if (message != taskbar_created || !taskbar_created) return;
  // One hold of the (re-entrant) section for the test and the re-add, so that an icon removed meanwhile
  // is not brought back.
  section_lock l(section_);
  if (added_ || add_failed_) readd();
}

// ---- device_tray_icon ------------------------------------------------------------------------

device_tray_icon::~device_tray_icon() { shut_down(); }

void device_tray_icon::set_main_window(CDeviceListDlg* dialog) { main_.store(dialog); }

void device_tray_icon::on_left_button_up() { show_main_window(); }

void device_tray_icon::on_right_button_up() { popup_menu(); }

void device_tray_icon::show_main_window() {
  set_tip(afx::load_string(IDS_SETTING_UP).c_str());
  CDeviceListDlg* dialog = main_.load();
  if (!dialog || !dialog->hwnd()) return;
  ShowWindow(dialog->hwnd(), SW_RESTORE);
  SetForegroundWindow(dialog->hwnd());
}

void device_tray_icon::popup_menu() {
  POINT at{0, 0};
  GetCursorPos(&at);
  HWND owner =
      CreateWindowExA(WS_EX_TOOLWINDOW, "STATIC", "", WS_POPUP, 0, 0, 0, 0, window(), nullptr, instance_, nullptr);
  HMENU menu = owner ? LoadMenuA(instance_, MAKEINTRESOURCEA(IDR_TRAY_MENU)) : nullptr;
  HMENU commands = menu ? GetSubMenu(menu, 0) : nullptr;
  if (!commands) {
    // No owner window, or no menu to show: the user learns that the menu is not available.
    if (menu) DestroyMenu(menu);
    if (owner) DestroyWindow(owner);
    afx::application* app = afx::application::current();
    if (app && app->main_window()) SetForegroundWindow(app->main_window());
    MessageBeep(MB_ICONHAND);
    std::string text = afx::load_string(IDS_NO_POPUP_MENU);
    if (app)
      app->message_box(text);
    else
      MessageBoxA(nullptr, text.c_str(), nullptr, MB_OK);
    return;
  }
  SetForegroundWindow(owner);
  UINT command =
      (UINT)TrackPopupMenu(commands, TPM_RETURNCMD | TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, owner, nullptr);
  PostMessageA(owner, WM_NULL, 0, 0);
  if (command == ID_CLOSE_APPLICATION) {
    remove();
    CDeviceListDlg* dialog = main_.load();
    if (dialog && dialog->hwnd()) PostMessageA(dialog->hwnd(), WM_QUIT, 0, 0);
  } else if (command == ID_SET_UP_DEVICES) {
    show_main_window();
  }
  DestroyWindow(owner);
  DestroyMenu(menu);
}

}  // namespace keelmon
