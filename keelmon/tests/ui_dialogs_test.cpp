// The device list and the Properties dialog, for devices of the outside driver (simulated on the root
// bus) and USB instruments (scripted).
#include <atomic>
#include <cstring>
#include <thread>

#include "ui_fixture.h"

namespace ui_test {
namespace {

class dialogs_test : public ui_fixture {
 protected:
  void SetUp() override {
    ui_fixture::SetUp();
    driver_ = std::make_unique<core_test::acquisition_driver>();
    ASSERT_TRUE(driver_->ready());
    ASSERT_TRUE(program_.start());
    ASSERT_TRUE(program_.init_result());
  }
  void TearDown() override {
    program_.quit();
    // The removals of what is still plugged run on the PnP manager's thread: they end before the
    // process does.
    driver_.reset();
    EXPECT_TRUE(standin::pnp::settle(zephtest::deadline_ms));
    ui_fixture::TearDown();
  }

  std::vector<std::string> lines() const { return standin::ui::items(program_.list()); }
  bool wait_lines(size_t n) const {
    return zephtest::wait_until([&] { return lines().size() == n; });
  }
  // Picks the line with that text and presses Properties; the Properties dialog once it is shown.
  HWND open_properties(const std::string& line, bool double_click = false) {
    auto l = lines();
    auto it = std::find(l.begin(), l.end(), line);
    if (it == l.end()) return nullptr;
    standin::ui::pick(program_.list(), (int)(it - l.begin()), double_click);
    if (!double_click) standin::ui::press(program_.main_window(), IDC_PROPERTIES);
    HWND d = nullptr;
    zephtest::wait_until([&] {
      d = standin::ui::find_dialog(IDD_PROPERTIES);
      return d && standin::ui::visible(d);
    });
    return d;
  }
  static std::string field(HWND dialog, int id) { return standin::ui::text(GetDlgItem(dialog, id)); }
  static bool wait_closed(HWND dialog) {
    return zephtest::wait_until([&] { return !IsWindow(dialog); });
  }

  std::unique_ptr<core_test::acquisition_driver> driver_;
  program program_;
};

TEST_F(dialogs_test, ListShowsTheDevicesOfBothSources) {
  driver_->plug(core_test::default_config(4711));
  program_.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(wait_lines(2));
  EXPECT_EQ(lines(), (std::vector<std::string>{"Acquisition unit - 4711", "Tavo meter - 123"}));
  EXPECT_EQ(standin::ui::horizontal_extent(program_.list()),
            (int)strlen("Acquisition unit - 4711") * standin::ui::char_width);
  EXPECT_EQ(icon_count(), 1u);
  EXPECT_TRUE(box_texts().empty());

  program_.source()->unplug("usb#1");
  ASSERT_TRUE(wait_lines(1));
  EXPECT_EQ(lines(), std::vector<std::string>{"Acquisition unit - 4711"});
  EXPECT_EQ(icon_count(), 1u);
}

TEST_F(dialogs_test, DevicesGoneInOneChangeAllLeaveTheList) {
  program_.source()->plug("usb#1", "Tavo meter", "123");
  program_.source()->plug("usb#2", "Tavo meter", "124");
  program_.source()->plug("usb#3", "Tavo meter", "125");
  ASSERT_TRUE(wait_lines(3));
  program_.source()->unplug_all();
  ASSERT_TRUE(wait_lines(0));
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 0; }));
  EXPECT_FALSE(standin::ui::visible(program_.main_window()));
}

