#include <w32cpp/waitable.h>

namespace w32cpp {

void win_object<HANDLE>::close() noexcept {
  if (!is_valid())
    return;
  CloseHandle(handle);
  handle = nullptr;
}

void win_object<HINSTANCE>::close() noexcept {
  if (!is_valid())
    return;
  FreeLibrary(handle);
  handle = nullptr;
}

status_wait sleep(DWORD milliseconds, BOOL alertable) { return status_wait(SleepEx(milliseconds, alertable)); }

status_wait waitable_base::wait_for(DWORD milliseconds) {
  return wait_with_deadline([this](DWORD ms, BOOL alertable) { return wait(ms, alertable); }, milliseconds);
}

HANDLE waitable::raw_handle() const {
  const win_object<HANDLE> *o = handle_holder.get();
  return o ? o->get() : nullptr;
}

status_wait waitable::wait(DWORD milliseconds, BOOL alertable) {
  const win_object<HANDLE> *o = handle_holder.get();
  if (!o) {
    SetLastError(ERROR_INVALID_HANDLE);
    return status_wait(WAIT_FAILED);
  }
  return status_wait(WaitForSingleObjectEx(o->get(), milliseconds, alertable));
}

bool waitable::is_valid() const {
  const win_object<HANDLE> *o = handle_holder.get();
  return o && o->is_valid();
}

void waitable::reset_handle(HANDLE h) { handle_holder.reset(new win_object<HANDLE>(h)); }

status_win32 waitable::close_holder() {
  if (handle_holder)
    handle_holder.reset();
  return status_win32(0u);
}

// Every set or cancel below reports a failure as a failed status_win32 with the call's error code.
static status_win32 from_call(BOOL result) { return status_win32(result, bool_result); }

waitable_timer::waitable_timer() { reset_handle(CreateWaitableTimerA(nullptr, FALSE, nullptr)); }

waitable_timer::~waitable_timer() {
  // Copies share the kernel timer; only the last one stops its period.
  if (is_valid() && handle_holder.unique())
    CancelWaitableTimer(raw_handle());
}

status_win32 waitable_timer::set(LONGLONG due_time, LONG period) {
  LARGE_INTEGER due;
  due.QuadPart = due_time;
  return from_call(SetWaitableTimer(raw_handle(), &due, period, nullptr, nullptr, TRUE));
}

status_win32 waitable_timer::cancel() { return from_call(CancelWaitableTimer(raw_handle())); }

waitable_signal::waitable_signal(BOOL initial) { reset_handle(CreateEventA(nullptr, TRUE, initial, nullptr)); }
status_win32 waitable_signal::set() { return from_call(SetEvent(raw_handle())); }
status_win32 waitable_signal::reset() { return from_call(ResetEvent(raw_handle())); }

waitable_event::waitable_event(BOOL initial) { reset_handle(CreateEventA(nullptr, FALSE, initial, nullptr)); }
status_win32 waitable_event::set() { return from_call(SetEvent(raw_handle())); }
status_win32 waitable_event::reset() { return from_call(ResetEvent(raw_handle())); }

} // namespace w32cpp
