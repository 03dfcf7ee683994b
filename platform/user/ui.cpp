// The user interface of the stand-in: system classes (dialogs and the controls the programs use),
// window texts and visibility, string, menu, dialog and icon resources, popup menus, message boxes,
// beeps and the taskbar notification area. Tests watch and steer it through standin/ui.h.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "internal.h"
#include "standin/ui.h"
#include "ui_internal.h"
#include "ui_state.h"

namespace wb {

ui_state &ui() {
  static auto *s = new ui_state;
  return *s;
}

std::string upper(const char *s) {
  std::string r = s ? s : "";
  for (auto &c : r) c = (char)toupper((unsigned char)c);
  return r;
}

ui_win *find_locked(HWND h) {
  auto it = ui().wins.find(h);
  return it == ui().wins.end() ? nullptr : &it->second;
}

// The window a child belongs to (itself for a top-level window): what input reaches, and what a
// modal box disables.
HWND top_level_locked(HWND h) {
  for (ui_win *w = find_locked(h); w && (w->style & WS_CHILD) && w->parent; w = find_locked(h)) h = w->parent;
  return h;
}

bool enabled_locked(HWND h) {
  ui_win *w = find_locked(top_level_locked(h));
  return w && !w->disabled;
}

namespace {

// The dialog procedure of the dialog being created on this thread, bound at WM_NCCREATE.
thread_local DLGPROC t_pending_dlgproc = nullptr;

}  // namespace

UINT pick_message() { return RegisterWindowMessageA("wb.ui.pick"); }

namespace {

// Windows sorts list and combo boxes without regard to case.
size_t insert_item(ui_win &w, const char *text, bool sorted) {
  std::string s = text ? text : "";
  if (!sorted) {
    w.items.push_back(s);
    return w.items.size() - 1;
  }
  auto pos = std::upper_bound(w.items.begin(), w.items.end(), s, [](const std::string &a, const std::string &b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  });
  return (size_t)(w.items.insert(pos, s) - w.items.begin());
}

LRESULT copy_item(const ui_win &w, WPARAM index, LPARAM out) {
  if (index >= w.items.size()) return LB_ERR;
  if (out) memcpy(reinterpret_cast<char *>(out), w.items[index].c_str(), w.items[index].size() + 1);
  return (LRESULT)w.items[index].size();
}

LRESULT CALLBACK control_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) return TRUE;
  if (msg == pick_message()) {
    HWND parent;
    int id;
    kind k;
    {
      std::lock_guard<std::mutex> l(ui().mu);
      ui_win *w = find_locked(h);
      if (!w || wp >= w->items.size()) return FALSE;
      w->cursel = (int)wp;
      parent = w->parent;
      id = w->id;
      k = w->k;
    }
    if (parent) {
      SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, k == kind::listbox ? LBN_SELCHANGE : CBN_SELCHANGE), (LPARAM)h);
      if (lp && k == kind::listbox) SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, LBN_DBLCLK), (LPARAM)h);
    }
    return TRUE;
  }
  {
    std::lock_guard<std::mutex> l(ui().mu);
    ui_win *w = find_locked(h);
    if (w && w->k == kind::listbox) {
      switch (msg) {
        case LB_ADDSTRING: return (LRESULT)insert_item(*w, reinterpret_cast<const char *>(lp), w->style & LBS_SORT);
        case LB_RESETCONTENT:
          w->items.clear();
          w->cursel = -1;
          return 0;
        case LB_GETCOUNT: return (LRESULT)w->items.size();
        case LB_GETCURSEL: return w->cursel;
        case LB_SETCURSEL:
          if ((int)wp >= -1 && (int)wp < (int)w->items.size()) {
            w->cursel = (int)wp;
            return (int)wp == -1 ? LB_ERR : (LRESULT)wp;
          }
          return LB_ERR;
        case LB_GETTEXT: return copy_item(*w, wp, lp);
        case LB_GETTEXTLEN: return copy_item(*w, wp, 0);
        case LB_SETHORIZONTALEXTENT: w->extent = (int)wp; return 0;
        case LB_GETHORIZONTALEXTENT: return w->extent;
        default: break;
      }
    } else if (w && w->k == kind::combobox) {
      switch (msg) {
        case CB_ADDSTRING: return (LRESULT)insert_item(*w, reinterpret_cast<const char *>(lp), w->style & CBS_SORT);
        case CB_RESETCONTENT:
          w->items.clear();
          w->cursel = -1;
          return CB_ERR + 1;
        case CB_GETCOUNT: return (LRESULT)w->items.size();
        case CB_GETCURSEL: return w->cursel;
        case CB_SETCURSEL:
          if ((int)wp >= 0 && (int)wp < (int)w->items.size()) {
            w->cursel = (int)wp;
            return (LRESULT)wp;
          }
          w->cursel = -1;
          return CB_ERR;
        case CB_GETLBTEXT: return copy_item(*w, wp, lp);
        case CB_GETLBTEXTLEN: return copy_item(*w, wp, 0);
        default: break;
      }
    } else if (w && w->k == kind::edit && msg == EM_LIMITTEXT) {
      w->limit = (int)wp;
      return 0;
    }
  }
  return DefWindowProcA(h, msg, wp, lp);
}

