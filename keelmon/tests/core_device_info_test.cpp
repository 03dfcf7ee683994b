// Device objects: the texts as shown, the driver file's version, an acquisition device read through
// SetupAPI and its driver, the registry list of active devices, and SetupAPI missing altogether.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <standin/loader.h>

#include "core/device_file.h"
#include "core/device_info.h"
#include "core_fixture.h"

namespace {

namespace fs = std::filesystem;
namespace format = keelmon::format;
using standin::registry::set_string;

const GUID outside = LUME_INTERFACE_GUID_INIT;

TEST(Format, ProductSerialAndVersionAsShown) {
  EXPECT_EQ(format::product_name("MY DEVICE"), "My device");
  EXPECT_EQ(format::product_name("x"), "x");
  EXPECT_EQ(format::product_name(""), "");
  EXPECT_EQ(format::serial_number("000123"), "123");
  EXPECT_EQ(format::serial_number("0000"), "0");
  EXPECT_EQ(format::serial_number(""), "0");
  EXPECT_EQ(format::serial_number("1020"), "1020");
  EXPECT_EQ(format::bcd_version(0x0100), "1.00");
  EXPECT_EQ(format::bcd_version(0x1234), "12.34");
  EXPECT_EQ(format::bcd_version(0x0105), "1.05");
  EXPECT_EQ(format::bcd_version(0x0ABC), "A.BC");
}

// A root folder of its own for the files the case writes (the stand-in maps C:\ below it).
class WithRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("keelcore-" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(root);
    fs::create_directories(root / "c" / "WINDOWS" / "system32" / "drivers");
    setenv("ZEPH_ROOT", root.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ZEPH_ROOT");
    fs::remove_all(root);
  }
  // A driver image carrying a version block with the file version a.b.c.d.
  void write_driver(const std::string& name, uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    VS_FIXEDFILEINFO info{};
    info.dwSignature = VS_FFI_SIGNATURE;
    info.dwStrucVersion = 0x10000;
    info.dwFileVersionMS = (DWORD(a) << 16) | b;
    info.dwFileVersionLS = (DWORD(c) << 16) | d;
    std::ofstream f(root / "c" / "WINDOWS" / "system32" / "drivers" / name, std::ios::binary);
    const char head[12] = "MZ image...";
    f.write(head, sizeof head);
    f.write(reinterpret_cast<const char*>(&info), sizeof info);
  }
  fs::path root;
};

// The base class's read: only the driver version is common.
struct probe : keelmon::device_info {
  explicit probe(std::string file) : device_info(7, std::move(file)) {}
};

TEST_F(WithRoot, DriverVersionComesFromTheFileInTheDriversFolder) {
  write_driver("probe.sys", 5, 1, 2600, 7);
  probe present("probe.sys");
  EXPECT_TRUE(present.read_driver_version());
  EXPECT_EQ(present.driver_version(), "5.1.2600.7");

  probe absent("other.sys");
  EXPECT_FALSE(absent.read_driver_version());
  EXPECT_EQ(absent.driver_version(), "");
  probe unnamed("");
  EXPECT_FALSE(unnamed.read_driver_version());

  // A file without a version block.
  std::ofstream(root / "c" / "WINDOWS" / "system32" / "drivers" / "plain.sys") << "no version here";
  probe plain("plain.sys");
  EXPECT_FALSE(plain.read_driver_version());
  // Nothing but the base's reads: every other value stays missing.
  EXPECT_FALSE(present.read_all());
  EXPECT_EQ(present.product(), "");
}

class AcquisitionDevice : public WithRoot {
 protected:
  void SetUp() override {
    WithRoot::SetUp();
    ASSERT_TRUE(driver.ready());
  }
  // The device at `index` of the class, built as the interface source builds it.
  std::unique_ptr<keelmon::driver_device_info> build(DWORD index) {
    const auto& api = keelmon::setupapi_table::instance();
    HDEVINFO set = api.get_class_devs(&outside, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return nullptr;
    SP_DEVINFO_DATA device{};
    std::string path;
    std::unique_ptr<keelmon::driver_device_info> info;
    if (keelmon::interface_path(set, outside, index, path, &device) == 0) {
      info = std::make_unique<keelmon::driver_device_info>(path, set, device);
      info->read_all();
      info->file()->close();
    }
    api.destroy_list(set);
    return info;
  }
  core_test::acquisition_driver driver;
};

TEST_F(AcquisitionDevice, ReadsEverythingOnceThroughItsDriver) {
  write_driver("lumewdm.sys", 2, 0, 1, 15);
  std::string instance = driver.plug(core_test::default_config(90210), "Vibration front end");
  ASSERT_TRUE(standin::pnp::settle());
  auto info = build(0);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->kind(), keelmon::kind_driver_device);
  EXPECT_EQ(info->driver_file_name(), "lumewdm.sys");
  EXPECT_EQ(info->product(), "Vibration front end");
  EXPECT_EQ(info->serial_number(), "90210");
  EXPECT_EQ(info->device_version(), "312");
  EXPECT_EQ(info->driver_version(), "2.0.1.15");
  keelmon::channel_counts c = info->counts();
  EXPECT_EQ(c.input_signal, 8);
  EXPECT_EQ(c.input_process, 2);
  EXPECT_EQ(c.input_digital, 4);
  EXPECT_EQ(c.input_tacho, 1);
  EXPECT_EQ(c.output_signal, 2);
  EXPECT_EQ(c.output_digital, 3);
  ASSERT_TRUE(info->file());
  EXPECT_FALSE(info->file()->is_open());
  EXPECT_EQ(info->file()->path(), core_test::interface_path_of(instance));
  EXPECT_EQ(info->file()->friendly_name(), "Vibration front end");
  EXPECT_EQ(info->file()->device_description(), "Acquisition device");
  EXPECT_EQ(info->file()->manufacturer(), "Lume");
  EXPECT_EQ(info->file()->hardware_id(), ACQSIM_HARDWARE_ID);
  // Values already present are not read again.
  uint32_t asked = driver.requests(90210);
  EXPECT_TRUE(info->read_all());
  EXPECT_EQ(driver.requests(90210), asked);
}

TEST_F(AcquisitionDevice, DeviceThatCannotBeOpenedKeepsOnlyItsName) {
  acqsim_config c = core_test::default_config(31);
  c.refuse_open = 1;
  driver.plug(c, "Locked unit", false);
  ASSERT_TRUE(standin::pnp::settle());
  auto info = build(0);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->product(), "Locked unit");
  EXPECT_EQ(info->serial_number(), "");
  EXPECT_EQ(info->device_version(), "");
  EXPECT_EQ(info->counts().input_signal, 0);
  EXPECT_FALSE(info->driver()->valid());
  // Its properties are read up to the first one missing: no manufacturer, so no hardware id either.
  EXPECT_EQ(info->file()->device_description(), "Acquisition device");
  EXPECT_EQ(info->file()->hardware_id(), "");
  // The driver file is not in the drivers folder either.
  EXPECT_EQ(info->driver_version(), "");
}

