// The other threads' end at process exit, as Windows ends them before it detaches the libraries: each
// thread the platform made (and the main thread, when another thread exits) stops for good wherever
// it stands in the program's own code, its handle is signalled with the process's exit code and the
// mutexes it owned are abandoned.
//
// A thread is stopped by a signal whose handler parks it, but only where the interrupted instruction
// lies in the program's code (the executable or a library the loader loaded): in the C or C++
// runtime, a sanitizer's runtime or the stand-in it may hold their locks, which the exiting thread
// needs, so there it is signalled again a moment later. A thread blocked in a platform wait or sleep
// stops at its termination point. One that stays blocked elsewhere is left so (it runs nothing), and
// stops at its next platform wait.
//
// During the exit a critical section held by a stopped thread ends the process at once when the
// exiting thread enters it, as Windows does since Vista: the exit cannot go on without it.
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "process_exit.h"

namespace wb {

namespace {

// Delivered at once under ThreadSanitizer too, which holds other signals back to a point of its own
// choosing, where the interrupted address no longer tells where the thread stands.
constexpr int k_stop_signal = SIGSYS;

constexpr size_t k_max_ranges = 256;
constexpr size_t k_max_targets = 1024;

// Shared with the signal handler, which reads and writes them with atomic built-ins only.
struct target {
  pid_t tid;
  bool parked;
};

// Written before the signal handler is installed, read by it.
code_range g_ranges[k_max_ranges];
size_t g_range_count = 0;
target g_targets[k_max_targets];
size_t g_target_count = 0;

std::atomic<bool> g_exiting{false};
std::atomic<int> g_exit_status{0};
std::atomic<pid_t> g_exiting_tid{0};
// Windows ids of the threads stopped for the exit (for the critical sections they held).
std::atomic<std::vector<DWORD> *> g_stopped_ids{nullptr};

pid_t own_tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Async-signal-safe: atomic built-ins and raw system calls only. Not instrumented by the thread
// sanitizer, which delivers this signal at once, perhaps inside its own runtime, which must not be
// entered again from here.
__attribute__((no_sanitize("thread"))) void on_stop_signal(int, siginfo_t *, void *context) {
  const int saved = errno;
  const auto *uc = static_cast<const ucontext_t *>(context);
#if defined(__x86_64__)
  const auto address = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  const auto address = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
  const auto address = static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
#error "the interrupted address of this architecture"
#endif
  bool in_program = false;
  const size_t ranges = __atomic_load_n(&g_range_count, __ATOMIC_ACQUIRE);
  for (size_t i = 0; i < ranges && !in_program; ++i)
    in_program = address >= g_ranges[i].begin && address < g_ranges[i].end;
  if (in_program) {
    const auto me = static_cast<pid_t>(syscall(SYS_gettid));
    const size_t n = __atomic_load_n(&g_target_count, __ATOMIC_ACQUIRE);
    for (size_t i = 0; i < n; ++i) {
      if (__atomic_load_n(&g_targets[i].tid, __ATOMIC_RELAXED) != me) continue;
      __atomic_store_n(&g_targets[i].parked, true, __ATOMIC_RELEASE);
      static int never = 0;
      for (;;) syscall(SYS_futex, &never, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    }
  }
  errno = saved;
}

bool is_parked(const target &t) { return __atomic_load_n(&t.parked, __ATOMIC_ACQUIRE); }

bool is_stop_target(pid_t tid) {
  const size_t n = __atomic_load_n(&g_target_count, __ATOMIC_ACQUIRE);
  for (size_t i = 0; i < n; ++i)
    if (__atomic_load_n(&g_targets[i].tid, __ATOMIC_RELAXED) == tid) return true;
  return false;
}

// The thread's state letter in /proc ('R' running, 'S' sleeping, ...); '?' when it is gone.
char thread_state_letter(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return '?';
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
}

}  // namespace

// Sequentially consistent: a starting thread stores its id and then reads this, the exit stores
// this and then reads the id; one of them sees the other.
bool process_exiting() { return g_exiting.load(); }

void stop_other_threads_for_exit(const std::vector<code_range> &program, int status) {
  const pid_t self = own_tid();
  const pid_t main_tid = getpid();
  size_t r = 0;
  for (const code_range &c : program)
    if (r < k_max_ranges) g_ranges[r++] = c;
  __atomic_store_n(&g_range_count, r, __ATOMIC_RELEASE);
  g_exit_status.store(status, std::memory_order_relaxed);
  g_exiting_tid.store(self);

  struct victim {
    kref<thread_object> thread;  // null: the main thread, which the platform never bound
    target *slot;
  };
  std::vector<victim> victims;
  auto *ids = new std::vector<DWORD>;  // read by critical sections until the process ends
  bool main_listed = self == main_tid;
  {
    std::vector<apc_queue> dropped;
    std::lock_guard<std::mutex> g(wait_lock());
    g_exiting.store(true);  // a thread that starts from here stops at once
    std::lock_guard<std::mutex> l(live_threads_lock());
    for (thread_object *t : live_threads_locked()) {
      const pid_t tid = t->linux_tid.load();
      if (tid == self || (!t->platform_created && tid != main_tid)) continue;
      if (tid == main_tid) main_listed = true;
      const size_t i = g_target_count;
      if (i >= k_max_targets) break;
      __atomic_store_n(&g_targets[i].tid, tid, __ATOMIC_RELAXED);
      __atomic_store_n(&g_target_count, i + 1, __ATOMIC_RELEASE);
      victims.push_back(victim{kref<thread_object>::share(t), &g_targets[i]});
      ids->push_back(t->id);
      // As TerminateThread: ended now, and stopped at its next platform wait (woken if in one).
      t->terminated = true;
      t->update_attention_locked();
      dropped.emplace_back();
      finish_thread_locked(t, static_cast<DWORD>(status), dropped.back());
    }
    if (!main_listed) {
      const size_t i = g_target_count;
      if (i < k_max_targets) {
        __atomic_store_n(&g_targets[i].tid, main_tid, __ATOMIC_RELAXED);
        __atomic_store_n(&g_target_count, i + 1, __ATOMIC_RELEASE);
        victims.push_back(victim{kref<thread_object>(), &g_targets[i]});
      }
    }
    g_stopped_ids.store(ids, std::memory_order_release);
  }
  if (victims.empty()) return;

  struct sigaction sa {};
  sa.sa_sigaction = on_stop_signal;
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  sigfillset(&sa.sa_mask);
  sigaction(k_stop_signal, &sa, nullptr);

  // Signalled again and again until each is parked: most signals find a thread outside the program.
  // One seen asleep (blocked outside the program) on every look for a while is left asleep.
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  std::vector<int> asleep(victims.size(), 0);
  std::vector<bool> done(victims.size(), false);  // stopped in a wait, or gone
  // One that has not run yet stops for good as it starts, seeing the exit.
  for (size_t i = 0; i < victims.size(); ++i) done[i] = victims[i].slot->tid == 0;
  for (unsigned round = 0;; ++round) {
    const bool look = round % 64 == 0;  // reading a thread's state costs far more than a signal
    bool all = true;
    bool all_quiet = true;
    for (size_t i = 0; i < victims.size(); ++i) {
      victim &v = victims[i];
      if (done[i] || is_parked(*v.slot)) continue;
      const pid_t tid = v.slot->tid;
      if (look) {
        if (v.thread) {
          std::lock_guard<std::mutex> g(wait_lock());
          done[i] = v.thread->stopped;
        }
        const char state = thread_state_letter(tid);
        if (done[i] || state == '?' || state == 'Z' || state == 'X') {
          done[i] = true;
          continue;
        }
        asleep[i] = state == 'S' || state == 'D' ? asleep[i] + 1 : 0;
      }
      all = false;
      if (asleep[i] < 8) all_quiet = false;
      syscall(SYS_tgkill, main_tid, tid, k_stop_signal);
    }
    const auto spent = clock::now() - start;
    if (all || (all_quiet && spent > std::chrono::milliseconds(50)) || spent > std::chrono::seconds(2)) break;
    struct timespec pause = {0, 200000};
    nanosleep(&pause, nullptr);
  }
  for (victim &v : victims) {
    if (!v.thread || !is_parked(*v.slot)) continue;
    std::lock_guard<std::mutex> g(wait_lock());
    v.thread->stopped = true;
  }
}

void check_orphaned_section(DWORD owner) {
  const std::vector<DWORD> *ids = g_stopped_ids.load(std::memory_order_acquire);
  if (!process_exiting() || !ids) return;
  const pid_t me = own_tid();
  if (me != g_exiting_tid.load()) {
    // A thread the exit is stopping, still running outside the program's code when the others were
    // stopped: Windows would have ended it already, so it stops here. Another thread waits.
    if (is_stop_target(me)) park_current_thread();
    return;
  }
  for (DWORD id : *ids)
    if (id == owner) {
      std::fprintf(stderr, "winplat: at the exit, a critical section held by a stopped thread (%lu) was entered: "
                           "the process ends here\n", static_cast<unsigned long>(owner));
      std::fflush(nullptr);
      // As TerminateProcess: nothing more runs, not even a sanitizer's end of run.
      syscall(SYS_exit_group, g_exit_status.load(std::memory_order_relaxed));
    }
}

}  // namespace wb

extern "C" {

// The C runtime's exit, as the program's own return from main takes it: the loader's exit hook stops
// the other threads and detaches the libraries.
void WINAPI ExitProcess(UINT code) {
  std::fflush(nullptr);
  std::exit(static_cast<int>(code));
}

}  // extern "C"
