// Counted strings that own their pool buffer, registry keys, kernel events and mutexes, list heads.
#ifndef VANTREL_KOBJECTS_H
#define VANTREL_KOBJECTS_H

#include "klib.h"

namespace kl {

class counted_unicode_string {
 public:
  counted_unicode_string() { zero(&s_, sizeof s_); }
  ~counted_unicode_string() { release(); }
  counted_unicode_string(const counted_unicode_string &) = delete;
  counted_unicode_string &operator=(const counted_unicode_string &) = delete;

  // Even number of bytes (none below 2); the text is emptied.
  NTSTATUS allocate(ULONG bytes, POOL_TYPE type = NonPagedPool);
  // Room for n more UTF-16 units, keeping the text.
  NTSTATUS grow(ULONG units, POOL_TYPE type = NonPagedPool);
  NTSTATUS append(PCWSTR text);
  NTSTATUS append(const UNICODE_STRING &text);
  // Copies `text` with a terminating NUL.
  NTSTATUS assign(const UNICODE_STRING &text, POOL_TYPE type = NonPagedPool);
  // text + number in base 10 or 16, NUL-terminated.
  NTSTATUS from_text_and_number(PCWSTR text, ULONG number, ULONG base = 10);
  bool equals(const UNICODE_STRING &o) const;
  bool empty() const { return s_.Length == 0; }
  void release();
  // Hands the buffer over (the caller owns it afterwards).
  void take(counted_unicode_string &from);

  UNICODE_STRING *get() { return &s_; }
  const UNICODE_STRING &value() const { return s_; }

 private:
  UNICODE_STRING s_;
  bool owned_ = false;
};

inline ULONG wide_length(PCWSTR t) {
  ULONG n = 0;
  while (t[n]) ++n;
  return n;
}

enum registry_root : ULONG {
  root_none = 0,
  root_services = 1,
  root_control = 2,
  root_windows_nt = 3,
  root_devicemap = 4,
  root_user = 5,
};

class registry_key {
 public:
  registry_key() = default;
  ~registry_key() { close(); }
  registry_key(const registry_key &) = delete;
  registry_key &operator=(const registry_key &) = delete;

  // Opens an existing key (root path joined with the sub-path); with create, makes it when missing.
  NTSTATUS open_subkey(ULONG root, PCWSTR sub_path, ACCESS_MASK access, bool create = false);
  NTSTATUS open_subkey(const UNICODE_STRING &parent, PCWSTR sub_path, ACCESS_MASK access, bool create = false);
  // Takes over a handle opened elsewhere (IoOpenDeviceRegistryKey).
  void adopt(HANDLE h, NTSTATUS st) {
    close();
    handle_ = h;
    status_ = st;
  }
  NTSTATUS query_dword(PCWSTR name, ULONG *out) const;
  NTSTATUS write_dword(PCWSTR name, ULONG value) const;
  // REG_SZ of `chars` UTF-16 units plus the NUL.
  NTSTATUS write_string(PCWSTR name, PCWSTR text) const;
  NTSTATUS write_string(PCWSTR name, PCWSTR text, ULONG chars) const;
  void close();
  bool is_open() const { return handle_ != nullptr; }
  NTSTATUS status() const { return status_; }
  HANDLE handle() const { return handle_; }

 private:
  NTSTATUS open_path(const UNICODE_STRING &path, ACCESS_MASK access, bool create);
  HANDLE handle_ = nullptr;
  NTSTATUS status_ = STATUS_UNSUCCESSFUL;
  ULONG disposition_ = 0;
};

class kernel_event {
 public:
  kernel_event() = default;
  void init(EVENT_TYPE type, bool signalled) { KeInitializeEvent(&ev_, type, signalled ? TRUE : FALSE); }
  void set() { KeSetEvent(&ev_, IO_NO_INCREMENT, FALSE); }
  void clear() { KeClearEvent(&ev_); }
  bool is_set() { return KeReadStateEvent(&ev_) != 0; }
  // Waits at PASSIVE_LEVEL: without a time-out when ms < 0. STATUS_SUCCESS or STATUS_TIMEOUT.
  NTSTATUS wait(LONG ms = -1);
  // Waits in the given 100 ns units (0: no time-out).
  NTSTATUS wait_100ns(LONGLONG units);
  KEVENT *get() { return &ev_; }

 private:
  KEVENT ev_;
};

class kernel_mutex {
 public:
  void init(ULONG level) { KeInitializeMutex(&m_, level); }
  void acquire() { KeWaitForSingleObject(&m_, Executive, KernelMode, FALSE, nullptr); }
  void release() { KeReleaseMutex(&m_, FALSE); }

 private:
  KMUTEX m_;
};

// A gate: a synchronisation event taken by waiting on it and given back by setting it.
class gate {
 public:
  void init() { ev_.init(SynchronizationEvent, true); }
  void take() { ev_.wait(); }
  void give() { ev_.set(); }

 private:
  kernel_event ev_;
};

class list_head {
 public:
  void init() {
    InitializeListHead(&head_);
    count_ = 0;
  }
  bool is_empty() const { return IsListEmpty(&head_) != 0; }
  ULONG count() const {
    ULONG n = 0;
    for (const LIST_ENTRY *e = head_.Flink; e != &head_; e = e->Flink) ++n;
    return n;
  }
  void push_back(LIST_ENTRY *e) {
    InsertTailList(&head_, e);
    ++count_;
  }
  LIST_ENTRY *pop_front() {
    if (is_empty()) return nullptr;
    --count_;
    return RemoveHeadList(&head_);
  }
  void remove(LIST_ENTRY *e) {
    RemoveEntryList(e);
    --count_;
  }
  LIST_ENTRY *head() { return &head_; }
  ULONG size() const { return count_; }

 private:
  LIST_ENTRY head_;
  ULONG count_ = 0;
};

}  // namespace kl

#endif
