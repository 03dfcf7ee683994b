// The heap library's entry points: the factory of the process's pool and the module entry.
#include <windows.h>

#include <w32cpp/export.h>
#include <w32cpp/handle.h>
#include <w32cpp/loader.h>
#include <w32cpp/trace.h>

#include <ostrel/heap.h>

#include "pool.h"

namespace {
w32cpp::auto_handle<ostrel::api> instance;
w32cpp::DBGTrace module_trace("ostrel");
}  // namespace

W32CPP_FACTORY_EXPORT w32cpp::auto_handle<ostrel::api>* ostrel_get_instance() {
  return w32cpp::factory_instance<ostrel::pool>(instance);
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(module);
      module_trace << "DLL_PROCESS_ATTACH";
      break;
    case DLL_THREAD_ATTACH:
      module_trace << "DLL_THREAD_ATTACH";
      break;
    case DLL_THREAD_DETACH:
      module_trace << "DLL_THREAD_DETACH";
      break;
    case DLL_PROCESS_DETACH:
      module_trace << "DLL_PROCESS_DETACH" << "- lib_instance count: " << instance.use_count();
      break;
    default:
      break;
  }
  return TRUE;
}
