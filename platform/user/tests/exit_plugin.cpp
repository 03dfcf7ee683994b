// A library for the loader's process-exit tests: told of the probe's threads, it reports at its detach
// what it finds there; a fiber-local value of the calling thread reports when it goes.
#include <standin/thread.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "exit_probe.h"

namespace {

exit_probe_threads g_probe{};

void WINAPI fiber_value_ends(void *) { std::printf("fls: the exiting thread's value\n"); }

void report_detach(bool process_exit) {
  std::printf("detach: process exit %s\n", process_exit ? "yes" : "no");
  const unsigned long before = g_probe.spins->load();
  Sleep(50);
  std::printf("detach: busy thread %s\n", g_probe.spins->load() == before ? "stopped" : "still runs");
  DWORD busy_code = 0, blocked_code = 0;
  const bool signalled =
      WaitForSingleObject(g_probe.busy, 0) == WAIT_OBJECT_0 && WaitForSingleObject(g_probe.blocked, 0) == WAIT_OBJECT_0;
  GetExitCodeThread(g_probe.busy, &busy_code);
  GetExitCodeThread(g_probe.blocked, &blocked_code);
  std::printf("detach: threads %s, exit codes %lu %lu\n", signalled ? "ended" : "alive",
              static_cast<unsigned long>(busy_code), static_cast<unsigned long>(blocked_code));
  DWORD unstarted_code = 0;
  const bool unstarted_ended = WaitForSingleObject(g_probe.unstarted, 0) == WAIT_OBJECT_0;
  GetExitCodeThread(g_probe.unstarted, &unstarted_code);
  std::printf("detach: unstarted thread %s, exit code %lu\n", unstarted_ended ? "ended" : "alive",
              static_cast<unsigned long>(unstarted_code));
  if (g_probe.wake) {
    // A thread the exit left asleep outside the program runs again and meets the section a stopped
    // thread holds: it stops there, and the detach goes on.
    std::printf("detach: waking a thread being stopped\n");
    std::fflush(stdout);
    g_probe.wake();
    bool stopped = false;
    for (int i = 0; i < 20000 && !(stopped = standin::thread::is_stopped(g_probe.woken)); ++i) Sleep(1);
    std::printf("detach: the woken thread %s\n", stopped ? "stopped at the section" : "did not stop");
  }
  if (g_probe.held) {
    std::printf("detach: entering the section a stopped thread holds\n");
    std::fflush(stdout);
    EnterCriticalSection(g_probe.held);
    std::printf("detach: entered\n");
  }
  std::fflush(stdout);
}

}  // namespace

extern "C" __declspec(dllexport) void zpt_watch(const exit_probe_threads *threads) {
  g_probe = *threads;
  static int value;
  FlsSetValue(FlsAlloc(fiber_value_ends), &value);  // the calling (exiting) thread's
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && g_probe.spins) report_detach(reserved != nullptr);
  return TRUE;
}
