// The heap library's entry points: the factory of the process's pool and the module entry.
#include <windows.h>

#include <new>

#include <w32cpp/export.h>
#include <w32cpp/handle.h>
#include <w32cpp/loader.h>
#include <w32cpp/trace.h>

#include <ostrel/heap.h>

#include "pool.h"

namespace {
w32cpp::auto_handle<ostrel::api> instance;
w32cpp::DBGTrace module_trace("ostrel");

// At process exit one more use of the pool, never given back, keeps the module's end from destroying
// it: its worker and buckets would wait for locks that a stopped thread may hold.
alignas(w32cpp::auto_handle<ostrel::api>) unsigned char kept_at_exit[sizeof(w32cpp::auto_handle<ostrel::api>)];
}  // namespace

W32CPP_FACTORY_EXPORT w32cpp::auto_handle<ostrel::api>* ostrel_get_instance() {
  return w32cpp::factory_instance<ostrel::pool>(instance);
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
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
      // Process exit (not FreeLibrary): the other threads are gone wherever they stood; nothing of
      // theirs is waited for, since the process is ending.
      if (reserved) {
        new (kept_at_exit) w32cpp::auto_handle<ostrel::api>(instance);
        ostrel::leave_threads_at_exit();
      }
      break;
    default:
      break;
  }
  return TRUE;
}
