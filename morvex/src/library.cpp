// The instrument API library's entry points: the factory of the process's API object and the module entry.
#include <windows.h>

#include <w32cpp/export.h>
#include <w32cpp/handle.h>
#include <w32cpp/loader.h>
#include <w32cpp/trace.h>

#include "api_imp.h"

namespace {

w32cpp::auto_handle<morvex::iapi> instance;

// Clients on several threads may ask for the API at once. Made when the module is attached, before
// any client can call.
CRITICAL_SECTION instance_lock;

}  // namespace

W32CPP_FACTORY_EXPORT w32cpp::auto_handle<morvex::iapi>* morvex_get_instance() {
    CRITICAL_SECTION& lock = instance_lock;
    EnterCriticalSection(&lock);
    w32cpp::auto_handle<morvex::iapi>* holder = nullptr;
    try {
        holder = w32cpp::factory_instance<morvex::api_imp>(instance);
    } catch (...) {
        LeaveCriticalSection(&lock);
        throw;
    }
    LeaveCriticalSection(&lock);
    return holder;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    w32cpp::DBGTrace trace("morvex");
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        trace << "DLL_PROCESS_ATTACH";
        InitializeCriticalSection(&instance_lock);
        DisableThreadLibraryCalls(module);
        break;
    case DLL_PROCESS_DETACH:
        trace << "DLL_PROCESS_DETACH";
        DeleteCriticalSection(&instance_lock);
        break;
    case DLL_THREAD_ATTACH: trace << "DLL_THREAD_ATTACH"; break;
    case DLL_THREAD_DETACH: trace << "DLL_THREAD_DETACH"; break;
    }
    return TRUE;
}
