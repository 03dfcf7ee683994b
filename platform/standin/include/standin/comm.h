// Test and user control of the stand-in's COM ports.
//
// CreateFileA("COMn") and CreateFileA("\\.\COMn") open a real terminal. The COM name maps to a tty
// path through the environment variable ZEPH_COMn (e.g. ZEPH_COM3=/dev/ttyUSB0), or else through the
// string value "COMn" under HKEY_LOCAL_MACHINE "Software\Zeph\Standin\ComPorts". An unmapped name
// fails with ERROR_FILE_NOT_FOUND; a port already open in this process with ERROR_ACCESS_DENIED.
// As a driver does, a port keeps its time-outs from one open to the next; mapping the name again
// forgets them.
#ifndef STANDIN_COMM_H
#define STANDIN_COMM_H

#include <string>

namespace standin::comm {

// The registry key that holds the mapping.
inline constexpr const char *mapping_key = "Software\\Zeph\\Standin\\ComPorts";

// Writes (or with an empty path removes) the registry mapping of a COM name; the port's kept
// time-outs are forgotten.
void map_port(const std::string &com_name, const std::string &tty_path);

}  // namespace standin::comm

#endif
