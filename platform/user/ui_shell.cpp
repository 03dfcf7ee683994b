// Message boxes, beeps and the taskbar notification area: what never blocks, recorded and answered
// by the tests.
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
