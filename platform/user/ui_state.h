// The user interface's shared state: its windows, menus, resources, message boxes and notification
// area, and the helpers that reach them under the state's lock. Internal to ui*.cpp.
#ifndef WB_UI_STATE_H
#define WB_UI_STATE_H

#include <windows.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "standin/ui.h"

namespace wb {

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

ui_state &ui();

std::string upper(const char *s);

ui_win *find_locked(HWND h);

// The window a child belongs to (itself for a top-level window): what input reaches, and what a
// modal box disables.
HWND top_level_locked(HWND h);

bool enabled_locked(HWND h);

UINT pick_message();

void destroy_menu_locked(HMENU m);

HMENU new_menu_locked();

const standin::ui::module_resources *resources_locked(HINSTANCE inst);

}  // namespace wb

#endif  // WB_UI_STATE_H
