// The driver on the kernel stand-in: loading, device naming and interfaces, the device values, the
// exclusive open, PnP stop/start/removal, capabilities, and pool failures during start.
#include "driver_fixture.h"

#include <standin/debug.h>
#include <standin/registry.h>

#include <algorithm>

namespace vt {
namespace {

simdev::instrument_config serial(const std::string &s) {
  simdev::instrument_config c;
  c.serial_number = s;
  return c;
}

TEST_F(DriverTest, UnitsAreNumberedInPlugOrderAndTheDriverUnloadsWithTheLastDevice) {
  auto a = plug(serial("A1"));
  auto b = plug(serial("B2"));
  ASSERT_EQ(sp::device_state(a.instance), "started");
  ASSERT_EQ(sp::device_state(b.instance), "started");
  EXPECT_TRUE(sp::driver_loaded("vantrel"));
  // Each unit has its link; opening it reaches that instrument's stack.
  HANDLE h0 = keep(open_path(unit_path(0)));
  ASSERT_NE(h0, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sp::open_handles(a.instance), 1);
  EXPECT_EQ(sp::open_handles(b.instance), 0);
  HANDLE h1 = keep(open_path(unit_path(1)));
  ASSERT_NE(h1, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sp::open_handles(b.instance), 1);
  EXPECT_EQ(open_path(unit_path(2)), INVALID_HANDLE_VALUE);
  close(h0);
  close(h1);
  sb::unplug(a.instance);
  ASSERT_TRUE(sp::settle());
  EXPECT_TRUE(sp::driver_loaded("vantrel"));
  EXPECT_EQ(open_path(unit_path(0)), INVALID_HANDLE_VALUE);
  sb::unplug(b.instance);
  ASSERT_TRUE(sp::settle());
  EXPECT_FALSE(sp::driver_loaded("vantrel"));
  // Loaded again, numbering starts over.
  auto c = plug(serial("C3"));
  HANDLE h = keep(open_path(unit_path(0)));
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
}

TEST_F(DriverTest, InterfacesFollowTheConfigurationsTheInstrumentHas) {
  auto both = plug(serial("BOTH"));
  simdev::instrument_config bulk_only = serial("BULK");
  bulk_only.configurations = 1;
  auto bulk = plug(bulk_only);
  auto contains = [](const std::vector<std::string> &v, const std::string &serial) {
    return std::count_if(v.begin(), v.end(), [&](const std::string &p) { return p.find(serial) != std::string::npos; });
  };
  auto main = interfaces(zeph_wire::device_interface_guid_main);
  auto bulk_if = interfaces(zeph_wire::device_interface_guid_bulk);
  auto iso_if = interfaces(zeph_wire::device_interface_guid_iso);
  EXPECT_EQ(contains(main, "#both#"), 1);
  EXPECT_EQ(contains(bulk_if, "#both#"), 1);
  EXPECT_EQ(contains(iso_if, "#both#"), 1);
  EXPECT_EQ(contains(main, "#bulk#"), 1);
  EXPECT_EQ(contains(bulk_if, "#bulk#"), 1);
  EXPECT_EQ(contains(iso_if, "#bulk#"), 0);
  EXPECT_EQ(main.size(), 2u);
  // The user side opens an instrument by its interface path.
  ASSERT_EQ(iso_if.size(), 1u);
  HANDLE h = keep(open_path(iso_if[0]));
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sp::open_handles(both.instance), 1);
  // Removal disables them.
  close(h);
  sb::unplug(both.instance);
  ASSERT_TRUE(sp::settle());
  EXPECT_EQ(interfaces(zeph_wire::device_interface_guid_iso).size(), 0u);
  EXPECT_EQ(interfaces(zeph_wire::device_interface_guid_main).size(), 1u);
}

TEST_F(DriverTest, DeviceValuesAreWrittenToTheHardwareKey) {
  simdev::instrument_config c = serial("SN-77");
  c.product = "A product name of exactly forty chars!!";
  c.product += "X";  // 40 characters
  ASSERT_EQ(c.product.size(), 40u);
  c.manufacturer = "Maker";
  c.bcd_device = 0x0231;
  auto i = plug(c);
  EXPECT_EQ(read_string(i.instance, "Product"), c.product.substr(0, 31));
  EXPECT_EQ(read_string(i.instance, "SerialNumber"), "SN-77");
  EXPECT_EQ(read_string(i.instance, "Manufacturer"), "Maker");
  std::vector<uint8_t> d;
  DWORD type = 0;
  ASSERT_TRUE(read_value(i.instance, "bcdDevice", &d, &type));
  EXPECT_EQ(type, (DWORD)REG_DWORD);
  ASSERT_EQ(d.size(), 4u);
  EXPECT_EQ(d[0] | d[1] << 8 | d[2] << 16 | d[3] << 24, 0x0231);
}

TEST_F(DriverTest, AStringThatCannotBeReadIsStoredEmptyNotAsTheValueBefore) {
  simdev::instrument_config c = serial("S9");
  auto model = std::make_shared<simdev::instrument>(c);
  // GET_DESCRIPTOR of string 3 (the serial number) stalls.
  simdev::request_match m;
  m.bRequest = 6;
  m.wValue = 0x0303;
  m.vendor_only = false;
  model->faults().stall_request(m);
  instrument i;
  i.model = model;
  i.usb = std::make_shared<simdev::usb_device>(model);
  i.instance = sb::plug(i.usb);
  plugged.push_back(i);
  ASSERT_TRUE(sp::settle());
  EXPECT_EQ(sp::device_state(i.instance), "started");
  EXPECT_EQ(read_string(i.instance, "Product"), "Zeph Instrument");
  EXPECT_EQ(read_string(i.instance, "SerialNumber"), "");
  EXPECT_EQ(read_string(i.instance, "Manufacturer"), "Ondrel Fasko");
}

// Entry probes the "Class" keys under Control and Services to choose the link prefix: a probe opens, it
// never creates a key.
TEST_F(DriverTest, TheLinkPrefixProbeLeavesNoClassKeyBehind) {
  const char *keys[] = {"System\\CurrentControlSet\\Control\\Class", "System\\CurrentControlSet\\Services\\Class"};
  for (const char *k : keys) standin::registry::delete_tree(HKEY_LOCAL_MACHINE, k);
  auto i = plug();
  ASSERT_TRUE(sp::driver_loaded("vantrel"));
  for (const char *k : keys) EXPECT_FALSE(standin::registry::key_exists(HKEY_LOCAL_MACHINE, k)) << k;
  HANDLE h = keep(open_path(unit_path(0)));
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
}

// A string value that cannot be written (the hive refuses it) is reported: the start fails with that
// status instead of leaving the key without it.
TEST_F(DriverTest, AFailedWriteOfADeviceStringFailsTheStart) {
  for (const char *name : {"Product", "SerialNumber", "Manufacturer"}) {
    sk::clear_debug();
    sk::fail_registry_write(name, (int32_t)0xC000009A);  // STATUS_INSUFFICIENT_RESOURCES
    auto i = plug(serial(std::string("W") + name));
    EXPECT_EQ(sp::device_state(i.instance), "failed") << name;
    EXPECT_NE(sk::debug_text().find("failed with c000009a"), std::string::npos) << name << sk::debug_text();
    sk::clear_registry_write_failures();
  }
}

TEST_F(DriverTest, OneHandleAtATime) {
  auto i = plug();
  auto paths = interfaces(zeph_wire::device_interface_guid_main);
  ASSERT_EQ(paths.size(), 1u);
  HANDLE a = keep(open_path(paths[0]));
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open_path(paths[0]), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ(open_path(unit_path(0)), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  // The first handle still works.
  unsigned char idx = 0;
  EXPECT_EQ(control(a, zeph_wire::IOCTL_GET_FIXED_INDEX, nullptr, 0, &idx, 1).error, 0u);
  close(a);
  HANDLE b = keep(open_path(paths[0]));
  EXPECT_NE(b, INVALID_HANDLE_VALUE);
}

TEST_F(DriverTest, SurpriseRemovalWithAHandleOpenEndsTheDeviceAtTheLastClose) {
  auto i = plug();
  HANDLE h = keep(open_path(unit_path(0)));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  sb::unplug(i.instance);
  ASSERT_TRUE(sp::settle());
  EXPECT_EQ(sp::device_state(i.instance), "surprise removed");
  EXPECT_TRUE(sp::driver_loaded("vantrel"));
  // Requests on the open handle fail; nothing reaches a device that is gone.
  unsigned char idx = 0;
  EXPECT_NE(control(h, zeph_wire::IOCTL_GET_FIXED_INDEX, nullptr, 0, &idx, 1).error, 0u);
  EXPECT_EQ(open_path(unit_path(0)), INVALID_HANDLE_VALUE);
  close(h);
  ASSERT_TRUE(sp::settle());
  EXPECT_EQ(sp::device_state(i.instance), "absent");
}

// Once a query-remove was accepted the device refuses opens with STATUS_DELETE_PENDING (the Win32 error
// alone would not tell it from STATUS_ACCESS_DENIED); a cancelled removal opens again.
TEST_F(DriverTest, ACreateWhileRemovalIsPendingGetsDeletePending) {
  auto i = plug();
  ASSERT_EQ(sp::send_pnp(i.instance, IRP_MN_QUERY_REMOVE_DEVICE), 0);
  EXPECT_EQ(open_path(unit_path(0)), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ((uint32_t)sk::last_open_status(), 0xC0000056u);
  ASSERT_EQ(sp::send_pnp(i.instance, IRP_MN_CANCEL_REMOVE_DEVICE), 0);
  HANDLE h = keep(open_path(unit_path(0)));
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sk::last_open_status(), 0);
}

TEST_F(DriverTest, OrderlyRemovalWithAHandleOpenKeepsTheObjectUntilTheClose) {
  auto i = plug();
  HANDLE h = keep(open_path(unit_path(0)));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // Query-remove is refused while a handle is open.
  EXPECT_EQ((uint32_t)sp::remove_device(i.instance, true), 0x80000011u);
  EXPECT_EQ(sp::device_state(i.instance), "started");
  // A removal without the query still goes through; the handle keeps the object.
  EXPECT_EQ(sp::remove_device(i.instance, false), 0);
  ASSERT_TRUE(sp::settle());
  unsigned char idx = 0;
  EXPECT_NE(control(h, zeph_wire::IOCTL_GET_FIXED_INDEX, nullptr, 0, &idx, 1).error, 0u);
  close(h);
  ASSERT_TRUE(sp::settle());
}

TEST_F(DriverTest, PnpStopAndRestart) {
  auto i = plug();
  HANDLE h = keep(open_path(unit_path(0)));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ((uint32_t)sp::send_pnp(i.instance, IRP_MN_QUERY_STOP_DEVICE), 0x80000011u);
  close(h);
  EXPECT_EQ(sp::send_pnp(i.instance, IRP_MN_QUERY_STOP_DEVICE), 0);
  EXPECT_EQ(sp::send_pnp(i.instance, IRP_MN_STOP_DEVICE), 0);
  // Stopped: requests are refused until the next start.
  EXPECT_EQ(sp::send_pnp(i.instance, IRP_MN_START_DEVICE), 0);
  h = keep(open_path(unit_path(0)));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  unsigned char idx = 0;
  EXPECT_EQ(control(h, zeph_wire::IOCTL_GET_FIXED_INDEX, nullptr, 0, &idx, 1).error, 0u);
  EXPECT_EQ(interfaces(zeph_wire::device_interface_guid_bulk).size(), 1u);
  // A cancelled query keeps the device running.
  close(h);
  EXPECT_EQ(sp::send_pnp(i.instance, IRP_MN_QUERY_STOP_DEVICE), 0);
  EXPECT_EQ(sp::send_pnp(i.instance, IRP_MN_CANCEL_STOP_DEVICE), 0);
  h = keep(open_path(unit_path(0)));
  EXPECT_EQ(control(h, zeph_wire::IOCTL_GET_FIXED_INDEX, nullptr, 0, &idx, 1).error, 0u);
}

// Capabilities, PnP minors nobody handles and power requests, checked against what reached the bus.
void capabilities_and_power(const instrument &i) {
  auto caps = sp::query_capabilities(i.instance);
  EXPECT_EQ(caps.status, 0);
  EXPECT_TRUE(caps.removable);
  EXPECT_TRUE(caps.surprise_removal_ok);
  EXPECT_TRUE(caps.device_d2);  // the bus's own answer came back through the driver
  const int minors[] = {IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCES,
                        IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_ID,
                        IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_BUS_INFORMATION,
                        IRP_MN_DEVICE_USAGE_NOTIFICATION, 0x18};
  for (int m : minors) sp::send_pnp(i.instance, m);
  EXPECT_EQ(sp::send_power(i.instance, IRP_MN_QUERY_POWER, true, 2), 0);
  EXPECT_EQ(sp::send_power(i.instance, IRP_MN_SET_POWER, false, 4), 0);
  EXPECT_EQ(sp::device_power_state(i.instance), 4);
  EXPECT_EQ(sp::send_power(i.instance, IRP_MN_SET_POWER, false, 1), 0);
  EXPECT_EQ(sp::device_power_state(i.instance), 1);
  // A sleeping state takes the device to the state the bus's table gives (D3), working back to D0.
  EXPECT_EQ(sp::send_power(i.instance, IRP_MN_SET_POWER, true, 4), 0);
  EXPECT_EQ(sp::device_power_state(i.instance), 4);
  EXPECT_EQ(sp::send_power(i.instance, IRP_MN_SET_POWER, true, 1), 0);
  EXPECT_EQ(sp::device_power_state(i.instance), 1);
  auto seen = sb::pnp_power_requests_seen(i.instance);
  for (int m : minors)
    EXPECT_NE(std::find(seen.begin(), seen.end(), (unsigned)(IRP_MJ_PNP << 8 | m)), seen.end()) << "minor " << m;
  EXPECT_NE(std::find(seen.begin(), seen.end(), (unsigned)(IRP_MJ_POWER << 8 | IRP_MN_QUERY_POWER)), seen.end());
  // Two device requests, two system requests and the two device requests they caused.
  EXPECT_EQ(std::count(seen.begin(), seen.end(), (unsigned)(IRP_MJ_POWER << 8 | IRP_MN_SET_POWER)), 6);
}

TEST_F(DriverTest, CapabilitiesAndRequestsNobodyHandlesReachTheBus) { capabilities_and_power(plug()); }

// The bus answers PnP and power requests later (STATUS_PENDING, completed from its own thread): start, the
// capabilities, power up and down, stop and start, and removal take the driver's PendingReturned paths.
TEST_F(DriverTest, PnpAndPowerAnsweredLaterByTheBus) {
  sb::set_asynchronous_pnp_power(true);
  auto i = plug();
  ASSERT_EQ(sp::device_state(i.instance), "started");
  capabilities_and_power(i);
  EXPECT_EQ(sp::send_pnp(i.instance, IRP_MN_QUERY_STOP_DEVICE), 0);
  EXPECT_EQ(sp::send_pnp(i.instance, IRP_MN_STOP_DEVICE), 0);
  EXPECT_EQ(sp::send_pnp(i.instance, IRP_MN_START_DEVICE), 0);
  HANDLE h = keep(open_path(unit_path(0)));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  unsigned char idx = 0;
  EXPECT_EQ(control(h, zeph_wire::IOCTL_GET_FIXED_INDEX, nullptr, 0, &idx, 1).error, 0u);
  uint8_t mode[4] = {1, 0, 0, 0};
  EXPECT_EQ(control(h, zeph_wire::IOCTL_SELECT_MODE, mode, 4, nullptr, 0).error, 0u);
  sb::unplug(i.instance);
  ASSERT_TRUE(sp::settle());
  EXPECT_EQ(sp::device_state(i.instance), "surprise removed");
  close(h);
  ASSERT_TRUE(sp::settle());
  EXPECT_EQ(sp::device_state(i.instance), "absent");
}

// Every allocation the driver makes while a device arrives fails once in turn: the device fails cleanly
// (or copes), nothing leaks, no rule breaks, and only a device that was added uses up a unit number.
TEST_F(DriverTest, PoolFailureAtEveryAllocationOfArrival) {
  auto anchor = plug(serial("ANCHOR"));  // keeps the driver loaded: unit 0
  ASSERT_EQ(sp::device_state(anchor.instance), "started");
  size_t baseline = sk::pool_blocks(pool_tag);
  int next_unit = 1;
  bool started = false;
  for (unsigned skip = 0; skip < 400 && !started; ++skip) {
    sk::clear_debug();
    sk::clear_pool_failures();
    sk::fail_pool(skip, 1, pool_tag);
    auto i = plug(serial("F" + std::to_string(skip)));
    bool injected = sk::pool_failures_injected() > 0;
    sk::clear_pool_failures();
    std::string state = sp::device_state(i.instance);
    bool add_failed = sk::debug_text().find("AddDevice of vantrel") != std::string::npos;
    if (!add_failed) ++next_unit;
    started = state == "started";
    if (started) {
      EXPECT_FALSE(injected) << "an allocation failed and the device still started at skip " << skip;
      HANDLE h = open_path(unit_path(next_unit - 1));
      EXPECT_NE(h, INVALID_HANDLE_VALUE) << "unit " << next_unit - 1;
      CloseHandle(h);
    } else {
      EXPECT_TRUE(injected);
    }
    sb::unplug(i.instance);
    ASSERT_TRUE(sp::settle());
    EXPECT_EQ(sk::pool_blocks(pool_tag), baseline) << "leak at skip " << skip;
    auto v = sk::take_violations();
    ASSERT_TRUE(v.empty()) << "skip " << skip << ":\n" << joined(v);
  }
  EXPECT_TRUE(started);
  EXPECT_GT(next_unit, 2);
}

TEST_F(DriverTest, AFailedEntryLeavesNothingBehind) {
  int failed_entries = 0;
  for (unsigned skip = 0; skip < 24; ++skip) {
    sk::clear_debug();
    sk::fail_pool(skip, 1, pool_tag);
    auto i = plug(serial("E" + std::to_string(skip)));
    sk::clear_pool_failures();
    if (sk::debug_text().find("DriverEntry of vantrel failed") != std::string::npos) {
      ++failed_entries;
      EXPECT_FALSE(sp::driver_loaded("vantrel"));
      EXPECT_EQ(sk::pool_blocks(pool_tag), 0u) << "skip " << skip;
    }
    sb::unplug(i.instance);
    ASSERT_TRUE(sp::settle());
    EXPECT_FALSE(sp::driver_loaded("vantrel"));
    EXPECT_EQ(sk::pool_blocks(pool_tag), 0u) << "skip " << skip;
    auto v = sk::take_violations();
    ASSERT_TRUE(v.empty()) << "skip " << skip << ":\n" << joined(v);
  }
  // The driver object and each arena could not be had once.
  EXPECT_GE(failed_entries, 3);
  plugged.clear();
}

}  // namespace
}  // namespace vt
