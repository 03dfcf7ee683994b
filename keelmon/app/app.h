// The tray program's application object: one instance per session, a hidden device list as main
// window, the tray icon, and the device monitor that keeps the list current.
#ifndef KEELMON_APP_APP_H
#define KEELMON_APP_APP_H

#include <windows.h>

#include <memory>

#include "app/dialogs.h"
#include "app/framework.h"
#include "app/tray_icon.h"
#include "core/device_monitor.h"

namespace keelmon {

class CDeviceManagerApp : public afx::application {
 public:
  // The single-instance mutex, named after the program's file.
  static constexpr const char* mutex_name = "Keelmon.exe";

  explicit CDeviceManagerApp(device_monitor& monitor = device_monitor::instance());
  // The tray icon goes first (its thread reaches the dialog), then the dialog; both are left in place
  // when the icon's window thread does not end.
  ~CDeviceManagerApp() override;

  BOOL InitInstance() override;
  int ExitInstance() override;

  CDeviceListDlg* main_dialog() const { return dialog_.get(); }
  device_tray_icon* tray() const { return tray_.get(); }
  bool second_instance() const { return second_instance_; }

 private:
  void error_box(UINT text_id);

  device_monitor& monitor_;
  HANDLE mutex_ = nullptr;
  bool second_instance_ = false;
  bool monitor_started_ = false;
  std::unique_ptr<CDeviceListDlg> dialog_;
  std::unique_ptr<device_tray_icon> tray_;
  HWND main_hwnd_ = nullptr;
};

}  // namespace keelmon

#endif
