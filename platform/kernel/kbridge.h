// What the user-mode side of winplat (device files, SetupAPI, windows) uses of the kernel stand-in.
// Plain C++ with no wide-character types, so normal and -fshort-wchar translation units share it.
#ifndef WINPLAT_KERNEL_KBRIDGE_H
#define WINPLAT_KERNEL_KBRIDGE_H

#include <wbase.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wbk {

// Activity that standin::kernel::settle() waits for (DPCs, work items, PnP, message delivery).
void busy_enter();
void busy_leave();
bool wait_settled(int64_t timeout_ms);

// ---- device interfaces (SetupAPI) ----
struct interface_info {
  std::string user_path;    // "\\?\usb#vid_1a2b&pid_0100#1001#{guid}"
  std::string instance_id;  // "USB\VID_1A2B&PID_0100\1001"
  GUID guid;
  bool enabled;
  uint64_t sequence;  // registration order
};
// Interfaces of a class (guid null: every class) in registration order.
std::vector<interface_info> list_interfaces(const GUID *guid, bool enabled_only);

// ---- device-change broadcasts (implemented by the window code) ----
struct device_change {
  unsigned event;  // DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE or DBT_DEVNODES_CHANGED
  GUID guid;
  std::string path;  // interface path, user form
};
using device_change_sink = void (*)(const device_change &);
void set_device_change_sink(device_change_sink sink);
void broadcast_device_change(const device_change &c);

// ---- I/O manager, user-mode requests ----
struct kfile;  // an open device file (FILE_OBJECT plus bookkeeping)

// Opens "\\.\link" or an interface path: IRP_MJ_CREATE. Returns the NTSTATUS; *out set on success.
int32_t io_open(const char *path, uint32_t access, uint32_t share, bool overlapped, kfile **out);
// Last handle closed: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE once no request of the file is outstanding.
void io_close(kfile *f);
// A reference that keeps the file object (and its IRP_MJ_CLOSE) for the length of a call using it.
void io_hold(kfile *f);
void io_release(kfile *f);

// One user request. done() runs once, on any thread, after buffered output was copied back.
struct io_request {
  int major = 0;  // IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL
  uint32_t code = 0;
  void *in = nullptr;
  uint32_t in_length = 0;
  void *out = nullptr;
  uint32_t out_length = 0;
  int64_t offset = 0;
  void *thread = nullptr;      // issuing thread (CancelIo)
  void *overlapped = nullptr;  // the caller's OVERLAPPED (CancelIoEx)
  // Called once with done_context when the request completes.
  void (*done)(void *context, int32_t status, uint64_t information) = nullptr;
  void *done_context = nullptr;
};
// Builds the IRP and calls the driver. Returns what the driver returned (STATUS_PENDING or the final
// status). With STATUS_PENDING, done() has run or will run exactly once. Otherwise it has run and
// returned, or it never will: the call failed before an IRP existed, or the driver returned without
// completing the request (a rule break; the request is then abandoned).
int32_t io_submit(kfile *f, io_request req);
// Cancels the outstanding requests on f issued by `thread` (null: any thread) with `overlapped` (null: any
// OVERLAPPED). Returns how many it found.
size_t io_cancel(kfile *f, void *thread, void *overlapped = nullptr);

// NTSTATUS to Win32 error code.
uint32_t status_to_win32(int32_t status);

}  // namespace wbk

#endif
