// Resources of the user interface: menus (loaded, built, tracked as popups), icons and strings.
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

extern "C" {

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

}  // extern "C"
