// The tray program's start, its icon, its menu and its end.
#include <standin/clock.h>

#include "ui_fixture.h"

namespace ui_test {
namespace {

class app_test : public ui_fixture {};

TEST_F(app_test, StartsHiddenAndShowsTheIconOnlyWhileADeviceIsPresent) {
  program p;
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(p.init_result());
  // Added during start-up, removed at its end: no device yet.
  EXPECT_EQ(standin::ui::tray_calls(NIM_ADD), 1u);
  EXPECT_GE(standin::ui::tray_calls(NIM_DELETE), 1u);
  EXPECT_EQ(icon_count(), 0u);
  HWND main = p.main_window();
  ASSERT_NE(main, nullptr);
  EXPECT_FALSE(standin::ui::visible(main));
  EXPECT_EQ(standin::ui::text(main), "Ondrel device manager");
  EXPECT_TRUE(box_texts().empty());

  // The first arrival brings the icon, with its fixed record.
  p.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));
  auto icon = standin::ui::tray_icons()[0];
  EXPECT_EQ(icon.callback, tray_icon::WM_TRAY_CALLBACK);
  EXPECT_EQ(icon.tip, "Ondrel device manager");
  EXPECT_NE(icon.icon, nullptr);
  EXPECT_EQ(icon.hwnd, p.app()->tray()->window());
  EXPECT_EQ(icon.id, (UINT)(UINT_PTR)p.app()->tray());

  // The last removal takes it away again.
  p.source()->unplug("usb#1");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 0; }));
  EXPECT_TRUE(p.quit());
}

TEST_F(app_test, SecondStartShowsItsBoxAndLeavesTheFirstRunning) {
  program first;
  ASSERT_TRUE(first.start());
  first.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));

  {
    device_monitor monitor;
    CDeviceManagerApp second(monitor);
    EXPECT_EQ(second.InitInstance(), FALSE);
    EXPECT_TRUE(second.second_instance());
    second.ExitInstance();
  }
  auto boxes = standin::ui::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "There is already a Keelmon application running.");
  EXPECT_EQ(boxes[0].type, (UINT)MB_OK);

  // The first instance still runs with its icon and answers its user.
  EXPECT_FALSE(first.finished());
  EXPECT_EQ(icon_count(), 1u);
  auto icon = standin::ui::tray_icons()[0];
  ASSERT_TRUE(standin::ui::tray_click(icon.hwnd, icon.id, WM_LBUTTONUP));
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::visible(first.main_window()); }));
  EXPECT_TRUE(first.quit());

  // Its mutex went with it: a new start is the only instance again.
  program third;
  ASSERT_TRUE(third.start());
  EXPECT_TRUE(third.init_result());
}

TEST_F(app_test, LeftClickShowsTheDeviceListInFront) {
  program p;
  ASSERT_TRUE(p.start());
  p.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));
  auto icon = standin::ui::tray_icons()[0];
  // Presses and double clicks do nothing.
  ASSERT_TRUE(standin::ui::tray_click(icon.hwnd, icon.id, WM_LBUTTONDOWN));
  ASSERT_TRUE(standin::ui::tray_click(icon.hwnd, icon.id, WM_LBUTTONDBLCLK));
  ASSERT_TRUE(standin::ui::tray_click(icon.hwnd, icon.id, WM_RBUTTONDOWN));
  ASSERT_TRUE(standin::ui::tray_click(icon.hwnd, icon.id, WM_LBUTTONUP));
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::visible(p.main_window()); }));
  EXPECT_EQ(standin::ui::foreground(), p.main_window());
  EXPECT_EQ(standin::ui::tray_icons()[0].tip, "Device driver - Setting up parameters...");
  EXPECT_TRUE(standin::ui::tracked_menus().empty());

  // OK hides it again and gives the icon back its tip.
  ASSERT_TRUE(standin::ui::press(p.main_window(), IDOK));
  ASSERT_TRUE(zephtest::wait_until([&] { return !standin::ui::visible(p.main_window()); }));
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::tray_icons()[0].tip == "Ondrel device manager"; }));
  EXPECT_TRUE(p.quit());
}

TEST_F(app_test, RightClickThenClickElsewhereRunsNoCommand) {
  standin::ui::set_cursor_pos(640, 470);
  program p;
  ASSERT_TRUE(p.start());
  p.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));
  zephtest::flag shown;
  std::atomic<HWND> owner_parent{nullptr};
  standin::ui::on_track_menu([&](const standin::ui::tracked_menu& m) {
    owner_parent = GetParent(m.owner);
    shown.set();
    return 0u;
  });
  auto icon = standin::ui::tray_icons()[0];
  ASSERT_TRUE(standin::ui::tray_click(icon.hwnd, icon.id, WM_RBUTTONUP));
  ASSERT_TRUE(shown.wait());
  auto menus = standin::ui::tracked_menus();
  ASSERT_EQ(menus.size(), 1u);
  EXPECT_EQ(menus[0].items, (std::vector<std::string>{"Set up devices...", "-", "Close application"}));
  EXPECT_EQ(menus[0].flags, 0x122u);
  EXPECT_EQ(menus[0].x, 640);
  EXPECT_EQ(menus[0].y, 470);
  EXPECT_EQ(owner_parent.load(), icon.hwnd);
  // The menu's owner window is gone, the program runs on unchanged.
  ASSERT_TRUE(zephtest::wait_until([&] { return !IsWindow(menus[0].owner); }));
  EXPECT_FALSE(p.finished());
  EXPECT_EQ(icon_count(), 1u);
  EXPECT_FALSE(standin::ui::visible(p.main_window()));
  EXPECT_TRUE(box_texts().empty());
  EXPECT_TRUE(p.quit());
}

