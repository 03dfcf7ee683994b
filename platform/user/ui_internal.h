// What window.cpp tells the user-interface part of the stand-in (ui*.cpp) and asks of it.
#ifndef WB_UI_INTERNAL_H
#define WB_UI_INTERNAL_H

#include <windows.h>

#include <vector>

namespace wb {

// Registers the system classes (controls, dialogs) once.
void ui_ensure_classes();
// True when tests made windows of this class fail.
bool ui_refuses(const char *cls);
// A window exists (before WM_NCCREATE) or is gone.
void ui_on_create(HWND h, HWND parent, int id, DWORD style, const char *title, const char *cls, int cx, int cy);
void ui_on_destroy(HWND h);
std::vector<HWND> ui_children(HWND h);
// Default handling of what DefWindowProcA leaves to the user interface (text, icons, system
// commands); false when it is not such a message.
bool ui_default(HWND h, UINT msg, WPARAM w, LPARAM l, LRESULT &result);

}  // namespace wb

#endif
