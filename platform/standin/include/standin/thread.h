// Test observation of platform threads.
#ifndef STANDIN_THREAD_H
#define STANDIN_THREAD_H

#include <windows.h>

#include <cstddef>

namespace standin::thread {

// Blocks until the thread sits in a platform wait or sleep (or the time-out passes; false then).
// Lets a test queue an APC or signal an object knowing the thread is already waiting.
bool wait_until_blocked(HANDLE thread, DWORD timeout_ms);

// True while the thread sits in an alertable platform wait or sleep.
bool is_alertable_blocked(HANDLE thread);

// Number of APCs queued to the thread and not run yet.
std::size_t queued_apcs(HANDLE thread);

// True when the thread was terminated with TerminateThread and has reached the point where it
// stops for good (its next platform wait or sleep).
bool is_stopped(HANDLE thread);

// Threads stopped for good by TerminateThread in this process so far.
std::size_t stopped_count();

// The next `count` CreateThread calls fail (NULL, ERROR_NOT_ENOUGH_MEMORY), as when the system is out
// of resources.
void fail_next_creates(unsigned count);

// While held, a thread CreateThread made waits before it first runs (unbound to its object, as one
// the scheduler has not run yet); false lets the waiting threads go on.
void hold_starts(bool hold);

}  // namespace standin::thread

#endif
