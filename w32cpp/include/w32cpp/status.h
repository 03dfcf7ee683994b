// Status values carrying a Win32 result code.
#ifndef W32CPP_STATUS_H
#define W32CPP_STATUS_H

#include <windows.h>

#include <exception>
#include <string>
#include <utility>

#include <w32cpp/export.h>

namespace w32cpp {

// 0 when a Win32 call that returns BOOL succeeded, else the thread's last error, read at once.
DWORD code_from_bool(BOOL result);

// Selects the constructors that take the BOOL result of a Win32 call. A tag keeps a plain integer code
// (status_win32(258)) from being read as a BOOL.
struct bool_result_t {
  explicit bool_result_t() = default;
};
inline constexpr bool_result_t bool_result{};

class istatus {
public:
  virtual ~istatus() = default;
  virtual bool ok() const { return !failed(); }
  virtual bool not_ok() const { return failed(); }
  virtual bool succeeded() const = 0;
  virtual bool failed() const = 0;
  // The system's text for the code, as FormatMessageA gives it; empty when it has none.
  virtual std::string message(DWORD language_id = 0) const = 0;

  DWORD get_code() const { return code; }
  void set_code(DWORD c) { code = c; }
  void assign(const istatus &other) { code = other.code; }
  void set_from_bool(BOOL result) { code = code_from_bool(result); }

  friend bool operator==(const istatus &a, const istatus &b) { return a.code == b.code; }

protected:
  explicit istatus(DWORD c = 0) : code(c) {}
  istatus(const istatus &) = default;
  istatus &operator=(const istatus &) = default;

  DWORD code;
};

// A Win32 error code: only 0 succeeds.
class status_win32 : public istatus {
public:
  status_win32(DWORD c = 0) : istatus(c) {}
  status_win32(BOOL result, bool_result_t) : istatus(code_from_bool(result)) {}
  status_win32(const istatus &other) : istatus(other.get_code()) {}
  status_win32(const status_win32 &) = default;
  status_win32 &operator=(const status_win32 &) = default;

  bool succeeded() const override { return code == 0; }
  bool failed() const override { return code != 0; }
  std::string message(DWORD language_id = 0) const override;
};

// The result of a wait or sleep: 0..63 succeed, WAIT_IO_COMPLETION (an APC ran) is neither, everything else fails.
class status_wait : public status_win32 {
public:
  status_wait() : status_win32(0u) {}
  status_wait(DWORD result) : status_win32(result) {}
  // From the BOOL result of a call: 0, or WAIT_FAILED on failure (GetLastError() keeps the reason), since
  // an error code below 64 would read as WAIT_OBJECT_0 + n.
  status_wait(BOOL result, bool_result_t) : status_win32(result ? 0u : WAIT_FAILED) {}
  status_wait(const status_wait &) = default;
  // From the status of a call that is not a wait (setting a timer or an event): any failure becomes
  // WAIT_FAILED, since small error codes would otherwise read as WAIT_OBJECT_0 + n.
  explicit status_wait(const status_win32 &call) : status_win32(call.get_code() == 0 ? 0u : WAIT_FAILED) {}
  status_wait &operator=(const status_wait &) = default;

  // Hides istatus::set_from_bool for the same reason as the BOOL constructor.
  void set_from_bool(BOOL result) { code = result ? 0u : WAIT_FAILED; }

  bool succeeded() const override { return code < 64; }
  bool failed() const override { return !succeeded() && code != WAIT_IO_COMPLETION; }
};

// A thread's exit code: 0 succeeds, STILL_ACTIVE (still running) is neither.
class status_thread : public status_win32 {
public:
  status_thread(DWORD c = 0) : status_win32(c) {}
  status_thread(const status_thread &) = default;
  status_thread &operator=(const status_thread &) = default;

  bool succeeded() const override { return code == 0; }
  bool failed() const override { return !succeeded() && code != STILL_ACTIVE; }
  bool still_active() const { return code == STILL_ACTIVE; }
};

class W32CPP_VISIBLE w32_exception : public std::exception {
public:
  explicit w32_exception(std::string text) : text_(std::move(text)) {}
  const char *what() const noexcept override { return text_.c_str(); }
  virtual std::string message() const { return what(); }
  virtual std::string full_message() const { return message(); }

private:
  std::string text_;
};

} // namespace w32cpp

#endif
