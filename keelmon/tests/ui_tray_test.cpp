// The tray icon on its own: its window thread, the shell calls under its flags, and the slots.
#include <windows.h>

#include <gtest/gtest.h>

#include <standin/clock.h>
#include <standin/ui.h>

#include <atomic>
#include <memory>
#include <string>

#include "app/resource.h"
#include "app/tray_icon.h"
#include "zephtest/wait.h"

namespace {

using keelmon::tray_icon;

class counting_icon : public tray_icon {
 public:
  counting_icon() : tray_icon(GetModuleHandleA(nullptr)) {}
  ~counting_icon() override { shut_down(); }
  std::atomic<int> calls[5] = {};

 protected:
  void on_left_button_down() override { ++calls[0]; }
  void on_left_button_up() override { ++calls[1]; }
  void on_right_button_down() override { ++calls[2]; }
  void on_right_button_up() override { ++calls[3]; }
  void on_left_double_click() override { ++calls[4]; }
};

class tray_test : public ::testing::Test {
 protected:
  void SetUp() override { standin::ui::reset(); }
  void TearDown() override { standin::ui::reset(); }
};

TEST_F(tray_test, AddShowsTheFixedRecordOnce) {
  counting_icon icon;
  ASSERT_TRUE(icon.add(IDR_MAINFRAME, std::string(100, 't').c_str(), false));
  ASSERT_TRUE(icon.add(IDR_MAINFRAME, "other", false));  // already there: nothing asked of the shell
  EXPECT_EQ(standin::ui::tray_calls(NIM_ADD), 1u);
  auto icons = standin::ui::tray_icons();
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].hwnd, icon.window());
  EXPECT_EQ(icons[0].id, (UINT)(UINT_PTR)&icon);
  EXPECT_EQ(icons[0].callback, 0x3410u);
  EXPECT_EQ(icons[0].tip, std::string(63, 't'));
  // The hidden window is the class's, on its own thread.
  EXPECT_NE(GetWindowThreadProcessId(icon.window(), nullptr), GetCurrentThreadId());
  EXPECT_EQ(standin::ui::text(icon.window()), "StatusBarButton");

  EXPECT_TRUE(icon.set_tip("short"));
  EXPECT_EQ(standin::ui::tray_icons()[0].tip, "short");
  EXPECT_TRUE(icon.remove());
  EXPECT_TRUE(standin::ui::tray_icons().empty());
  // Not shown: tip and icon change without asking the shell.
  unsigned modifies = standin::ui::tray_calls(NIM_MODIFY);
  EXPECT_TRUE(icon.set_tip("later"));
  EXPECT_TRUE(icon.set_icon(IDR_MAINFRAME));
  EXPECT_EQ(standin::ui::tray_calls(NIM_MODIFY), modifies);
  ASSERT_TRUE(icon.add(IDR_MAINFRAME, nullptr, false));  // a second waiting add finds the window ready
  EXPECT_EQ(standin::ui::tray_icons()[0].tip, "");
}

// An add that does not wait, right after construction, either finds no window yet or shows the
// whole fixed record.
TEST_F(tray_test, AddWithoutWaitingShowsTheWholeRecordOrNothing) {
  counting_icon icon;
  ASSERT_TRUE(zephtest::wait_until([&] { return icon.add(IDR_MAINFRAME, "early", true); }));
  auto icons = standin::ui::tray_icons();
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].hwnd, icon.window());
  EXPECT_EQ(icons[0].id, (UINT)(UINT_PTR)&icon);
  EXPECT_EQ(icons[0].callback, 0x3410u);
  EXPECT_EQ(icons[0].tip, "early");
}

TEST_F(tray_test, IconThatCannotBeLoadedIsNotAdded) {
  counting_icon icon;
  standin::ui::refuse_icon(IDR_MAINFRAME, true);
  EXPECT_FALSE(icon.add(IDR_MAINFRAME, "tip", false));
  EXPECT_FALSE(icon.added());
  EXPECT_EQ(standin::ui::tray_calls(NIM_ADD), 0u);
}