LRESULT CALLBACK dialog_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  DLGPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> l(ui().mu);
    ui_win *w = find_locked(h);
    if (w && msg == WM_NCCREATE) {
      w->dlgproc = t_pending_dlgproc;
      w->k = kind::dialog;
    }
    if (w) proc = w->dlgproc;
  }
  if (msg == WM_NCCREATE) return TRUE;
  if (proc) {
    INT_PTR r = proc(h, msg, wp, lp);
    if (r) return r;
  }
  if (msg == WM_CLOSE) {
    SendMessageA(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return 0;
  }
  return DefWindowProcA(h, msg, wp, lp);
}

}  // namespace

void destroy_menu_locked(HMENU m) {
  auto it = ui().menus.find(m);
  if (it == ui().menus.end()) return;
  std::vector<menu_item> items = std::move(it->second);
  ui().menus.erase(it);
  for (auto &i : items)
    if (i.sub) destroy_menu_locked(i.sub);
}

HMENU new_menu_locked() {
  HMENU m = reinterpret_cast<HMENU>(ui().next_menu += 4);
  ui().menus[m];
  return m;
}

const standin::ui::module_resources *resources_locked(HINSTANCE inst) {
  auto it = ui().res.find(inst ? inst : GetModuleHandleA(nullptr));
  return it == ui().res.end() ? nullptr : &it->second;
}

void ui_ensure_classes() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const char *name : {"BUTTON", "STATIC", "EDIT", "LISTBOX", "COMBOBOX"}) {
      WNDCLASSA wc{};
      wc.lpfnWndProc = control_proc;
      wc.lpszClassName = name;
      RegisterClassA(&wc);
    }
    WNDCLASSA wc{};
    wc.lpfnWndProc = dialog_proc;
    wc.cbWndExtra = 32;
    wc.lpszClassName = "#32770";
    RegisterClassA(&wc);
  });
}

bool ui_refuses(const char *cls) {
  if (!cls || IS_INTRESOURCE(cls)) return false;
  std::lock_guard<std::mutex> l(ui().mu);
  return !ui().refused_classes.empty() && ui().refused_classes.count(upper(cls));
}

void ui_on_create(HWND h, HWND parent, int id, DWORD style, const char *title, const char *cls, int cx, int cy) {
  std::lock_guard<std::mutex> l(ui().mu);
  ui_win w;
  w.parent = parent;
  w.id = (style & WS_CHILD) ? id : 0;
  w.style = style;
  w.text = title ? title : "";
  w.visible = (style & WS_VISIBLE) != 0;
  w.cx = cx < 0 ? 0 : cx;
  w.cy = cy < 0 ? 0 : cy;
  w.serial = ++ui().serial;
  std::string c = cls && !IS_INTRESOURCE(cls) ? upper(cls) : std::string();
  if (c == "BUTTON")
    w.k = kind::button;
  else if (c == "STATIC")
    w.k = kind::stat;
  else if (c == "EDIT")
    w.k = kind::edit;
  else if (c == "LISTBOX")
    w.k = kind::listbox;
  else if (c == "COMBOBOX")
    w.k = kind::combobox;
  else if (c == "#32770")
    w.k = kind::dialog;
  ui().wins[h] = std::move(w);
}

void ui_on_destroy(HWND h) {
  std::lock_guard<std::mutex> l(ui().mu);
  auto it = ui().wins.find(h);
  if (it == ui().wins.end()) return;
  if (it->second.sysmenu) destroy_menu_locked(it->second.sysmenu);
  ui().wins.erase(it);
  if (ui().foreground == h) ui().foreground = nullptr;
}