TEST_F(app_test, SetUpDevicesShowsTheList) {
  program p;
  ASSERT_TRUE(p.start());
  p.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));
  standin::ui::on_track_menu([](const standin::ui::tracked_menu&) { return (UINT)ID_SET_UP_DEVICES; });
  auto icon = standin::ui::tray_icons()[0];
  ASSERT_TRUE(standin::ui::tray_click(icon.hwnd, icon.id, WM_RBUTTONUP));
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::visible(p.main_window()); }));
  EXPECT_EQ(standin::ui::foreground(), p.main_window());
  EXPECT_TRUE(p.quit());
}

TEST_F(app_test, CloseApplicationRemovesTheIconBeforeTheEnd) {
  program p;
  ASSERT_TRUE(p.start());
  p.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));
  standin::ui::on_track_menu([](const standin::ui::tracked_menu&) { return (UINT)ID_CLOSE_APPLICATION; });
  auto icon = standin::ui::tray_icons()[0];
  ASSERT_TRUE(standin::ui::tray_click(icon.hwnd, icon.id, WM_RBUTTONUP));
  ASSERT_TRUE(p.wait_finished());
  EXPECT_EQ(p.icons_at_exit(), 0u);
  EXPECT_EQ(icon_count(), 0u);
  EXPECT_TRUE(box_texts().empty());
}

TEST_F(app_test, ShellRestartBringsTheIconBack) {
  program p;
  ASSERT_TRUE(p.start());
  p.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));
  EXPECT_FALSE(tray_icon::taskbar_restarted());
  unsigned adds = standin::ui::tray_calls(NIM_ADD);
  standin::ui::restart_shell();
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1 && standin::ui::tray_calls(NIM_ADD) > adds; }));
  EXPECT_EQ(standin::ui::tray_icons()[0].tip, "Ondrel device manager");
  EXPECT_TRUE(tray_icon::taskbar_restarted());
  EXPECT_FALSE(tray_icon::taskbar_restarted());  // auto-reset

  // A hidden icon (no device) stays hidden across a restart.
  p.source()->unplug("usb#1");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 0; }));
  standin::ui::restart_shell();
  ASSERT_TRUE(zephtest::wait_until([] { return tray_icon::taskbar_restarted(); }));
  EXPECT_EQ(icon_count(), 0u);
  EXPECT_TRUE(p.quit());
}

TEST_F(app_test, RefusedIconIsAddedWhenTheShellComesBack) {
  program p;
  ASSERT_TRUE(p.start());
  standin::ui::refuse_tray_adds(true);
  p.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(zephtest::wait_until([&] { return p.app()->tray()->add_failed(); }));
  EXPECT_EQ(icon_count(), 0u);
  EXPECT_TRUE(box_texts().empty());  // a refusal is not an error the user sees
  standin::ui::refuse_tray_adds(false);
  standin::ui::restart_shell();
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));
  EXPECT_FALSE(p.app()->tray()->add_failed());
  EXPECT_TRUE(p.quit());
}

// ---- start-up failures -------------------------------------------------------------------------

TEST_F(app_test, DialogThatCannotBeMadeEndsTheStart) {
  standin::ui::refuse_dialog(IDD_DEVICE_LIST, true);
  program p;
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(p.wait_finished());
  auto boxes = standin::ui::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Application error (dialog box is not available) !");
  EXPECT_EQ(boxes[0].caption, "Keelmon");
  EXPECT_EQ(standin::ui::beeps(), std::vector<UINT>{MB_ICONHAND});
  EXPECT_EQ(standin::ui::tray_calls(NIM_ADD), 0u);
}

TEST_F(app_test, IconThatCannotBeLoadedEndsTheStart) {
  standin::ui::refuse_icon(IDR_MAINFRAME, true);
  program p;
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(p.wait_finished());
  EXPECT_EQ(box_texts(), std::vector<std::string>{"Application error (icon is not available) !"});
  EXPECT_EQ(standin::ui::beeps(), std::vector<UINT>{MB_ICONHAND});
  EXPECT_EQ(icon_count(), 0u);
}

TEST_F(app_test, MonitorThatCannotStartEndsTheStart) {
  // Neither source can start: no window for device notifications, no instrument library.
  standin::ui::refuse_window_class(interface_notification_source::window_class, true);
  program p(false);
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(p.wait_finished());
  auto boxes = standin::ui::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Request for change of peripheral interface failed !  Application will be stopped.");
  EXPECT_EQ(boxes[0].caption, "System error");
  EXPECT_EQ(boxes[0].type, (UINT)MB_ICONHAND);
  EXPECT_NE(boxes[0].owner, nullptr);
  EXPECT_EQ(standin::ui::beeps(), std::vector<UINT>{MB_ICONHAND});
  EXPECT_EQ(icon_count(), 0u);  // the icon went with the tray object
}

