// Interface-class identifier: a one-word reference to a caller-owned GUID.
#ifndef KARNET_GUID_H
#define KARNET_GUID_H

#include <windows.h>

#include <cstdint>

namespace karnet {

// The GUID's 16 bytes belong to the caller and must outlive every use of the key.
class guid {
 public:
  guid() = default;
  explicit guid(const GUID* g) : value_(g) {}
  explicit guid(const GUID& g) : value_(&g) {}
  guid(const GUID&&) = delete;  // the key would outlive a temporary

  const GUID* get() const { return value_; }
  bool is_set() const { return value_ != nullptr; }

  // Strict weak order: an unset guid sorts before every set one and is equivalent only to another
  // unset one; set guids compare by value (Data1, Data2, Data3, then Data4 byte by byte, all unsigned).
  static int compare(const guid& a, const guid& b);

  friend bool operator<(const guid& a, const guid& b) { return compare(a, b) < 0; }
  friend bool operator==(const guid& a, const guid& b) { return compare(a, b) == 0; }
  friend bool operator!=(const guid& a, const guid& b) { return compare(a, b) != 0; }

 private:
  const GUID* value_ = nullptr;
};

}  // namespace karnet

#endif
