// Test control of the loader: make a system library or one of its entry points look absent, as on a
// Windows installation that lacks them.
#ifndef STANDIN_LOADER_H
#define STANDIN_LOADER_H

#include <string>

namespace standin::loader {

// LoadLibraryA of the system library (e.g. "setupapi") fails with ERROR_MOD_NOT_FOUND; GetModuleHandleA
// of it too.
void hide_library(const std::string &name);
// GetProcAddress of `entry` fails with ERROR_PROC_NOT_FOUND, whichever module is asked.
void hide_entry(const std::string &entry);
// Everything visible again.
void unhide_all();

}  // namespace standin::loader

#endif
