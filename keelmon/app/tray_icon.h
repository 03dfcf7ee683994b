// The icon in the taskbar notification area, with its own hidden window on its own thread.
#ifndef KEELMON_APP_TRAY_ICON_H
#define KEELMON_APP_TRAY_ICON_H

#include <windows.h>
#include <shellapi.h>

#include <atomic>

namespace keelmon {

class tray_icon {
 public:
  // The callback message of the icon.
  static constexpr UINT WM_TRAY_CALLBACK = 0x3410;
  // How long add() waits for the window thread, and the destructor for its end.
  static constexpr DWORD thread_wait_ms = 10000;
  static constexpr const char* window_class = "StatusBarWnd";

  explicit tray_icon(HINSTANCE instance);
  virtual ~tray_icon();
  tray_icon(const tray_icon&) = delete;
  tray_icon& operator=(const tray_icon&) = delete;

  // Shows the icon (resource icon_id) with the tip; unless no_wait, waits for the window first. True
  // when the icon is added, also when the shell refused it (it is added again when the shell restarts).
  bool add(UINT icon_id, const char* tip, bool no_wait);
  bool remove();
  bool set_icon(UINT icon_id);
  bool set_tip(const char* tip);
  // Adds the icon again after the shell restarted; false when the shell refuses.
  bool readd();
  HWND window() const { return window_.load(); }
  // True once after each shell restart (the process-wide event, not waited on).
  static bool taskbar_restarted();

  bool added() const;
  bool add_failed() const;

  // Removes the icon and ends the window thread, waiting up to thread_wait_ms; later calls do nothing
  // and answer the same. A derived class calls it first in its destructor, so that the thread never
  // reaches a handler of a half-destroyed object. False when the thread did not end: it may still use
  // the object (and what its handlers reach), which must then never be freed.
  bool shut_down();

 protected:
  virtual void on_left_button_down() = 0;
  virtual void on_left_button_up() = 0;
  virtual void on_right_button_down() = 0;
  virtual void on_right_button_up() = 0;
  virtual void on_left_double_click() = 0;

  HINSTANCE instance_;

 private:
  static DWORD WINAPI thread_main(LPVOID param);
  static LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void handle(UINT message, WPARAM wparam, LPARAM lparam);
  DWORD run_window();
  bool notify(DWORD operation);
  void release_icon();
  // Until the window exists or its thread ended, at most thread_wait_ms.
  void wait_for_window();

  NOTIFYICONDATAA data_{};
  DWORD thread_id_ = 0;
  HANDLE thread_ = nullptr;
  bool added_ = false;
  bool add_failed_ = false;
  HANDLE ready_ = nullptr;
  mutable CRITICAL_SECTION section_;
  std::atomic<HWND> window_{nullptr};
  bool shut_down_ = false;
  bool thread_ended_ = true;
};

class CDeviceListDlg;

// The tray program's icon: a left click shows the device list, a right click opens the menu.
class device_tray_icon : public tray_icon {
 public:
  explicit device_tray_icon(HINSTANCE instance) : tray_icon(instance) {}
  ~device_tray_icon() override;
  void set_main_window(CDeviceListDlg* dialog);

  // The left click and "Set up devices...": the tip and the device list, brought to the front.
  void show_main_window();

 protected:
  void on_left_button_down() override {}
  void on_left_button_up() override;
  void on_right_button_down() override {}
  void on_right_button_up() override;
  void on_left_double_click() override {}

 private:
  void popup_menu();

  std::atomic<CDeviceListDlg*> main_{nullptr};
};

}  // namespace keelmon

#endif
