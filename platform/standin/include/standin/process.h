// Test control of the process's command line as GetCommandLineA/W report it (by default the one the
// program was started with) and of the executable's path.
#ifndef STANDIN_PROCESS_H
#define STANDIN_PROCESS_H

#include <string>

namespace standin::process {

void set_command_line(const std::wstring &line);
void reset_command_line();

// The executable's path as GetModuleFileNameA/W(NULL) report it, a Windows path (by default the
// running program's own file): a test that runs a program's entry in its own process names the
// program's file independently of the command line, as CreateProcess does.
void set_image_path(const std::wstring &windows_path);
void reset_image_path();

}  // namespace standin::process

#endif
