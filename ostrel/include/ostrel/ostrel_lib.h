// Client binding to the heap library's allocator.
#ifndef OSTREL_OSTREL_LIB_H
#define OSTREL_OSTREL_LIB_H

#include <w32cpp/loader.h>

#include <ostrel/heap.h>

// The older build binds the library under its older name.
#ifndef OSTREL_LIBRARY_NAME
#define OSTREL_LIBRARY_NAME "ostrel8"
#endif

namespace ostrel {

class ostrel_lib : public w32cpp::dynamic_link_instance<api> {
 public:
  ostrel_lib() : w32cpp::dynamic_link_instance<api>(OSTREL_LIBRARY_NAME, "ostrel_get_instance") {}
  ostrel_lib(const ostrel_lib&) = default;
};

}  // namespace ostrel

#endif
