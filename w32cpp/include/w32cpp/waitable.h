// Owners of Win32 handles and the objects a thread can wait for.
#ifndef W32CPP_WAITABLE_H
#define W32CPP_WAITABLE_H

#include <windows.h>

#include <w32cpp/handle.h>
#include <w32cpp/status.h>

namespace w32cpp {

template <class H> class win_object;

// Owns a kernel handle; closes it when the last holder goes.
template <> class win_object<HANDLE> {
public:
  explicit win_object(HANDLE h = nullptr) : handle(h) {}
  win_object(const win_object &) = delete;
  win_object &operator=(const win_object &) = delete;
  virtual ~win_object() { close(); }
  virtual bool is_valid() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle; }

private:
  void close() noexcept;
  HANDLE handle;
};

// Owns a module handle; frees the library when the last holder goes.
template <> class win_object<HINSTANCE> {
public:
  explicit win_object(HINSTANCE h = nullptr) : handle(h) {}
  win_object(const win_object &) = delete;
  win_object &operator=(const win_object &) = delete;
  virtual ~win_object() { close(); }
  virtual bool is_valid() const {
    return handle != nullptr && reinterpret_cast<HANDLE>(handle) != INVALID_HANDLE_VALUE;
  }
  HINSTANCE get() const { return handle; }

private:
  void close() noexcept;
  HINSTANCE handle;
};

// SleepEx: 0, or WAIT_IO_COMPLETION when an APC ran.
status_wait sleep(DWORD milliseconds, BOOL alertable);

class waitable_base {
public:
  virtual status_wait wait(DWORD milliseconds, BOOL alertable) = 0;
  virtual bool is_valid() const = 0;
  virtual ~waitable_base() = default;

  // Waits alertably until the object is signalled or the time is up; APCs that cut the wait short run
  // and the wait goes on for the time that is left.
  status_wait wait_for(DWORD milliseconds);
};

// The deadline wait of waitable_base::wait_for over any wait function, for iwaitable implementations.
// The time left is measured from the start, so it stays right across the 32-bit tick wrap; a finite wait
// never becomes an infinite one, and once the time is up a last non-alertable poll ends the wait even
// while APCs keep arriving.
template <class Wait> status_wait wait_with_deadline(Wait wait, DWORD milliseconds) {
  const DWORD start = GetTickCount();
  status_wait result = wait(milliseconds, TRUE);
  while (result.get_code() == WAIT_IO_COMPLETION) {
    DWORD left = INFINITE;
    if (milliseconds != INFINITE) {
      const DWORD elapsed = GetTickCount() - start;
      if (elapsed >= milliseconds)
        return wait(0, FALSE);
      left = milliseconds - elapsed;
    }
    result = wait(left, TRUE);
  }
  return result;
}

class waitable : public waitable_base {
public:
  waitable() = default;
  waitable(const waitable &) = default;
  waitable &operator=(const waitable &) = default;

  // WaitForSingleObjectEx on the handle; without a handle the wait fails with ERROR_INVALID_HANDLE.
  status_wait wait(DWORD milliseconds, BOOL alertable) override;
  bool is_valid() const override;

  // The kernel handle, or null when none is held.
  HANDLE raw_handle() const;
  // Makes the holder own h (the previous handle is released).
  void reset_handle(HANDLE h);
  // Empties the holder; the kernel handle is closed once no other holder shares it.
  status_win32 close_holder();

protected:
  auto_handle<win_object<HANDLE>> handle_holder;
};

// An unnamed auto-reset waitable timer.
class waitable_timer : public waitable {
public:
  waitable_timer();
  ~waitable_timer() override;

  // SetWaitableTimer; due time in its convention (negative: relative in 100 ns units, 0 or positive:
  // absolute, so 0 fires at once), period in ms (0: once). A failure reads as failed, with its code.
  status_win32 set(LONGLONG due_time, LONG period);
  status_win32 cancel();
};

// An unnamed manual-reset event.
class waitable_signal : public waitable {
public:
  explicit waitable_signal(BOOL initial = FALSE);
  status_win32 set();
  status_win32 reset();
};

// An unnamed auto-reset event.
class waitable_event : public waitable {
public:
  explicit waitable_event(BOOL initial = FALSE);
  status_win32 set();
  status_win32 reset();
};

// Interface of asynchronous completions; implementations forward to an embedded waitable_signal.
class iwaitable {
public:
  virtual status_wait wait(DWORD milliseconds, BOOL alertable) = 0;
  virtual status_wait poll() = 0;
  virtual status_wait wait_for(DWORD milliseconds) = 0;
  virtual bool is_valid() = 0;
  virtual ~iwaitable() = default;
};

} // namespace w32cpp

#endif
