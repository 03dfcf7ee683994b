// Shared fixture of the driver's tests: the driver installed for the instrument's hardware id, instruments
// plugged into the simulated bus, and the checks every case ends with (no rule broken, nothing leaked,
// the driver unloaded once its devices are gone).
#ifndef VANTREL_TESTS_DRIVER_FIXTURE_H
#define VANTREL_TESTS_DRIVER_FIXTURE_H

#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>
#include <morvex/wire.h>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>

#include <execinfo.h>
#include <unistd.h>
#include <memory>
#include <string>
#include <vector>

#include "zephtest/wait.h"

namespace vt {

namespace sk = standin::kernel;
namespace sp = standin::pnp;
namespace sb = standin::usbbus;

// PnP and power minor codes as the kernel numbers them.
enum : int {
  IRP_MN_START_DEVICE = 0x00,
  IRP_MN_QUERY_REMOVE_DEVICE = 0x01,
  IRP_MN_REMOVE_DEVICE = 0x02,
  IRP_MN_CANCEL_REMOVE_DEVICE = 0x03,
  IRP_MN_STOP_DEVICE = 0x04,
  IRP_MN_QUERY_STOP_DEVICE = 0x05,
  IRP_MN_CANCEL_STOP_DEVICE = 0x06,
  IRP_MN_QUERY_DEVICE_RELATIONS = 0x07,
  IRP_MN_QUERY_INTERFACE = 0x08,
  IRP_MN_QUERY_RESOURCES = 0x0A,
  IRP_MN_QUERY_RESOURCE_REQUIREMENTS = 0x0B,
  IRP_MN_QUERY_DEVICE_TEXT = 0x0C,
  IRP_MN_QUERY_ID = 0x13,
  IRP_MN_QUERY_PNP_DEVICE_STATE = 0x14,
  IRP_MN_QUERY_BUS_INFORMATION = 0x15,
  IRP_MN_DEVICE_USAGE_NOTIFICATION = 0x16,
  IRP_MJ_POWER = 0x16,
  IRP_MJ_PNP = 0x1b,
  IRP_MN_SET_POWER = 0x02,
  IRP_MN_QUERY_POWER = 0x03,
};

// "Wdm " as the pool counts it.
constexpr uint32_t pool_tag = 'W' | ('d' << 8) | ('m' << 16) | (' ' << 24);

inline std::string joined(const std::vector<std::string> &v) {
  std::string s;
  for (auto &x : v) s += x + "\n";
  return s;
}

struct instrument {
  std::shared_ptr<simdev::instrument> model;
  std::shared_ptr<simdev::usb_device> usb;
  std::string instance;
};

// Device-interface paths of a class, present ones only.
inline std::vector<std::string> interfaces(const GUID &guid) {
  std::vector<std::string> out;
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return out;
  SP_DEVICE_INTERFACE_DATA d{};
  d.cbSize = sizeof d;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &d); ++i) {
    DWORD need = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &d, nullptr, 0, &need, nullptr);
    std::vector<char> buf(need);
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &d, detail, need, nullptr, nullptr)) out.push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return out;
}

inline HANDLE open_path(const std::string &path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                     nullptr);
}

inline std::string unit_path(int unit) { return "\\\\.\\VANTRELDevice" + std::to_string(unit); }

// A value under the device's hardware key ("Device Parameters" of its Enum key).
inline bool read_value(const std::string &instance, const char *name, std::vector<uint8_t> *data, DWORD *type) {
  HKEY k;
  std::string path = "SYSTEM\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters";
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  bool ok = RegQueryValueExA(k, name, nullptr, type, nullptr, &size) == ERROR_SUCCESS;
  if (ok) {
    data->resize(size);
    ok = RegQueryValueExA(k, name, nullptr, type, data->data(), &size) == ERROR_SUCCESS;
    data->resize(size);
  }
  RegCloseKey(k);
  return ok;
}

