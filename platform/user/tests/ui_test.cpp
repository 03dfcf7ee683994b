// The stand-in's user interface: controls, dialogs, menus, message boxes, resources and the
// notification area, as the tray program relies on them.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <standin/ui.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "zephtest/wait.h"

namespace {

using standin::ui::menu_entry_kind;

constexpr int kDialog = 700;
constexpr int kList = 10, kCombo = 11, kEdit = 12;
constexpr int kMenu = 800;

void add_test_resources() {
  static bool done = false;
  if (done) return;
  done = true;
  standin::ui::module_resources r;
  r.strings = {{1, "first"}, {2, "a longer second string"}};
  r.icons = {5};
  r.menus = {{kMenu,
              {{menu_entry_kind::popup_begin, "Top", 0},
               {menu_entry_kind::item, "One", 101},
               {menu_entry_kind::separator, "", 0},
               {menu_entry_kind::item, "Two", 102},
               {menu_entry_kind::popup_end, "", 0}}}};
  r.dialogs = {{kDialog,
                0,
                0,
                100,
                50,
                WS_POPUP | WS_CAPTION | WS_SYSMENU,
                "Test dialog",
                {{"LISTBOX", kList, "", 0, 0, 10, 10, WS_VISIBLE | LBS_SORT | LBS_NOTIFY},
                 {"COMBOBOX", kCombo, "", 0, 0, 10, 10, WS_VISIBLE | CBS_DROPDOWNLIST},
                 {"EDIT", kEdit, "start", 0, 0, 10, 10, WS_VISIBLE},
                 {"BUTTON", IDOK, "OK", 0, 0, 10, 10, WS_VISIBLE}}}};
  standin::ui::add_resources(GetModuleHandleA(nullptr), r);
}

struct seen {
  std::vector<std::pair<int, int>> commands;  // id, notification code
  int init_calls = 0;
};
seen *g_seen = nullptr;

INT_PTR CALLBACK test_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    ++g_seen->init_calls;
    EXPECT_EQ(lp, 77);
    EXPECT_NE(GetDlgItem(h, kList), nullptr);  // controls exist before the dialog's init
    return TRUE;
  }
  if (msg == WM_COMMAND) {
    g_seen->commands.push_back({LOWORD(wp), HIWORD(wp)});
    if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) EndDialog(h, LOWORD(wp) == IDOK ? 42 : 43);
    return TRUE;
  }
  return FALSE;
}

// A hidden top-level window of its own class, gone with the object.
struct popup_window {
  explicit popup_window(const char *cls) : cls(cls) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = cls;
    RegisterClassA(&wc);
    h = CreateWindowExA(0, cls, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  }
  ~popup_window() {
    DestroyWindow(h);
    UnregisterClassA(cls, nullptr);
  }
  const char *cls;
  HWND h;
};

class ui_test : public ::testing::Test {
 protected:
  void SetUp() override {
    add_test_resources();
    standin::ui::reset();
    g_seen = &seen_;
  }
  void TearDown() override {
    standin::ui::reset();
    g_seen = nullptr;
  }
  seen seen_;
};

