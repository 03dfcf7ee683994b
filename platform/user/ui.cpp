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

namespace wb {
namespace {

using standin::ui::menu_entry_kind;

enum class kind { other, dialog, button, stat, edit, listbox, combobox };

struct ui_win {
  HWND parent = nullptr;
  int id = 0;
  DWORD style = 0;
  std::string text;
  kind k = kind::other;
  bool visible = false;
  bool iconic = false;
  bool disabled = false;
  int cx = 0, cy = 0;
  uint64_t serial = 0;
  // list box, combo box, edit
  std::vector<std::string> items;
  int cursel = -1;
  int extent = 0;
  int limit = 0;
  // dialog
  DLGPROC dlgproc = nullptr;
  int template_id = 0;
  bool ended = false;
  INT_PTR result = 0;
  HICON icon_big = nullptr, icon_small = nullptr;
  HMENU sysmenu = nullptr;
};

struct menu_item {
  UINT flags;
  UINT_PTR id;
  std::string text;
  HMENU sub;
};

struct ui_state {
  std::mutex mu;
  std::map<HWND, ui_win> wins;
  std::map<HMODULE, standin::ui::module_resources> res;
  std::map<HMENU, std::vector<menu_item>> menus;
  uintptr_t next_menu = 0x30000;
  std::map<std::pair<HMODULE, int>, HICON> icons;
  uintptr_t next_icon = 0x40000;
  std::set<int> refused_dialogs, refused_icons;
  std::set<std::string> refused_classes;  // upper-case
  std::vector<standin::ui::tray_icon> tray;
  bool refuse_tray = false;
  unsigned tray_calls[3] = {0, 0, 0};
  std::function<UINT(const standin::ui::tracked_menu &)> pick;
  std::vector<standin::ui::tracked_menu> tracked;
  POINT cursor{0, 0};
  std::vector<standin::ui::message_box> boxes;
  std::vector<UINT> beeps;
  std::vector<standin::ui::drawn_icon> drawn;
  std::map<HDC, HWND> paint_dcs;  // BeginPaint's device contexts until EndPaint
  uintptr_t next_dc = 0x60000;
  std::function<int(const standin::ui::message_box &)> answer;
  // Unscripted boxes now up: each ends when a test answers it.
  struct open_box {
    uint64_t serial;
    DWORD tid;
    standin::ui::message_box box;
    bool answered = false;
    int answer = 0;
  };
  std::vector<open_box> open_boxes;
  uint64_t next_box = 0;
  std::function<void(DWORD, HWND)> tray_hook;
  HWND foreground = nullptr;
  std::map<std::string, UINT> messages;  // upper-case name
  UINT next_message = 0xC100;
  uint64_t serial = 0;
};
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

// The dialog procedure of the dialog being created on this thread, bound at WM_NCCREATE.
thread_local DLGPROC t_pending_dlgproc = nullptr;

UINT pick_message() { return RegisterWindowMessageA("wb.ui.pick"); }

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

}  // namespace

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

namespace standin::ui {

void add_resources(HMODULE module, const module_resources &r) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  auto &m = wb::ui().res[module];
  m.strings.insert(m.strings.end(), r.strings.begin(), r.strings.end());
  m.menus.insert(m.menus.end(), r.menus.begin(), r.menus.end());
  m.dialogs.insert(m.dialogs.end(), r.dialogs.begin(), r.dialogs.end());
  m.icons.insert(m.icons.end(), r.icons.begin(), r.icons.end());
  m.bitmaps.insert(m.bitmaps.end(), r.bitmaps.begin(), r.bitmaps.end());
}

std::vector<tray_icon> tray_icons() {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  return wb::ui().tray;
}
void refuse_tray_adds(bool refuse) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  wb::ui().refuse_tray = refuse;
}
unsigned tray_calls(DWORD op) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  return op < 3 ? wb::ui().tray_calls[op] : 0;
}
void restart_shell() {
  std::vector<HWND> top;
  {
    std::lock_guard<std::mutex> l(wb::ui().mu);
    wb::ui().tray.clear();
    for (auto &kv : wb::ui().wins)
      if (!kv.second.parent) top.push_back(kv.first);
  }
  UINT msg = RegisterWindowMessageA("TaskBarCreated");
  for (HWND h : top) PostMessageA(h, msg, 0, 0);
}
bool tray_click(HWND hwnd, UINT id, UINT mouse) {
  UINT cb = 0;
  {
    std::lock_guard<std::mutex> l(wb::ui().mu);
    auto &t = wb::ui().tray;
    auto it = std::find_if(t.begin(), t.end(), [&](const tray_icon &i) { return i.hwnd == hwnd && i.id == id; });
    if (it == t.end()) return false;
    cb = it->callback;
  }
  return PostMessageA(hwnd, cb, id, (LPARAM)mouse) != FALSE;
}