inline std::string read_string(const std::string &instance, const char *name) {
  std::vector<uint8_t> d;
  DWORD type = 0;
  if (!read_value(instance, name, &d, &type) || type != REG_SZ) return "<missing>";
  std::string s(d.begin(), d.end());
  while (!s.empty() && s.back() == 0) s.pop_back();
  return s;
}

// Overlapped request on a device handle, waited for with a deadline. Returns the Win32 error (0 = done).
struct io_result {
  DWORD error;
  DWORD bytes;
};

// `error` is GetLastError() right after the call that started the request.
inline io_result finish_overlapped(HANDLE h, OVERLAPPED *o, BOOL started, DWORD error, DWORD deadline_ms = 20000) {
  io_result r{0, 0};
  if (!started) {
    r.error = error;
    if (r.error != ERROR_IO_PENDING) return r;
    if (WaitForSingleObject(o->hEvent, deadline_ms) != WAIT_OBJECT_0) {
      CancelIo(h);
      WaitForSingleObject(o->hEvent, 5000);
      r.error = WAIT_TIMEOUT;
      return r;
    }
  }
  r.error = GetOverlappedResult(h, o, &r.bytes, FALSE) ? 0 : GetLastError();
  return r;
}

inline io_result control(HANDLE h, DWORD code, const void *in, DWORD in_size, void *out, DWORD out_size) {
  OVERLAPPED o{};
  o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  BOOL ok = DeviceIoControl(h, code, const_cast<void *>(in), in_size, out, out_size, nullptr, &o);
  io_result r = finish_overlapped(h, &o, ok, ok ? 0 : GetLastError());
  CloseHandle(o.hEvent);
  return r;
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sk::take_violations();
    // Where a rule broke, for the log.
    sk::set_violation_handler([](const std::string &) {
      void *frames[32];
      int n = backtrace(frames, 32);
      backtrace_symbols_fd(frames, n, STDERR_FILENO);
    });
    sk::clear_pool_failures();
    sk::clear_registry_write_failures();
    sk::clear_completions_under_spin_lock();
    sb::set_asynchronous_completion(false);
    sb::set_asynchronous_pnp_power(false);
    sb::set_default_max_transfer_size(4096);
    sp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
  }

  void TearDown() override {
    for (auto &h : handles)
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    handles.clear();
    for (auto &i : plugged)
      if (sp::device_state(i.instance) != "absent") sb::unplug(i.instance);
    EXPECT_TRUE(sp::settle());
    sk::clear_pool_failures();
    EXPECT_TRUE(zephtest::wait_until([] { return !sp::driver_loaded("vantrel"); })) << "driver still loaded";
    EXPECT_EQ(sk::pool_blocks(pool_tag), 0u) << "driver pool blocks left";
    auto v = sk::take_violations();
    EXPECT_TRUE(v.empty()) << joined(v);
    // The driver holds no spin lock where it completes an IRP or calls a lower driver (its README).
    EXPECT_EQ(sk::completions_under_spin_lock(), 0u) << "IRPs completed under a spin lock";
    EXPECT_EQ(sk::calls_under_spin_lock(), 0u) << "IoCallDriver under a spin lock";
    sb::set_asynchronous_pnp_power(false);
    sb::set_default_max_transfer_size(4096);
  }

  instrument plug(simdev::instrument_config cfg = {}) {
    instrument i;
    i.model = std::make_shared<simdev::instrument>(cfg);
    i.usb = std::make_shared<simdev::usb_device>(i.model);
    i.instance = sb::plug(i.usb);
    plugged.push_back(i);
    EXPECT_TRUE(sp::settle());
    return i;
  }

  HANDLE keep(HANDLE h) {
    handles.push_back(h);
    return h;
  }
  void close(HANDLE h) {
    for (auto &x : handles)
      if (x == h) x = INVALID_HANDLE_VALUE;
    CloseHandle(h);
  }

  std::vector<instrument> plugged;
  std::vector<HANDLE> handles;
};

}  // namespace vt

#endif
