// The device list (the program's hidden main window), the Properties dialog and the About box, and the
// listener that keeps the list in step with the device monitor.
#ifndef KEELMON_APP_DIALOGS_H
#define KEELMON_APP_DIALOGS_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "app/device_list.h"
#include "app/framework.h"
#include "core/device_monitor.h"

namespace keelmon {

class device_tray_icon;
class CDeviceListDlg;

// Turns the monitor's changes into updates of the device list. Runs on the thread that saw the change,
// with the monitor's lock held.
class dialog_change_listener : public device_change_listener {
 public:
  dialog_change_listener(CDeviceListDlg& dialog, device_monitor& monitor)
      : dialog_(dialog), monitor_(monitor), devices_(&monitor) {}
  void on_change(const change_record& record) override;
  active_device_list& devices() { return devices_; }

 private:
  CDeviceListDlg& dialog_;
  device_monitor& monitor_;
  active_device_list devices_;  // under the monitor's lock
};

class CDevicePropertiesDlg : public afx::dialog {
 public:
  CDevicePropertiesDlg() : afx::dialog(135) {}

  // Shown values (exchanged with the controls).
  uint32_t input_signal = 0, input_digital = 0, input_process = 0, input_tacho = 0;
  uint32_t output_signal = 0, output_digital = 0;
  std::string serial_number, driver_version, device_version;

  device_file* file = nullptr;  // kind 1
  std::string display;
  int chosen_index = 0;
  std::string chosen_text;
  int16_t low = 0, high = 0, step = 0;
  bool attenuation_shown = true;
  uint32_t kind = 0;
  device_monitor* monitor = nullptr;  // its lock guards the file while OK talks to the driver

  bool cancelled() const { return cancelled_.load(); }
  // A device change closes the dialog as cancelled (from any thread).
  void cancel_for_change();

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void DoDataExchange(afx::data_exchange& dx) override;
  bool OnCommand(WORD id, WORD code, HWND control) override;

 private:
  void on_selection();
  bool send_attenuation();

  std::atomic<bool> cancelled_{false};
};

class CAboutDlg : public afx::dialog {
 public:
  CAboutDlg() : afx::dialog(100) {}
};

class CDeviceListDlg : public afx::dialog {
 public:
  explicit CDeviceListDlg(device_monitor& monitor);
  ~CDeviceListDlg() override;

  dialog_change_listener& listener() { return listener_; }
  device_monitor& monitor() { return monitor_; }
  void set_tray_icon(device_tray_icon* icon) { tray_.store(icon); }

  // The list box from the records; its horizontal extent fits the widest line.
  void refill();
  // The icon is shown while a device is present; without devices the dialog hides and the icon goes.
  void update_tray();
  void hide();
  // What a change that altered the list runs: the open Properties dialog closes as cancelled, the
  // remembered choices apply, the list box and the icon follow.
  void refresh();

  // For tests and the listener: the Properties dialog now open, or null (under the monitor's lock).
  CDevicePropertiesDlg* open_properties() const { return properties_; }

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override { hide(); }
  void OnCancel() override { hide(); }
  bool OnCommand(WORD id, WORD code, HWND control) override;
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) override;

 private:
  void on_selection_change();
  void on_properties();
  void show_message(UINT text_id);

  device_monitor& monitor_;
  dialog_change_listener listener_;
  std::atomic<device_tray_icon*> tray_{nullptr};
  HICON icon_ = nullptr;
  CDevicePropertiesDlg* properties_ = nullptr;  // under the monitor's lock
  bool selection_made_ = false;
  std::string selected_;
};

}  // namespace keelmon

#endif