void on_track_menu(std::function<UINT(const tracked_menu &)> pick) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  wb::ui().pick = std::move(pick);
}
std::vector<tracked_menu> tracked_menus() {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  return wb::ui().tracked;
}
void set_cursor_pos(int x, int y) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  wb::ui().cursor = POINT{x, y};
}
std::vector<message_box> message_boxes() {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  return wb::ui().boxes;
}
std::vector<message_box> open_boxes() {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  std::vector<message_box> r;
  for (auto &b : wb::ui().open_boxes) r.push_back(b.box);  // answered ones until their loop closed them
  return r;
}
bool answer_box(const std::string &text, int answer) {
  DWORD tid = 0;
  {
    std::lock_guard<std::mutex> l(wb::ui().mu);
    for (auto &b : wb::ui().open_boxes) {
      if (b.answered || (!text.empty() && b.box.text != text)) continue;
      b.answered = true;
      b.answer = answer;
      tid = b.tid;
      break;
    }
  }
  // Wakes the box's loop.
  return tid != 0 && PostThreadMessageA(tid, WM_NULL, 0, 0);
}
void on_tray_call(std::function<void(DWORD, HWND)> hook) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  wb::ui().tray_hook = std::move(hook);
}
std::vector<drawn_icon> drawn_icons() {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  return wb::ui().drawn;
}
std::vector<UINT> beeps() {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  return wb::ui().beeps;
}
void on_message_box(std::function<int(const message_box &)> answer) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  wb::ui().answer = std::move(answer);
}

HWND find_dialog(int id) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  HWND best = nullptr;
  uint64_t serial = 0;
  for (auto &kv : wb::ui().wins)
    if (kv.second.k == wb::kind::dialog && kv.second.template_id == id && kv.second.serial > serial) {
      best = kv.first;
      serial = kv.second.serial;
    }
  return best;
}
void refuse_dialog(int id, bool refuse) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  if (refuse)
    wb::ui().refused_dialogs.insert(id);
  else
    wb::ui().refused_dialogs.erase(id);
}
void refuse_icon(int id, bool refuse) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  if (refuse)
    wb::ui().refused_icons.insert(id);
  else
    wb::ui().refused_icons.erase(id);
}
void refuse_window_class(const std::string &name, bool refuse) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  if (refuse)
    wb::ui().refused_classes.insert(wb::upper(name.c_str()));
  else
    wb::ui().refused_classes.erase(wb::upper(name.c_str()));
}
HWND control(HWND dialog, int id) { return GetDlgItem(dialog, id); }
std::string text(HWND h) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  wb::ui_win *w = wb::find_locked(h);
  return w ? w->text : std::string();
}
bool visible(HWND h) { return IsWindowVisible(h) != FALSE; }
HWND foreground() { return GetForegroundWindow(); }
HICON window_icon(HWND h, bool big) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  wb::ui_win *w = wb::find_locked(h);
  return w ? (big ? w->icon_big : w->icon_small) : nullptr;
}
std::vector<std::string> items(HWND h) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  wb::ui_win *w = wb::find_locked(h);
  return w ? w->items : std::vector<std::string>();
}
int selection(HWND h) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  wb::ui_win *w = wb::find_locked(h);
  return w ? w->cursel : -1;
}
int horizontal_extent(HWND h) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  wb::ui_win *w = wb::find_locked(h);
  return w ? w->extent : -1;
}
std::vector<std::string> system_menu_items(HWND h) {
  std::lock_guard<std::mutex> l(wb::ui().mu);
  std::vector<std::string> r;
  wb::ui_win *w = wb::find_locked(h);
  if (!w || !w->sysmenu) return r;
  for (auto &i : wb::ui().menus[w->sysmenu]) r.push_back(i.flags & MF_SEPARATOR ? "-" : i.text);
  return r;
}
bool pick(HWND h, int index, bool double_click) {
  {
    std::lock_guard<std::mutex> l(wb::ui().mu);
    if (!wb::enabled_locked(h)) return false;
  }
  return PostMessageA(h, wb::pick_message(), (WPARAM)index, double_click ? 1 : 0) != FALSE;
}
bool press(HWND dialog, int id) {
  {
    std::lock_guard<std::mutex> l(wb::ui().mu);
    if (!wb::enabled_locked(dialog)) return false;
  }
  return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id)) != FALSE;
}

