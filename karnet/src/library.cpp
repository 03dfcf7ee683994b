// The device manager library's entry points: the factory of the process's manager and the module entry.
#include <windows.h>

#include <w32cpp/export.h>
#include <w32cpp/handle.h>
#include <w32cpp/loader.h>

#include <karnet/iapi.h>

#include "device_manager_impl.h"

namespace {
w32cpp::auto_handle<karnet::iapi> instance;
}  // namespace

W32CPP_FACTORY_EXPORT w32cpp::auto_handle<karnet::iapi>* karnet_get_instance() {
  return w32cpp::factory_instance<karnet::device_manager_impl>(instance);
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
  return TRUE;
}
