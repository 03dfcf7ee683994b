// Internal interface of the stand-in's COM ports: other parts (the telephony stand-in) open a terminal
// as a comm handle. Product code never includes it.
#ifndef WINPLAT_USER_COMM_H
#define WINPLAT_USER_COMM_H

#include <windows.h>

#include <string>

namespace wb {

// Opens the terminal at `path` as a comm handle named `name` (busy while open), raw, at `baud`.
// INVALID_HANDLE_VALUE with the last error set on failure.
HANDLE open_comm_path(const std::string &path, const std::string &name, DWORD baud, bool overlapped);

// The terminal path a COM name ("COM3", any case) maps to: the environment variable ZEPH_COM3,
// else the value "COM3" under HKEY_LOCAL_MACHINE "Software\Zeph\Standin\ComPorts". Empty: none.
std::string comm_path_of(const std::string &com_name);

// An upper-case copy (COM names and device-definition texts are read without regard to case).
std::string upper(std::string s);

}  // namespace wb

#endif
