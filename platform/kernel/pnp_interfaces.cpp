// Device interfaces: registration, enabling, the user-mode paths and the device-change notices.
#include "pnp_internal.h"

namespace wbk {

using namespace pnpm;

namespace {

device_change_sink g_sink = nullptr;

std::u16string iface_key(const std::u16string &link) {
  std::u16string u = upper(link);
  for (const char16_t *p : {u"\\??\\", u"\\\\?\\", u"\\\\.\\", u"\\GLOBAL??\\"}) {
    std::u16string pre(p);
    if (u.compare(0, pre.size(), pre) == 0) return u.substr(pre.size());
  }
  return u;
}

void set_interface_state_locked(interface_rec &rec, bool enable, std::vector<device_change> *out) {
  if (rec.enabled == enable) return;
  rec.enabled = enable;
  out->push_back(device_change{enable ? 0x8000u : 0x8004u, rec.guid, rec.user_path});
}

void deliver(const std::vector<device_change> &changes) {
  for (auto &c : changes) broadcast_device_change(c);
}

}  // namespace

void set_device_change_sink(device_change_sink sink) { g_sink = sink; }

void broadcast_device_change(const device_change &c) {
  if (g_sink) g_sink(c);
}

std::vector<interface_info> list_interfaces(const GUID *guid, bool enabled_only) {
  auto &s = ps();
  std::vector<interface_info> out;
  {
    std::lock_guard<std::mutex> l(s.mu);
    for (auto &kv : s.interfaces) {
      const interface_rec &r = kv.second;
      if (guid && memcmp(guid, &r.guid, sizeof(GUID)) != 0) continue;
      if (enabled_only && (!r.enabled || !r.pdo)) continue;
      out.push_back(interface_info{r.user_path, r.instance, r.guid, r.enabled, r.seq});
    }
  }
  std::sort(out.begin(), out.end(), [](const interface_info &a, const interface_info &b) { return a.sequence < b.sequence; });
  return out;
}

PDEVICE_OBJECT open_interface(const std::string &user_path) {
  auto &s = ps();
  std::lock_guard<std::mutex> l(s.mu);
  std::u16string key = iface_key(from_utf8(user_path));
  auto it = s.interfaces.find(key);
  if (it == s.interfaces.end() || !it->second.enabled || !it->second.pdo) return nullptr;
  reference_device(it->second.pdo);
  return it->second.pdo;
}

void disable_interfaces_of(PDEVICE_OBJECT pdo) {
  std::vector<device_change> changes;
  {
    auto &s = ps();
    std::lock_guard<std::mutex> l(s.mu);
    for (auto &kv : s.interfaces)
      if (kv.second.pdo == pdo) set_interface_state_locked(kv.second, false, &changes);
  }
  deliver(changes);
}

}  // namespace wbk

using namespace wbk;
using namespace wbk::pnpm;

// ---- device interfaces ----
extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT pdo, const GUID *guid, PUNICODE_STRING reference,
                                              PUNICODE_STRING link) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) violation("IoRegisterDeviceInterface at IRQL %d", KeGetCurrentIrql());
  const pdo_identity *id = pdo_identity_of(pdo);
  if (!id) return STATUS_INVALID_DEVICE_REQUEST;
  std::string inst = id->instance_id;
  for (auto &c : inst)
    if (c == '\\') c = '#';
  std::string name = inst + "#" + guid_text(*guid, true);
  if (reference && reference->Length) name += "\\" + to_utf8(to_u16(reference));
  std::u16string klink = to_u16("\\??\\") + from_utf8(name);
  auto &s = ps();
  {
    std::lock_guard<std::mutex> l(s.mu);
    std::u16string key = iface_key(klink);
    auto it = s.interfaces.find(key);
    if (it == s.interfaces.end()) {
      interface_rec r;
      r.link = klink;
      r.user_path = "\\\\?\\" + lower8(name);
      r.instance = id->instance_id;
      r.guid = *guid;
      r.pdo = pdo;
      r.seq = ++s.seq;
      s.interfaces[key] = r;
    } else {
      it->second.pdo = pdo;
    }
  }
  return make_unicode(klink, link);
}

extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING link, BOOLEAN enable) {
  std::vector<device_change> changes;
  {
    auto &s = ps();
    std::lock_guard<std::mutex> l(s.mu);
    auto it = s.interfaces.find(iface_key(to_u16(link)));
    if (it == s.interfaces.end() || (!it->second.pdo && enable)) return STATUS_OBJECT_NAME_NOT_FOUND;
    set_interface_state_locked(it->second, enable != 0, &changes);
  }
  deliver(changes);
  return STATUS_SUCCESS;
}

extern "C" void IoInvalidateDeviceRelations(PDEVICE_OBJECT, int) {}

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                                        PVOID buffer, PULONG result_length) {
  const pdo_identity *id = pdo_identity_of(pdo);
  if (!id) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string v;
  if (property == DevicePropertyHardwareID) {
    for (auto &h : id->hardware_ids) {
      v += from_utf8(h);
      v.push_back(0);
    }
  } else if (property == DevicePropertyPhysicalDeviceObjectName) {
    v = device_name(pdo);
  } else if (property == DevicePropertyDeviceDescription) {
    v = from_utf8(id->instance_id);
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  v.push_back(0);
  ULONG need = (ULONG)(v.size() * 2);
  *result_length = need;
  if (length < need) return STATUS_BUFFER_TOO_SMALL;
  memcpy(buffer, v.data(), need);
  return STATUS_SUCCESS;
}
