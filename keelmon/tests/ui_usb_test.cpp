// The device list with a real USB instrument: the simulated instrument on the USB bus, its driver, the
// instrument API, and the program's own instrument source.
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>

#include "ui_fixture.h"

namespace ui_test {
namespace {

class usb_test : public ui_fixture {
 protected:
  void SetUp() override {
    standin::ui::reset();
    // Held for the whole process: the driver module's thread-local blocks stay valid for the leak check
    // at exit after the PnP manager unloads it.
    static void* pinned = dlopen(VANTREL_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pinned, nullptr);
    standin::pnp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
  }
  void TearDown() override {
    program_.quit();
    if (!instance_.empty() && standin::pnp::device_state(instance_) != "absent") standin::usbbus::unplug(instance_);
    EXPECT_TRUE(standin::pnp::settle(zephtest::deadline_ms));
    EXPECT_TRUE(standin::kernel::settle());
    ui_fixture::TearDown();
  }
  void plug(const std::string& serial) { instance_ = core_test::plug_instrument(serial, model_, usb_); }

  program program_{false};
  std::shared_ptr<simdev::instrument> model_;
  std::shared_ptr<simdev::usb_device> usb_;
  std::string instance_;
};

TEST_F(usb_test, InstrumentIsListedWithItsPropertiesAndLeavesWhenUnplugged) {
  ASSERT_TRUE(program_.start());
  ASSERT_TRUE(program_.init_result());
  EXPECT_EQ(icon_count(), 0u);
  plug("000777");
  HWND list = program_.list();
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::items(list).size() == 1; }));
  EXPECT_EQ(standin::ui::items(list), std::vector<std::string>{"Zeph instrument - 777"});
  ASSERT_TRUE(zephtest::wait_until([&] { return icon_count() == 1; }));

  standin::ui::pick(list, 0, true);
  HWND d = nullptr;
  ASSERT_TRUE(zephtest::wait_until([&] {
    d = standin::ui::find_dialog(IDD_PROPERTIES);
    return d && standin::ui::visible(d);
  }));
  EXPECT_EQ(standin::ui::text(GetDlgItem(d, IDC_IN_SIGNAL)), "1");
  EXPECT_EQ(standin::ui::text(GetDlgItem(d, IDC_OUT_SIGNAL)), "0");
  EXPECT_EQ(standin::ui::text(GetDlgItem(d, IDC_SERIAL)), "777");
  EXPECT_EQ(standin::ui::text(GetDlgItem(d, IDC_DEVICE_VERSION)), "1.05");
  EXPECT_FALSE(standin::ui::visible(GetDlgItem(d, IDC_ATTENUATION)));

  // Unplugged while its dialog is open: the dialog closes, the line and the icon go.
  standin::usbbus::unplug(instance_);
  ASSERT_TRUE(zephtest::wait_until([&] { return !IsWindow(d); }));
  ASSERT_TRUE(zephtest::wait_until([&] { return standin::ui::items(list).empty() && icon_count() == 0; }));
  EXPECT_TRUE(box_texts().empty());
}

}  // namespace
}  // namespace ui_test