TEST_F(AcquisitionDevice, OpenByIndexReportsWhyItFailed) {
  keelmon::device_file file;
  EXPECT_EQ(file.open(outside, 0, false), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(file.open(false), INVALID_HANDLE_VALUE);  // no path yet
  EXPECT_TRUE(file.close());
  driver.plug(core_test::default_config(5));
  ASSERT_TRUE(standin::pnp::settle());
  EXPECT_EQ(file.open(outside, 0, true), 0u);
  EXPECT_TRUE(file.is_open());
  EXPECT_TRUE(file.synchronous());
  // Opening again does not leak the first handle.
  EXPECT_NE(file.open(false), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file.synchronous());
  EXPECT_TRUE(file.close());
  EXPECT_FALSE(file.is_open());
}

// Without the library, or with one entry point missing, the table offers nothing at all.
TEST(NoSetupApi, OneMissingEntryPointEmptiesTheTable) {
  standin::loader::hide_entry("SetupDiEnumDeviceInfo");
  {
    keelmon::setupapi_table api;
    EXPECT_FALSE(api.available());
    EXPECT_EQ(api.get_class_devs, nullptr);
    EXPECT_EQ(api.copy_oem_inf, nullptr);
  }
  standin::loader::unhide_all();
  standin::loader::hide_library("setupapi");
  {
    keelmon::setupapi_table api;
    EXPECT_FALSE(api.available());
  }
  standin::loader::unhide_all();
  keelmon::setupapi_table api;
  EXPECT_TRUE(api.available());
  EXPECT_NE(api.get_registry_property, nullptr);
}

// ---- the registry list of active devices ----

constexpr const char* paths = "Software\\Ondrel_Fasko\\Drivers\\Paths";
constexpr const char* driver_key = "SYSTEM\\CurrentControlSet\\Services\\lumewdm";

class ActiveDevices : public ::testing::Test {
 protected:
  void SetUp() override { standin::registry::reset(); }
  void entry(const std::string& sub, const char* device, const char* public_name) {
    std::string key = std::string(driver_key) + "\\Active Devices\\" + sub;
    standin::registry::create_key(HKEY_LOCAL_MACHINE, key);
    if (device) set_string(HKEY_LOCAL_MACHINE, key, "DeviceName", device);
    if (public_name) set_string(HKEY_LOCAL_MACHINE, key, "PublicName", public_name);
  }
};

TEST_F(ActiveDevices, ListsEveryEntryWithADeviceName) {
  // The stored path may carry a prefix before the key proper.
  set_string(HKEY_LOCAL_MACHINE, paths, "Lume", std::string("\\Registry\\Machine\\") + driver_key);
  entry("0000", "Lume0", "Front end A");
  entry("0001", "Lume1", nullptr);
  entry("0002", nullptr, "orphan");
  keelmon::active_devices a = keelmon::read_active_devices("Lume");
  ASSERT_TRUE(a.ok);
  ASSERT_EQ(a.count(), 2u);
  EXPECT_EQ(a.device_names[0], "Lume0");
  EXPECT_EQ(a.public_names[0], "Front end A");
  EXPECT_EQ(a.device_names[1], "Lume1");
  EXPECT_EQ(a.public_names[1], "");
}

TEST_F(ActiveDevices, MixedCaseKeyIsFound) {
  set_string(HKEY_LOCAL_MACHINE, paths, "Lume", "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\lumewdm");
  entry("0000", "Lume0", nullptr);
  keelmon::active_devices a = keelmon::read_active_devices("Lume");
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.count(), 1u);
}

