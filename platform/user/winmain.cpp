// main() of a windowed program: the command line after the program name goes to WinMain.
#include <windows.h>

int main() {
  const char *p = GetCommandLineA();
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(p), SW_SHOWDEFAULT);
}
