// UTF-8 <-> wide conversions and wide path mapping, shared by the stand-in's wide calls.
#ifndef WINPLAT_USER_WIDE_H
#define WINPLAT_USER_WIDE_H

#include <string>

#include "kobject.h"

namespace wb {

std::string to_utf8(const wchar_t *w, size_t n);
std::string to_utf8(const std::wstring &w);
std::wstring from_utf8(const char *s, size_t n);
std::wstring from_utf8(const std::string &s);
// A Windows path in wide characters, mapped like map_path does.
std::string map_wide_path(const wchar_t *p);

}  // namespace wb

#endif