TEST_F(dialogs_test, PropertiesOfAnAcquisitionDeviceSetTheChosenAttenuation) {
  driver_->plug(core_test::default_config(4711));
  ASSERT_TRUE(wait_lines(1));
  HWND d = open_properties("Acquisition unit - 4711");
  ASSERT_NE(d, nullptr);
  // Block order: input signal 8, process 2, digital 4, tacho 1; output signal 2, digital 3.
  EXPECT_EQ(field(d, IDC_IN_SIGNAL), "8");
  EXPECT_EQ(field(d, IDC_IN_DIGITAL), "4");
  EXPECT_EQ(field(d, IDC_IN_PROCESS), "2");
  EXPECT_EQ(field(d, IDC_IN_TACHO), "1");
  EXPECT_EQ(field(d, IDC_OUT_SIGNAL), "2");
  EXPECT_EQ(field(d, IDC_OUT_DIGITAL), "3");
  EXPECT_EQ(field(d, IDC_SERIAL), "4711");
  EXPECT_EQ(field(d, IDC_DEVICE_VERSION), "312");
  HWND combo = GetDlgItem(d, IDC_ATTENUATION);
  EXPECT_EQ(standin::ui::items(combo), (std::vector<std::string>{"0", "10", "20", "30"}));
  EXPECT_EQ(standin::ui::selection(combo), 0);
  EXPECT_TRUE(standin::ui::visible(combo));
  EXPECT_TRUE(standin::ui::visible(GetDlgItem(d, IDC_LABEL_ATTENUATION)));
  EXPECT_EQ(standin::ui::text(d), "Device properties Acquisition unit - 4711");

  standin::ui::pick(combo, 2);
  ASSERT_TRUE(standin::ui::press(d, IDOK));
  ASSERT_TRUE(wait_closed(d));
  acqsim_set_record set = driver_->last_set(4711);
  ASSERT_EQ(set.sets, 1u);
  ASSERT_EQ(set.size, 20u);  // two output channels
  uint32_t words[4];
  memcpy(words, set.bytes, sizeof words);
  EXPECT_EQ(words[0], 20u);
  EXPECT_EQ(words[1], 0u);
  EXPECT_EQ(words[2], 3u);
  EXPECT_EQ(words[3], 0u);
  uint16_t index[2];
  memcpy(index, set.bytes + 16, sizeof index);
  EXPECT_EQ(index[0], 2u);
  EXPECT_EQ(index[1], 2u);
  EXPECT_TRUE(box_texts().empty());

  // The choice is remembered for the next opening; Cancel sends nothing.
  d = open_properties("Acquisition unit - 4711");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(standin::ui::selection(GetDlgItem(d, IDC_ATTENUATION)), 2);
  ASSERT_TRUE(standin::ui::press(d, IDCANCEL));
  ASSERT_TRUE(wait_closed(d));
  EXPECT_EQ(driver_->last_set(4711).sets, 1u);
}

TEST_F(dialogs_test, AttenuationListIsSortedAsTextAndSendsTheChosenValue) {
  acqsim_config c = core_test::default_config(815);
  c.attenuation = core_test::list_of({0, 5000, 10000});
  driver_->plug(c);
  ASSERT_TRUE(wait_lines(1));
  HWND d = open_properties("Acquisition unit - 815", true);  // a double click opens it too
  ASSERT_NE(d, nullptr);
  HWND combo = GetDlgItem(d, IDC_ATTENUATION);
  ASSERT_EQ(standin::ui::items(combo), (std::vector<std::string>{"0", "100", "50"}));
  standin::ui::pick(combo, 1);
  ASSERT_TRUE(standin::ui::press(d, IDOK));
  ASSERT_TRUE(wait_closed(d));
  acqsim_set_record set = driver_->last_set(815);
  ASSERT_EQ(set.sets, 1u);
  uint16_t index[2];
  memcpy(index, set.bytes + 16, sizeof index);
  EXPECT_EQ(index[0], 2u);  // 100 dB is the third step
  EXPECT_EQ(index[1], 2u);
}

TEST_F(dialogs_test, SingleAttenuationStepListsOnlyZero) {
  acqsim_config c = core_test::default_config(816);
  c.attenuation = core_test::list_of({1000});  // step 0
  driver_->plug(c);
  ASSERT_TRUE(wait_lines(1));
  HWND d = open_properties("Acquisition unit - 816");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(standin::ui::items(GetDlgItem(d, IDC_ATTENUATION)), std::vector<std::string>{"0"});
  ASSERT_TRUE(standin::ui::press(d, IDCANCEL));
  ASSERT_TRUE(wait_closed(d));
}