TEST_F(ui_test, ControlsKeepTextsItemsAndSelections) {
  HWND d = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kDialog), nullptr, test_proc, 77);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(seen_.init_calls, 1);
  EXPECT_FALSE(IsWindowVisible(d));                     // the template is not WS_VISIBLE
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(d, kList)));  // a child shows only with its parent
  ShowWindow(d, SW_SHOW);
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(d, kList)));

  // A sorted list box orders without regard to case and answers errors for bad indexes.
  for (const char *s : {"delta", "Alpha", "charlie", "bravo"})
    SendDlgItemMessageA(d, kList, LB_ADDSTRING, 0, (LPARAM)s);
  EXPECT_EQ(standin::ui::items(GetDlgItem(d, kList)), (std::vector<std::string>{"Alpha", "bravo", "charlie", "delta"}));
  char buf[32];
  EXPECT_EQ(SendDlgItemMessageA(d, kList, LB_GETTEXT, 1, (LPARAM)buf), 5);
  EXPECT_STREQ(buf, "bravo");
  EXPECT_EQ(SendDlgItemMessageA(d, kList, LB_GETTEXTLEN, 4, 0), LB_ERR);
  EXPECT_EQ(SendDlgItemMessageA(d, kList, LB_GETCURSEL, 0, 0), LB_ERR);
  // An unsorted combo box keeps the order of addition.
  for (const char *s : {"20", "10"}) SendDlgItemMessageA(d, kCombo, CB_ADDSTRING, 0, (LPARAM)s);
  EXPECT_EQ(SendDlgItemMessageA(d, kCombo, CB_SETCURSEL, 5, 0), CB_ERR);
  EXPECT_EQ(SendDlgItemMessageA(d, kCombo, CB_SETCURSEL, 1, 0), 1);
  EXPECT_EQ(SendDlgItemMessageA(d, kCombo, CB_GETLBTEXT, 1, (LPARAM)buf), 2);
  EXPECT_STREQ(buf, "10");

  // A user's pick notifies the dialog on its thread.
  ASSERT_TRUE(standin::ui::pick(GetDlgItem(d, kList), 2, true));
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  EXPECT_EQ(standin::ui::selection(GetDlgItem(d, kList)), 2);
  EXPECT_EQ(seen_.commands, (std::vector<std::pair<int, int>>{{kList, LBN_SELCHANGE}, {kList, LBN_DBLCLK}}));

  // Window texts, with truncation to the caller's buffer.
  EXPECT_EQ(GetDlgItemTextA(d, kEdit, buf, 4), 3u);
  EXPECT_STREQ(buf, "sta");
  EXPECT_TRUE(SetDlgItemTextA(d, kEdit, "changed"));
  EXPECT_EQ(standin::ui::text(GetDlgItem(d, kEdit)), "changed");
  EXPECT_EQ(GetWindowTextLengthA(d), 11);

  HWND list = GetDlgItem(d, kList);
  ASSERT_TRUE(DestroyWindow(d));
  EXPECT_FALSE(IsWindow(list));  // children go with the dialog
}

TEST_F(ui_test, DlgItemIntReadsOnlyWholeNumbersInRange) {
  HWND d = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kDialog), nullptr, test_proc, 77);
  ASSERT_NE(d, nullptr);
  struct {
    const char *text;
    BOOL is_signed;
    BOOL ok;
    UINT value;
  } cases[] = {{"123", FALSE, TRUE, 123},
               {" 7 ", FALSE, TRUE, 7},
               {"", FALSE, FALSE, 0},
               {"12a", FALSE, FALSE, 0},
               {"-5", FALSE, FALSE, 0},
               {"-5", TRUE, TRUE, (UINT)-5},
               {"4294967295", FALSE, TRUE, 0xFFFFFFFFu},
               {"4294967296", FALSE, FALSE, 0},
               {"2147483648", TRUE, FALSE, 0}};
  for (auto &c : cases) {
    SetDlgItemTextA(d, kEdit, c.text);
    BOOL ok = -1;
    EXPECT_EQ(GetDlgItemInt(d, kEdit, &ok, c.is_signed), c.value) << c.text;
    EXPECT_EQ(ok, c.ok) << c.text;
  }
  SetDlgItemInt(d, kEdit, 999, FALSE);
  EXPECT_EQ(standin::ui::text(GetDlgItem(d, kEdit)), "999");
  DestroyWindow(d);
}

// For a modal loop of this thread: one that nobody ends within the deadline fails the case and is
// ended by a quit.
zephtest::watchdog quit_if_stuck() {
  return zephtest::watchdog([self = GetCurrentThreadId()] {
    ADD_FAILURE() << "the modal loop did not end";
    PostThreadMessageA(self, WM_QUIT, 0, 0);
  });
}

