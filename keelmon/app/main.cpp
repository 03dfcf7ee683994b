// keelmon.exe: the tray device manager.
#include <windows.h>

#include "app/app.h"

int main() {
  keelmon::CDeviceManagerApp app;
  return app.execute(GetModuleHandleA(nullptr));
}