TEST_F(dialogs_test, PropertiesOfAUsbInstrumentShowNoAttenuation) {
  program_.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(wait_lines(1));
  HWND d = open_properties("Tavo meter - 123");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(field(d, IDC_IN_SIGNAL), "1");
  for (int id : {IDC_IN_DIGITAL, IDC_IN_PROCESS, IDC_IN_TACHO, IDC_OUT_SIGNAL, IDC_OUT_DIGITAL})
    EXPECT_EQ(field(d, id), "0") << id;
  EXPECT_EQ(field(d, IDC_SERIAL), "123");
  EXPECT_EQ(field(d, IDC_DEVICE_VERSION), "1.00");
  EXPECT_EQ(field(d, IDC_DRIVER_VERSION), "5.1.2.0");
  EXPECT_FALSE(standin::ui::visible(GetDlgItem(d, IDC_ATTENUATION)));
  EXPECT_FALSE(standin::ui::visible(GetDlgItem(d, IDC_LABEL_ATTENUATION)));
  ASSERT_TRUE(standin::ui::press(d, IDOK));
  ASSERT_TRUE(wait_closed(d));
  EXPECT_TRUE(box_texts().empty());
}

TEST_F(dialogs_test, PropertiesNeedADeviceAndASelection) {
  ASSERT_TRUE(standin::ui::press(program_.main_window(), IDC_PROPERTIES));
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::message_boxes().size() == 1; }));
  program_.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(wait_lines(1));
  ASSERT_TRUE(standin::ui::press(program_.main_window(), IDC_PROPERTIES));
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::message_boxes().size() == 2; }));
  auto boxes = standin::ui::message_boxes();
  EXPECT_EQ(boxes[0].text, "No device found.");
  EXPECT_EQ(boxes[1].text, "Select a device first.");  // one line, but none picked yet
  for (auto& b : boxes) {
    EXPECT_EQ(b.caption, "Device properties");
    EXPECT_EQ(b.type, (UINT)MB_ICONASTERISK);
    EXPECT_EQ(b.owner, program_.main_window());
  }
  EXPECT_EQ(standin::ui::beeps(), (std::vector<UINT>{MB_ICONASTERISK, MB_ICONASTERISK}));
  EXPECT_EQ(standin::ui::find_dialog(IDD_PROPERTIES), nullptr);
}

TEST_F(dialogs_test, UnplugWhilePropertiesAreOpenClosesThemWithoutStoringTheChoice) {
  std::string instance = driver_->plug(core_test::default_config(4711));
  program_.source()->plug("usb#1", "Tavo meter", "123");
  ASSERT_TRUE(wait_lines(2));
  HWND d = open_properties("Acquisition unit - 4711");
  ASSERT_NE(d, nullptr);
  standin::ui::pick(GetDlgItem(d, IDC_ATTENUATION), 3);
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::selection(GetDlgItem(d, IDC_ATTENUATION)) == 3; }));
  driver_->unplug(instance);
  ASSERT_TRUE(wait_closed(d));
  ASSERT_TRUE(wait_lines(1));
  EXPECT_EQ(driver_->last_set(4711).sets, 0u);
  {
    device_monitor::guard hold(program_.app()->main_dialog()->monitor());
    auto& remembered = program_.app()->main_dialog()->listener().devices().remembered();
    EXPECT_EQ(remembered.count("Acquisition unit - 4711"), 0u);
  }
  EXPECT_TRUE(box_texts().empty());
}

// A change that comes while the Properties dialog is being opened, before its window exists, still
// closes it as cancelled once it shows: it must not stay open over a device that has gone.
TEST_F(dialogs_test, ChangeBeforeThePropertiesWindowExistsClosesItWhenShown) {
  keelmon::CDevicePropertiesDlg properties;
  properties.kind = keelmon::kind_usb_instrument;
  properties.attenuation_shown = false;
  properties.cancel_for_change();
  zephtest::flag ended;
  std::atomic<INT_PTR> result{0};
  std::thread modal([&] {
    result = properties.DoModal(nullptr);
    ended.set();
  });
  bool closed = ended.wait();
  if (!closed)
    if (HWND d = standin::ui::find_dialog(IDD_PROPERTIES)) standin::ui::press(d, IDCANCEL);
  zephtest::join(modal);
  EXPECT_TRUE(closed);
  EXPECT_EQ(result.load(), IDCANCEL);
  EXPECT_TRUE(properties.cancelled());
}