TEST_F(ActiveDevices, FailsWithoutValueKeyOrEntries) {
  EXPECT_FALSE(keelmon::read_active_devices("Lume").ok);  // no paths key
  set_string(HKEY_LOCAL_MACHINE, paths, "Other", driver_key);
  EXPECT_FALSE(keelmon::read_active_devices("Lume").ok);  // no such value
  set_string(HKEY_LOCAL_MACHINE, paths, "Lume", "Software\\Elsewhere");
  EXPECT_FALSE(keelmon::read_active_devices("Lume").ok);  // no SYSTEM in the path
  set_string(HKEY_LOCAL_MACHINE, paths, "Lume", driver_key);
  EXPECT_FALSE(keelmon::read_active_devices("Lume").ok);  // no Active Devices key
  standin::registry::create_key(HKEY_LOCAL_MACHINE, std::string(driver_key) + "\\Active Devices");
  EXPECT_FALSE(keelmon::read_active_devices("Lume").ok);  // no entries
  // A name longer than its 20-byte buffer is not cut into a wrong name.
  entry("0000", "AVeryLongDeviceNameIndeed", nullptr);
  entry("0001", "Lume1", nullptr);
  keelmon::active_devices a = keelmon::read_active_devices("Lume");
  ASSERT_TRUE(a.ok);
  ASSERT_EQ(a.count(), 1u);
  EXPECT_EQ(a.device_names[0], "Lume1");
}

}  // namespace
