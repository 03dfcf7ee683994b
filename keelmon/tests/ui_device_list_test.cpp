// The list of active devices and the remembered attenuation choices.
#include <windows.h>

#include <gtest/gtest.h>

#include <standin/ui.h>

#include "app/device_list.h"

namespace {

using namespace keelmon;

// A listed device as a source would make it; kind 1 without a device file stands for one whose file
// could not be built.
class listed_device : public device_info {
 public:
  listed_device(uint32_t kind, const std::string& product, const std::string& serial)
      : device_info(kind, kind == kind_driver_device ? "lumewdm.sys" : "vantrel.sys") {
    product_ = product;
    serial_number_ = serial;
    input_signal_ = 1;
    output_signal_ = 4;
    input_process_ = 2;
  }
};

class device_list_test : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::ui::reset();
    // The box of a device that cannot be opened answers at once: no loop runs on the test's thread.
    standin::ui::on_message_box([](const standin::ui::message_box&) { return IDOK; });
  }
  void TearDown() override { standin::ui::reset(); }
  listed_device a{kind_usb_instrument, "Tavo meter", "1"};
  listed_device b{kind_usb_instrument, "Tavo meter", "2"};
};

TEST_F(device_list_test, RecordsCopyTheDeviceAndRememberTheirChoices) {
  active_device_list list;
  ASSERT_TRUE(list.add("key-a", a));
  ASSERT_TRUE(list.add("key-b", b));
  active_device* r = list.find_by_key("key-a");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->display, "Tavo meter - 1");
  EXPECT_EQ(r->counts.input_signal, 1);
  EXPECT_EQ(r->counts.input_process, 2);
  EXPECT_EQ(r->counts.output_signal, 4);
  EXPECT_EQ(list.find_by_display("Tavo meter - 2"), list.find_by_key("key-b"));
  EXPECT_EQ(list.remembered(), (std::map<std::string, int>{{"Tavo meter - 1", 0}, {"Tavo meter - 2", 0}}));

  list.remember("Tavo meter - 2", 3);
  list.apply_remembered();
  EXPECT_EQ(list.find_by_key("key-b")->chosen, 3);
  EXPECT_EQ(list.find_by_key("key-a")->chosen, 0);

  // A device that left takes its choice along while others stay listed; the last one clears them all.
  ASSERT_TRUE(list.remove("key-b"));
  EXPECT_FALSE(list.remove("key-b"));
  list.apply_remembered();
  EXPECT_EQ(list.remembered(), (std::map<std::string, int>{{"Tavo meter - 1", 0}}));
  list.remember("Tavo meter - 1", 1);
  ASSERT_TRUE(list.add("key-b", b));  // back: its old choice is gone, it starts at 0
  list.apply_remembered();
  EXPECT_EQ(list.find_by_key("key-b")->chosen, 0);
  EXPECT_EQ(list.find_by_key("key-a")->chosen, 1);
  list.clear();
  EXPECT_TRUE(list.empty());
  list.apply_remembered();
  EXPECT_TRUE(list.remembered().empty());
}

TEST_F(device_list_test, DeviceOfTheOutsideDriverWithoutItsFileIsReportedNotListed) {
  listed_device broken{kind_driver_device, "Acquisition unit", "9"};
  active_device_list list;
  EXPECT_FALSE(list.add("key", broken));
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(list.remembered().empty());
  auto boxes = standin::ui::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Error while initialising peripheral 'Acquisition unit'.");
  EXPECT_EQ(boxes[0].caption, "Device error");
}

TEST(device_list_units, AttenuationInWholeDecibelsTruncatesTowardZero) {
  EXPECT_EQ(active_device_list::to_db(3050), 30);
  EXPECT_EQ(active_device_list::to_db(-1050), -10);
  EXPECT_EQ(active_device_list::to_db(99), 0);
}

}  // namespace
