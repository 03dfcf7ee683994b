// The device objects the tray program lists: what the Properties dialog shows, read once per device.
#ifndef KEELMON_CORE_DEVICE_INFO_H
#define KEELMON_CORE_DEVICE_INFO_H

#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <karnet/io_device_interface.h>

#include "core/driver_device.h"

namespace keelmon {

class device_file;

enum device_kind : uint32_t {
  kind_driver_device = 1,  // a device of the outside acquisition driver
  kind_usb_instrument = 256,
};

class device_info {
 public:
  virtual ~device_info();
  device_info(const device_info&) = delete;
  device_info& operator=(const device_info&) = delete;

  virtual bool read_product() { return false; }
  virtual bool read_serial_number() { return false; }
  virtual bool read_device_version() { return false; }
  // Version of the kernel driver file in the drivers folder, "a.b.c.d".
  virtual bool read_driver_version();
  virtual bool read_channel_counts() { return false; }

  // What the creator runs after construction: every read in order, each skipped when its value is
  // already present. True when every value is present afterwards.
  bool read_all();

  uint32_t kind() const { return kind_; }
  const std::string& driver_file_name() const { return driver_file_name_; }
  const std::string& product() const { return product_; }
  const std::string& serial_number() const { return serial_number_; }
  const std::string& device_version() const { return device_version_; }
  const std::string& driver_version() const { return driver_version_; }
  // The six counts in the driver's block layout.
  channel_counts counts() const;

  // Kind 1 only (null otherwise): the device file and the driver access built over it.
  device_file* file() const { return file_.get(); }
  driver_device* driver() const { return driver_.get(); }

 protected:
  device_info(uint32_t kind, std::string driver_file_name);

  uint32_t kind_;
  std::string driver_file_name_;
  std::string product_;
  std::string serial_number_;
  std::string device_version_;
  std::string driver_version_;
  uint32_t input_signal_ = 0;
  uint32_t output_signal_ = 0;
  uint32_t input_digital_ = 0;
  uint32_t output_digital_ = 0;
  uint32_t input_tacho_ = 0;
  uint32_t input_process_ = 0;
  std::unique_ptr<device_file> file_;
  std::unique_ptr<driver_device> driver_;  // declared after file_: goes first
};

// A device of the outside acquisition driver ("lumewdm.sys").
class driver_device_info : public device_info {
 public:
  // Builds the device file from the enumeration's set and record, opens it overlapped and runs the
  // capability query; the creator reads the values and closes the file.
  driver_device_info(const std::string& path, HDEVINFO set, const SP_DEVINFO_DATA& device);
  bool read_product() override;
  bool read_serial_number() override;
  bool read_device_version() override;
  bool read_channel_counts() override;
};

// One of the system's own USB instruments ("vantrel.sys"), read from the values its driver writes.
class usb_device_info : public device_info {
 public:
  explicit usb_device_info(const karnet::io_device_interface& device);
  ~usb_device_info() override;
  bool read_product() override;
  bool read_serial_number() override;
  bool read_device_version() override;
  bool read_channel_counts() override;

  const std::string& key_path() const { return key_path_; }

 private:
  bool read_text(const char* name, std::string& out);

  karnet::io_device_interface device_;
  std::string key_path_;
  HKEY key_ = nullptr;
};

// Texts as the Properties dialog shows them.
namespace format {
// "MY DEVICE" -> "My device".
std::string product_name(const std::string& raw);
// Leading zeros removed; "0" when nothing remains.
std::string serial_number(const std::string& raw);
// bcdDevice in upper-case hexadecimal with a point after the first digit, or after the second of four
// (0x100 -> "1.00", 0x1234 -> "12.34").
std::string bcd_version(uint32_t bcd);
}  // namespace format

// The registry list of active devices named by a value of the driver paths key.
struct active_devices {
  bool ok = false;
  std::vector<std::string> device_names;
  std::vector<std::string> public_names;  // "" where a device has none
  size_t count() const { return device_names.size(); }
};
active_devices read_active_devices(const std::string& value_name);

}  // namespace keelmon

#endif
