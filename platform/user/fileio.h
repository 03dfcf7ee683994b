// Internal interface of the stand-in's file layer: a handle that ReadFile, WriteFile, DeviceIoControl,
// GetOverlappedResult and CancelIo work on, and openers for names that are neither device paths nor
// plain files (COM ports, ...). Product code never includes it.
#ifndef WINPLAT_USER_FILEIO_H
#define WINPLAT_USER_FILEIO_H

#include <windows.h>

#include <functional>

#include "kobject.h"

namespace wb {

// A file-like object in the handle table. The object is signalled when an overlapped request issued on
// it without an event completes (GetOverlappedResult then waits on the handle itself).
class file_object : public kobject {
 public:
  file_object() : kobject(true, false) {}
  const char *type_name() const override { return "file"; }
  virtual bool overlapped() const = 0;
  virtual BOOL read(LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov) = 0;
  virtual BOOL write(LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov) = 0;
  virtual BOOL control(DWORD code, LPVOID in, DWORD in_length, LPVOID out, DWORD out_length, LPDWORD done,
                       LPOVERLAPPED ov) {
    (void)code, (void)in, (void)in_length, (void)out, (void)out_length, (void)done, (void)ov;
    set_last_error(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  // CancelIo: the calling thread's requests on this object.
  virtual BOOL cancel_io() { return TRUE; }
  // CancelIoEx: the requests issued with `ov` (null: every request) by any thread; ERROR_NOT_FOUND when none.
  virtual BOOL cancel_io_ex(LPOVERLAPPED ov) {
    (void)ov;
    set_last_error(ERROR_NOT_FOUND);
    return FALSE;
  }
  // FlushFileBuffers: what was written has left (a COM port drains its transmit queue).
  virtual BOOL flush_buffers() { return TRUE; }
  virtual DWORD size(LPDWORD high) {
    if (high) *high = 0;
    set_last_error(ERROR_INVALID_FUNCTION);
    return INVALID_FILE_SIZE;
  }
  virtual DWORD seek(LONG low, PLONG high, DWORD method) {
    (void)low, (void)high, (void)method;
    set_last_error(ERROR_INVALID_FUNCTION);
    return INVALID_SET_FILE_POINTER;
  }
};

// An opener sees every CreateFileA name first (in the order added). It returns false to pass; true when
// it claims the name, with *result the handle or INVALID_HANDLE_VALUE (last error set).
using file_opener = std::function<bool(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                                       HANDLE *result)>;
void add_file_opener(file_opener opener);

// The current thread's identity for CancelIo.
void *io_thread_token();

}  // namespace wb

#endif
