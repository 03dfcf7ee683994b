// Device information sets, shared by the interface enumeration (setupapi.cpp) and the device
// installation calls (devinst.cpp), so one SetupDiDestroyDeviceInfoList frees either kind.
#ifndef WINPLAT_USER_DEVINFO_H
#define WINPLAT_USER_DEVINFO_H

#include <setupapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/kbridge.h"

namespace wb {

struct devinfo_set {
  uint32_t magic = 0x53444956;
  std::vector<wbk::interface_info> interfaces;  // a snapshot, in registration order
  std::vector<std::string> devices;             // instance ids; DevInst = index + 1 for interface sets
  bool installer = false;                       // its devices are the installer's device records
};

// The set behind a handle, or nullptr when the handle is not a live set.
devinfo_set *devinfo_of(HDEVINFO h);
// Makes the set live and returns its handle.
HDEVINFO devinfo_register(devinfo_set *s);

}  // namespace wb

#endif
