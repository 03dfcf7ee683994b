// The class installer of the instruments' device setup class: every request gets the device
// installer's default handling. No state, no entry point, no imports.
#include <windows.h>

#include <setupapi.h>

extern "C" __declspec(dllexport) DWORD CALLBACK ClassInstall(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA) {
  return ERROR_DI_DO_DEFAULT;
}
