#include <morvex/iapi.h>

#include <w32cpp/loader.h>

#include "core/device_monitor.h"

namespace keelmon {

struct instrument_api_source::binding : w32cpp::dynamic_link_instance<morvex::iapi> {
  binding(const char* library, const char* factory) : dynamic_link_instance(library, factory) {}
};

instrument_api_source::instrument_api_source(device_monitor& monitor, const char* library, const char* factory)
    : notification_source(kind_instrument_api, monitor), api_(std::make_unique<binding>(library, factory)) {}

instrument_api_source::~instrument_api_source() {
  if (started_) stop();
  // The device objects hold the device manager's interfaces: they go before the library is released.
  {
    device_monitor::guard hold(monitor_);
    removed_.clear();
    devices_.clear();
  }
  api_.reset();
}

bool instrument_api_source::bound() const { return api_ && static_cast<bool>(*api_); }

bool instrument_api_source::start() {
  if (started_) return true;
  if (!bound()) return false;
  (*api_)->start();
  {
    device_monitor::guard hold(monitor_);
    update(update_arrival);
    if (device_count_ != 0) monitor_.notify(change_added, this);
  }
  started_ = true;
  return true;
}

void instrument_api_source::poll() {
  if (!started_ && (monitor_.stopping() || !start())) return;
  morvex::io_device_interface_class& control = (*api_)->control_interface_class();
  if (WaitForSingleObjectEx(control.changed().raw_handle(), 50, TRUE) != WAIT_OBJECT_0) return;
  bool removed = WaitForSingleObject(control.removed().raw_handle(), 0) == WAIT_OBJECT_0;
  bool arrived = WaitForSingleObject(control.arrived().raw_handle(), 0) == WAIT_OBJECT_0;
  device_monitor::guard hold(monitor_);
  // Both within one wait: the arrival first, then the removal scan, so that neither change is lost.
  if (arrived) {
    int result = update(update_arrival);
    if (result != 0) monitor_.notify(result, this);
  }
  if (removed) {
    int result = update(update_removal);
    if (result != 0) monitor_.notify(result, this);
  }
}

bool instrument_api_source::stop() {
  if (started_) {
    started_ = false;
    (*api_)->stop();
  }
  purge();
  return true;
}

int instrument_api_source::update(uint32_t code) {
  if (!bound()) return 0;
  morvex::io_device_interface_class& control = (*api_)->control_interface_class();
  karnet::karnet_lib& manager = (*api_)->device_manager();
  if (!manager) return 0;
  karnet::interface_list list = manager->device_interfaces(karnet::guid(control.interface_class()));
  device_monitor::guard hold(monitor_);
  if (code == update_removal) seen_.clear();
  device_count_ = static_cast<int>(list.size());
  int result = 0;
  if (code == update_arrival) {
    for (const karnet::io_device_interface& itf : list) {
      std::string key = itf.name();
      if (key.empty() || devices_.count(key)) continue;
      auto info = std::make_unique<usb_device_info>(itf);
      info->read_all();
      devices_[key] = std::move(info);
      result = change_added;
    }
  } else if (code == update_removal) {
    for (const karnet::io_device_interface& itf : list) seen_.push_back(itf.name());
    if (drop_unseen()) result = change_removed;
  }
  return result;
}

}  // namespace keelmon
