// The USB transport as the instrument API reaches it: quillon8 and karnet8 loaded by name, instruments
// plugged into the simulated USB bus and driven by the kernel stand-in's test driver.
#ifndef QUILLON_TESTS_FIXTURE_H
#define QUILLON_TESTS_FIXTURE_H

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <karnet/iapi.h>
#include <morvex/wire.h>
#include <quillon/quillon_lib.h>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/kernel.h>
#include <standin/loader.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>
#include <standin/version.h>

#include "testdrv.h"
#include "zephtest/wait.h"

namespace quillon_test {

inline const GUID& main_class() { return zeph_wire::device_interface_guid_main; }
inline const GUID& bulk_class() { return zeph_wire::device_interface_guid_bulk; }
inline const GUID test_class = TD_INTERFACE_GUID_INIT;

// The interface path the system gives an instrument's main interface.
inline std::string main_path(const std::string& serial) {
  std::string s;
  for (char c : serial) s += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return "\\\\?\\usb#vid_1a2b&pid_0100#" + s + "#{b8450235-702b-4d26-a97a-edf363c41cc4}";
}

inline std::vector<std::string> names(const karnet::interface_list& list) {
  std::vector<std::string> out;
  for (const auto& d : list) out.push_back(d.name());
  return out;
}

// Records (kind, class Data1) of the notices a list runs.
struct notice_log {
  void arrival(karnet::protocol_handle&, karnet::guid& g) { add("arrival", g); }
  void removal(karnet::protocol_handle&, karnet::guid& g) { add("removal", g); }
  void add(const char* kind, const karnet::guid& g) {
    std::lock_guard<std::mutex> l(mu);
    entries.push_back(std::string(kind) + (g.is_set() && g.get()->Data1 == main_class().Data1 ? " main" : " other"));
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> l(mu);
    std::vector<std::string> out;
    out.swap(entries);
    return out;
  }
  int count(const std::string& entry) {
    std::lock_guard<std::mutex> l(mu);
    int n = 0;
    for (auto& e : entries) n += e == entry;
    return n;
  }
  std::mutex mu;
  std::vector<std::string> entries;
};

class QuillonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::kernel::take_violations();
    standin::pnp::install_driver("WbTest", WB_TESTDRV_PATH, {"USB\\VID_1A2B&PID_0100", "WBTEST\\DEV"});
    ASSERT_TRUE(manager_lib) << "karnet8 did not load";
    ASSERT_TRUE(transport_lib) << "quillon8 did not load";
  }

  void TearDown() override {
    if (transport_lib) transport().stop();
    for (auto& i : usb_devices)
      if (standin::pnp::device_state(i) != "absent") standin::usbbus::unplug(i);
    for (auto& i : root_devices)
      if (standin::pnp::device_state(i) != "absent") standin::pnp::remove_device(i, false);
    EXPECT_TRUE(standin::pnp::settle());
    auto v = standin::kernel::take_violations();
    EXPECT_TRUE(v.empty()) << (v.empty() ? "" : v.front());
    standin::loader::unhide_all();
    standin::version::reset();
  }

  karnet::iapi& manager() { return *manager_lib.get(); }
  fileio::iapi& transport() { return *transport_lib.get(); }
  karnet::protocol_handle protocol() { return transport().protocol(); }

  // Plugs an instrument and waits until its driver started.
  std::string plug(const std::string& serial, const std::string& product = "Zeph Instrument", uint16_t bcd = 0x0105) {
    simdev::instrument_config cfg;
    cfg.serial_number = serial;
    cfg.product = product;
    cfg.bcd_device = bcd;
    auto dev = std::make_shared<simdev::usb_device>(std::make_shared<simdev::instrument>(cfg));
    std::string inst = standin::usbbus::plug(dev);
    usb_devices.push_back(inst);
    EXPECT_TRUE(standin::pnp::settle());
    EXPECT_EQ(standin::pnp::device_state(inst), "started");
    return inst;
  }
  void unplug(const std::string& instance) {
    standin::usbbus::unplug(instance);
    EXPECT_TRUE(standin::pnp::settle());
  }
  std::string add_root(const std::string& unique) {
    std::string inst = standin::pnp::add_root_device("WBTEST\\DEV", unique);
    root_devices.push_back(inst);
    EXPECT_TRUE(standin::pnp::settle());
    return inst;
  }

  karnet::karnet_lib manager_lib;
  fileio::quillon_lib transport_lib;
  std::vector<std::string> usb_devices;
  std::vector<std::string> root_devices;
};

// A session on the first instrument of the main class, opened through the device manager.
class SessionTest : public QuillonTest {
 protected:
  void SetUp() override {
    QuillonTest::SetUp();
    if (HasFatalFailure()) return;
    transport().start();
    instance = plug("D1");
    karnet::interface_list listed = manager().device_interfaces(karnet::guid(main_class()));
    ASSERT_EQ(listed.size(), 1u);
    session = std::make_unique<karnet::io_session>(manager().create_session(listed.front()));
    ASSERT_TRUE(session->is_open());
  }
  void TearDown() override {
    session.reset();
    QuillonTest::TearDown();
  }
  // Completes every parked request with `status`; returns how many there were.
  uint32_t release_parked(LONG status) {
    uint32_t count = 0;
    karnet::io_control op = session->control_on_memory(IOCTL_TD_RELEASE, &count, sizeof count, &status, sizeof status);
    EXPECT_EQ(session->control_and_wait(op, 10000).get_code(), 0u);
    return count;
  }
  std::string instance;
  std::unique_ptr<karnet::io_session> session;
};

}  // namespace quillon_test

#endif
