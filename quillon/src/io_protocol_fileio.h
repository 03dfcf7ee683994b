// Overlapped ReadFile, WriteFile and DeviceIoControl on a driver's device handle.
#ifndef QUILLON_IO_PROTOCOL_FILEIO_H
#define QUILLON_IO_PROTOCOL_FILEIO_H

#include <windows.h>

#include <atomic>
#include <cstdint>

#include <w32cpp/status.h>
#include <w32cpp/waitable.h>

#include <karnet/io_assync.h>
#include <karnet/io_protocol.h>

namespace fileio {

// One overlapped call until the system has finished with it. The object must stay at its address while
// the request is in flight: abandoned requests are kept by the device manager's disposal task.
class io_assync_overlapped : public karnet::io_assync {
 public:
  explicit io_assync_overlapped(HANDLE file);
  ~io_assync_overlapped() override;
  io_assync_overlapped(const io_assync_overlapped&) = delete;
  io_assync_overlapped& operator=(const io_assync_overlapped&) = delete;

  w32cpp::status_wait wait(DWORD milliseconds, BOOL alertable) override;
  w32cpp::status_wait poll() override;
  w32cpp::status_wait wait_for(DWORD milliseconds) override;
  bool is_valid() override;
  w32cpp::status_wait result(bool wait) override;
  bool done() override;
  uint32_t bytes() override;

  // Records what the issuing call returned (TRUE, or FALSE with its last error).
  void issued(BOOL ok, DWORD error, DWORD bytes);

  OVERLAPPED* overlapped() { return &overlapped_; }
  bool has_event() const { return overlapped_.hEvent != nullptr; }
  DWORD* byte_count() { return &issue_bytes_; }

 private:
  HANDLE file_;
  std::atomic<DWORD> status_{ERROR_IO_PENDING};
  std::atomic<uint32_t> bytes_{0};
  DWORD issue_bytes_ = 0;  // written by the issuing call only
  w32cpp::waitable_signal signal_;
  OVERLAPPED overlapped_;
  CRITICAL_SECTION lock_;  // one GetOverlappedResult at a time
};

// Slots 6-9 of the transport: every request is asynchronous. It also cancels one request alone.
class io_protocol_fileio : public karnet::io_protocol, public karnet::io_request_cancel {
 public:
  karnet::assync_handle read(karnet::device_handle* handle, karnet::io_read& op) override;
  karnet::assync_handle write(karnet::device_handle* handle, karnet::io_write& op) override;
  karnet::assync_handle control(karnet::device_handle* handle, karnet::io_control& op) override;
  // Cancels every request of the handle, whichever thread issued it, where the system can (CancelIoEx);
  // otherwise the calling thread's requests (CancelIo).
  w32cpp::status_win32 cancel(karnet::device_handle* handle) override;
  // CancelIoEx with the request's OVERLAPPED; without CancelIoEx, CancelIo (the calling thread's).
  w32cpp::status_win32 cancel_request(karnet::device_handle* handle, karnet::io_assync& request) override;

 protected:
  io_protocol_fileio() = default;
};

}  // namespace fileio

#endif
