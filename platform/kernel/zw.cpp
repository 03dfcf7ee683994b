// Zw registry calls over the process registry store, and the PnP device keys.
#include "kinternal.h"
#include "regbridge.h"

#include <map>
#include <set>
#include <strings.h>

#include <standin/kernel.h>

namespace wbk {
namespace {

struct kkey {
  wbreg::hive hive;
  std::string path;  // below the hive
  void *key;
};

std::mutex g_keys_mu;
// Device keys opened without the right to set values (IoOpenDeviceRegistryKey checks the access as
// Windows does: the standard rights alone do not let a driver write its values).
std::set<uintptr_t> g_no_set_value;
std::map<uintptr_t, kkey> g_keys;
uintptr_t g_next_key = 0x1000;

// "\Registry\Machine\X" -> (machine, "X"). Relative names are joined to the root key.
bool translate(POBJECT_ATTRIBUTES oa, wbreg::hive *hive, std::string *path) {
  if (!oa || !oa->ObjectName) return false;
  std::string name = to_utf8(to_u16(oa->ObjectName));
  if (oa->RootDirectory) {
    std::lock_guard<std::mutex> l(g_keys_mu);
    auto it = g_keys.find((uintptr_t)oa->RootDirectory);
    if (it == g_keys.end()) return false;
    *hive = it->second.hive;
    *path = it->second.path.empty() ? name : it->second.path + "\\" + name;
    return true;
  }
  std::string u = name;
  for (auto &c : u) c = (char)toupper((unsigned char)c);
  static const std::string machine = "\\REGISTRY\\MACHINE", users = "\\REGISTRY\\USER";
  if (u.compare(0, machine.size(), machine) == 0) {
    *hive = wbreg::hive::machine;
    name = name.substr(machine.size());
  } else if (u.compare(0, users.size(), users) == 0) {
    *hive = wbreg::hive::users;
    name = name.substr(users.size());
  } else {
    return false;
  }
  while (!name.empty() && name[0] == '\\') name.erase(0, 1);
  while (!name.empty() && name.back() == '\\') name.pop_back();
  *path = name;
  return true;
}

NTSTATUS win32_to_status(long e) {
  switch (e) {
    case 0: return STATUS_SUCCESS;
    case 2: return STATUS_OBJECT_NAME_NOT_FOUND;
    case 3: return STATUS_OBJECT_PATH_NOT_FOUND;
    case 5: return STATUS_ACCESS_DENIED;
    case 6: return STATUS_INVALID_HANDLE;
    case 8: case 14: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS open_key(PHANDLE out, POBJECT_ATTRIBUTES oa, bool create, PULONG disposition) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) violation("registry call at IRQL %d", KeGetCurrentIrql());
  *out = nullptr;
  wbreg::hive hive;
  std::string path;
  if (!translate(oa, &hive, &path)) return STATUS_OBJECT_PATH_NOT_FOUND;
  bool created = false;
  long err = 0;
  void *k = wbreg::open(hive, path, create, &created, &err);
  if (!k) return win32_to_status(err);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  std::lock_guard<std::mutex> l(g_keys_mu);
  uintptr_t h = g_next_key += 4;
  g_keys[h] = kkey{hive, path, k};
  *out = (HANDLE)h;
  return STATUS_SUCCESS;
}

void *key_of(HANDLE h) {
  std::lock_guard<std::mutex> l(g_keys_mu);
  auto it = g_keys.find((uintptr_t)h);
  return it == g_keys.end() ? nullptr : it->second.key;
}

bool is_string_type(ULONG t) { return t == REG_SZ || t == REG_EXPAND_SZ || t == REG_MULTI_SZ; }

}  // namespace

NTSTATUS open_registry_path(const std::string &machine_path, PHANDLE out) {
  std::u16string full = to_u16("\\Registry\\Machine\\") + from_utf8(machine_path);
  UNICODE_STRING name{(USHORT)(full.size() * 2), (USHORT)(full.size() * 2), (PWSTR)full.data()};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return open_key(out, &oa, true, nullptr);
}

}  // namespace wbk

using namespace wbk;

extern "C" NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK, POBJECT_ATTRIBUTES oa, ULONG, PUNICODE_STRING, ULONG,
                                PULONG disposition) {
  return open_key(key, oa, true, disposition);
}

extern "C" NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK, POBJECT_ATTRIBUTES oa) { return open_key(key, oa, false, nullptr); }

