// The devices the device list shows, and the attenuation chosen for each, kept by display text.
#ifndef KEELMON_APP_DEVICE_LIST_H
#define KEELMON_APP_DEVICE_LIST_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/device_info.h"
#include "core/device_monitor.h"

namespace keelmon {

// Attenuation steps in whole dB.
struct db_steps {
  int first = 0;
  int last = 0;
  int step = 0;
};

struct active_device {
  device_info* device = nullptr;  // not owned
  uint32_t kind = 0;
  std::string key;
  std::string product;
  std::string serial_number;
  std::string device_version;
  std::string driver_version;
  std::string display;  // product + " - " + serial number
  channel_counts counts;
  device_file* file = nullptr;  // kind 1: the device object's
  db_steps attenuation;         // kind 1
  int chosen = 0;               // index in the attenuation list
};

class active_device_list {
 public:
  // With a monitor, the box of a device that cannot be opened waits until this thread releases the
  // monitor's lock (the list is changed under it).
  explicit active_device_list(const device_monitor* monitor = nullptr) : monitor_(monitor) {}
  ~active_device_list();
  active_device_list(const active_device_list&) = delete;
  active_device_list& operator=(const active_device_list&) = delete;

  // Lists a device. A device of the outside driver is asked for its attenuation steps; when its file
  // cannot be opened the user is told and the device is not listed (false).
  bool add(const std::string& key, device_info& device);
  bool remove(const std::string& key);
  active_device* find_by_key(const std::string& key) const;
  active_device* find_by_display(const std::string& display) const;
  // Gives each record its remembered choice; forgets choices of devices no longer listed (all of them
  // when the list is empty).
  void apply_remembered();
  void clear();

  // Remembers a choice under a display text.
  void remember(const std::string& display, int index) { remembered_[display] = index; }
  const std::map<std::string, int>& remembered() const { return remembered_; }
  const std::vector<std::unique_ptr<active_device>>& records() const { return records_; }
  bool empty() const { return records_.empty(); }

  // The driver's dB x 100 value in whole dB, truncated toward zero.
  static int to_db(int16_t hundredths) { return hundredths / 100; }

 private:
  const device_monitor* monitor_;
  std::vector<std::unique_ptr<active_device>> records_;
  std::map<std::string, int> remembered_;  // byte-wise order
};

}  // namespace keelmon

#endif