TEST_F(app_test, PopupMenuWithoutOwnerWindowTellsTheUser) {
  program p;
  ASSERT_TRUE(p.start());
  p.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));
  standin::ui::refuse_window_class("STATIC", true);
  auto icon = standin::ui::tray_icons()[0];
  ASSERT_TRUE(standin::ui::tray_click(icon.hwnd, icon.id, WM_RBUTTONUP));
  ASSERT_TRUE(zephtest::wait_until([&] { return !standin::ui::message_boxes().empty(); }));
  standin::ui::refuse_window_class("STATIC", false);
  EXPECT_EQ(box_texts(), std::vector<std::string>{"Application error (pop-up menu is not available) !"});
  EXPECT_EQ(standin::ui::beeps(), std::vector<UINT>{MB_ICONHAND});
  EXPECT_EQ(standin::ui::foreground(), p.main_window());
  EXPECT_TRUE(standin::ui::tracked_menus().empty());
  EXPECT_FALSE(p.finished());
  EXPECT_TRUE(p.quit());
}

// The start-up's removal of the icon (no device yet) happens under the monitor's lock taken for the
// count: a device reported meanwhile waits for it and then brings the icon back, instead of finding
// the icon still there and losing it to the removal right after.
TEST_F(app_test, StartUpCountsAndRemovesTheIconUnderOneHoldOfTheLock) {
  program p;
  std::atomic<bool> checked{false};
  std::atomic<bool> count_waited{false};
  std::thread other;
  zephtest::flag counted;
  const DWORD starter = GetCurrentThreadId();
  standin::ui::on_tray_call([&](DWORD op, HWND) {
    if (op != NIM_DELETE || GetCurrentThreadId() == starter || checked.exchange(true)) return;
    scripted_source* source = p.source();
    if (!source) return;
    device_monitor& monitor = source->monitor();
    // Another thread asks for the count while the icon goes: it must wait for the start-up.
    other = std::thread([&monitor, &counted] {
      monitor.device_count();
      counted.set();
    });
    count_waited = !counted.wait(std::chrono::milliseconds(200));
  });
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(p.init_result());
  standin::ui::on_tray_call(nullptr);
  ASSERT_TRUE(checked.load());
  EXPECT_TRUE(count_waited.load());
  EXPECT_TRUE(counted.wait());
  if (other.joinable()) zephtest::join(other);
  EXPECT_EQ(icon_count(), 0u);
  p.source()->plug("usb#1", "Tavo meter", "123");
  EXPECT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));
  EXPECT_TRUE(p.quit());
}

// Start-ups with an instrument arriving on the worker's first pass, racing the start-up's removal of the
// icon, for a few seconds: each ends with the icon shown for the device.
TEST_F(app_test, ArrivalsDuringStartUpAlwaysLeaveTheIconShown) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int runs = 0;
  while (std::chrono::steady_clock::now() < end) {
    standin::ui::reset();
    answer_boxes_at_once();
    program p;
    std::thread plugger([&p] {
      if (zephtest::wait_until([&p] { return p.source() != nullptr; }, zephtest::default_deadline,
                               std::chrono::milliseconds(0)))
        p.source()->plug("usb#1", "Tavo meter", "123");
    });
    ASSERT_TRUE(p.start());
    zephtest::join(plugger);
    EXPECT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; })) << "run " << runs;
    EXPECT_TRUE(p.quit());
    ++runs;
  }
  EXPECT_GT(runs, 1);
}

// A tray window thread that does not end in time (held in its menu) keeps the icon and the main dialog
// it reaches: the program ends without freeing them, and the thread finishes its command on them.
TEST_F(app_test, TrayThreadThatDoesNotEndKeepsWhatItUses) {
  standin::clock::set_long_wait_scale(0.01);  // the 10 s wait for the thread ends after 100 ms
  program p;
  ASSERT_TRUE(p.start());
  p.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));
  zephtest::flag in_menu, release;
  standin::ui::on_track_menu([&](const standin::ui::tracked_menu&) {
    in_menu.set();
    release.wait();
    return (UINT)ID_SET_UP_DEVICES;  // shows the main dialog: reaches the icon and the dialog
  });
  auto icon = standin::ui::tray_icons()[0];
  ASSERT_TRUE(standin::ui::tray_click(icon.hwnd, icon.id, WM_RBUTTONUP));
  ASSERT_TRUE(in_menu.wait());
  EXPECT_TRUE(p.quit());
  release.set();
  // The thread goes on with its command, then ends on the quit it was sent.
  EXPECT_TRUE(zephtest::wait_until([&] { return !IsWindow(icon.hwnd); }));
  standin::ui::on_track_menu(nullptr);
  standin::clock::reset();
}

}  // namespace
}  // namespace ui_test
