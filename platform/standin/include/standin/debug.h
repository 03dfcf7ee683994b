// The sink behind OutputDebugStringA.
#ifndef STANDIN_DEBUG_H
#define STANDIN_DEBUG_H

#include <cstddef>
#include <string>
#include <vector>

namespace standin::debug {

// Every OutputDebugStringA call is one entry, oldest first. The sink keeps the most recent
// 10000 entries.
std::vector<std::string> lines();
// All kept entries joined.
std::string text();
std::size_t count();
void clear();
// Also copy each entry to stderr (ZEPH_DEBUG_ECHO=1 turns it on at start-up).
void set_echo(bool on);

}  // namespace standin::debug

#endif
