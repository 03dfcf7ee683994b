// A program for the loader's process-exit tests: loads zpt_exit, gives it threads to look at (one busy
// in the program's code, one blocked in a platform wait, one made but not run yet, with "orphan" one
// busy while it holds a critical section, and with "woken" also one asleep outside the program that,
// woken at the detach, enters that section), and ends while they run, with status 3: by returning
// from main, or with "exit" through ExitProcess.
// usage: winplat_exit_probe return|exit|orphan|woken
#include <standin/thread.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "exit_probe.h"

namespace {

std::atomic<unsigned long> spins{0};
CRITICAL_SECTION held;
std::atomic<bool> holding{false};
int wake_pipe[2] = {-1, -1};
std::atomic<long> sleeper_tid{0};

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

// Asleep in a read, outside the program's code, when the exit comes.
DWORD WINAPI sleep_then_enter(LPVOID) {
  sleeper_tid = syscall(SYS_gettid);
  char c;
  if (read(wake_pipe[0], &c, 1) != 1) return 1;
  EnterCriticalSection(&held);
  std::printf("probe: the woken thread entered the section\n");
  std::fflush(stdout);
  return 0;
}

void wake_sleeper() {
  const char c = 'w';
  if (write(wake_pipe[1], &c, 1) != 1) std::printf("probe: the wake-up was not written\n");
}

bool sleeper_asleep() {
  std::ifstream in("/proc/self/task/" + std::to_string(sleeper_tid.load()) + "/stat");
  std::string line;
  if (sleeper_tid.load() == 0 || !std::getline(in, line)) return false;
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "return";
  const bool woken = std::strcmp(mode, "woken") == 0;
  const bool orphan = woken || std::strcmp(mode, "orphan") == 0;
  HMODULE plugin = LoadLibraryA("zpt_exit");
  auto watch =
      plugin ? reinterpret_cast<exit_probe_watch>(reinterpret_cast<void (*)()>(GetProcAddress(plugin, "zpt_watch")))
             : nullptr;
  if (!watch || pipe(wake_pipe) != 0) {
    std::printf("probe: zpt_exit did not load\n");
    return 2;
  }
  InitializeCriticalSection(&held);
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE busy = CreateThread(nullptr, 0, spin, nullptr, 0, nullptr);
  HANDLE blocked = CreateThread(nullptr, 0, block, never, 0, nullptr);
  if (orphan) CloseHandle(CreateThread(nullptr, 0, hold, nullptr, 0, nullptr));
  HANDLE sleeper = woken ? CreateThread(nullptr, 0, sleep_then_enter, nullptr, 0, nullptr) : nullptr;
  for (int i = 0; i < 20000 && (spins.load() < 1000 || (orphan && !holding.load()) || (woken && !sleeper_asleep()));
       ++i)
    Sleep(1);
  if (!standin::thread::wait_until_blocked(blocked, 20000)) {
    std::printf("probe: the blocked thread never waited\n");
    return 2;
  }
  standin::thread::hold_starts(true);
  HANDLE unstarted = CreateThread(nullptr, 0, block, never, 0, nullptr);
  const exit_probe_threads threads = {
      &spins, busy, blocked, unstarted, woken ? nullptr : (orphan ? &held : nullptr), woken ? wake_sleeper : nullptr,
      sleeper};
  watch(&threads);
  std::printf("probe: exiting\n");
  std::fflush(stdout);
  if (std::strcmp(mode, "exit") == 0) ExitProcess(3);
  return 3;
}
