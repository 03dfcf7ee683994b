// A program for the loader's process-exit tests: loads zpt_exit, gives it threads to look at (one busy
// in the program's code, one blocked in a platform wait, one made but not run yet, and with "orphan"
// one busy while it holds a critical section), and ends while they run, with status 3: by returning
// from main, or with "exit" through ExitProcess.
// usage: winplat_exit_probe return|exit|orphan
#include <standin/thread.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<unsigned long> spins{0};
CRITICAL_SECTION held;
std::atomic<bool> holding{false};

DWORD WINAPI spin(LPVOID) {
  for (;;) spins.fetch_add(1, std::memory_order_relaxed);
}

DWORD WINAPI block(LPVOID event) {
  WaitForSingleObject(static_cast<HANDLE>(event), 60000);
  return 0;
}

DWORD WINAPI hold(LPVOID) {
  EnterCriticalSection(&held);
  holding = true;
  for (;;) spins.fetch_add(1, std::memory_order_relaxed);
}

typedef void (*watch_fn)(std::atomic<unsigned long>*, HANDLE, HANDLE, HANDLE, CRITICAL_SECTION*);

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "return";
  const bool orphan = std::strcmp(mode, "orphan") == 0;
  HMODULE plugin = LoadLibraryA("zpt_exit");
  auto watch = plugin ? reinterpret_cast<watch_fn>(reinterpret_cast<void (*)()>(GetProcAddress(plugin, "zpt_watch")))
                      : nullptr;
  if (!watch) {
    std::printf("probe: zpt_exit did not load\n");
    return 2;
  }
  InitializeCriticalSection(&held);
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE busy = CreateThread(nullptr, 0, spin, nullptr, 0, nullptr);
  HANDLE blocked = CreateThread(nullptr, 0, block, never, 0, nullptr);
  if (orphan) CloseHandle(CreateThread(nullptr, 0, hold, nullptr, 0, nullptr));
  for (int i = 0; i < 20000 && (spins.load() < 1000 || (orphan && !holding.load())); ++i) Sleep(1);
  if (!standin::thread::wait_until_blocked(blocked, 20000)) {
    std::printf("probe: the blocked thread never waited\n");
    return 2;
  }
  standin::thread::hold_starts(true);
  HANDLE unstarted = CreateThread(nullptr, 0, block, never, 0, nullptr);
  watch(&spins, busy, blocked, unstarted, orphan ? &held : nullptr);
  std::printf("probe: exiting\n");
  std::fflush(stdout);
  if (std::strcmp(mode, "exit") == 0) ExitProcess(3);
  return 3;
}
