#include "kobjects.h"

namespace kl {

NTSTATUS counted_unicode_string::allocate(ULONG bytes, POOL_TYPE type) {
  release();
  bytes &= ~1u;
  if (bytes < 2) return STATUS_SUCCESS;
  if (bytes > 0xFFFE) return STATUS_INVALID_PARAMETER;
  s_.Buffer = static_cast<PWSTR>(kl::allocate(bytes, type));
  if (!s_.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  owned_ = true;
  s_.Length = 0;
  s_.MaximumLength = (USHORT)bytes;
  s_.Buffer[0] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS counted_unicode_string::grow(ULONG units, POOL_TYPE type) {
  ULONG want = (ULONG)s_.Length + units * 2 + 2;
  if (want <= s_.MaximumLength) return STATUS_SUCCESS;
  if (want > 0xFFFE) return STATUS_INSUFFICIENT_RESOURCES;
  auto *b = static_cast<PWSTR>(kl::allocate(want, type));
  if (!b) return STATUS_INSUFFICIENT_RESOURCES;
  if (s_.Length) copy(b, s_.Buffer, s_.Length);
  b[s_.Length / 2] = 0;
  if (owned_) kl::release(s_.Buffer);
  s_.Buffer = b;
  s_.MaximumLength = (USHORT)want;
  owned_ = true;
  return STATUS_SUCCESS;
}

NTSTATUS counted_unicode_string::append(const UNICODE_STRING &t) {
  NTSTATUS st = grow(t.Length / 2);
  if (!NT_SUCCESS(st)) return st;
  copy(reinterpret_cast<UCHAR *>(s_.Buffer) + s_.Length, t.Buffer, t.Length);
  s_.Length = (USHORT)(s_.Length + t.Length);
  s_.Buffer[s_.Length / 2] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS counted_unicode_string::append(PCWSTR text) {
  UNICODE_STRING t;
  t.Length = t.MaximumLength = (USHORT)(wide_length(text) * 2);
  t.Buffer = const_cast<PWSTR>(text);
  return append(t);
}

NTSTATUS counted_unicode_string::assign(const UNICODE_STRING &t, POOL_TYPE type) {
  release();
  NTSTATUS st = grow(t.Length / 2, type);
  if (!NT_SUCCESS(st)) return st;
  return append(t);
}

NTSTATUS counted_unicode_string::from_text_and_number(PCWSTR text, ULONG number, ULONG base) {
  release();
  if (base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
  WCHAR digits[12];
  int n = 0;
  do {
    ULONG d = number % base;
    digits[n++] = (WCHAR)(d < 10 ? L'0' + d : L'A' + d - 10);
    number /= base;
  } while (number);
  NTSTATUS st = append(text);
  if (!NT_SUCCESS(st)) return st;
  st = grow((ULONG)n);
  if (!NT_SUCCESS(st)) return st;
  while (n) s_.Buffer[s_.Length / 2] = digits[--n], s_.Length = (USHORT)(s_.Length + 2);
  s_.Buffer[s_.Length / 2] = 0;
  return STATUS_SUCCESS;
}

bool counted_unicode_string::equals(const UNICODE_STRING &o) const {
  if (o.Length != s_.Length) return false;
  for (ULONG i = 0; i < s_.Length / 2; ++i)
    if (o.Buffer[i] != s_.Buffer[i]) return false;
  return true;
}

void counted_unicode_string::release() {
  if (owned_) kl::release(s_.Buffer);
  zero(&s_, sizeof s_);
  owned_ = false;
}

void counted_unicode_string::take(counted_unicode_string &from) {
  release();
  s_ = from.s_;
  owned_ = from.owned_;
  zero(&from.s_, sizeof from.s_);
  from.owned_ = false;
}

namespace {
PCWSTR root_path(ULONG root) {
  switch (root) {
    case root_services: return L"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case root_control: return L"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case root_windows_nt: return L"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case root_devicemap: return L"\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP";
    case root_user: return L"\\Registry\\User";
    default: return L"";
  }
}
}  // namespace

NTSTATUS registry_key::open_path(const UNICODE_STRING &path, ACCESS_MASK access, bool create) {
  close();
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, const_cast<PUNICODE_STRING>(&path), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE h = nullptr;
  // A probe must not leave keys behind: only an explicit create makes a missing key.
  status_ = create ? ZwCreateKey(&h, access, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition_)
                   : ZwOpenKey(&h, access, &oa);
  if (NT_SUCCESS(status_)) handle_ = h;
  return status_;
}

NTSTATUS registry_key::open_subkey(ULONG root, PCWSTR sub_path, ACCESS_MASK access, bool create) {
  counted_unicode_string path;
  NTSTATUS st = path.append(root_path(root));
  if (NT_SUCCESS(st) && sub_path && sub_path[0]) {
    if (!path.empty()) st = path.append(L"\\");
    if (NT_SUCCESS(st)) st = path.append(sub_path);
  }
  if (!NT_SUCCESS(st)) return status_ = st;
  return open_path(path.value(), access, create);
}

NTSTATUS registry_key::open_subkey(const UNICODE_STRING &parent, PCWSTR sub_path, ACCESS_MASK access, bool create) {
  counted_unicode_string path;
  NTSTATUS st = path.append(parent);
  if (NT_SUCCESS(st) && sub_path && sub_path[0]) {
    st = path.append(L"\\");
    if (NT_SUCCESS(st)) st = path.append(sub_path);
  }
  if (!NT_SUCCESS(st)) return status_ = st;
  return open_path(path.value(), access, create);
}

NTSTATUS registry_key::query_dword(PCWSTR name, ULONG *out) const {
  if (!handle_) return STATUS_INVALID_HANDLE;
  UNICODE_STRING n;
  RtlInitUnicodeString(&n, name);
  ULONG size = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG);
  auto *info = static_cast<KEY_VALUE_PARTIAL_INFORMATION *>(kl::allocate(size, PagedPool));
  if (!info) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG got = 0;
  NTSTATUS st = ZwQueryValueKey(handle_, &n, KeyValuePartialInformation, info, size, &got);
  if (NT_SUCCESS(st)) {
    if (info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
      copy(out, info->Data, sizeof(ULONG));
    else
      st = STATUS_OBJECT_TYPE_MISMATCH;
  }
  kl::release(info);
  return st;
}

NTSTATUS registry_key::write_dword(PCWSTR name, ULONG value) const {
  if (!handle_) return STATUS_INVALID_HANDLE;
  UNICODE_STRING n;
  RtlInitUnicodeString(&n, name);
  return ZwSetValueKey(handle_, &n, 0, REG_DWORD, &value, sizeof value);
}

NTSTATUS registry_key::write_string(PCWSTR name, PCWSTR text, ULONG chars) const {
  if (!handle_) return STATUS_INVALID_HANDLE;
  UNICODE_STRING n;
  RtlInitUnicodeString(&n, name);
  return ZwSetValueKey(handle_, &n, 0, REG_SZ, const_cast<PWSTR>(text), chars * 2 + 2);
}

NTSTATUS registry_key::write_string(PCWSTR name, PCWSTR text) const {
  return write_string(name, text, wide_length(text));
}

void registry_key::close() {
  if (handle_) ZwClose(handle_);
  handle_ = nullptr;
}

NTSTATUS kernel_event::wait(LONG ms) {
  if (ms < 0) return KeWaitForSingleObject(&ev_, Executive, KernelMode, FALSE, nullptr);
  LARGE_INTEGER t = relative_ms(ms);
  return KeWaitForSingleObject(&ev_, Executive, KernelMode, FALSE, &t);
}

NTSTATUS kernel_event::wait_100ns(LONGLONG units) {
  if (units <= 0) return KeWaitForSingleObject(&ev_, Executive, KernelMode, FALSE, nullptr);
  LARGE_INTEGER t;
  t.QuadPart = -units;
  return KeWaitForSingleObject(&ev_, Executive, KernelMode, FALSE, &t);
}

}  // namespace kl
