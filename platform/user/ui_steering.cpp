// How tests watch and steer the user interface (standin/ui.h).
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
