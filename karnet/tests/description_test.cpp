#include <gtest/gtest.h>

#include <standin/registry.h>

#include <string>
#include <vector>

#include <karnet/device_description.h>

namespace {

using karnet::device_description;

const char prefix[] = "SYSTEM\\CurrentControlSet\\Enum\\";
const char suffix[] = "\\Device Parameters";

class Description : public ::testing::Test {
 protected:
  void SetUp() override { standin::registry::delete_tree(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\TEST"); }
  void TearDown() override { SetUp(); }
  static std::string key(const std::string& id) { return std::string(prefix) + id + suffix; }
};

TEST_F(Description, ReadsTheFourValues) {
  const std::string k = key("TEST\\DEV1");
  standin::registry::set_string(HKEY_LOCAL_MACHINE, k, "Product", "Analyser");
  standin::registry::set_string(HKEY_LOCAL_MACHINE, k, "SerialNumber", "SN-001");
  standin::registry::set_string(HKEY_LOCAL_MACHINE, k, "Manufacturer", "Maker");
  standin::registry::set_dword(HKEY_LOCAL_MACHINE, k, "bcdDevice", 0x00010203);
  device_description d("TEST\\DEV1", prefix, suffix, "wdm");
  EXPECT_EQ(d.product, "Analyser");
  EXPECT_EQ(d.serial_number, "SN-001");
  EXPECT_EQ(d.manufacturer, "Maker");
  EXPECT_EQ(d.bcd_device, 0x0203u);
  EXPECT_EQ(d.protocol_name, "wdm");
  EXPECT_EQ(d.key(), std::string(prefix) + "TEST\\DEV1");
  EXPECT_EQ(d.registry_path(), k);
}

TEST_F(Description, MissingKeyOrValueLeavesFieldsEmpty) {
  device_description none("TEST\\ABSENT", prefix, suffix, "wdm");
  EXPECT_EQ(none.product, "");
  EXPECT_EQ(none.bcd_device, 0u);

  const std::string k = key("TEST\\DEV2");
  standin::registry::set_string(HKEY_LOCAL_MACHINE, k, "Product", "Analyser");
  standin::registry::set_string(HKEY_LOCAL_MACHINE, k, "Manufacturer", "Maker");
  device_description d("TEST\\DEV2", prefix, suffix, "wdm");
  EXPECT_EQ(d.serial_number, "");
  EXPECT_EQ(d.product, "Analyser");
  EXPECT_EQ(d.manufacturer, "Maker");
}

TEST_F(Description, StringsMustFitSixtyFourBytesWithTheirTerminator) {
  const std::string k = key("TEST\\DEV3");
  const std::string fits(63, 'p');
  const std::string too_long(64, 's');
  standin::registry::set_string(HKEY_LOCAL_MACHINE, k, "Product", fits);
  standin::registry::set_string(HKEY_LOCAL_MACHINE, k, "SerialNumber", too_long);
  // 64 bytes without a terminator: no room left for one.
  standin::registry::set_raw(HKEY_LOCAL_MACHINE, k, "Manufacturer", REG_SZ, std::vector<uint8_t>(64, 'm'));
  device_description d("TEST\\DEV3", prefix, suffix, "wdm");
  EXPECT_EQ(d.product, fits);
  EXPECT_EQ(d.serial_number, "");
  EXPECT_EQ(d.manufacturer, "");

  // Shorter values without a terminator end where their bytes end.
  standin::registry::set_raw(HKEY_LOCAL_MACHINE, k, "Manufacturer", REG_SZ, std::vector<uint8_t>(5, 'm'));
  EXPECT_EQ(device_description("TEST\\DEV3", prefix, suffix, "wdm").manufacturer, "mmmmm");
}

TEST_F(Description, ShortReleaseNumberIsNotRead) {
  const std::string k = key("TEST\\DEV4");
  standin::registry::set_binary(HKEY_LOCAL_MACHINE, k, "bcdDevice", {0x42});
  EXPECT_EQ(device_description("TEST\\DEV4", prefix, suffix, "wdm").bcd_device, 0u);
  standin::registry::set_binary(HKEY_LOCAL_MACHINE, k, "bcdDevice", {0x34, 0x12});
  EXPECT_EQ(device_description("TEST\\DEV4", prefix, suffix, "wdm").bcd_device, 0x1234u);
}

TEST_F(Description, RecordsAreOrderedByKeyWhateverTheSuffix) {
  device_description a("TEST\\SAME", prefix, "\\One", "wdm");
  device_description b("TEST\\SAME", prefix, "\\Two", "wdm");
  EXPECT_FALSE(a < b);
  EXPECT_FALSE(b < a);
  device_description c("TEST\\TAIL", prefix, "", "wdm");
  EXPECT_TRUE(a < c);
  device_description empty;
  EXPECT_EQ(empty.key(), "");
  EXPECT_TRUE(empty < a);
}

}  // namespace
