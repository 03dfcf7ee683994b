// The process's exit: the other threads stop before the libraries detach (process_exit.cpp).
#ifndef WINPLAT_USER_PROCESS_EXIT_H
#define WINPLAT_USER_PROCESS_EXIT_H

#include <windows.h>

#include <cstdint>
#include <vector>

namespace wb {

// Addresses [begin, end) of the program's own code.
struct code_range {
  uintptr_t begin;
  uintptr_t end;
};

// True once the process has begun to exit.
bool process_exiting();

// Stops every thread the platform made, and the main thread when the caller is another one, where
// it stands in `program`'s code or at its next platform wait; their handles are signalled with
// `status`. Called once, by the exiting thread, with the loader lock held.
void stop_other_threads_for_exit(const std::vector<code_range> &program, int status);

// A critical section owned by `owner` is entered during the exit: when a thread stopped for the exit
// holds it, the process ends here with its exit status if the caller is the exiting thread; a
// caller that is itself being stopped stops for good here.
void check_orphaned_section(DWORD owner);

}  // namespace wb

#endif  // WINPLAT_USER_PROCESS_EXIT_H