TEST_F(tray_test, RefusedIconCanBeAddedAgainAfterRemove) {
  counting_icon icon;
  standin::ui::refuse_tray_adds(true);
  ASSERT_TRUE(icon.add(IDR_MAINFRAME, "tip", false));
  EXPECT_TRUE(icon.add_failed());
  EXPECT_TRUE(icon.remove());
  EXPECT_FALSE(icon.added());
  EXPECT_FALSE(icon.add_failed());
  EXPECT_EQ(standin::ui::tray_calls(NIM_DELETE), 0u);  // nothing to delete
  standin::ui::refuse_tray_adds(false);
  ASSERT_TRUE(icon.add(IDR_MAINFRAME, "tip", false));
  EXPECT_EQ(standin::ui::tray_icons().size(), 1u);
  EXPECT_FALSE(icon.add_failed());
}

TEST_F(tray_test, MouseMessagesReachTheirSlots) {
  counting_icon icon;
  ASSERT_TRUE(icon.add(IDR_MAINFRAME, "tip", false));
  UINT id = (UINT)(UINT_PTR)&icon;
  for (UINT m : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP, WM_LBUTTONDBLCLK, WM_MOUSEMOVE,
                 WM_RBUTTONDBLCLK, WM_RBUTTONUP})
    ASSERT_TRUE(standin::ui::tray_click(icon.window(), id, m));
  ASSERT_TRUE(zephtest::wait_until([&] { return icon.calls[3] == 2; }));
  EXPECT_EQ(icon.calls[0], 1);
  EXPECT_EQ(icon.calls[1], 1);
  EXPECT_EQ(icon.calls[2], 1);
  EXPECT_EQ(icon.calls[4], 1);
}

TEST_F(tray_test, TaskbarEventOutlivesAnyOneIcon) {
  auto first = std::make_unique<counting_icon>();
  counting_icon second;
  ASSERT_TRUE(second.add(IDR_MAINFRAME, "second", false));
  first.reset();  // the shared restart event stays for the icon still there
  standin::ui::restart_shell();
  ASSERT_TRUE(zephtest::wait_until([] { return tray_icon::taskbar_restarted(); }));
  ASSERT_TRUE(zephtest::wait_until([] { return standin::ui::tray_icons().size() == 1; }));
  EXPECT_EQ(standin::ui::tray_icons()[0].tip, "second");
}

TEST_F(tray_test, DestructionRemovesTheIconAndEndsTheThread) {
  HWND window;
  {
    counting_icon icon;
    ASSERT_TRUE(icon.add(IDR_MAINFRAME, "tip", false));
    window = icon.window();
  }
  EXPECT_TRUE(standin::ui::tray_icons().empty());
  EXPECT_FALSE(IsWindow(window));
}

// Its left click sends to a window of another thread, as showing the main dialog does.
class sending_icon : public tray_icon {
 public:
  sending_icon(HWND target, std::atomic<bool>& answered)
      : tray_icon(GetModuleHandleA(nullptr)), target_(target), answered_(answered) {}
  ~sending_icon() override { shut_down(); }
  zephtest::flag sending;

 protected:
  void on_left_button_down() override {}
  void on_left_button_up() override {
    sending.set();
    SendMessageA(target_, WM_NULL, 0, 0);
    answered_ = true;
  }
  void on_right_button_down() override {}
  void on_right_button_up() override {}
  void on_left_double_click() override {}

 private:
  HWND target_;
  std::atomic<bool>& answered_;
};

// The thread destroying the icon owns the window a slot is sending to: it answers while it waits, so
// the window thread ends in time and nothing of the icon is used after it is gone.
TEST_F(tray_test, DestructionAnswersASlotThatSendsToTheDestroyingThread) {
  standin::clock::set_long_wait_scale(0.01);  // a wait for the thread that is not answered ends soon
  // A window of this thread; the message needs only to be answered.
  HWND target = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(target, nullptr);
  std::atomic<bool> answered{false};
  auto icon = std::make_unique<sending_icon>(target, answered);
  ASSERT_TRUE(icon->add(IDR_MAINFRAME, "tip", false));
  HWND window = icon->window();
  ASSERT_TRUE(standin::ui::tray_click(window, (UINT)(UINT_PTR)icon.get(), WM_LBUTTONUP));
  ASSERT_TRUE(icon->sending.wait());
  icon.reset();
  EXPECT_TRUE(answered.load());
  EXPECT_FALSE(IsWindow(window));
  standin::clock::reset();
  DestroyWindow(target);
}

}  // namespace
