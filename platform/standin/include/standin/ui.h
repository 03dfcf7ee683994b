// What tests see of the user interface: the notification area, popup menus, message boxes, beeps,
// dialogs and their controls, and the resources a module carries on Linux (where no resource
// compiler links them into the program).
#ifndef STANDIN_UI_H
#define STANDIN_UI_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace standin::ui {

// ---- resources -------------------------------------------------------------------------------

struct control_template {
  const char *cls;  // "BUTTON", "STATIC", "EDIT", "LISTBOX", "COMBOBOX"
  int id;
  const char *text;
  int x, y, cx, cy;
  DWORD style;
};
struct dialog_template {
  int id;
  int x, y, cx, cy;
  DWORD style;
  const char *title;
  std::vector<control_template> controls;
};
enum class menu_entry_kind { item, separator, popup_begin, popup_end };
struct menu_entry {
  menu_entry_kind kind;
  const char *text;
  UINT id;
};
struct menu_template {
  int id;
  std::vector<menu_entry> entries;  // popups nest between popup_begin and popup_end
};
struct string_entry {
  UINT id;
  const char *text;
};
struct module_resources {
  std::vector<string_entry> strings;
  std::vector<menu_template> menus;
  std::vector<dialog_template> dialogs;
  std::vector<int> icons;
  std::vector<int> bitmaps;
};
// Gives a module its resources (adds to what it has).
void add_resources(HMODULE module, const module_resources &r);

// ---- the notification area -----------------------------------------------------------------

struct tray_icon {
  HWND hwnd;
  UINT id;
  UINT callback;
  HICON icon;
  std::string tip;
};
std::vector<tray_icon> tray_icons();
// While set, NIM_ADD is refused (as a shell that is not up yet refuses it).
void refuse_tray_adds(bool refuse);
// Calls of Shell_NotifyIconA per operation (NIM_ADD, NIM_MODIFY, NIM_DELETE), refused ones included.
unsigned tray_calls(DWORD operation);
// The shell restarts: every icon is gone and "TaskBarCreated" is posted to every top-level window.
void restart_shell();
// The user acts on an icon: its callback message with the mouse message in lParam.
bool tray_click(HWND hwnd, UINT id, UINT mouse_message);

// ---- menus, message boxes, beeps ----------------------------------------------------------

struct tracked_menu {
  HWND owner;
  UINT flags;
  int x, y;
  std::vector<std::string> items;  // "-" for a separator
};
// What TrackPopupMenu does: the command the user picks, or 0 when he clicks elsewhere. Unset: 0.
void on_track_menu(std::function<UINT(const tracked_menu &)> pick);
std::vector<tracked_menu> tracked_menus();
void set_cursor_pos(int x, int y);

struct message_box {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};
std::vector<message_box> message_boxes();
std::vector<UINT> beeps();
// Scripts the boxes: runs on the thread that shows a box, which returns `answer`'s result at once.
// Unscripted (null, and after reset()), a box is modal as on Windows: its owner (top-level) is
// disabled and the showing thread dispatches its messages until a test answers the box.
void on_message_box(std::function<int(const message_box &)> answer);
// The unscripted boxes up, oldest first (an answered one until its loop has closed it).
std::vector<message_box> open_boxes();
// The user answers the oldest open box with this text (any box for ""): false when none is up.
bool answer_box(const std::string &text, int answer);

// ---- windows, dialogs and controls ---------------------------------------------------------

// The live dialog made from template `id` (the newest), or NULL.
HWND find_dialog(int id);
// Dialogs made from template `id` fail (CreateDialogParamA, DialogBoxParamA) while set.
void refuse_dialog(int id, bool refuse);
// LoadIconA of icon `id` fails while set.
void refuse_icon(int id, bool refuse);
// CreateWindowExA of that class fails (ERROR_NOT_ENOUGH_MEMORY) while set.
void refuse_window_class(const std::string &name, bool refuse);
HWND control(HWND dialog, int id);
std::string text(HWND hwnd);
bool visible(HWND hwnd);
HWND foreground();
HICON window_icon(HWND hwnd, bool big);
std::vector<std::string> items(HWND list_or_combo);
int selection(HWND list_or_combo);
int horizontal_extent(HWND list);
std::vector<std::string> system_menu_items(HWND hwnd);
// The user picks line `index` of a list box or combo box (its notification goes to the parent).
// False, nothing done, when its window is disabled (a modal box is up over it), as input is then.
bool pick(HWND list_or_combo, int index, bool double_click = false);
// The user presses a button of a dialog (WM_COMMAND posted to the dialog); false when the dialog is
// disabled.
bool press(HWND dialog, int id);
// Shell_NotifyIconA calls, on the calling thread before the call takes effect (null: none).
void on_tray_call(std::function<void(DWORD operation, HWND hwnd)> hook);
// Icons drawn with DrawIcon: the window painted, the place and the icon.
struct drawn_icon {
  HWND hwnd;
  int x, y;
  HICON icon;
};
std::vector<drawn_icon> drawn_icons();
// Size of an icon (GetSystemMetrics) and of a client area: the window's size as made.
inline constexpr int icon_size = 32;
// Width of one character as GetTextExtentPoint32A measures it.
inline constexpr int char_width = 6;

// Forgets message boxes, beeps, tracked menus, refusals, hooks and the notification area's icons
// (not windows); boxes still up are answered IDOK.
void reset();

}  // namespace standin::ui

#endif
