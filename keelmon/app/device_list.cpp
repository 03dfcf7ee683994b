#include "app/device_list.h"

#include <windows.h>

#include <algorithm>

#include "app/framework.h"
#include "app/resource.h"
#include "core/device_file.h"
#include "core/driver_device.h"

namespace keelmon {

active_device_list::~active_device_list() { clear(); }

bool active_device_list::add(const std::string& key, device_info& device) {
  auto record = std::make_unique<active_device>();
  record->device = &device;
  record->kind = device.kind();
  record->key = key;
  record->product = device.product();
  record->serial_number = device.serial_number();
  record->device_version = device.device_version();
  record->driver_version = device.driver_version();
  record->display = record->product + " - " + record->serial_number;
  record->counts = device.counts();
  if (record->kind == kind_driver_device) {
    device_file* file = device.file();
    if (!file || file->open(false) == INVALID_HANDLE_VALUE) {
      std::string text =
          afx::format("%s '%s'.", afx::load_string(IDS_INIT_DEVICE_ERROR).c_str(), record->product.c_str());
      std::string caption = afx::load_string(IDS_DEVICE_ERROR);
      auto box = [text, caption] {
        MessageBeep(MB_ICONHAND);
        MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_ICONERROR);
      };
      if (monitor_)
        monitor_->after_unlock(box);
      else
        box();
      return false;
    }
    record->file = file;
    {
      driver_device driver(*file, true);
      const steps& s = driver.attenuation_steps();
      if (driver.valid()) record->attenuation = db_steps{to_db(s.first), to_db(s.last), to_db(s.step)};
    }
    file->close();
  }
  remembered_.emplace(record->display, 0);
  records_.push_back(std::move(record));
  return true;
}

bool active_device_list::remove(const std::string& key) {
  auto it = std::find_if(records_.begin(), records_.end(), [&](const auto& r) { return r->key == key; });
  if (it == records_.end()) return false;
  if ((*it)->kind == kind_driver_device && (*it)->file) (*it)->file->close();
  records_.erase(it);
  return true;
}

active_device* active_device_list::find_by_key(const std::string& key) const {
  for (auto& r : records_)
    if (r->key == key) return r.get();
  return nullptr;
}

active_device* active_device_list::find_by_display(const std::string& display) const {
  for (auto& r : records_)
    if (r->display == display) return r.get();
  return nullptr;
}

void active_device_list::apply_remembered() {
  for (auto& r : records_) {
    auto it = remembered_.find(r->display);
    if (it != remembered_.end()) r->chosen = it->second;
  }
  if (records_.empty()) {
    remembered_.clear();
    return;
  }
  for (auto it = remembered_.begin(); it != remembered_.end();)
    it = find_by_display(it->first) ? std::next(it) : remembered_.erase(it);
}

void active_device_list::clear() {
  while (!records_.empty()) remove(records_.front()->key);
}

}  // namespace keelmon
