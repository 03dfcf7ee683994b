// What the io_*.cpp parts of the I/O manager share.
#pragma once

#include "kinternal.h"

#include <mutex>
#include <vector>

namespace wbk {

extern std::mutex g_ns;                     // names, links, device lists and stacks
extern std::vector<PDEVICE_OBJECT> g_shutdown;  // devices registered for shutdown notification

}  // namespace wbk
