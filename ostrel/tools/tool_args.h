// The tools' numeric arguments.
#ifndef OSTREL_TOOLS_TOOL_ARGS_H
#define OSTREL_TOOLS_TOOL_ARGS_H

#include <cstdlib>

namespace ostrel_tools {

// Argument i as a decimal number, or `fallback` when there is none.
inline unsigned number_arg(int argc, char** argv, int i, unsigned fallback) {
  return argc > i ? static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10)) : fallback;
}

}  // namespace ostrel_tools

#endif
