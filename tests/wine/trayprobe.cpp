// trayprobe.exe: drives the tray program from outside, as a user would, under a Win32 that is not ours.
// It reads windows, never pixels.
//   trayprobe tray                 waits for the tray window; prints the id of the process that owns it
//   trayprobe box TITLE            waits for a message box titled TITLE; prints its owner and its text
//   trayprobe ok TITLE             presses OK on that box
//   trayprobe close PROGRAM        opens the tray menu through the tray window and picks "Close application"
//                                  (the item's place is read from PROGRAM's menu resource: another
//                                  process's menu handle cannot be read)
// Exit code 0 on success, 1 when the window or item is not there by the deadline, 2 for a bad command.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "zephtest/wait.h"

namespace {

constexpr char tray_class[] = "StatusBarWnd";
constexpr char tray_title[] = "StatusBarButton";
constexpr UINT tray_callback = 0x3410;
constexpr char close_item[] = "Close application";
constexpr WORD tray_menu_id = 134;

struct box_search {
    const char *title;
    HWND found;
};

BOOL CALLBACK find_box(HWND hwnd, LPARAM param) {
    auto *s = reinterpret_cast<box_search *>(param);
    char cls[64] = {};
    char text[256] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, text, sizeof text);
    if (std::strcmp(cls, "#32770") == 0 && std::strcmp(text, s->title) == 0 && IsWindowVisible(hwnd)) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND wait_for_box(const char *title) {
    box_search s{title, nullptr};
    zephtest::wait_until([&] { return EnumWindows(find_box, reinterpret_cast<LPARAM>(&s)), s.found != nullptr; },
                         zephtest::default_deadline, std::chrono::milliseconds(50));
    if (!s.found) std::fprintf(stderr, "no box titled \"%s\"\n", title);
    return s.found;
}

// The box's message: its static controls that carry text (the icon's static has none).
BOOL CALLBACK collect_text(HWND hwnd, LPARAM param) {
    char cls[64] = {};
    char text[1024] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") == 0 && GetWindowTextA(hwnd, text, sizeof text) > 0) {
        auto *out = reinterpret_cast<std::string *>(param);
        if (!out->empty()) *out += ' ';
        *out += text;
    }
    return TRUE;
}

int show_box(const char *title) {
    HWND box = wait_for_box(title);
    if (!box) return 1;
    std::string text;
    EnumChildWindows(box, collect_text, reinterpret_cast<LPARAM>(&text));
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);
    std::printf("%lu %s\n", static_cast<unsigned long>(pid), text.c_str());
    return text.empty() ? 1 : 0;
}

int press_ok(const char *title) {
    HWND box = wait_for_box(title);
    if (!box) return 1;
    HWND ok = GetDlgItem(box, IDOK);
    if (!ok) {
        std::fprintf(stderr, "the box has no OK button\n");
        return 1;
    }
    PostMessageA(ok, BM_CLICK, 0, 0);
    // Gone once its owner took the click.
    if (!zephtest::wait_until([&] { return !IsWindow(box); }, zephtest::default_deadline,
                              std::chrono::milliseconds(50))) {
        std::fprintf(stderr, "the box is still up after OK\n");
        return 1;
    }
    return 0;
}

HWND wait_for_tray() {
    HWND tray = nullptr;
    zephtest::wait_until([&] { return (tray = FindWindowA(tray_class, tray_title)) != nullptr; },
                         zephtest::default_deadline, std::chrono::milliseconds(50));
    if (!tray) std::fprintf(stderr, "no tray window\n");
    return tray;
}

int show_tray() {
    HWND tray = wait_for_tray();
    if (!tray) return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(tray, &pid);
    std::printf("%lu\n", static_cast<unsigned long>(pid));
    return 0;
}

struct menu_search {
    DWORD thread;
    HWND found;
};

BOOL CALLBACK find_menu(HWND hwnd, LPARAM param) {
    auto *s = reinterpret_cast<menu_search *>(param);
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (std::strcmp(cls, "#32768") == 0 && IsWindowVisible(hwnd) &&
        GetWindowThreadProcessId(hwnd, nullptr) == s->thread) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The number of down-arrow presses that select `text` from a menu with nothing selected
// (separators are skipped), or 0 when it is not there.
int presses_to(HMENU menu, const char *text) {
    int count = GetMenuItemCount(menu);
    int presses = 0;
    for (int i = 0; i < count; ++i) {
        char item[128] = {};
        if (GetMenuStringA(menu, i, item, sizeof item, MF_BYPOSITION) <= 0) continue;  // a separator
        ++presses;
        if (std::strcmp(item, text) == 0) return presses;
    }
    return 0;
}

int close_application(const char *program) {
    HMODULE image = LoadLibraryExA(program, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HMENU bar = image ? LoadMenuA(image, MAKEINTRESOURCEA(tray_menu_id)) : nullptr;
    HMENU commands = bar ? GetSubMenu(bar, 0) : nullptr;
    int presses = commands ? presses_to(commands, close_item) : 0;
    if (bar) DestroyMenu(bar);
    if (presses == 0) {
        std::fprintf(stderr, "%s has no tray menu with \"%s\"\n", program, close_item);
        return 1;
    }
    HWND tray = wait_for_tray();
    if (!tray) return 1;
    // A right click on the icon, as the shell reports it to the tray window.
    PostMessageA(tray, tray_callback, 0, WM_RBUTTONUP);
    menu_search s{GetWindowThreadProcessId(tray, nullptr), nullptr};
    zephtest::wait_until([&] { return EnumWindows(find_menu, reinterpret_cast<LPARAM>(&s)), s.found != nullptr; },
                         zephtest::default_deadline, std::chrono::milliseconds(50));
    if (!s.found) {
        std::fprintf(stderr, "the tray menu did not open\n");
        return 1;
    }
    // The menu's own loop reads the keys from its thread's queue.
    for (int i = 0; i < presses; ++i) PostMessageA(s.found, WM_KEYDOWN, VK_DOWN, 1);
    PostMessageA(s.found, WM_KEYDOWN, VK_RETURN, 1);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "tray" && argc == 2) return show_tray();
    if (command == "box" && argc == 3) return show_box(argv[2]);
    if (command == "ok" && argc == 3) return press_ok(argv[2]);
    if (command == "close" && argc == 3) return close_application(argv[2]);
    std::fprintf(stderr, "usage: trayprobe tray | box TITLE | ok TITLE | close PROGRAM\n");
    return 2;
}