extern "C" NTSTATUS ZwClose(HANDLE h) {
  void *k;
  {
    std::lock_guard<std::mutex> l(g_keys_mu);
    auto it = g_keys.find((uintptr_t)h);
    if (it == g_keys.end()) {
      violation("ZwClose on a handle that is not open (%p)", h);
      return STATUS_INVALID_HANDLE;
    }
    k = it->second.key;
    g_keys.erase(it);
    g_no_set_value.erase((uintptr_t)h);
  }
  wbreg::close(k);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwQueryValueKey(HANDLE h, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS klass, PVOID info,
                                    ULONG length, PULONG result_length) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) violation("ZwQueryValueKey at IRQL %d", KeGetCurrentIrql());
  void *k = key_of(h);
  if (!k) return STATUS_INVALID_HANDLE;
  if (klass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  long e = wbreg::query(k, to_utf8(to_u16(name)), &type, &data);
  if (e) return win32_to_status(e);
  std::vector<uint8_t> out = data;
  if (is_string_type(type)) {
    std::u16string w = from_utf8(std::string(data.begin(), data.end()));
    out.assign(reinterpret_cast<const uint8_t *>(w.data()), reinterpret_cast<const uint8_t *>(w.data() + w.size()));
  }
  ULONG head = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  ULONG need = head + (ULONG)out.size();
  if (result_length) *result_length = need;
  if (length < head) return STATUS_BUFFER_TOO_SMALL;
  auto *p = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(info);
  p->TitleIndex = 0;
  p->Type = type;
  p->DataLength = (ULONG)out.size();
  if (length < need) return STATUS_BUFFER_OVERFLOW;
  if (!out.empty()) memcpy(p->Data, out.data(), out.size());
  return STATUS_SUCCESS;
}

namespace wbk {
namespace {
// Injected failures of value writes, by value name (case-insensitive), as a full hive would give.
struct write_fault {
  std::string name;
  NTSTATUS status;
  unsigned left;
};
std::vector<write_fault> g_write_faults;

bool take_write_fault(const std::string &name, NTSTATUS *status) {
  std::lock_guard<std::mutex> l(g_keys_mu);
  for (auto it = g_write_faults.begin(); it != g_write_faults.end(); ++it) {
    if (strcasecmp(it->name.c_str(), name.c_str()) != 0) continue;
    *status = it->status;
    if (--it->left == 0) g_write_faults.erase(it);
    return true;
  }
  return false;
}

bool may_set_value(HANDLE h) {
  std::lock_guard<std::mutex> l(g_keys_mu);
  return g_no_set_value.count((uintptr_t)h) == 0;
}
}  // namespace
}  // namespace wbk

extern "C" NTSTATUS ZwSetValueKey(HANDLE h, PUNICODE_STRING name, ULONG, ULONG type, PVOID data, ULONG size) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) violation("ZwSetValueKey at IRQL %d", KeGetCurrentIrql());
  void *k = key_of(h);
  if (!k) return STATUS_INVALID_HANDLE;
  if (!may_set_value(h)) return STATUS_ACCESS_DENIED;
  NTSTATUS injected;
  if (take_write_fault(to_utf8(to_u16(name)), &injected)) return injected;
  std::vector<uint8_t> bytes(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + size);
  if (is_string_type(type)) {
    std::u16string w(size / 2, u'\0');
    memcpy(w.data(), data, (size / 2) * 2);
    std::string n = to_utf8(w);
    bytes.assign(n.begin(), n.end());
  }
  return win32_to_status(wbreg::set(k, to_utf8(to_u16(name)), type, bytes));
}

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE h, PUNICODE_STRING name) {
  void *k = key_of(h);
  if (!k) return STATUS_INVALID_HANDLE;
  if (!may_set_value(h)) return STATUS_ACCESS_DENIED;
  return win32_to_status(wbreg::remove_value(k, to_utf8(to_u16(name))));
}

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG which, ACCESS_MASK access, PHANDLE key) {
  const pdo_identity *id = pdo_identity_of(pdo);
  if (!id) return STATUS_INVALID_DEVICE_REQUEST;
  std::string path = "System\\CurrentControlSet\\Enum\\" + id->instance_id;
  if (which == PLUGPLAY_REGKEY_DEVICE) {
    path += "\\Device Parameters";
  } else if (which == PLUGPLAY_REGKEY_DRIVER) {
    path += "\\Driver Parameters";
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS st = open_registry_path(path, key);
  constexpr ACCESS_MASK set_rights = KEY_SET_VALUE | 0x10000000 /* GENERIC_ALL */ | 0x40000000 /* GENERIC_WRITE */ |
                                     0x02000000 /* MAXIMUM_ALLOWED */;
  if (NT_SUCCESS(st) && !(access & set_rights)) {
    std::lock_guard<std::mutex> l(g_keys_mu);
    g_no_set_value.insert((uintptr_t)*key);
  }
  return st;
}

namespace standin::kernel {
void fail_registry_write(const std::string &value_name, int32_t status, unsigned count) {
  if (!count) return;
  std::lock_guard<std::mutex> l(wbk::g_keys_mu);
  wbk::g_write_faults.push_back(wbk::write_fault{value_name, status, count});
}
void clear_registry_write_failures() {
  std::lock_guard<std::mutex> l(wbk::g_keys_mu);
  wbk::g_write_faults.clear();
}
}  // namespace standin::kernel