void reset() {
  std::vector<DWORD> waiting;
  {
    std::lock_guard<std::mutex> l(wb::ui().mu);
    for (auto &b : wb::ui().open_boxes)
      if (!b.answered) {
        b.answered = true;
        b.answer = IDOK;
        waiting.push_back(b.tid);
      }
  }
  for (DWORD tid : waiting) PostThreadMessageA(tid, WM_NULL, 0, 0);
  std::lock_guard<std::mutex> l(wb::ui().mu);
  auto &s = wb::ui();
  s.tray_hook = nullptr;
  s.boxes.clear();
  s.beeps.clear();
  s.drawn.clear();
  s.tracked.clear();
  s.refused_dialogs.clear();
  s.refused_icons.clear();
  s.refused_classes.clear();
  s.pick = nullptr;
  s.answer = nullptr;
  s.refuse_tray = false;
  s.tray.clear();
  for (auto &c : s.tray_calls) c = 0;
  s.cursor = POINT{0, 0};
}

}  // namespace standin::ui

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

HMENU WINAPI LoadMenuA(HINSTANCE inst, LPCSTR name) {
  std::lock_guard<std::mutex> l(ui().mu);
  const auto *res = resources_locked(inst);
  const standin::ui::menu_template *t = nullptr;
  if (res && IS_INTRESOURCE(name))
    for (auto &m : res->menus)
      if (m.id == (int)(uintptr_t)name) t = &m;
  if (!t) {
    set_last_error(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  std::vector<HMENU> stack{new_menu_locked()};
  for (auto &e : t->entries) {
    auto &items = ui().menus[stack.back()];
    switch (e.kind) {
      case menu_entry_kind::item: items.push_back({MF_STRING, e.id, e.text, nullptr}); break;
      case menu_entry_kind::separator: items.push_back({MF_SEPARATOR, 0, "", nullptr}); break;
      case menu_entry_kind::popup_begin: {
        HMENU sub = new_menu_locked();
        ui().menus[stack.back()].push_back({MF_POPUP, 0, e.text, sub});
        stack.push_back(sub);
        break;
      }
      case menu_entry_kind::popup_end:
        if (stack.size() > 1) stack.pop_back();
        break;
    }
  }
  return stack.front();
}

HMENU WINAPI GetSubMenu(HMENU m, int pos) {
  std::lock_guard<std::mutex> l(ui().mu);
  auto it = ui().menus.find(m);
  if (it == ui().menus.end() || pos < 0 || (size_t)pos >= it->second.size()) return nullptr;
  return it->second[(size_t)pos].sub;
}

HMENU WINAPI GetSystemMenu(HWND h, BOOL revert) {
  std::lock_guard<std::mutex> l(ui().mu);
  ui_win *w = find_locked(h);
  if (!w || !(w->style & WS_SYSMENU)) return nullptr;
  if (revert) {
    if (w->sysmenu) destroy_menu_locked(w->sysmenu);
    w->sysmenu = nullptr;
    return nullptr;
  }
  if (!w->sysmenu) {
    w->sysmenu = new_menu_locked();
    ui().menus[w->sysmenu] = {{MF_STRING, SC_RESTORE, "&Restore", nullptr}, {MF_STRING, SC_CLOSE, "&Close", nullptr}};
  }
  return w->sysmenu;
}

BOOL WINAPI AppendMenuA(HMENU m, UINT flags, UINT_PTR id, LPCSTR text) {
  std::lock_guard<std::mutex> l(ui().mu);
  auto it = ui().menus.find(m);
  if (it == ui().menus.end()) {
    set_last_error(ERROR_INVALID_MENU_HANDLE);
    return FALSE;
  }
  bool popup = (flags & MF_POPUP) != 0;
  it->second.push_back({flags, popup ? 0 : id, (flags & MF_SEPARATOR) || !text ? "" : text,
                        popup ? reinterpret_cast<HMENU>(id) : nullptr});
  return TRUE;
}

int WINAPI GetMenuItemCount(HMENU m) {
  std::lock_guard<std::mutex> l(ui().mu);
  auto it = ui().menus.find(m);
  if (it == ui().menus.end()) {
    set_last_error(ERROR_INVALID_MENU_HANDLE);
    return -1;
  }
  return (int)it->second.size();
}

BOOL WINAPI DestroyMenu(HMENU m) {
  std::lock_guard<std::mutex> l(ui().mu);
  if (!ui().menus.count(m)) {
    set_last_error(ERROR_INVALID_MENU_HANDLE);
    return FALSE;
  }
  destroy_menu_locked(m);
  return TRUE;
}

BOOL WINAPI TrackPopupMenu(HMENU m, UINT flags, int x, int y, int, HWND owner, const void *) {
  standin::ui::tracked_menu t{owner, flags, x, y, {}};
  std::function<UINT(const standin::ui::tracked_menu &)> pick;
  {
    std::lock_guard<std::mutex> l(ui().mu);
    auto it = ui().menus.find(m);
    if (it == ui().menus.end()) {
      set_last_error(ERROR_INVALID_MENU_HANDLE);
      return FALSE;
    }
    if (!find_locked(owner)) {
      set_last_error(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    for (auto &i : it->second) t.items.push_back(i.flags & MF_SEPARATOR ? "-" : i.text);
    ui().tracked.push_back(t);
    pick = ui().pick;
  }
  UINT cmd = pick ? pick(t) : 0;
  if (flags & TPM_RETURNCMD) return (BOOL)cmd;
  if (cmd) PostMessageA(owner, WM_COMMAND, cmd, 0);
  return TRUE;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  standin::ui::message_box b{owner, text ? text : "", caption ? caption : "Error", type};
  std::function<int(const standin::ui::message_box &)> answer;
  uint64_t serial = 0;
  HWND disabled = nullptr;
  {
    std::lock_guard<std::mutex> l(ui().mu);
    ui().boxes.push_back(b);
    answer = ui().answer;
    if (!answer) {
      serial = ++ui().next_box;
      ui().open_boxes.push_back({serial, GetCurrentThreadId(), b});
      // The owner takes no input while its box is up.
      ui_win *top = owner ? find_locked(top_level_locked(owner)) : nullptr;
      if (top && !top->disabled) {
        top->disabled = true;
        disabled = top_level_locked(owner);
      }
    }
  }
  if (answer) return answer(b);
  // The box's own loop: every message of the thread is dispatched meanwhile, as under a real box.
  // It closes (off the open list, its owner enabled again) in one step, once answered or on WM_QUIT.
  int result = IDOK;
  auto close = [&](bool answered_only) {
    std::lock_guard<std::mutex> l(ui().mu);
    auto &open = ui().open_boxes;
    auto it = std::find_if(open.begin(), open.end(), [&](const ui_state::open_box &o) { return o.serial == serial; });
    if (it != open.end()) {
      if (answered_only && !it->answered) return false;
      if (it->answered) result = it->answer;
      open.erase(it);
    }
    if (ui_win *w = disabled ? find_locked(disabled) : nullptr) w->disabled = false;
    return true;
  };
  for (;;) {
    if (close(true)) break;
    MSG m;
    BOOL r = GetMessageA(&m, nullptr, 0, 0);
    if (r == 0) {
      PostQuitMessage((int)m.wParam);  // the caller's loop still sees it
      close(false);
      break;
    }
    if (r == -1) {
      close(false);
      break;
    }
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  return result;
}

BOOL WINAPI MessageBeep(UINT type) {
  std::lock_guard<std::mutex> l(ui().mu);
  ui().beeps.push_back(type);
  return TRUE;
}

// Icons are shared, as the system's LoadIconA gives them: one handle per module and resource.
HICON WINAPI LoadIconA(HINSTANCE inst, LPCSTR name) {
  std::lock_guard<std::mutex> l(ui().mu);
  const auto *res = resources_locked(inst);
  int id = IS_INTRESOURCE(name) ? (int)(uintptr_t)name : -1;
  if (!res || std::find(res->icons.begin(), res->icons.end(), id) == res->icons.end() || ui().refused_icons.count(id)) {
    set_last_error(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  HICON &h = ui().icons[{inst ? inst : GetModuleHandleA(nullptr), id}];
  if (!h) h = reinterpret_cast<HICON>(ui().next_icon += 4);
  return h;
}

BOOL WINAPI DestroyIcon(HICON h) {
  std::lock_guard<std::mutex> l(ui().mu);
  for (auto &kv : ui().icons)
    if (kv.second == h) return TRUE;
  set_last_error(1402);  // ERROR_INVALID_CURSOR_HANDLE
  return FALSE;
}

int WINAPI LoadStringA(HINSTANCE inst, UINT id, LPSTR buf, int n) {
  if (!buf || n <= 0) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  buf[0] = 0;
  std::lock_guard<std::mutex> l(ui().mu);
  const auto *res = resources_locked(inst);
  if (res)
    for (auto &s : res->strings)
      if (s.id == id) {
        lstrcpynA(buf, s.text, n);
        return lstrlenA(buf);
      }
  set_last_error(ERROR_RESOURCE_NAME_NOT_FOUND);
  return 0;
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

BOOL WINAPI Shell_NotifyIconA(DWORD op, PNOTIFYICONDATAA d) {
  std::function<void(DWORD, HWND)> hook;
  {
    std::lock_guard<std::mutex> l(ui().mu);
    hook = ui().tray_hook;
  }
  if (hook) hook(op, d ? d->hWnd : nullptr);
  std::lock_guard<std::mutex> l(ui().mu);
  if (op < 3) ++ui().tray_calls[op];
  if (!d || d->cbSize < (DWORD)NOTIFYICONDATAA_V1_SIZE || op > NIM_DELETE) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto &t = ui().tray;
  auto it = std::find_if(t.begin(), t.end(),
                         [&](const standin::ui::tray_icon &i) { return i.hwnd == d->hWnd && i.id == d->uID; });
  size_t tip_max = d->cbSize == (DWORD)NOTIFYICONDATAA_V1_SIZE ? 64 : sizeof d->szTip;
  auto apply = [&](standin::ui::tray_icon &i) {
    if (d->uFlags & NIF_MESSAGE) i.callback = d->uCallbackMessage;
    if (d->uFlags & NIF_ICON) i.icon = d->hIcon;
    if (d->uFlags & NIF_TIP) i.tip.assign(d->szTip, strnlen(d->szTip, tip_max - 1));
  };
  switch (op) {
    case NIM_ADD: {
      if (ui().refuse_tray || it != t.end() || !find_locked(d->hWnd)) return FALSE;
      standin::ui::tray_icon i{d->hWnd, d->uID, 0, nullptr, {}};
      apply(i);
      t.push_back(i);
      return TRUE;
    }
    case NIM_MODIFY:
      if (it == t.end()) return FALSE;
      apply(*it);
      return TRUE;
    default:
      if (it == t.end()) return FALSE;
      t.erase(it);
      return TRUE;
  }
}

}  // extern "C"
