#include "core/device_info.h"

#include <cctype>
#include <cstdio>
#include <utility>

#include "core/device_file.h"

namespace keelmon {

namespace {

constexpr DWORD text_value_size = 64;

std::string decimal(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(v));
  return text;
}

}  // namespace

namespace format {

std::string product_name(const std::string& raw) {
  std::string s = raw;
  for (size_t i = 1; i < s.size(); ++i) s[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
  return s;
}

std::string serial_number(const std::string& raw) {
  size_t first = raw.find_first_not_of('0');
  return first == std::string::npos ? std::string("0") : raw.substr(first);
}

std::string bcd_version(uint32_t bcd) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%lX", static_cast<unsigned long>(bcd));
  const std::string digits = hex;
  const size_t split = digits.size() == 4 ? 2 : 1;
  return digits.substr(0, split) + "." + digits.substr(split);
}

}  // namespace format

device_info::device_info(uint32_t kind, std::string driver_file_name)
    : kind_(kind), driver_file_name_(std::move(driver_file_name)) {}

device_info::~device_info() = default;

bool device_info::read_driver_version() {
  driver_version_.clear();
  if (driver_file_name_.empty()) return false;
  char folder[512] = {};
  UINT n = GetWindowsDirectoryA(folder, sizeof folder);
  if (n == 0 || n >= sizeof folder) return false;
  std::string path = std::string(folder) + "\\system32\\drivers\\" + driver_file_name_;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<LPVOID*>(&fixed), &len) || !fixed ||
      len < sizeof(VS_FIXEDFILEINFO))
    return false;
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(fixed->dwFileVersionMS >> 16),
                static_cast<unsigned>(fixed->dwFileVersionMS & 0xFFFF),
                static_cast<unsigned>(fixed->dwFileVersionLS >> 16),
                static_cast<unsigned>(fixed->dwFileVersionLS & 0xFFFF));
  driver_version_ = text;
  return true;
}

bool device_info::read_all() {
  bool all = true;
  if (product_.empty()) all = read_product() && all;
  if (serial_number_.empty()) all = read_serial_number() && all;
  if (device_version_.empty()) all = read_device_version() && all;
  if (driver_version_.empty()) all = read_driver_version() && all;
  if (input_signal_ == 0) all = read_channel_counts() && all;
  return all;
}

channel_counts device_info::counts() const {
  channel_counts c;
  c.input_signal = static_cast<uint16_t>(input_signal_);
  c.input_process = static_cast<uint16_t>(input_process_);
  c.input_digital = static_cast<uint16_t>(input_digital_);
  c.input_tacho = static_cast<uint16_t>(input_tacho_);
  c.output_signal = static_cast<uint16_t>(output_signal_);
  c.output_digital = static_cast<uint16_t>(output_digital_);
  return c;
}

driver_device_info::driver_device_info(const std::string& path, HDEVINFO set, const SP_DEVINFO_DATA& device)
    : device_info(kind_driver_device, "lumewdm.sys") {
  file_ = std::make_unique<device_file>(path, set, device);
  file_->open(false);
  driver_ = std::make_unique<driver_device>(*file_, true);
}

bool driver_device_info::read_product() {
  if (!file_ || file_->friendly_name().empty()) return false;
  product_ = file_->friendly_name();
  return true;
}

bool driver_device_info::read_serial_number() {
  if (!driver_ || !driver_->valid()) return false;
  serial_number_ = decimal(driver_->info().serial_number);
  return true;
}

bool driver_device_info::read_device_version() {
  if (!driver_ || !driver_->valid()) return false;
  device_version_ = decimal(driver_->info().device_version);
  return true;
}

bool driver_device_info::read_channel_counts() {
  if (!driver_ || !driver_->valid()) return false;
  const channel_counts& c = driver_->counts();
  input_signal_ = c.input_signal;
  output_signal_ = c.output_signal;
  input_digital_ = c.input_digital;
  output_digital_ = c.output_digital;
  input_tacho_ = c.input_tacho;
  input_process_ = c.input_process;
  return true;
}

usb_device_info::usb_device_info(const karnet::io_device_interface& device)
    : device_info(kind_usb_instrument, "vantrel.sys"), device_(device) {
  std::string instance = device_.description().instance_id;
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  bool nt = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  key_path_ = nt ? "SYSTEM\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters" : "Enum\\" + instance;
  // A device without an instance id has no key to read.
  if (instance.empty() || RegOpenKeyA(HKEY_LOCAL_MACHINE, key_path_.c_str(), &key_) != ERROR_SUCCESS) key_ = nullptr;
}

usb_device_info::~usb_device_info() {
  if (key_) RegCloseKey(key_);
}

bool usb_device_info::read_text(const char* name, std::string& out) {
  if (!key_) return false;
  char buffer[text_value_size + 1] = {};
  DWORD type = 0;
  DWORD size = text_value_size;
  if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size) != ERROR_SUCCESS)
    return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  out.assign(buffer);
  return true;
}

bool usb_device_info::read_product() {
  std::string raw;
  if (!read_text("Product", raw) || raw.empty()) return false;
  product_ = format::product_name(raw);
  return true;
}

bool usb_device_info::read_serial_number() {
  std::string raw;
  if (!read_text("SerialNumber", raw)) return false;
  serial_number_ = format::serial_number(raw);
  return true;
}

bool usb_device_info::read_device_version() {
  if (!key_) return false;
  DWORD bcd = 0, type = 0, size = sizeof bcd;
  if (RegQueryValueExA(key_, "bcdDevice", nullptr, &type, reinterpret_cast<LPBYTE>(&bcd), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof bcd)
    return false;
  device_version_ = format::bcd_version(bcd);
  return true;
}

bool usb_device_info::read_channel_counts() {
  input_signal_ = 1;
  output_signal_ = input_digital_ = output_digital_ = input_tacho_ = input_process_ = 0;
  return true;
}

}  // namespace keelmon