TEST_F(ui_test, ModalDialogEndsWithItsResultAndPassesQuitOn) {
  std::thread user([] {
    HWND d = nullptr;
    ASSERT_TRUE(zephtest::wait_until([&] {
      d = standin::ui::find_dialog(kDialog);
      return d && IsWindowVisible(d);
    }));
    standin::ui::press(d, IDOK);
  });
  {
    auto dog = quit_if_stuck();
    EXPECT_EQ(DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kDialog), nullptr, test_proc, 77), 42);
  }
  zephtest::join(user);
  EXPECT_EQ(standin::ui::find_dialog(kDialog), nullptr);

  // A quit that arrives while the dialog runs ends it and stays for the caller's loop.
  std::thread quitter([] {
    HWND d = nullptr;
    ASSERT_TRUE(zephtest::wait_until([&] {
      d = standin::ui::find_dialog(kDialog);
      return d && IsWindowVisible(d);
    }));
    PostMessageA(d, WM_QUIT, 5, 0);
  });
  {
    auto dog = quit_if_stuck();
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kDialog), nullptr, test_proc, 77);
  }
  zephtest::join(quitter);
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_QUIT);
  EXPECT_EQ(m.wParam, 5u);

  standin::ui::refuse_dialog(kDialog, true);
  EXPECT_EQ(DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kDialog), nullptr, test_proc, 77), -1);
  EXPECT_EQ(CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(999), nullptr, test_proc, 77), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST_F(ui_test, MenusFromResourcesAndTrackedByTheTestHook) {
  HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kMenu));
  ASSERT_NE(menu, nullptr);
  HMENU top = GetSubMenu(menu, 0);
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(GetMenuItemCount(top), 3);
  EXPECT_EQ(GetSubMenu(top, 0), nullptr);  // a plain item has no submenu

  popup_window owner_window("ui_test_owner");
  HWND owner = owner_window.h;
  ASSERT_NE(owner, nullptr);
  standin::ui::set_cursor_pos(3, 4);
  POINT at{};
  ASSERT_TRUE(GetCursorPos(&at));
  // Without a hook the user clicks elsewhere: no command.
  EXPECT_EQ(TrackPopupMenu(top, TPM_RETURNCMD, at.x, at.y, 0, owner, nullptr), 0);
  standin::ui::on_track_menu([](const standin::ui::tracked_menu &m) { return m.items.size() == 3 ? 102u : 0u; });
  EXPECT_EQ(TrackPopupMenu(top, TPM_RETURNCMD, at.x, at.y, 0, owner, nullptr), 102);
  // Without TPM_RETURNCMD the command is posted to the owner.
  EXPECT_EQ(TrackPopupMenu(top, 0, at.x, at.y, 0, owner, nullptr), TRUE);
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, owner, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_COMMAND);
  EXPECT_EQ(m.wParam, 102u);
  auto tracked = standin::ui::tracked_menus();
  ASSERT_EQ(tracked.size(), 3u);
  EXPECT_EQ(tracked[0].items, (std::vector<std::string>{"One", "-", "Two"}));
  EXPECT_EQ(tracked[0].x, 3);
  EXPECT_EQ(tracked[0].y, 4);

  EXPECT_TRUE(DestroyMenu(menu));
  EXPECT_EQ(GetMenuItemCount(top), -1);  // the submenu went with it
  EXPECT_FALSE(TrackPopupMenu(top, TPM_RETURNCMD, 0, 0, 0, owner, nullptr));
}

TEST_F(ui_test, NotificationAreaFollowsTheShellsRules) {
  popup_window tray_window("ui_test_tray");
  HWND w = tray_window.h;
  ASSERT_NE(w, nullptr);
  NOTIFYICONDATAA d{};
  d.cbSize = NOTIFYICONDATAA_V1_SIZE;
  d.hWnd = w;
  d.uID = 9;
  d.uFlags = NIF_MESSAGE | NIF_TIP;
  d.uCallbackMessage = WM_APP + 1;
  memset(d.szTip, 'x', sizeof d.szTip - 1);         // longer than the first form's 64 characters
  EXPECT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &d));  // not there yet
  ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, &d));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &d));  // once only
  auto icons = standin::ui::tray_icons();
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].tip, std::string(63, 'x'));

  ASSERT_TRUE(standin::ui::tray_click(w, 9, WM_RBUTTONUP));
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, w, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_APP + 1);
  EXPECT_EQ(m.wParam, 9u);
  EXPECT_EQ(m.lParam, WM_RBUTTONUP);

  // A restart empties the area and tells every top-level window.
  standin::ui::restart_shell();
  EXPECT_TRUE(standin::ui::tray_icons().empty());
  ASSERT_TRUE(PeekMessageA(&m, w, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, RegisterWindowMessageA("taskbarcreated"));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &d));

  standin::ui::refuse_tray_adds(true);
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &d));
  EXPECT_EQ(standin::ui::tray_calls(NIM_ADD), 3u);
  d.cbSize = 20;
  standin::ui::refuse_tray_adds(false);
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &d));  // a record too small for the first form
}

