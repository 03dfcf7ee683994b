// The Linux build's counterpart of keelmon.rc: the same .inc files as a table the stand-in serves to
// LoadStringA, LoadMenuA, LoadIconA and the dialog calls of the program's module.
#include <windows.h>

#include <standin/ui.h>

#include "../resource.h"

namespace {

using standin::ui::menu_entry_kind;

standin::ui::module_resources table() {
  standin::ui::module_resources r;
#define KEEL_STRING(id, text) r.strings.push_back({id, text});
#include "strings.inc"

#define KEEL_MENU(id) r.menus.push_back({id, {}});
#define KEEL_POPUP(text) r.menus.back().entries.push_back({menu_entry_kind::popup_begin, text, 0});
#define KEEL_ITEM(text, id) r.menus.back().entries.push_back({menu_entry_kind::item, text, id});
#define KEEL_SEPARATOR() r.menus.back().entries.push_back({menu_entry_kind::separator, "", 0});
#define KEEL_POPUP_END() r.menus.back().entries.push_back({menu_entry_kind::popup_end, "", 0});
#define KEEL_MENU_END()
#include "menus.inc"

#define KEEL_DIALOG(id, x, y, cx, cy, style, title) r.dialogs.push_back({id, x, y, cx, cy, (DWORD)(style), title, {}});
#define KEEL_CONTROL(cls, id, text, x, y, cx, cy, style) \
  r.dialogs.back().controls.push_back({cls, id, text, x, y, cx, cy, (DWORD)(style)});
#define KEEL_IMAGE(id, bitmap, x, y, cx, cy) \
  r.dialogs.back().controls.push_back({"STATIC", id, "", x, y, cx, cy, (DWORD)(WS_CHILD | WS_VISIBLE | SS_BITMAP)});
#define KEEL_DIALOG_END()
#include "dialogs.inc"

  r.icons.push_back(IDR_MAINFRAME);
  r.bitmaps.push_back(IDB_ABOUT);
  return r;
}

// Runs when the program (or a test linking the application) is loaded, as the resource section of
// an executable is there from its start.
const int registered = (standin::ui::add_resources(GetModuleHandleA(nullptr), table()), 0);

}  // namespace
