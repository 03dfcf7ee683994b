#include <w32cpp/task.h>

#include <process.h>

#include <typeinfo>

#include <w32cpp/lock.h>

#include "unwind.h"

namespace w32cpp {

DWORD thread::resume() { return ResumeThread(raw_handle()); }

bool thread::set_priority(int level) { return SetThreadPriority(raw_handle(), level) != FALSE; }

// A posted callback on its way to the task's thread. While post() is still queuing it, the record
// belongs to post(); otherwise to the APC that runs it, or to the clean-up once its thread has ended.
struct task::apc_record {
  task *owner;
  callback_handle callback;
  apc_record *prev = nullptr;
  apc_record *next = nullptr;
  bool posting = true;
  bool ran = false;
};

task::task(DWORD period_ms, int priority_level) : period(period_ms), priority(priority_level) {
  InitializeCriticalSection(&pending_lock);
  stop_callback = make_member_callback<task>(this, &task::on_stop_request);
}

task::~task() {
  stop();
  free_unrun_records();
  DeleteCriticalSection(&pending_lock);
}

bool task::stops_before_destruction() const noexcept { return typeid(*this) == typeid(task); }

void task::on_start() {
  if (start_callback && start_callback->is_bound())
    start_callback->invoke();
}

DWORD task::step() {
  if (step_callback && step_callback->is_bound())
    step_callback->invoke();
  else
    SleepEx(INFINITE, TRUE);
  return exit_status.get_code();
}

void task::on_finish() {
  if (finish_callback && finish_callback->is_bound())
    finish_callback->invoke();
}

status_win32 task::start() {
  // A derived object that is not a task_instance could be destroyed while its thread still runs step().
  if (!stops_before_destruction())
    return status_win32(ERROR_INVALID_FUNCTION);
  if (is_valid() && wait(0, FALSE).get_code() == WAIT_TIMEOUT) {
    // Still in its loop (or asked from its own thread, which cannot wait for itself): already running.
    if (in_loop.load() || GetCurrentThreadId() == thread_id.load())
      return status_win32(0u);
    // Past its loop (its last APCs, on_finish, the thread's end): it goes first, else this start
    // would be lost.
    wait(INFINITE, FALSE);
  }

  // Cleared here, before the thread exists: a stop request that reaches the new thread before its
  // procedure runs must not be forgotten.
  stop_requested = false;
  exit_status.set_code(STILL_ACTIVE);
  last_exit_code = STILL_ACTIVE;
  in_loop = true;

  unsigned id = 0;
  const uintptr_t h = _beginthreadex(nullptr, 0, &task::thread_proc, this, 0, &id);
  const DWORD error = h ? 0 : GetLastError();
  {
    section_lock g(pending_lock);
    reset_handle(reinterpret_cast<HANDLE>(h));
  }
  if (!is_valid()) {
    in_loop = false;
    last_exit_code = 0;
    return status_win32(error ? error : static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  }
  thread_id = id;
  SleepEx(0, FALSE);
  return status_win32(0u);
}

unsigned __stdcall task::thread_proc(void *self) { return static_cast<task *>(self)->run(); }

DWORD task::run() {
  // Stored here too: a step may call stop() before start() has stored the id.
  thread_id = GetCurrentThreadId();
  // A stop request may already have run, before the start routine: an idle thread must not drop back.
  SetThreadPriority(GetCurrentThread(), stop_requested && priority < 0 ? THREAD_PRIORITY_NORMAL : priority);
  if (period != 0) {
    timer.reset(new waitable_timer());
    timer->set(0, static_cast<LONG>(period));
  }
  on_start();
  while (exit_status.get_code() == STILL_ACTIVE && !stop_requested) {
    if (timer) {
      wait_for_timer();
      if (stop_requested)
        break;
    }
    exit_status.set_code(step());
    sleep(2, TRUE);
    if (exit_status.get_code() != STILL_ACTIVE)
      break;
  }
  // From here a start waits for this thread to end.
  in_loop = false;
  // Work posted before the end still runs.
  sleep(0, TRUE);
  if (exit_status.get_code() == STILL_ACTIVE)
    exit_status.set_code(0);
  timer.reset();
  on_finish();
  const DWORD code = exit_status.get_code();
  last_exit_code = code;
  return code;
}

// Waits for the next period. Posted work runs inside the wait; a stop request ends it at once, so stop()
// never has to touch the timer, which this thread owns.
void task::wait_for_timer() {
  for (;;) {
    const status_wait r = timer->wait(INFINITE, TRUE);
    if (r.get_code() != WAIT_IO_COMPLETION || stop_requested)
      return;
  }
}

void task::on_stop_request() {
  // An idle-priority thread must get the processor to finish.
  if (priority < 0)
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  stop_requested = true;
}

status_win32 task::post(const callback_handle &cb) {
  apc_record *r = new apc_record{this, cb};
  // Other threads may post while the owner stops the task: a counted copy keeps the handle open
  // while the APC is queued.
  auto_handle<win_object<HANDLE>> thread_handle;
  bool linked = false;
  {
    section_lock g(pending_lock);
    thread_handle = handle_holder;
    if (thread_handle && thread_handle->is_valid()) {
      link_locked(r);
      linked = true;
    }
  }
  if (!linked) {
    delete r;
    SetLastError(ERROR_INVALID_HANDLE);
    return status_win32(static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }

  const BOOL queued = QueueUserAPC(&task::apc_proc, thread_handle->get(), reinterpret_cast<ULONG_PTR>(r));
  const DWORD error = queued ? 0 : GetLastError();

  bool free_record = true;
  {
    section_lock g(pending_lock);
    if (!queued)
      unlink_locked(r);
    else if (!r->ran)
      free_record = false; // the APC or the clean-up frees it
    r->posting = false;
  }
  if (free_record) {
    try {
      delete r;
    }
    W32CPP_PASS_FORCED_UNWIND
    catch (...) {
    }
  }
  return status_win32(error);
}

void CALLBACK task::apc_proc(ULONG_PTR param) {
  apc_record *r = reinterpret_cast<apc_record *>(param);
  if (!r)
    return;
  task *owner = r->owner;
  callback_handle cb;
  bool free_record;
  {
    section_lock g(owner->pending_lock);
    owner->unlink_locked(r);
    cb.swap(r->callback);
    free_record = !r->posting;
    r->ran = true;
  }
  if (free_record)
    delete r;
  try {
    icallback<> *c = cb.get();
    if (c && c->is_bound())
      c->invoke();
  }
  W32CPP_PASS_FORCED_UNWIND
  catch (...) {
    // A failing callback never ends the task.
  }
}

void task::link_locked(apc_record *r) {
  r->next = pending;
  r->prev = nullptr;
  if (pending)
    pending->prev = r;
  pending = r;
}

void task::unlink_locked(apc_record *r) {
  if (r->prev)
    r->prev->next = r->next;
  else if (pending == r)
    pending = r->next;
  if (r->next)
    r->next->prev = r->prev;
  r->prev = r->next = nullptr;
}

// Only called once the thread that the records were queued to has ended: they can never run now.
// Records that post() is still queuing stay with post().
void task::free_unrun_records() {
  apc_record *dead = nullptr;
  {
    section_lock g(pending_lock);
    for (apc_record *r = pending; r;) {
      apc_record *next = r->next;
      if (!r->posting) {
        unlink_locked(r);
        r->next = dead;
        dead = r;
      }
      r = next;
    }
  }
  while (dead) {
    apc_record *next = dead->next;
    delete dead;
    dead = next;
  }
}

void task::forget_thread(DWORD exit_code) {
  in_loop = false;
  last_exit_code = exit_code;
  {
    section_lock g(pending_lock);
    close_holder();
  }
  thread_id = 0;
  free_unrun_records();
}

status_win32 task::stop() {
  // Checked before the handle: a step may stop its own task before start() has stored the handle.
  if (GetCurrentThreadId() == thread_id.load()) {
    // The thread cannot wait for itself: it leaves its loop after the current step.
    on_stop_request();
    return status_win32(0u);
  }

  if (!is_valid())
    return status_win32(0u);
  const HANDLE h = raw_handle();

  DWORD code = 0;
  if (WaitForSingleObject(h, 0) == WAIT_OBJECT_0) {
    // Ended by itself: nothing to request.
    GetExitCodeThread(h, &code);
    forget_thread(code);
    return status_win32(0u);
  }

  DWORD previous;
  do {
    previous = ResumeThread(h);
  } while (previous != 0 && previous != 0xFFFFFFFF);

  if (post(stop_callback).not_ok()) {
    if (WaitForSingleObject(h, 0) == WAIT_OBJECT_0) {
      GetExitCodeThread(h, &code);
      forget_thread(code);
      return status_win32(0u);
    }
    TerminateThread(h, WAIT_FAILED);
    forget_thread(WAIT_FAILED);
    return status_win32(WAIT_FAILED);
  }

  status_wait ended = wait_for(1000);
  while (ended.get_code() == WAIT_TIMEOUT && !may_end_by_force())
    ended = wait_for(1000);
  if (ended.failed()) {
    TerminateThread(h, ended.get_code());
    forget_thread(ended.get_code());
    return status_win32(ended.get_code());
  }
  GetExitCodeThread(h, &code);
  forget_thread(code);
  return status_win32(0u);
}

} // namespace w32cpp
