#include <karnet/device_description.h>

#include <windows.h>

#include <cstring>
#include <utility>

namespace karnet {

namespace {
// Values longer than this (terminator included) are not taken.
constexpr DWORD value_buffer = 64;

// Reads one value into a 64-byte window; false when it is missing or does not fit.
bool query(HKEY key, const char* name, unsigned char (&out)[value_buffer + 1], DWORD& length) {
  std::memset(out, 0, sizeof out);
  length = value_buffer;
  if (RegQueryValueExA(key, name, nullptr, nullptr, out, &length) != ERROR_SUCCESS) return false;
  if (length > value_buffer) return false;
  out[length] = 0;  // bound the text even when the stored bytes carry no terminator
  return true;
}

void read_string(HKEY key, const char* name, std::string& field) {
  unsigned char buffer[value_buffer + 1];
  DWORD length = 0;
  if (!query(key, name, buffer, length)) return;
  // The text and its terminator must fit the 64 bytes.
  const size_t text = strnlen(reinterpret_cast<const char*>(buffer), length);
  if (text >= value_buffer) return;
  field.assign(reinterpret_cast<const char*>(buffer), text);
}
}  // namespace

device_description::device_description(std::string id, std::string prefix, std::string suffix, std::string protocol)
    : instance_id(std::move(id)), key_prefix(std::move(prefix)), key_suffix(std::move(suffix)),
      protocol_name(std::move(protocol)) {
  read_registry();
}

void device_description::read_registry() {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, registry_path().c_str(), &key) != ERROR_SUCCESS) return;
  read_string(key, "Product", product);
  read_string(key, "SerialNumber", serial_number);
  read_string(key, "Manufacturer", manufacturer);
  unsigned char buffer[value_buffer + 1];
  DWORD length = 0;
  // A value shorter than two bytes holds no release number.
  if (query(key, "bcdDevice", buffer, length) && length >= 2)
    bcd_device = static_cast<uint32_t>(buffer[0]) | (static_cast<uint32_t>(buffer[1]) << 8);
  RegCloseKey(key);
}

}  // namespace karnet
