// Client binding to the USB transport library.
#ifndef QUILLON_QUILLON_LIB_H
#define QUILLON_QUILLON_LIB_H

#include <w32cpp/loader.h>

#include <quillon/iapi.h>

// The older build binds the library under its older name.
#ifndef QUILLON_LIBRARY_NAME
#define QUILLON_LIBRARY_NAME "quillon8"
#endif

namespace fileio {

class quillon_lib : public w32cpp::dynamic_link_instance<iapi> {
 public:
  quillon_lib() : w32cpp::dynamic_link_instance<iapi>(QUILLON_LIBRARY_NAME, "quillon_get_instance") {}
  quillon_lib(const quillon_lib&) = default;
};

}  // namespace fileio

#endif
