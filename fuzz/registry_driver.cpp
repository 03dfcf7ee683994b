// The driver's side of the registry target: its Parameters values read as DriverEntry reads them
// (kernel-mode code, built as the driver is: no RTTI).
#include "classlib/kobjects.h"

bool fuzz_read_driver_parameters(unsigned long* break_on_entry, unsigned long* configuration) {
  kl::registry_key params;
  if (!NT_SUCCESS(params.open_subkey(kl::root_services, L"FuzzDrv\\Parameters", KEY_READ))) return false;
  ULONG a = 0, b = 0;
  params.query_dword(L"BreakOnEntry", &a);
  params.query_dword(L"configuration", &b);
  *break_on_entry = a;
  *configuration = b;
  return true;
}
