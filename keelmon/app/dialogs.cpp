#include "app/dialogs.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/resource.h"
#include "app/tray_icon.h"
#include "core/device_file.h"
#include "core/driver_device.h"

namespace keelmon {

// ---- dialog_change_listener ------------------------------------------------------------------

void dialog_change_listener::on_change(const change_record& record) {
  device_monitor::guard lock(monitor_);
  if (record.code == change_removed) {
    // Every record whose device left, not only the first: a removal scan may find several gone at
    // once, and a record left behind would point at a device object about to be deleted.
    std::vector<std::string> gone;
    for (auto& r : devices_.records())
      if (!monitor_.has_device(r->key)) gone.push_back(r->key);
    for (auto& key : gone) devices_.remove(key);
    if (!gone.empty())
      dialog_.refresh();
    else
      dialog_.update_tray();
  } else if (record.code == change_added) {
    if (monitor_.device_count() == 0) return;
    bool added = false;
    for (auto& source : monitor_.sources())
      for (auto& [key, device] : source->devices())
        if (device && !devices_.find_by_key(key) && devices_.add(key, *device)) added = true;
    if (added)
      dialog_.refresh();
    else
      dialog_.update_tray();
  } else {
    dialog_.update_tray();
  }
}

// ---- CDeviceListDlg --------------------------------------------------------------------------

CDeviceListDlg::CDeviceListDlg(device_monitor& monitor)
    : afx::dialog(IDD_DEVICE_LIST), monitor_(monitor), listener_(*this, monitor) {}

CDeviceListDlg::~CDeviceListDlg() {
  device_monitor::guard lock(monitor_);
  listener_.devices().clear();
}

BOOL CDeviceListDlg::OnInitDialog() {
  afx::dialog::OnInitDialog();
  HMENU system_menu = GetSystemMenu(hwnd(), FALSE);
  std::string about = afx::load_string(IDS_ABOUTBOX);
  if (system_menu && !about.empty()) {
    AppendMenuA(system_menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(system_menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
  }
  afx::application* app = afx::application::current();
  icon_ = LoadIconA(app ? app->instance() : GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
  SendMessageA(hwnd(), WM_SETICON, ICON_BIG, (LPARAM)icon_);
  SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, (LPARAM)icon_);
  return TRUE;
}

bool CDeviceListDlg::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) {
  if (message == WM_SYSCOMMAND) {
    if ((wparam & 0xFFF0) == IDM_ABOUTBOX) {
      CAboutDlg about;
      about.DoModal(hwnd());
      return true;
    }
    if ((wparam & 0xFFF0) == SC_CLOSE) {
      DefWindowProcA(hwnd(), message, wparam, lparam);
      hide();
      return true;
    }
    return false;
  }
  if (message == WM_PAINT && IsIconic(hwnd())) {
    // Minimised: the icon centred in the client area.
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd(), &paint);
    SendMessageA(hwnd(), WM_ICONERASEBKGND, (WPARAM)dc, 0);
    RECT area;
    GetClientRect(hwnd(), &area);
    int x = (area.right - area.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (area.bottom - area.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, icon_);
    EndPaint(hwnd(), &paint);
    return true;
  }
  if (message == WM_QUERYDRAGICON) {
    result = (INT_PTR)icon_;
    return true;
  }
  return false;
}

bool CDeviceListDlg::OnCommand(WORD id, WORD code, HWND) {
  if (id == IDC_DEVICE_LIST && code == LBN_SELCHANGE) {
    on_selection_change();
    return true;
  }
  if ((id == IDC_DEVICE_LIST && code == LBN_DBLCLK) || (id == IDC_PROPERTIES && code == BN_CLICKED)) {
    on_properties();
    return true;
  }
  return false;
}

void CDeviceListDlg::on_selection_change() {
  selection_made_ = true;
  int index = (int)send_item(IDC_DEVICE_LIST, LB_GETCURSEL);
  int length = index < 0 ? LB_ERR : (int)send_item(IDC_DEVICE_LIST, LB_GETTEXTLEN, (WPARAM)index);
  if (length < 0) {
    selected_.clear();
    return;
  }
  std::vector<char> text((size_t)length + 1, 0);
  send_item(IDC_DEVICE_LIST, LB_GETTEXT, (WPARAM)index, (LPARAM)text.data());
  selected_ = text.data();
}

void CDeviceListDlg::show_message(UINT text_id) {
  std::string text = afx::load_string(text_id);
  std::string caption = afx::load_string(IDS_DEVICE_PROPERTIES);
  MessageBeep(MB_ICONASTERISK);
  MessageBoxA(hwnd(), text.c_str(), caption.c_str(), MB_ICONASTERISK);
}

void CDeviceListDlg::on_properties() {
  bool empty;
  {
    device_monitor::guard lock(monitor_);
    empty = listener_.devices().empty();
  }
  if (empty) {
    show_message(IDS_NO_DEVICE);
    return;
  }
  if (!selection_made_) {
    show_message(IDS_SELECT_DEVICE);
    return;
  }
  CDevicePropertiesDlg properties;
  std::string text;
  int index = (int)send_item(IDC_DEVICE_LIST, LB_GETCURSEL);
  int length = index < 0 ? LB_ERR : (int)send_item(IDC_DEVICE_LIST, LB_GETTEXTLEN, (WPARAM)index);
  if (length >= 0) {
    std::vector<char> buffer((size_t)length + 1, 0);
    send_item(IDC_DEVICE_LIST, LB_GETTEXT, (WPARAM)index, (LPARAM)buffer.data());
    text = buffer.data();
  }
  {
    device_monitor::guard lock(monitor_);
    active_device* record = listener_.devices().find_by_display(text);
    if (!record) return;
    if (record->kind == kind_driver_device) {
      properties.file = record->file;
      properties.low = (int16_t)std::min(record->attenuation.first, record->attenuation.last);
      properties.high = (int16_t)std::max(record->attenuation.first, record->attenuation.last);
      properties.step = (int16_t)record->attenuation.step;
      properties.attenuation_shown = true;
    } else {
      properties.attenuation_shown = false;
    }
    properties.display = record->display;
    properties.input_signal = record->counts.input_signal;
    properties.input_digital = record->counts.input_digital;
    properties.input_process = record->counts.input_process;
    properties.input_tacho = record->counts.input_tacho;
    properties.output_signal = record->counts.output_signal;
    properties.output_digital = record->counts.output_digital;
    properties.serial_number = record->serial_number;
    properties.driver_version = record->driver_version;
    properties.device_version = record->device_version;
    properties.chosen_index = record->chosen;
    properties.kind = record->kind;
    properties.monitor = &monitor_;
    properties_ = &properties;
  }
  INT_PTR result = properties.DoModal(hwnd());
  device_monitor::guard lock(monitor_);
  properties_ = nullptr;
  if (result != IDOK || properties.cancelled() || properties.kind != kind_driver_device) return;
  // The record may have gone while the dialog was open; the choice is kept only for a listed device.
  if (active_device* record = listener_.devices().find_by_display(properties.display)) {
    record->chosen = properties.chosen_index;
    listener_.devices().remember(properties.display, properties.chosen_index);
  }
}

void CDeviceListDlg::refill() {
  device_monitor::guard lock(monitor_);
  send_item(IDC_DEVICE_LIST, LB_RESETCONTENT);
  LONG widest = 0;
  HWND list = item(IDC_DEVICE_LIST);
  HDC dc = GetDC(list);
  for (auto& r : listener_.devices().records()) {
    send_item(IDC_DEVICE_LIST, LB_ADDSTRING, 0, (LPARAM)r->display.c_str());
    SIZE size{0, 0};
    if (dc && GetTextExtentPoint32A(dc, r->display.c_str(), (int)r->display.size(), &size) && size.cx > widest)
      widest = size.cx;
  }
  if (dc) ReleaseDC(list, dc);
  send_item(IDC_DEVICE_LIST, LB_SETHORIZONTALEXTENT, (WPARAM)widest);
}

void CDeviceListDlg::update_tray() {
  device_tray_icon* tray = tray_.load();
  if (!tray) return;
  if (monitor_.device_count() != 0) {
    if (!tray->add(IDR_MAINFRAME, afx::load_string(IDS_APP_TITLE).c_str(), true)) {
      // Called under the monitor's lock by a change: the box waits until it is released.
      monitor_.after_unlock([] {
        MessageBeep(MB_ICONHAND);
        if (afx::application* app = afx::application::current()) app->message_box(afx::load_string(IDS_NO_ICON));
      });
    }
  } else {
    hide();
    tray->remove();
  }
}

void CDeviceListDlg::hide() {
  if (device_tray_icon* tray = tray_.load()) {
    tray->set_tip(afx::load_string(IDS_APP_TITLE).c_str());
    tray->set_icon(IDR_MAINFRAME);
  }
  if (hwnd()) ShowWindow(hwnd(), SW_HIDE);
}

void CDeviceListDlg::refresh() {
  device_monitor::guard lock(monitor_);
  if (properties_) properties_->cancel_for_change();
  listener_.devices().apply_remembered();
  refill();
  update_tray();
}

// ---- CDevicePropertiesDlg --------------------------------------------------------------------

void CDevicePropertiesDlg::DoDataExchange(afx::data_exchange& dx) {
  dx.number(IDC_IN_SIGNAL, input_signal, 0, 999);
  dx.number(IDC_IN_DIGITAL, input_digital, 0, 999);
  dx.number(IDC_IN_PROCESS, input_process, 0, 999);
  dx.number(IDC_IN_TACHO, input_tacho, 0, 999);
  dx.number(IDC_OUT_SIGNAL, output_signal, 0, 999);
  dx.number(IDC_OUT_DIGITAL, output_digital, 0, 999);
  dx.text(IDC_SERIAL, serial_number, 30);
  dx.text(IDC_DRIVER_VERSION, driver_version, 30);
  dx.text(IDC_DEVICE_VERSION, device_version, 30);
}

BOOL CDevicePropertiesDlg::OnInitDialog() {
  afx::dialog::OnInitDialog();
  if (kind == kind_driver_device) {
    send_item(IDC_ATTENUATION, CB_RESETCONTENT);
    send_item(IDC_ATTENUATION, CB_ADDSTRING, 0, (LPARAM)afx::format("%d", 0).c_str());
    // A step of zero (or a driver without steps) lists no further values instead of looping for ever.
    if (step > 0)
      for (int value = low + step; value <= high; value += step)
        send_item(IDC_ATTENUATION, CB_ADDSTRING, 0, (LPARAM)afx::format("%d", value).c_str());
    send_item(IDC_ATTENUATION, CB_SETCURSEL, (WPARAM)chosen_index);
    on_selection();
  }
  int show = attenuation_shown ? SW_SHOW : SW_HIDE;
  ShowWindow(item(IDC_LABEL_ATTENUATION), show);
  ShowWindow(item(IDC_ATTENUATION), show);
  // A device change that came before this window existed could not close it: it closes now.
  if (cancelled_.load()) PostMessageA(hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  return TRUE;
}

void CDevicePropertiesDlg::on_selection() {
  chosen_index = (int)send_item(IDC_ATTENUATION, CB_GETCURSEL);
  chosen_text.clear();
  if (chosen_index >= 0) {
    int length = (int)send_item(IDC_ATTENUATION, CB_GETLBTEXTLEN, (WPARAM)chosen_index);
    if (length >= 0) {
      std::vector<char> text((size_t)length + 1, 0);
      send_item(IDC_ATTENUATION, CB_GETLBTEXT, (WPARAM)chosen_index, (LPARAM)text.data());
      chosen_text = text.data();
    }
  }
  std::string title = afx::format("%s %s", afx::load_string(IDS_DEVICE_PROPERTIES).c_str(), display.c_str());
  SetWindowTextA(hwnd(), title.c_str());
}

bool CDevicePropertiesDlg::OnCommand(WORD id, WORD code, HWND) {
  if (id == IDC_ATTENUATION && code == CBN_SELCHANGE) {
    on_selection();
    return true;
  }
  return false;
}

bool CDevicePropertiesDlg::send_attenuation() {
  if (!file || file->open(false) == INVALID_HANDLE_VALUE) return false;
  bool sent = false;
  {
    driver_device driver(*file, true);
    int value = 0;
    // No chosen line (an empty text) sends nothing and is reported like a refusal.
    if (sscanf(chosen_text.c_str(), "%d", &value) == 1) {
      std::vector<int32_t> values(driver.counts().output_signal, value * 100);
      sent = driver.set_output_attenuation(values, 3, 0);
    }
  }
  file->close();
  return sent;
}

void CDevicePropertiesDlg::OnOK() {
  if (kind == kind_driver_device) {
    bool sent = true;
    {
      // The device of the file may be unplugged meanwhile: the change that removes it takes this lock
      // and cancels the dialog first, so the file is only used while its device is still listed.
      if (monitor) monitor->lock();
      if (!cancelled_.load()) sent = send_attenuation();
      if (monitor) monitor->unlock();
    }
    if (!sent) {
      std::string text =
          afx::format("%s '%s'.", afx::load_string(IDS_ATTENUATION_FAILED).c_str(), serial_number.c_str());
      std::string caption = afx::load_string(IDS_CONFIGURATION_ERROR);
      MessageBeep(MB_ICONHAND);
      MessageBoxA(hwnd(), text.c_str(), caption.c_str(), MB_ICONERROR);
    }
  }
  afx::dialog::OnOK();
}

void CDevicePropertiesDlg::OnCancel() {
  cancelled_.store(true);
  afx::dialog::OnCancel();
}

void CDevicePropertiesDlg::cancel_for_change() {
  cancelled_.store(true);
  if (HWND h = hwnd()) PostMessageA(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

}  // namespace keelmon
