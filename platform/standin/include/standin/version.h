// What GetVersionExA reports.
#ifndef STANDIN_VERSION_H
#define STANDIN_VERSION_H

#include <windows.h>

#include <string>

namespace standin::version {

// Default: NT platform (VER_PLATFORM_WIN32_NT), 5.1, build 2600, "Service Pack 3".
void set(DWORD platform_id, DWORD major, DWORD minor, DWORD build, const std::string &csd = "");
void reset();

}  // namespace standin::version

#endif
