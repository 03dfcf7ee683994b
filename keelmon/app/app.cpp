#include "app/app.h"

#include "app/resource.h"

namespace keelmon {

CDeviceManagerApp::CDeviceManagerApp(device_monitor& monitor) : afx::application("Keelmon"), monitor_(monitor) {}

CDeviceManagerApp::~CDeviceManagerApp() {
  // A tray window thread that did not end may still run a handler that reaches the icon and the main
  // dialog: both are left to it, never freed under it.
  if (tray_ && !tray_->shut_down()) {
    (void)tray_.release();
    (void)dialog_.release();
    return;
  }
  tray_.reset();
  dialog_.reset();
}

void CDeviceManagerApp::error_box(UINT text_id) {
  MessageBeep(MB_ICONHAND);
  message_box(afx::load_string(text_id));
}

BOOL CDeviceManagerApp::InitInstance() {
  mutex_ = CreateMutexA(nullptr, FALSE, mutex_name);
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    message_box(afx::load_string(IDS_ALREADY_RUNNING), MB_OK);
    second_instance_ = true;
    return FALSE;
  }

  monitor_started_ = true;
  dialog_ = std::make_unique<CDeviceListDlg>(monitor_);
  if (!dialog_->Create()) {
    error_box(IDS_NO_DIALOG);
    return FALSE;
  }
  set_main_window(dialog_->hwnd());
  ShowWindow(dialog_->hwnd(), SW_HIDE);

  tray_ = std::make_unique<device_tray_icon>(instance());
  std::string tip = afx::load_string(IDS_APP_TITLE);
  if (!tray_->add(IDR_MAINFRAME, tip.c_str(), false)) {
    error_box(IDS_NO_ICON);
    tray_.reset();
    return FALSE;
  }

  dialog_->set_tray_icon(tray_.get());
  tray_->set_main_window(dialog_.get());
  main_hwnd_ = dialog_->hwnd();

  monitor_.add_listener(&dialog_->listener());
  monitor_.add_source(notification_source::kind_interfaces);
  monitor_.add_source(notification_source::kind_instrument_api);
  if (monitor_.start()) {
    // The icon is shown only while a device is present. The count and the removal under one hold of
    // the lock: a device arriving meanwhile is reported after the removal and shows the icon again.
    device_monitor::guard hold(monitor_);
    if (monitor_.device_count() == 0) tray_->remove();
    return TRUE;
  }
  MessageBeep(MB_ICONHAND);
  std::string text = afx::load_string(IDS_MONITOR_FAILED);
  std::string caption = afx::load_string(IDS_SYSTEM_ERROR);
  MessageBoxA(main_hwnd_, text.c_str(), caption.c_str(), MB_ICONHAND);
  return FALSE;
}

int CDeviceManagerApp::ExitInstance() {
  if (monitor_started_) {
    monitor_.stop();
    if (dialog_) monitor_.remove_listener(&dialog_->listener());
  }
  // The second instance closes its handle too: the mutex stays with the first.
  if (mutex_) CloseHandle(mutex_);
  mutex_ = nullptr;
  return afx::application::ExitInstance();
}

}  // namespace keelmon
