// Identity of one device interface: instance id, its registry key and the USB strings stored there.
#ifndef KARNET_DEVICE_DESCRIPTION_H
#define KARNET_DEVICE_DESCRIPTION_H

#include <cstdint>
#include <string>

namespace karnet {

class device_description {
 public:
  // The empty record: what a detached device interface answers.
  device_description() = default;
  // Copies the four strings and reads "Product", "SerialNumber", "Manufacturer" and "bcdDevice"
  // from HKEY_LOCAL_MACHINE\<key prefix><instance id><key suffix>; what cannot be read stays empty.
  device_description(std::string instance_id, std::string key_prefix, std::string key_suffix,
                     std::string protocol_name);

  std::string key() const { return key_prefix + instance_id; }
  std::string registry_path() const { return key_prefix + instance_id + key_suffix; }

  friend bool operator<(const device_description& a, const device_description& b) { return a.key() < b.key(); }

  std::string instance_id;
  std::string key_prefix;
  std::string key_suffix;
  uint32_t bcd_device = 0;  // 16-bit release number, 0 when not found
  std::string manufacturer;
  std::string product;
  std::string serial_number;
  std::string protocol_name;

 private:
  void read_registry();
};

}  // namespace karnet

#endif