std::vector<HWND> ui_children(HWND h) {
  std::lock_guard<std::mutex> l(ui().mu);
  std::vector<HWND> r;
  for (auto &kv : ui().wins)
    if (kv.second.parent == h) r.push_back(kv.first);
  return r;
}

bool ui_default(HWND h, UINT msg, WPARAM wp, LPARAM lp, LRESULT &result) {
  switch (msg) {
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
    case WM_SETICON: {
      std::lock_guard<std::mutex> l(ui().mu);
      ui_win *w = find_locked(h);
      if (!w) return false;
      if (msg == WM_SETTEXT) {
        w->text = lp ? reinterpret_cast<const char *>(lp) : "";
        result = TRUE;
      } else if (msg == WM_GETTEXTLENGTH) {
        result = (LRESULT)w->text.size();
      } else if (msg == WM_GETTEXT) {
        if (!lp || wp == 0) {
          result = 0;
        } else {
          size_t n = std::min<size_t>(w->text.size(), wp - 1);
          memcpy(reinterpret_cast<char *>(lp), w->text.data(), n);
          reinterpret_cast<char *>(lp)[n] = 0;
          result = (LRESULT)n;
        }
      } else {
        HICON &slot = wp == ICON_BIG ? w->icon_big : w->icon_small;
        result = (LRESULT)slot;
        slot = reinterpret_cast<HICON>(lp);
      }
      return true;
    }
    case WM_SYSCOMMAND:
      if ((wp & 0xFFF0) == SC_CLOSE) {
        SendMessageA(h, WM_CLOSE, 0, 0);
        result = 0;
        return true;
      }
      if ((wp & 0xFFF0) == SC_RESTORE) {
        ShowWindow(h, SW_RESTORE);
        result = 0;
        return true;
      }
      return false;
    default: return false;
  }
}

}  // namespace wb

using namespace wb;

extern "C" {

UINT WINAPI RegisterWindowMessageA(LPCSTR name) {
  if (!name || !*name) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> l(ui().mu);
  auto [it, added] = ui().messages.emplace(upper(name), 0);
  if (added) it->second = ui().next_message++;
  return it->second;
}

HWND WINAPI CreateDialogParamA(HINSTANCE inst, LPCSTR name, HWND parent, DLGPROC proc, LPARAM param) {
  standin::ui::dialog_template t;
  {
    std::lock_guard<std::mutex> l(ui().mu);
    const auto *res = resources_locked(inst);
    const standin::ui::dialog_template *found = nullptr;
    if (res && IS_INTRESOURCE(name))
      for (auto &d : res->dialogs)
        if (d.id == (int)(uintptr_t)name) found = &d;
    if (!found || ui().refused_dialogs.count(found->id)) {
      set_last_error(ERROR_RESOURCE_NAME_NOT_FOUND);
      return nullptr;
    }
    t = *found;
  }
  t_pending_dlgproc = proc;
  HWND h = CreateWindowExA(0, "#32770", t.title, t.style & ~WS_VISIBLE, t.x, t.y, t.cx, t.cy, parent, nullptr, inst,
                           nullptr);
  t_pending_dlgproc = nullptr;
  if (!h) return nullptr;
  {
    std::lock_guard<std::mutex> l(ui().mu);
    if (ui_win *w = find_locked(h)) w->template_id = t.id;
  }
  for (auto &c : t.controls)
    CreateWindowExA(0, c.cls, c.text, WS_CHILD | c.style, c.x, c.y, c.cx, c.cy, h, (HMENU)(LONG_PTR)c.id, inst,
                    nullptr);
  SendMessageA(h, WM_INITDIALOG, 0, param);
  if ((t.style & WS_VISIBLE) && IsWindow(h)) ShowWindow(h, SW_SHOW);
  return h;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE inst, LPCSTR name, HWND parent, DLGPROC proc, LPARAM param) {
  HWND h = CreateDialogParamA(inst, name, parent, proc, param);
  if (!h) return -1;
  ShowWindow(h, SW_SHOW);
  INT_PTR result = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> l(ui().mu);
      ui_win *w = find_locked(h);
      if (!w || w->ended) {
        result = w ? w->result : 0;
        break;
      }
    }
    MSG m;
    BOOL r = GetMessageA(&m, nullptr, 0, 0);
    if (r == 0) {
      PostQuitMessage((int)m.wParam);  // the caller's loop still sees it
      break;
    }
    if (r == -1) break;
    if (!IsDialogMessageA(h, &m)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
  }
  if (IsWindow(h)) DestroyWindow(h);
  return result;
}

