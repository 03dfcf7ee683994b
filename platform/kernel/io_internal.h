// What the io_*.cpp parts of the I/O manager share.
#pragma once

#include "kinternal.h"

#include <mutex>
#include <string>
#include <vector>

namespace wbk {

extern std::mutex g_ns;                     // names, links, device lists and stacks
extern std::vector<PDEVICE_OBJECT> g_shutdown;  // devices registered for shutdown notification

// The name of a device object's driver, for the rule checks' messages ("?" without one).
std::string driver_name(PDEVICE_OBJECT d);

}  // namespace wbk