TEST_F(dialogs_test, CountsAboveTheRangeKeepTheDialogOpenOnOk) {
  program_.source()->plug("usb#1", "Tavo meter", "123", 1000);
  ASSERT_TRUE(wait_lines(1));
  HWND d = open_properties("Tavo meter - 123");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(field(d, IDC_IN_SIGNAL), "1000");
  ASSERT_TRUE(standin::ui::press(d, IDOK));
  ASSERT_TRUE(zephtest::wait_until([&] { return !standin::ui::message_boxes().empty(); }));
  EXPECT_EQ(box_texts(), std::vector<std::string>{"Please enter a whole number from 0 to 999."});
  EXPECT_TRUE(IsWindow(d));
  ASSERT_TRUE(standin::ui::press(d, IDCANCEL));
  ASSERT_TRUE(wait_closed(d));
}

TEST_F(dialogs_test, DeviceThatCannotBeOpenedIsReportedAndNotListed) {
  acqsim_config c = core_test::default_config(4712);
  c.refuse_open = 1;
  driver_->plug(c);
  ASSERT_TRUE(zephtest::wait_until([&] { return !standin::ui::message_boxes().empty(); }));
  auto b = standin::ui::message_boxes()[0];
  EXPECT_EQ(b.text, "Error while initialising peripheral 'Acquisition unit'.");
  EXPECT_EQ(b.caption, "Device error");
  EXPECT_EQ(b.type, (UINT)MB_ICONERROR);
  EXPECT_EQ(b.owner, nullptr);
  EXPECT_EQ(standin::ui::beeps(), std::vector<UINT>{MB_ICONHAND});
  EXPECT_TRUE(lines().empty());
}

// The device that cannot be opened leaves while its box is up, and the box's loop answers the removal
// notice. The box comes once the arrival has been reported and the monitor's lock released, so the
// removal is applied at once, under the box, and never under the listener that added from the map.
TEST_F(dialogs_test, DeviceLeavingWhileItsOpenErrorIsShownIsRemovedUnderTheBox) {
  acqsim_config c = core_test::default_config(4713);
  c.refuse_open = 1;
  std::string instance;
  zephtest::flag plugged;  // publishes `instance`
  std::atomic<int> boxes{0};
  std::atomic<int> count_during_box{-1};
  device_monitor& monitor = program_.app()->main_dialog()->monitor();
  standin::ui::on_message_box([&](const standin::ui::message_box&) {
    if (boxes++ != 0 || !plugged.wait()) return IDOK;
    driver_->unplug(instance);
    // As a box's own loop does: answer what the system sends meanwhile, for a while.
    zephtest::wait_until(
        [&] {
          core_test::pump();
          return standin::pnp::device_state(instance) == "absent" && monitor.device_count() == 0;
        },
        std::chrono::milliseconds(1000));
    count_during_box = monitor.device_count();
    return IDOK;
  });
  instance = driver_->plug(c);
  plugged.set();
  ASSERT_TRUE(zephtest::wait_until([&] { return count_during_box.load() != -1; }));
  EXPECT_EQ(count_during_box.load(), 0);
  EXPECT_TRUE(zephtest::wait_until([&] { return monitor.device_count() == 0; }));
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(boxes.load(), 1);
  answer_boxes_at_once();
}

