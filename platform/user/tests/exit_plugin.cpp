// A library for the loader's process-exit tests: told of the probe's threads, it reports at its detach
// what it finds there; a fiber-local value of the calling thread reports when it goes.
#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<unsigned long>* g_spins = nullptr;
HANDLE g_busy = nullptr;
HANDLE g_blocked = nullptr;
HANDLE g_unstarted = nullptr;
CRITICAL_SECTION* g_held = nullptr;

void WINAPI fiber_value_ends(void *) { std::printf("fls: the exiting thread's value\n"); }

void report_detach(bool process_exit) {
  std::printf("detach: process exit %s\n", process_exit ? "yes" : "no");
  const unsigned long before = g_spins->load();
  Sleep(50);
  std::printf("detach: busy thread %s\n", g_spins->load() == before ? "stopped" : "still runs");
  DWORD busy_code = 0, blocked_code = 0;
  const bool signalled =
      WaitForSingleObject(g_busy, 0) == WAIT_OBJECT_0 && WaitForSingleObject(g_blocked, 0) == WAIT_OBJECT_0;
  GetExitCodeThread(g_busy, &busy_code);
  GetExitCodeThread(g_blocked, &blocked_code);
  std::printf("detach: threads %s, exit codes %lu %lu\n", signalled ? "ended" : "alive",
              static_cast<unsigned long>(busy_code), static_cast<unsigned long>(blocked_code));
  DWORD unstarted_code = 0;
  const bool unstarted_ended = WaitForSingleObject(g_unstarted, 0) == WAIT_OBJECT_0;
  GetExitCodeThread(g_unstarted, &unstarted_code);
  std::printf("detach: unstarted thread %s, exit code %lu\n", unstarted_ended ? "ended" : "alive",
              static_cast<unsigned long>(unstarted_code));
  if (g_held) {
    std::printf("detach: entering the section a stopped thread holds\n");
    std::fflush(stdout);
    EnterCriticalSection(g_held);
    std::printf("detach: entered\n");
  }
  std::fflush(stdout);
}

}  // namespace

extern "C" __declspec(dllexport) void zpt_watch(std::atomic<unsigned long>* spins, HANDLE busy, HANDLE blocked,
                                                HANDLE unstarted, CRITICAL_SECTION* held) {
  g_spins = spins;
  g_busy = busy;
  g_blocked = blocked;
  g_unstarted = unstarted;
  g_held = held;
  static int value;
  FlsSetValue(FlsAlloc(fiber_value_ends), &value);  // the calling (exiting) thread's
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && g_spins) report_detach(reserved != nullptr);
  return TRUE;
}
