// Test control of the process's command line as GetCommandLineA/W report it (by default the one the
// program was started with).
#ifndef STANDIN_PROCESS_H
#define STANDIN_PROCESS_H

#include <string>

namespace standin::process {

void set_command_line(const std::wstring &line);
void reset_command_line();

}  // namespace standin::process

#endif
