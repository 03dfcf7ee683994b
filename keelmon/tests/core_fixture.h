// Shared set-up of the core's tests: the simulated acquisition driver steered through dlopen, devices
// plugged on the root bus with the properties an installation would write, and message pumping while
// a test waits (the interface source's window belongs to the test thread).
#pragma once

#include <windows.h>
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <simdev/acquisition.h>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/pnp.h>
#include <standin/registry.h>
#include <standin/usbbus.h>

#include "core/acquisition_codes.h"
#include "zephtest/wait.h"

namespace core_test {

// Answers every message sent or posted to the calling thread's windows.
inline void pump() {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
}

// Waits for pred while answering the thread's messages.
template <class Pred>
bool pump_until(Pred&& pred) {
  return zephtest::wait_until([&] {
    pump();
    return pred();
  });
}

inline acqsim_list list_of(std::initializer_list<int32_t> values) {
  acqsim_list l{};
  for (int32_t v : values) l.items[l.count++] = v;
  return l;
}

// A device with two output channels whose attenuation runs 0..30 dB in 10 dB steps.
inline acqsim_config default_config(uint32_t serial = 4711) {
  acqsim_config c{};
  uint16_t counts[6] = {8, 2, 4, 1, 2, 3};
  for (int i = 0; i < 6; ++i) c.counts[i] = counts[i];
  c.serial_number = serial;
  c.device_version = 312;
  c.info_size = 8;
  c.input_range = list_of({-1000, -500, 0, 500, 1000});
  c.attenuation = list_of({0, 1000, 2000, 3000});
  c.input_list_32 = list_of({1, 2, 3});
  c.list_16 = list_of({7, -7});
  c.list2_a = list_of({10});
  c.list2_b = list_of({20, 21});
  c.list2_c = list_of({1, 3});
  c.list2_c_range[0] = -20;
  c.list2_c_range[1] = 40;
  c.list2_c_range[2] = 20;
  c.list2_c_range_size = 6;
  c.output_list_32 = list_of({5, 6, 7, 8});
  return c;
}

// The simulated driver, bound with dlopen to the copy the PnP manager loads.
class acquisition_driver {
 public:
  acquisition_driver() {
    module_ = dlopen(LUMEWDM_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!module_) return;
    set_next_ = reinterpret_cast<acqsim_set_next_fn>(dlsym(module_, ACQSIM_SET_NEXT));
    update_ = reinterpret_cast<acqsim_update_fn>(dlsym(module_, ACQSIM_UPDATE));
    last_set_ = reinterpret_cast<acqsim_last_set_fn>(dlsym(module_, ACQSIM_LAST_SET));
    requests_ = reinterpret_cast<acqsim_requests_fn>(dlsym(module_, ACQSIM_REQUESTS));
    standin::pnp::install_driver(ACQSIM_SERVICE, LUMEWDM_PATH, {ACQSIM_HARDWARE_ID});
  }
  // Every device leaves before the case ends, so that no removal runs on while the process exits.
  // The module stays loaded: the PnP manager may still be unloading its own reference.
  ~acquisition_driver() {
    for (auto& i : plugged_)
      if (standin::pnp::device_state(i) != "absent") standin::pnp::unplug_root_device(i);
    for (auto& i : plugged_) EXPECT_TRUE(pump_until([&] { return standin::pnp::device_state(i) == "absent"; }));
    EXPECT_TRUE(pump_until([] { return standin::pnp::settle(0); }));
  }
  bool ready() const { return set_next_ && update_ && last_set_ && requests_; }

  // Plugs a device that answers as `config`; its friendly name is what an installation would write.
  std::string plug(const acqsim_config& config, const std::string& friendly_name = "Acquisition unit",
                   bool manufacturer = true) {
    std::string unique = std::to_string(config.serial_number);
    std::string key = "System\\CurrentControlSet\\Enum\\ROOT\\LUME_ACQ\\" + unique;
    standin::registry::set_string(HKEY_LOCAL_MACHINE, key, "FriendlyName", friendly_name);
    standin::registry::set_string(HKEY_LOCAL_MACHINE, key, "DeviceDesc", "Acquisition device");
    if (manufacturer) standin::registry::set_string(HKEY_LOCAL_MACHINE, key, "Mfg", "Lume");
    set_next_(&config);
    std::string made = standin::pnp::add_root_device(ACQSIM_HARDWARE_ID, unique);
    plugged_.push_back(made);
    return made;
  }
  void unplug(const std::string& instance) { standin::pnp::unplug_root_device(instance); }
  bool update(const acqsim_config& config) { return update_(config.serial_number, &config) != 0; }
  acqsim_set_record last_set(uint32_t serial) {
    acqsim_set_record r{};
    last_set_(serial, &r);
    return r;
  }
  uint32_t requests(uint32_t serial) {
    uint32_t n = 0;
    requests_(serial, &n);
    return n;
  }

 private:
  void* module_ = nullptr;
  acqsim_set_next_fn set_next_ = nullptr;
  acqsim_update_fn update_ = nullptr;
  acqsim_last_set_fn last_set_ = nullptr;
  acqsim_requests_fn requests_ = nullptr;
  std::vector<std::string> plugged_;
};

// The user-mode path of the acquisition device with that instance id ("" while it has none).
inline std::string interface_path_of(const std::string& instance) {
  std::string s;
  for (char c : instance) s += c == '\\' ? '#' : static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return "\\\\?\\" + s + "#{ff646f80-8def-11d2-9449-00105a075f6b}";
}

// Plugs a simulated instrument ("ZEPH INSTRUMENT", bcdDevice 0x0105) on the USB bus; its instance id.
inline std::string plug_instrument(const std::string& serial, std::shared_ptr<simdev::instrument>& model,
                                   std::shared_ptr<simdev::usb_device>& usb) {
  simdev::instrument_config cfg;
  cfg.serial_number = serial;
  cfg.product = "ZEPH INSTRUMENT";
  cfg.bcd_device = 0x0105;
  model = std::make_shared<simdev::instrument>(cfg);
  usb = std::make_shared<simdev::usb_device>(model);
  return standin::usbbus::plug(usb);
}

}  // namespace core_test
