#include "io_protocol_fileio.h"

#include <cstring>

#include <w32cpp/lock.h>

namespace fileio {

namespace {

// The NTSTATUS the system leaves in OVERLAPPED.Internal while a request runs.
constexpr ULONG_PTR kStatusPending = 0x103;

typedef BOOL(WINAPI* cancel_io_ex_fn)(HANDLE, LPOVERLAPPED);

// CancelIoEx exists from Windows Vista on; older systems only have CancelIo.
cancel_io_ex_fn cancel_io_ex() {
  static const cancel_io_ex_fn fn = [] {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel
               ? reinterpret_cast<cancel_io_ex_fn>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, "CancelIoEx")))
               : nullptr;
  }();
  return fn;
}

template <class Issue>
karnet::assync_handle submit(karnet::device_handle* handle, karnet::io_operation& op, Issue issue) {
  auto* request = new io_assync_overlapped(*handle);
  karnet::assync_handle result(request);
  if (!request->has_event()) {
    // No event to complete on: fail the request rather than issue one nobody can wait for.
    request->issued(FALSE, ERROR_NOT_ENOUGH_MEMORY, 0);
  } else {
    BOOL ok = issue(*handle, request->byte_count(), request->overlapped());
    DWORD error = ok ? 0 : GetLastError();
    request->issued(ok, error, *request->byte_count());
  }
  op.set_request(result);
  return result;
}

}  // namespace

io_assync_overlapped::io_assync_overlapped(HANDLE file) : file_(file), signal_(FALSE) {
  std::memset(&overlapped_, 0, sizeof overlapped_);
  overlapped_.hEvent = signal_.raw_handle();
  InitializeCriticalSection(&lock_);
}

io_assync_overlapped::~io_assync_overlapped() { DeleteCriticalSection(&lock_); }

void io_assync_overlapped::issued(BOOL ok, DWORD error, DWORD bytes) {
  if (ok) {
    bytes_.store(bytes);
    status_.store(0);
    signal_.set();
  } else if (error != ERROR_IO_PENDING) {
    status_.store(error);
    signal_.set();
  }
}

w32cpp::status_wait io_assync_overlapped::wait(DWORD milliseconds, BOOL alertable) {
  return signal_.wait(milliseconds, alertable);
}

w32cpp::status_wait io_assync_overlapped::poll() { return wait(0, FALSE); }

w32cpp::status_wait io_assync_overlapped::wait_for(DWORD milliseconds) { return signal_.wait_for(milliseconds); }

bool io_assync_overlapped::is_valid() {
  return file_ != nullptr && file_ != INVALID_HANDLE_VALUE && signal_.is_valid();
}

w32cpp::status_wait io_assync_overlapped::result(bool wait) {
  if (status_.load() == ERROR_IO_PENDING) {
    // Wait on the event outside the lock, so that a blocking result does not hold up other callers.
    if (wait) signal_.wait(INFINITE, FALSE);
    w32cpp::section_lock hold(lock_);
    if (status_.load() == ERROR_IO_PENDING) {
      DWORD n = 0;
      if (GetOverlappedResult(file_, &overlapped_, &n, FALSE)) {
        bytes_.store(n);
        status_.store(0);
      } else {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_IO_INCOMPLETE) {
          bytes_.store(n);
          status_.store(error);
        }
      }
    }
  }
  return w32cpp::status_wait(status_.load());
}

bool io_assync_overlapped::done() {
  if (status_.load() != ERROR_IO_PENDING) return true;
  // Written by the system's completion on another thread, with release ordering.
  return std::atomic_ref<ULONG_PTR>(overlapped_.Internal).load(std::memory_order_acquire) != kStatusPending;
}

uint32_t io_assync_overlapped::bytes() {
  if (status_.load() == ERROR_IO_PENDING) result(false);
  return bytes_.load();
}

karnet::assync_handle io_protocol_fileio::read(karnet::device_handle* handle, karnet::io_read& op) {
  const ostrel::mem_block& b = op.buffer();
  return submit(handle, op, [&](HANDLE h, DWORD* n, OVERLAPPED* ov) {
    return ReadFile(h, b.data(), b.data() ? b.size() : 0, n, ov);
  });
}

karnet::assync_handle io_protocol_fileio::write(karnet::device_handle* handle, karnet::io_write& op) {
  const ostrel::mem_block& b = op.buffer();
  return submit(handle, op, [&](HANDLE h, DWORD* n, OVERLAPPED* ov) {
    return WriteFile(h, b.data(), b.data() ? b.size() : 0, n, ov);
  });
}

karnet::assync_handle io_protocol_fileio::control(karnet::device_handle* handle, karnet::io_control& op) {
  const ostrel::mem_block& in = op.input();
  const ostrel::mem_block& out = op.output();
  return submit(handle, op, [&](HANDLE h, DWORD* n, OVERLAPPED* ov) {
    return DeviceIoControl(h, op.code(), in.data(), in.data() ? in.size() : 0, out.data(), out.data() ? out.size() : 0,
                           n, ov);
  });
}

w32cpp::status_win32 io_protocol_fileio::cancel(karnet::device_handle* handle) {
  if (cancel_io_ex_fn ex = cancel_io_ex()) {
    if (ex(*handle, nullptr)) return w32cpp::status_win32(0u);
    DWORD error = GetLastError();
    // Nothing in flight: there was nothing to cancel, which is what the caller wanted.
    return w32cpp::status_win32(error == ERROR_NOT_FOUND ? 0u : error);
  }
  return w32cpp::status_win32(CancelIo(*handle), w32cpp::bool_result);
}

w32cpp::status_win32 io_protocol_fileio::cancel_request(karnet::device_handle* handle, karnet::io_assync& request) {
  // Every request of this transport is one of ours (the device manager hands it only its own).
  auto& own = static_cast<io_assync_overlapped&>(request);
  if (own.done()) return w32cpp::status_win32(0u);
  if (cancel_io_ex_fn ex = cancel_io_ex()) {
    if (ex(*handle, own.overlapped())) return w32cpp::status_win32(0u);
    DWORD error = GetLastError();
    // Completed meanwhile: nothing left to cancel.
    return w32cpp::status_win32(error == ERROR_NOT_FOUND ? 0u : error);
  }
  return w32cpp::status_win32(CancelIo(*handle), w32cpp::bool_result);
}

}  // namespace fileio