BOOL WINAPI EndDialog(HWND h, INT_PTR result) {
  {
    std::lock_guard<std::mutex> l(ui().mu);
    ui_win *w = find_locked(h);
    if (!w || w->k != kind::dialog) {
      set_last_error(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    w->ended = true;
    w->result = result;
    w->visible = false;
  }
  PostMessageA(h, WM_NULL, 0, 0);  // wakes a modal loop
  return TRUE;
}

BOOL WINAPI IsDialogMessageA(HWND dlg, LPMSG m) {
  if (!m || m->message != WM_KEYDOWN || (m->wParam != VK_ESCAPE && m->wParam != VK_RETURN)) return FALSE;
  if (m->hwnd != dlg && GetParent(m->hwnd) != dlg) return FALSE;
  SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(m->wParam == VK_ESCAPE ? IDCANCEL : IDOK, BN_CLICKED), 0);
  return TRUE;
}

HWND WINAPI GetDlgItem(HWND dlg, int id) {
  std::lock_guard<std::mutex> l(ui().mu);
  for (auto &kv : ui().wins)
    if (kv.second.parent == dlg && dlg && kv.second.id == id) return kv.first;
  set_last_error(1421);  // ERROR_CONTROL_ID_NOT_FOUND
  return nullptr;
}

int WINAPI GetDlgCtrlID(HWND h) {
  std::lock_guard<std::mutex> l(ui().mu);
  ui_win *w = find_locked(h);
  return w ? w->id : 0;
}

BOOL WINAPI SetWindowTextA(HWND h, LPCSTR s) {
  if (!IsWindow(h)) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return (BOOL)SendMessageA(h, WM_SETTEXT, 0, (LPARAM)s);
}

int WINAPI GetWindowTextA(HWND h, LPSTR buf, int n) {
  if (!buf || n <= 0) return 0;
  buf[0] = 0;
  return (int)SendMessageA(h, WM_GETTEXT, (WPARAM)n, (LPARAM)buf);
}

int WINAPI GetWindowTextLengthA(HWND h) { return (int)SendMessageA(h, WM_GETTEXTLENGTH, 0, 0); }

BOOL WINAPI SetDlgItemTextA(HWND dlg, int id, LPCSTR s) {
  HWND c = GetDlgItem(dlg, id);
  return c ? SetWindowTextA(c, s) : FALSE;
}

UINT WINAPI GetDlgItemTextA(HWND dlg, int id, LPSTR buf, int n) {
  HWND c = GetDlgItem(dlg, id);
  if (!c) {
    if (buf && n > 0) buf[0] = 0;
    return 0;
  }
  return (UINT)GetWindowTextA(c, buf, n);
}

BOOL WINAPI SetDlgItemInt(HWND dlg, int id, UINT v, BOOL is_signed) {
  char buf[16];
  if (is_signed)
    wsprintfA(buf, "%d", (int)v);
  else
    wsprintfA(buf, "%u", v);
  return SetDlgItemTextA(dlg, id, buf);
}

UINT WINAPI GetDlgItemInt(HWND dlg, int id, BOOL *ok, BOOL is_signed) {
  if (ok) *ok = FALSE;
  char buf[64];
  if (!GetDlgItem(dlg, id)) return 0;
  GetDlgItemTextA(dlg, id, buf, sizeof buf);
  const char *p = buf;
  while (*p == ' ') ++p;
  bool neg = false;
  if (is_signed && *p == '-') {
    neg = true;
    ++p;
  }
  if (*p < '0' || *p > '9') return 0;
  unsigned long long v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + (unsigned)(*p - '0');
    if (v > (is_signed ? 0x80000000ull : 0xFFFFFFFFull)) return 0;
  }
  while (*p == ' ') ++p;
  if (*p || (is_signed && !neg && v > 0x7FFFFFFFull)) return 0;
  if (ok) *ok = TRUE;
  return neg ? (UINT)(-(long long)v) : (UINT)v;
}

LRESULT WINAPI SendDlgItemMessageA(HWND dlg, int id, UINT msg, WPARAM wp, LPARAM lp) {
  HWND c = GetDlgItem(dlg, id);
  return c ? SendMessageA(c, msg, wp, lp) : 0;
}

