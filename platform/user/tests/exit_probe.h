// What the exit probe tells zpt_exit of its threads.
#ifndef WINPLAT_USER_TESTS_EXIT_PROBE_H
#define WINPLAT_USER_TESTS_EXIT_PROBE_H

#include <windows.h>

#include <atomic>

struct exit_probe_threads {
  std::atomic<unsigned long>* spins;  // counted by the busy thread (and the holding one)
  HANDLE busy;
  HANDLE blocked;
  HANDLE unstarted;
  CRITICAL_SECTION* held;  // a section a busy thread holds: entered at the detach ("orphan")
  void (*wake)();          // wakes `woken`, asleep outside the program, to enter the held section
  HANDLE woken;
};

typedef void (*exit_probe_watch)(const exit_probe_threads*);

#endif
