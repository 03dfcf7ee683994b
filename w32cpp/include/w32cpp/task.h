// Threads and APC-driven background tasks.
#ifndef W32CPP_TASK_H
#define W32CPP_TASK_H

#include <windows.h>

#include <atomic>

#include <w32cpp/callback.h>
#include <w32cpp/status.h>
#include <w32cpp/trace.h>
#include <w32cpp/waitable.h>

namespace w32cpp {

class thread : public waitable {
public:
  // ResumeThread: the previous suspend count, 0xFFFFFFFF on failure.
  DWORD resume();
  bool set_priority(int level);
};

// A thread that runs a loop of steps, optionally paced by a periodic timer, and runs work posted to it as
// APCs during its alertable waits. stop() posts a stop request and terminates the thread if it has not
// ended after 1000 ms (unless may_end_by_force() says no).
//
// A class derived from task must be created as task_instance<Derived>: its destructor stops the thread
// before any part of Derived goes. start() on any other derived object fails with ERROR_INVALID_FUNCTION,
// so step() never runs on a destroyed object.
class task : public thread {
public:
  using callback_handle = auto_handle<icallback<>>;

  explicit task(DWORD period = 0, int priority = THREAD_PRIORITY_NORMAL);
  task(const task &) = delete;
  task &operator=(const task &) = delete;
  ~task() override;

  // Starts the thread unless it runs; 0, or the error of the thread creation.
  status_win32 start();
  // Queues cb to run on the task's thread; 0, or the error of the queuing.
  status_win32 post(const callback_handle &cb);
  // Ends the thread: 0 when it ended by itself or on the stop request; 258 or 0xFFFFFFFF when it had to
  // be terminated. From the task's own thread it only requests the stop.
  status_win32 stop();

  // STILL_ACTIVE while the thread runs, else the exit code of the last thread (0 before the first start).
  DWORD exit_code() const { return last_exit_code.load(); }
  DWORD id() const { return thread_id.load(); }
  bool is_stop_requested() const { return stop_requested.load(); }
  DWORD get_period() const { return period; }
  int get_priority() const { return priority; }

  // Hooks for a plain task; set them before start().
  void set_step_callback(const callback_handle &cb) { step_callback = cb; }
  void set_start_callback(const callback_handle &cb) { start_callback = cb; }
  void set_finish_callback(const callback_handle &cb) { finish_callback = cb; }

protected:
  // Run on the task's thread. step() returns STILL_ACTIVE to keep going; any other code ends the loop and
  // becomes the exit code. The default step sleeps alertably until an APC arrives.
  virtual void on_start();
  virtual DWORD step();
  virtual void on_finish();

  // True only when the object's final class stops the thread before its members go.
  virtual bool stops_before_destruction() const noexcept;
  // Asked by stop() once the thread has not ended within its time: false keeps waiting (a thread
  // inside code that must not be cut off, such as a client's callback), and it is asked again each
  // further second. Runs on the stopping thread.
  virtual bool may_end_by_force() { return true; }

  std::atomic<DWORD> thread_id{0};
  DBGTrace trace{"DEBUG"};
  // The loop's state, owned by the task's thread while it runs.
  status_thread exit_status;
  auto_handle<waitable_timer> timer;
  const DWORD period;
  const int priority;
  callback_handle stop_callback;
  callback_handle step_callback;
  callback_handle start_callback;
  callback_handle finish_callback;
  std::atomic<bool> stop_requested{false};

private:
  struct apc_record;

  static unsigned __stdcall thread_proc(void *self);
  static void CALLBACK apc_proc(ULONG_PTR param);
  DWORD run();
  void wait_for_timer();
  void on_stop_request();
  // Ends the bookkeeping of a thread that has ended or was terminated.
  void forget_thread(DWORD exit_code);
  void link_locked(apc_record *r);
  void unlink_locked(apc_record *r);
  void free_unrun_records();

  std::atomic<DWORD> last_exit_code{0};
  // From a start until its thread leaves the loop; a start after that waits for the thread's end.
  std::atomic<bool> in_loop{false};
  // Guards the list of posted callbacks not yet run (freed when their thread ended without running
  // them) and the changes of the thread handle.
  CRITICAL_SECTION pending_lock;
  apc_record *pending = nullptr;
};

// The final class of every task derived from task: stops the thread before T's destructor runs.
template <class T> class task_instance final : public T {
public:
  using T::T;
  ~task_instance() override { static_cast<task &>(*this).stop(); }

private:
  bool stops_before_destruction() const noexcept override { return true; }
};

} // namespace w32cpp

#endif