TEST_F(dialogs_test, RefusedAttenuationIsReportedAndTheDialogCloses) {
  acqsim_config c = core_test::default_config(4713);
  driver_->plug(c);
  ASSERT_TRUE(wait_lines(1));
  HWND d = open_properties("Acquisition unit - 4713");
  ASSERT_NE(d, nullptr);
  c.fail_code = IOCTL_SET_OUTPUT_ATTENUATION;
  ASSERT_TRUE(driver_->update(c));
  ASSERT_TRUE(standin::ui::press(d, IDOK));
  ASSERT_TRUE(wait_closed(d));
  auto boxes = standin::ui::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Attenuation cannot be changed on device output channels '4713'.");
  EXPECT_EQ(boxes[0].caption, "Configuration error");
  EXPECT_EQ(boxes[0].type, (UINT)MB_ICONERROR);
  EXPECT_EQ(boxes[0].owner, d);
  EXPECT_EQ(standin::ui::beeps(), std::vector<UINT>{MB_ICONHAND});
}

TEST_F(dialogs_test, SystemMenuOffersTheAboutBoxAndCloseHides) {
  HWND main = program_.main_window();
  auto items = standin::ui::system_menu_items(main);
  ASSERT_GE(items.size(), 2u);
  EXPECT_EQ(items[items.size() - 2], "-");
  EXPECT_EQ(items.back(), "&About ...");
  EXPECT_NE(standin::ui::window_icon(main, true), nullptr);
  EXPECT_EQ(standin::ui::window_icon(main, true), standin::ui::window_icon(main, false));

  ASSERT_TRUE(PostMessageA(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0));
  HWND about = nullptr;
  ASSERT_TRUE(zephtest::wait_until([&] {
    about = standin::ui::find_dialog(IDD_ABOUTBOX);
    return about && standin::ui::visible(about);
  }));
  EXPECT_EQ(standin::ui::text(GetDlgItem(about, IDC_ABOUT_VERSION)), "Version 4.3");
  ASSERT_TRUE(standin::ui::press(about, IDOK));
  ASSERT_TRUE(wait_closed(about));

  // Minimised, it paints its icon centred; restored, it leaves painting to the system.
  ShowWindow(main, SW_MINIMIZE);
  ASSERT_TRUE(PostMessageA(main, WM_PAINT, 0, 0));
  ASSERT_TRUE(zephtest::wait_until([] { return standin::ui::drawn_icons().size() == 1; }));
  auto drawn = standin::ui::drawn_icons()[0];
  EXPECT_EQ(drawn.hwnd, main);
  EXPECT_EQ(drawn.x, 0);
  EXPECT_EQ(drawn.y, 0);
  EXPECT_EQ(drawn.icon, standin::ui::window_icon(main, true));
  ShowWindow(main, SW_RESTORE);
  ASSERT_TRUE(PostMessageA(main, WM_PAINT, 0, 0));
  ASSERT_TRUE(PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0));
  ASSERT_TRUE(zephtest::wait_until([&] { return !standin::ui::visible(main); }));
  EXPECT_TRUE(IsWindow(main));
  EXPECT_FALSE(program_.finished());
  EXPECT_EQ(standin::ui::drawn_icons().size(), 1u);
}

// While a box of a device change is up on the worker (boxes modal here), the user interface still
// answers: Properties, which takes the monitor's lock, shows its own box.
void expect_ui_answers_under_box(program& p, const std::string& worker_box) {
  ASSERT_TRUE(zephtest::wait_until([&] {
    for (auto& b : standin::ui::open_boxes())
      if (b.text == worker_box) return true;
    return false;
  })) << worker_box;
  // Posted, not pressed: the icon's box is owned by the main window, which takes no input under it.
  ASSERT_TRUE(PostMessageA(p.main_window(), WM_COMMAND, MAKEWPARAM(IDC_PROPERTIES, BN_CLICKED), 0));
  EXPECT_TRUE(zephtest::wait_until([] {
    for (auto& b : standin::ui::open_boxes())
      if (b.text == "Select a device first.") return true;
    return false;
  }));
  standin::ui::answer_box("Select a device first.", IDOK);
  standin::ui::answer_box(worker_box, IDOK);
}

