// Client binding to the device manager library.
#ifndef KARNET_KARNET_LIB_H
#define KARNET_KARNET_LIB_H

#include <cstddef>

#include <w32cpp/loader.h>

#include <karnet/types.h>

// The older build binds the library under its older name.
#ifndef KARNET_LIBRARY_NAME
#define KARNET_LIBRARY_NAME "karnet8"
#endif

namespace karnet {

// Every object that must reach the device manager holds a copy: each copy keeps the library loaded and
// its singleton alive.
class karnet_lib : public w32cpp::dynamic_link_instance<iapi> {
 public:
  karnet_lib() : w32cpp::dynamic_link_instance<iapi>(KARNET_LIBRARY_NAME, "karnet_get_instance") {}
  // Bound to nothing, without loading anything.
  explicit karnet_lib(std::nullptr_t) : w32cpp::dynamic_link_instance<iapi>(nullptr, nullptr) {}
  karnet_lib(const karnet_lib&) = default;
};

}  // namespace karnet

#endif