BOOL WINAPI ShowWindow(HWND h, int cmd) {
  // Another thread's window is shown by its own thread, as on Windows: the caller waits until that
  // thread has handled it (a thread that answers nothing holds the caller up).
  DWORD owner = GetWindowThreadProcessId(h, nullptr);
  if (owner && owner != GetCurrentThreadId()) SendMessageA(h, WM_SHOWWINDOW, cmd == SW_HIDE ? FALSE : TRUE, 0);
  std::lock_guard<std::mutex> l(ui().mu);
  ui_win *w = find_locked(h);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  BOOL was = w->visible;
  switch (cmd) {
    case SW_HIDE: w->visible = false; break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
      w->visible = true;
      w->iconic = true;
      break;
    default:
      w->visible = true;
      w->iconic = false;
      break;
  }
  return was;
}

BOOL WINAPI IsWindowVisible(HWND h) {
  std::lock_guard<std::mutex> l(ui().mu);
  // A child shows only inside a visible parent; a popup's parent is only its owner.
  for (ui_win *w = find_locked(h); w; w = (w->style & WS_CHILD) && w->parent ? find_locked(w->parent) : nullptr)
    if (!w->visible) return FALSE;
  return find_locked(h) != nullptr;
}

BOOL WINAPI EnableWindow(HWND h, BOOL enable) {
  std::lock_guard<std::mutex> l(ui().mu);
  ui_win *w = find_locked(h);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  BOOL was_disabled = w->disabled;
  w->disabled = !enable;
  return was_disabled;
}

BOOL WINAPI IsWindowEnabled(HWND h) {
  std::lock_guard<std::mutex> l(ui().mu);
  ui_win *w = find_locked(h);
  return w && !w->disabled;
}

BOOL WINAPI IsIconic(HWND h) {
  std::lock_guard<std::mutex> l(ui().mu);
  ui_win *w = find_locked(h);
  return w && w->iconic;
}

BOOL WINAPI SetForegroundWindow(HWND h) {
  std::lock_guard<std::mutex> l(ui().mu);
  if (!find_locked(h)) return FALSE;
  ui().foreground = h;
  return TRUE;
}

HWND WINAPI GetForegroundWindow(void) {
  std::lock_guard<std::mutex> l(ui().mu);
  return ui().foreground;
}

HWND WINAPI SetFocus(HWND) { return nullptr; }

BOOL WINAPI GetCursorPos(LPPOINT p) {
  if (!p) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> l(ui().mu);
  *p = ui().cursor;
  return TRUE;
}

HDC WINAPI BeginPaint(HWND h, LPPAINTSTRUCT ps) {
  std::lock_guard<std::mutex> l(ui().mu);
  if (!ps || !find_locked(h)) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  *ps = PAINTSTRUCT{};
  ps->hdc = reinterpret_cast<HDC>(ui().next_dc += 4);
  ui().paint_dcs[ps->hdc] = h;
  return ps->hdc;
}

BOOL WINAPI EndPaint(HWND, const PAINTSTRUCT *ps) {
  std::lock_guard<std::mutex> l(ui().mu);
  return ps && ui().paint_dcs.erase(ps->hdc) ? TRUE : FALSE;
}

BOOL WINAPI GetClientRect(HWND h, LPRECT r) {
  std::lock_guard<std::mutex> l(ui().mu);
  ui_win *w = find_locked(h);
  if (!w || !r) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  // A minimised window's client area is its icon.
  *r = w->iconic ? RECT{0, 0, standin::ui::icon_size, standin::ui::icon_size} : RECT{0, 0, w->cx, w->cy};
  return TRUE;
}

int WINAPI GetSystemMetrics(int index) { return index == SM_CXICON || index == SM_CYICON ? standin::ui::icon_size : 0; }

BOOL WINAPI DrawIcon(HDC dc, int x, int y, HICON icon) {
  std::lock_guard<std::mutex> l(ui().mu);
  auto it = ui().paint_dcs.find(dc);
  if (!icon || (it == ui().paint_dcs.end() && dc != reinterpret_cast<HDC>(0x50000))) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ui().drawn.push_back({it == ui().paint_dcs.end() ? nullptr : it->second, x, y, icon});
  return TRUE;
}

HDC WINAPI GetDC(HWND h) {
  if (!IsWindow(h)) return nullptr;
  return reinterpret_cast<HDC>(0x50000);
}

int WINAPI ReleaseDC(HWND, HDC dc) { return dc ? 1 : 0; }

BOOL WINAPI GetTextExtentPoint32A(HDC dc, LPCSTR s, int n, LPSIZE size) {
  if (!dc || !size || (n > 0 && !s) || n < 0) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size->cx = n * standin::ui::char_width;
  size->cy = 13;
  return TRUE;
}

}  // extern "C"