// An instrument's arrival retries listing an acquisition device that cannot be opened: its box comes
// on the worker, after the monitor's lock is released.
TEST_F(dialogs_test, OpenErrorBoxOnTheWorkerLeavesTheUserInterfaceAnswering) {
  standin::ui::on_message_box(nullptr);
  acqsim_config c = core_test::default_config(4714);
  c.refuse_open = 1;
  driver_->plug(c);
  const std::string text = "Error while initialising peripheral 'Acquisition unit'.";
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::open_boxes().size() == 1; }));
  standin::ui::answer_box(text, IDOK);
  ASSERT_TRUE(zephtest::wait_until([] { return standin::ui::open_boxes().empty(); }));
  program_.source()->plug("usb#1", "Tavo meter", "123");
  expect_ui_answers_under_box(program_, text);
  ASSERT_TRUE(wait_lines(1));
  answer_boxes_at_once();
}

// The icon cannot be shown after a change: its box comes on the worker after the lock is released.
TEST_F(dialogs_test, IconErrorBoxOnTheWorkerLeavesTheUserInterfaceAnswering) {
  standin::ui::on_message_box(nullptr);
  standin::ui::refuse_icon(IDR_MAINFRAME, true);
  program_.source()->plug("usb#1", "Tavo meter", "123");
  expect_ui_answers_under_box(program_, "Application error (icon is not available) !");
  standin::ui::refuse_icon(IDR_MAINFRAME, false);
  answer_boxes_at_once();
}

// The form check's box belongs to the dialog it checks: the dialog takes no second OK while it is up.
TEST_F(dialogs_test, FormCheckBoxIsOwnedByTheCheckedDialog) {
  standin::ui::on_message_box(nullptr);
  program_.source()->plug("usb#1", "Tavo meter", "123", 1000);
  ASSERT_TRUE(wait_lines(1));
  HWND d = open_properties("Tavo meter - 123");
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(standin::ui::press(d, IDOK));
  ASSERT_TRUE(zephtest::wait_until([] { return standin::ui::open_boxes().size() == 1; }));
  auto box = standin::ui::open_boxes()[0];
  EXPECT_EQ(box.owner, d);
  EXPECT_EQ(box.caption, "Keelmon");
  EXPECT_FALSE(standin::ui::press(d, IDOK));  // the user cannot reach the dialog under its box
  EXPECT_TRUE(standin::ui::answer_box("Please enter a whole number from 0 to 999.", IDOK));
  ASSERT_TRUE(zephtest::wait_until([] { return standin::ui::open_boxes().empty(); }));
  EXPECT_EQ(standin::ui::message_boxes().size(), 1u);
  EXPECT_TRUE(IsWindow(d));
  ASSERT_TRUE(standin::ui::press(d, IDCANCEL));
  ASSERT_TRUE(wait_closed(d));
  answer_boxes_at_once();
}

// OK pressed while a change cancels the dialog (its device gone): OK waits for the monitor's lock the
// change holds, then finds the dialog cancelled and sends nothing to the device.
TEST_F(dialogs_test, OkAfterTheDeviceWentSendsNothing) {
  driver_->plug(core_test::default_config(4715));
  ASSERT_TRUE(wait_lines(1));
  HWND d = open_properties("Acquisition unit - 4715");
  ASSERT_NE(d, nullptr);
  standin::ui::pick(GetDlgItem(d, IDC_ATTENUATION), 2);
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::selection(GetDlgItem(d, IDC_ATTENUATION)) == 2; }));
  CDeviceListDlg* main = program_.app()->main_dialog();
  {
    // What a change that removes the device does under the lock, with OK already pressed.
    device_monitor::guard hold(main->monitor());
    ASSERT_TRUE(standin::ui::press(d, IDOK));
    ASSERT_NE(main->open_properties(), nullptr);
    main->open_properties()->cancel_for_change();
  }
  ASSERT_TRUE(wait_closed(d));
  EXPECT_EQ(driver_->last_set(4715).sets, 0u);
  EXPECT_TRUE(box_texts().empty());
  device_monitor::guard hold(main->monitor());
  EXPECT_EQ(main->listener().devices().find_by_display("Acquisition unit - 4715")->chosen, 0);
}

}  // namespace
}  // namespace ui_test
