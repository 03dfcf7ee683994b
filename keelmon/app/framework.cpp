#include "app/framework.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace keelmon::afx {

namespace {
application* g_current = nullptr;
}

std::string load_string(UINT id) {
  char buffer[512];
  HINSTANCE module = application::current() ? application::current()->instance() : nullptr;
  int n = LoadStringA(module ? module : GetModuleHandleA(nullptr), id, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, (size_t)n) : std::string();
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    std::vector<char> buffer((size_t)n + 1);
    vsnprintf(buffer.data(), buffer.size(), fmt, args);
    out.assign(buffer.data(), (size_t)n);
  }
  va_end(args);
  return out;
}

// The first application object of the process stays current while it lives (a second one made
// meanwhile, as a second start in tests, does not take its place).
application::application(const char* title) : title_(title ? title : "") {
  if (!g_current) g_current = this;
}

application::~application() {
  if (g_current == this) g_current = nullptr;
}

application* application::current() { return g_current; }

int application::ExitInstance() { return exit_code_; }

int application::Run() {
  MSG message;
  for (;;) {
    BOOL r = GetMessageA(&message, nullptr, 0, 0);
    if (r == 0) {
      exit_code_ = (int)message.wParam;
      break;
    }
    if (r == -1) break;
    if (main_window_ && IsDialogMessageA(main_window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return exit_code_;
}

int application::execute(HINSTANCE instance) {
  instance_ = instance ? instance : GetModuleHandleA(nullptr);
  if (InitInstance()) Run();
  return ExitInstance();
}

int application::message_box(const std::string& text, UINT type) const {
  return MessageBoxA(main_window_, text.c_str(), title_.c_str(), type);
}

void data_exchange::fail(const std::string& message) {
  failed_ = true;
  // Owned by the dialog being checked, so that it takes no input (a second OK) while the box is up.
  application* app = application::current();
  MessageBoxA(dialog_.hwnd(), message.c_str(), app ? app->title().c_str() : nullptr, MB_OK | MB_ICONEXCLAMATION);
}

void data_exchange::number(int id, uint32_t& value, uint32_t low, uint32_t high) {
  if (failed_) return;
  if (!save_) {
    SetDlgItemInt(dialog_.hwnd(), id, value, FALSE);
    return;
  }
  BOOL ok = FALSE;
  UINT v = GetDlgItemInt(dialog_.hwnd(), id, &ok, FALSE);
  if (!ok || v < low || v > high) {
    SetFocus(dialog_.item(id));
    fail(format("Please enter a whole number from %u to %u.", low, high));
    return;
  }
  value = v;
}

void data_exchange::text(int id, std::string& value, size_t max_chars) {
  if (failed_) return;
  if (!save_) {
    dialog_.send_item(id, EM_LIMITTEXT, max_chars);
    SetDlgItemTextA(dialog_.hwnd(), id, value.c_str());
    return;
  }
  HWND control = dialog_.item(id);
  int n = GetWindowTextLengthA(control);
  std::vector<char> buffer((size_t)(n > 0 ? n : 0) + 1, 0);
  GetWindowTextA(control, buffer.data(), (int)buffer.size());
  std::string read(buffer.data());
  if (read.size() > max_chars) {
    SetFocus(control);
    fail(format("Please enter no more than %u characters.", (unsigned)max_chars));
    return;
  }
  value = read;
}

dialog::dialog(int template_id) : template_id_(template_id) {}

dialog::~dialog() {
  HWND h = hwnd_.load();
  if (h && !modal_ && IsWindow(h)) DestroyWindow(h);
}

bool dialog::Create(HWND parent) {
  modal_ = false;
  HINSTANCE module = application::current() ? application::current()->instance() : GetModuleHandleA(nullptr);
  HWND made = CreateDialogParamA(module, MAKEINTRESOURCEA(template_id_), parent, dialog_proc, (LPARAM)this);
  if (!made) hwnd_ = nullptr;
  return made != nullptr;
}

INT_PTR dialog::DoModal(HWND parent) {
  modal_ = true;
  HINSTANCE module = application::current() ? application::current()->instance() : GetModuleHandleA(nullptr);
  INT_PTR r = DialogBoxParamA(module, MAKEINTRESOURCEA(template_id_), parent, dialog_proc, (LPARAM)this);
  hwnd_ = nullptr;
  return r;
}

void dialog::EndDialog(INT_PTR result) {
  if (HWND h = hwnd_.load()) ::EndDialog(h, result);
}

bool dialog::UpdateData(bool save) {
  data_exchange dx(*this, save);
  DoDataExchange(dx);
  return !dx.failed();
}

BOOL dialog::OnInitDialog() {
  UpdateData(false);
  return TRUE;
}

void dialog::OnOK() {
  if (!UpdateData(true)) return;
  EndDialog(IDOK);
}

void dialog::OnCancel() { EndDialog(IDCANCEL); }

bool dialog::OnCommand(WORD, WORD, HWND) { return false; }

bool dialog::OnMessage(UINT, WPARAM, LPARAM, INT_PTR&) { return false; }

INT_PTR CALLBACK dialog::dialog_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  dialog* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<dialog*>(lparam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, (LONG_PTR)self);
    self->hwnd_ = hwnd;
    return self->OnInitDialog();
  }
  self = reinterpret_cast<dialog*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self) return FALSE;
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    return FALSE;
  }
  if (message == WM_COMMAND) {
    WORD id = LOWORD(wparam), code = HIWORD(wparam);
    if (id == IDOK && code == BN_CLICKED) {
      self->OnOK();
      return TRUE;
    }
    if (id == IDCANCEL && code == BN_CLICKED) {
      self->OnCancel();
      return TRUE;
    }
    return self->OnCommand(id, code, reinterpret_cast<HWND>(lparam)) ? TRUE : FALSE;
  }
  INT_PTR result = 0;
  if (self->OnMessage(message, wparam, lparam, result)) return result ? result : TRUE;
  return FALSE;
}

}  // namespace keelmon::afx