TEST_F(ui_test, StringsIconsAndBoxes) {
  HMODULE self = GetModuleHandleA(nullptr);
  char buf[8];
  EXPECT_EQ(LoadStringA(self, 2, buf, sizeof buf), 7);
  EXPECT_STREQ(buf, "a longe");
  EXPECT_EQ(LoadStringA(self, 3, buf, sizeof buf), 0);
  HICON icon = LoadIconA(self, MAKEINTRESOURCEA(5));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(LoadIconA(self, MAKEINTRESOURCEA(5)), icon);  // shared
  EXPECT_EQ(LoadIconA(self, MAKEINTRESOURCEA(6)), nullptr);
  standin::ui::refuse_icon(5, true);
  EXPECT_EQ(LoadIconA(self, MAKEINTRESOURCEA(5)), nullptr);

  standin::ui::on_message_box(
      [](const standin::ui::message_box &b) { return b.type == MB_OKCANCEL ? IDCANCEL : IDOK; });
  EXPECT_EQ(MessageBoxA(nullptr, "text", nullptr, MB_OKCANCEL), IDCANCEL);
  MessageBeep(MB_ICONHAND);
  auto boxes = standin::ui::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Error");  // the system's caption when none is given
  EXPECT_EQ(standin::ui::beeps(), std::vector<UINT>{MB_ICONHAND});
}

// What a window of another thread records of the messages it handles.
struct show_record {
  std::atomic<DWORD> show_tid{0};
  std::atomic<bool> shown_before_return{false};
  std::atomic<bool> returned{false};
};
show_record *g_show = nullptr;

LRESULT CALLBACK show_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_SHOWWINDOW && g_show && wp) {
    g_show->show_tid = GetCurrentThreadId();
    g_show->shown_before_return = !g_show->returned.load();
  }
  return DefWindowProcA(h, msg, wp, lp);
}

// ShowWindow on a window of another thread is handled by that thread: the caller waits for it.
TEST_F(ui_test, ShowingAnotherThreadsWindowWaitsForThatThread) {
  show_record rec;
  g_show = &rec;
  std::atomic<HWND> made{nullptr};
  std::atomic<DWORD> owner_tid{0};
  zephtest::flag go, done;
  std::thread owner([&] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = show_proc;
    wc.lpszClassName = "wb.show";
    RegisterClassA(&wc);
    owner_tid = GetCurrentThreadId();
    made = CreateWindowExA(0, "wb.show", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    go.wait();  // answers nothing until told
    while (!done.is_set()) {
      MSG m;
      while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
      Sleep(1);
    }
    DestroyWindow(made.load());
    UnregisterClassA("wb.show", nullptr);
  });
  ASSERT_TRUE(zephtest::wait_until([&] { return made.load() != nullptr; }));
  std::thread caller([&] {
    ShowWindow(made.load(), SW_SHOW);
    rec.returned = true;
  });
  go.set();
  zephtest::join(caller);
  done.set();
  zephtest::join(owner);
  g_show = nullptr;
  EXPECT_EQ(rec.show_tid.load(), owner_tid.load());
  EXPECT_TRUE(rec.shown_before_return.load());
}

std::atomic<int> g_box_owner_commands{0};

INT_PTR CALLBACK box_owner_proc(HWND, UINT msg, WPARAM wp, LPARAM) {
  if (msg == WM_COMMAND && LOWORD(wp) == kEdit) {
    ++g_box_owner_commands;
    return TRUE;
  }
  return FALSE;
}

// An unscripted box is modal: its owner takes no input, the thread's messages are dispatched under it,
// and it returns what the user answers.
TEST_F(ui_test, UnscriptedBoxRunsAModalLoopOverADisabledOwner) {
  HWND d = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kDialog), nullptr, box_owner_proc, 0);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(IsWindowEnabled(d));
  std::atomic<int> answer{0};
  std::thread user([&] {
    if (!zephtest::wait_until([] { return standin::ui::open_boxes().size() == 1; })) return;
    // The owner and its controls take no input while the box is up; posted messages still arrive.
    EXPECT_FALSE(standin::ui::press(d, IDOK));
    EXPECT_FALSE(standin::ui::pick(GetDlgItem(d, kList), 0));
    EXPECT_FALSE(IsWindowEnabled(d));
    PostMessageA(d, WM_COMMAND, MAKEWPARAM(kEdit, 0), 0);
    zephtest::wait_until([] { return g_box_owner_commands.load() == 1; });
    EXPECT_FALSE(standin::ui::answer_box("another text", IDCANCEL));
    EXPECT_TRUE(standin::ui::answer_box("question", IDCANCEL));
  });
  {
    auto dog = quit_if_stuck();
    answer = MessageBoxA(d, "question", "title", MB_OKCANCEL);
  }
  zephtest::join(user);
  EXPECT_EQ(answer.load(), IDCANCEL);
  EXPECT_EQ(g_box_owner_commands.load(), 1);
  EXPECT_TRUE(IsWindowEnabled(d));
  EXPECT_TRUE(standin::ui::open_boxes().empty());
  EXPECT_FALSE(standin::ui::answer_box("", IDOK));
  DestroyWindow(d);
}

}  // namespace
