// A library for the loader tests, built like a product library (hidden symbols, no "lib" prefix).
#include <windows.h>

#ifndef ZPT_VALUE
#define ZPT_VALUE 1
#endif
#ifndef ZPT_INIT_RESULT
#define ZPT_INIT_RESULT TRUE
#endif
#define ZPT_STR2(x) #x
#define ZPT_STR(x) ZPT_STR2(x)

extern "C" __declspec(dllexport) int zpt_value() { return ZPT_VALUE; }

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (!module) return FALSE;
  if (reason == DLL_PROCESS_ATTACH) {
    if (!DisableThreadLibraryCalls(module)) return FALSE;
    OutputDebugStringA("zpt attach " ZPT_STR(ZPT_VALUE));
  }
  if (reason == DLL_PROCESS_DETACH) OutputDebugStringA("zpt detach " ZPT_STR(ZPT_VALUE));
  return ZPT_INIT_RESULT;
}
