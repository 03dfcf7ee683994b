// A small application framework over Win32: the application object and its message loop, dialogs
// made from templates (modeless or modal) with data exchange, string resources and the program's
// message boxes. Only what the tray program uses.
#ifndef KEELMON_APP_FRAMEWORK_H
#define KEELMON_APP_FRAMEWORK_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace keelmon::afx {

// A string resource of the program's module ("" when it has none).
std::string load_string(UINT id);
// printf-style formatting into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

class application {
 public:
  explicit application(const char* title);
  virtual ~application();
  application(const application&) = delete;
  application& operator=(const application&) = delete;

  // Start-up: FALSE ends the program at once (after ExitInstance).
  virtual BOOL InitInstance() = 0;
  // The program's exit code.
  virtual int ExitInstance();
  // The message loop, until WM_QUIT; its code.
  virtual int Run();
  // InitInstance, Run when it succeeded, ExitInstance.
  int execute(HINSTANCE instance);

  HINSTANCE instance() const { return instance_; }
  HWND main_window() const { return main_window_; }
  void set_main_window(HWND window) { main_window_ = window; }
  const std::string& title() const { return title_; }

  // The box every part of the program shows: the text with the program's title, on the main window.
  int message_box(const std::string& text, UINT type = MB_OK) const;

  // The application object of the process (the first one made and not yet gone).
  static application* current();

 protected:
  int exit_code_ = 0;

 private:
  std::string title_;
  HINSTANCE instance_ = nullptr;
  HWND main_window_ = nullptr;
};

class dialog;

// Moves values between a dialog's members and its controls: to the controls when `save` is false,
// back with their checks when true. The first failed check shows its box and stops the exchange.
class data_exchange {
 public:
  data_exchange(dialog& d, bool save) : dialog_(d), save_(save) {}
  // A whole number between low and high.
  void number(int id, uint32_t& value, uint32_t low, uint32_t high);
  // A text of at most max_chars characters.
  void text(int id, std::string& value, size_t max_chars);
  bool saving() const { return save_; }
  bool failed() const { return failed_; }

 private:
  void fail(const std::string& message);

  dialog& dialog_;
  bool save_;
  bool failed_ = false;
};

class dialog {
 public:
  explicit dialog(int template_id);
  // Destroys a modeless window still there.
  virtual ~dialog();
  dialog(const dialog&) = delete;
  dialog& operator=(const dialog&) = delete;

  // Modeless, hidden unless the template says otherwise. False when the template cannot be made.
  bool Create(HWND parent = nullptr);
  // Modal: the result given to EndDialog, or -1 when the dialog cannot be made.
  INT_PTR DoModal(HWND parent = nullptr);
  void EndDialog(INT_PTR result);
  // Runs the data exchange; false when a check failed.
  bool UpdateData(bool save);

  // Read from other threads too (the tray thread, the monitor's worker).
  HWND hwnd() const { return hwnd_.load(); }
  HWND item(int id) const { return GetDlgItem(hwnd(), id); }
  LRESULT send_item(int id, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const {
    return SendDlgItemMessageA(hwnd(), id, message, wparam, lparam);
  }
  int template_id() const { return template_id_; }

 protected:
  // Default: controls filled from the members; TRUE.
  virtual BOOL OnInitDialog();
  // Default: members read back with their checks, then the dialog ends with IDOK.
  virtual void OnOK();
  // Default: the dialog ends with IDCANCEL.
  virtual void OnCancel();
  virtual void DoDataExchange(data_exchange&) {}
  // WM_COMMAND other than IDOK/IDCANCEL; true when handled.
  virtual bool OnCommand(WORD id, WORD code, HWND control);
  // Every other message; true when handled (result in `result`).
  virtual bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result);

 private:
  static INT_PTR CALLBACK dialog_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

  int template_id_;
  std::atomic<HWND> hwnd_{nullptr};
  bool modal_ = false;
};

}  // namespace keelmon::afx

#endif
