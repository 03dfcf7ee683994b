// PnP manager: driver services and hardware-id binding, loading drivers like a .sys, AddDevice, start,
// surprise removal (REMOVE after the last handle closes), orderly removal; device interfaces; the power
// manager calls.
#include "kinternal.h"
#include "regbridge.h"

#include <standin/kernel.h>
#include <standin/pnp.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <dlfcn.h>
#include <map>
#include <thread>

namespace wbk {
namespace {

std::string upper8(std::string s) {
  for (auto &c : s) c = (char)toupper((unsigned char)c);
  return s;
}
std::string lower8(std::string s) {
  for (auto &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

std::string guid_text(const GUID &g, bool lower) {
  char buf[64];
  snprintf(buf, sizeof buf, lower ? "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}"
                                  : "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
           g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
           g.Data4[6], g.Data4[7]);
  return buf;
}

// ---- the PnP thread: one operation at a time, as the PnP manager does ----
struct pnp_queue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> q;
  bool started = false;
};
pnp_queue &pnpq() {
  static auto *p = new pnp_queue;
  return *p;
}
void pnp_thread_main() {
  auto &p = pnpq();
  set_irql(PASSIVE_LEVEL);
  std::unique_lock<std::mutex> l(p.mu);
  for (;;) {
    p.cv.wait(l, [&] { return !p.q.empty(); });
    auto fn = std::move(p.q.front());
    p.q.pop_front();
    l.unlock();
    fn();
    busy_leave();
    l.lock();
  }
}
void queue_pnp(std::function<void()> fn) {
  auto &p = pnpq();
  busy_enter();
  std::lock_guard<std::mutex> l(p.mu);
  p.q.push_back(std::move(fn));
  if (!p.started) {
    p.started = true;
    std::thread(pnp_thread_main).detach();
  }
  p.cv.notify_one();
}
// Runs fn on the PnP thread and waits for its result.
template <class F>
auto run_pnp(F fn) -> decltype(fn()) {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  decltype(fn()) result{};
  queue_pnp([&] {
    auto r = fn();
    std::lock_guard<std::mutex> l(mu);
    result = r;
    done = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> l(mu);
  cv.wait(l, [&] { return done; });
  return result;
}

// ---- drivers ----
struct service {
  std::string name;
  std::string image;
  void *dl = nullptr;
  PDRIVER_OBJECT obj = nullptr;
  UNICODE_STRING registry_path{};
  int devices = 0;
  bool unload_pending = false;
};

// ---- device nodes ----
enum class node_state { added, started, failed, surprise_removed, removed };

struct devnode {
  std::string instance;
  std::vector<std::string> hardware_ids;
  PDEVICE_OBJECT pdo = nullptr;  // referenced while the node lives
  service *svc = nullptr;
  node_state state = node_state::added;
  int handles = 0;
  bool remove_when_closed = false;
  std::function<void()> on_removed;  // the bus forgets the device
};

struct interface_rec {
  std::u16string link;     // "\??\USB#VID_..#{guid}"
  std::string user_path;   // "\\?\usb#vid_..#{guid}"
  std::string instance;
  GUID guid;
  PDEVICE_OBJECT pdo;
  bool enabled = false;
  uint64_t seq;
};

struct pnp_state {
  std::mutex mu;
  std::map<std::string, service> services;        // upper name
  std::map<std::string, std::string> bindings;    // upper hardware id -> upper service name
  std::map<std::string, std::shared_ptr<devnode>> nodes;  // upper instance id
  std::map<std::u16string, interface_rec> interfaces;    // upper link key (without "\??\")
  uint64_t seq = 0;
  std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> power;
};
void deferred_unload(PDRIVER_OBJECT drv);
pnp_state &ps() {
  static auto *s = [] {
    auto *st = new pnp_state;
    on_last_device_freed([](PDRIVER_OBJECT d) { deferred_unload(d); });
    return st;
  }();
  return *s;
}

std::shared_ptr<devnode> node_of_pdo(PDEVICE_OBJECT pdo) {
  auto &s = ps();
  std::lock_guard<std::mutex> l(s.mu);
  for (auto &kv : s.nodes)
    if (kv.second->pdo == pdo) return kv.second;
  return nullptr;
}

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

NTSTATUS load_service(service &svc) {
  if (svc.obj) return STATUS_SUCCESS;
  void *dl = dlopen(svc.image.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    DbgPrint("PnP: cannot load driver %s: %s\n", svc.image.c_str(), dlerror());
    return STATUS_NO_SUCH_DEVICE;
  }
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(dl, "DriverEntry"));
  if (!entry) {
    DbgPrint("PnP: %s has no DriverEntry\n", svc.image.c_str());
    dlclose(dl);
    return STATUS_INVALID_PARAMETER;
  }
  PDRIVER_OBJECT obj = create_driver_object(to_u16("\\Driver\\") + from_utf8(svc.name));
  make_unicode(to_u16("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + from_utf8(svc.name),
               &svc.registry_path);
  make_unicode(from_utf8(svc.name), &obj->DriverExtension->ServiceKeyName);
  obj->DriverInit = entry;
  NTSTATUS st;
  {
    callout_guard g("DriverEntry");
    try {
      st = entry(obj, &svc.registry_path);
    } catch (const standin::kernel::raised_status &e) {
      violation("ExRaiseStatus(0x%08x) not handled in DriverEntry of %s", (unsigned)e.status, svc.name.c_str());
      st = e.status;
    }
  }
  if (!NT_SUCCESS(st)) {
    DbgPrint("PnP: DriverEntry of %s failed with %08x\n", svc.name.c_str(), (unsigned)st);
    if (driver_device_count(obj))
      violation("DriverEntry of %s failed and left %zu device object(s)", svc.name.c_str(), driver_device_count(obj));
    destroy_driver_object(obj);
    RtlFreeUnicodeString(&svc.registry_path);
    dlclose(dl);
    return st;
  }
  svc.dl = dl;
  svc.obj = obj;
  return STATUS_SUCCESS;
}

void unload_service(service &svc) {
  if (!svc.obj) return;
  if (!svc.obj->DriverUnload) return;  // a driver without an unload routine stays
  if (driver_live_devices(svc.obj) > 0) {
    // Device objects still in memory: deleted ones that a handle still references, or one that a
    // removal left for its last close to delete. As the PnP manager does, unload once they are gone.
    svc.unload_pending = true;
    return;
  }
  svc.unload_pending = false;
  bool idle = wait_driver_code_idle(5000);
  {
    callout_guard g("DriverUnload");
    svc.obj->DriverUnload(svc.obj);
  }
  size_t left = driver_device_count(svc.obj);
  if (left) {
    violation("driver %s unloaded with %zu device object(s) left", svc.name.c_str(), left);
    svc.obj = nullptr;  // leaked on purpose: something may still point into it
    svc.dl = nullptr;
    return;
  }
  destroy_driver_object(svc.obj);
  RtlFreeUnicodeString(&svc.registry_path);
  if (idle) dlclose(svc.dl);  // else some thread may still run in the image: keep it mapped
  svc.obj = nullptr;
  svc.dl = nullptr;
}

struct pnp_setup {
  UCHAR minor;
  PDEVICE_CAPABILITIES caps;
};

NTSTATUS send_pnp_minor(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES caps = nullptr) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  pnp_setup ctx{minor, caps};
  NTSTATUS st = send_pnp_and_wait(
      top, IRP_MJ_PNP, minor,
      [](PIO_STACK_LOCATION s, void *c) {
        auto *p = static_cast<pnp_setup *>(c);
        if (p->minor == IRP_MN_QUERY_CAPABILITIES) s->Parameters.DeviceCapabilities.Capabilities = p->caps;
      },
      &ctx, nullptr);
  dereference_device(top);
  return st;
}

void deferred_unload(PDRIVER_OBJECT drv) {
  queue_pnp([drv] {
    auto &s = ps();
    service *svc = nullptr;
    {
      std::lock_guard<std::mutex> l(s.mu);
      for (auto &kv : s.services)
        if (kv.second.obj == drv && kv.second.unload_pending && kv.second.devices == 0) svc = &kv.second;
    }
    if (svc) unload_service(*svc);
  });
}

void finish_remove(std::shared_ptr<devnode> n) {
  // Runs on the PnP thread.
  if (n->state == node_state::removed) return;
  PDEVICE_OBJECT pdo = n->pdo;
  std::vector<device_change> changes;
  {
    auto &s = ps();
    std::lock_guard<std::mutex> l(s.mu);
    for (auto &kv : s.interfaces)
      if (kv.second.pdo == pdo) set_interface_state_locked(kv.second, false, &changes);
  }
  deliver(changes);
  if (n->svc) send_pnp_minor(pdo, IRP_MN_REMOVE_DEVICE);
  PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
  if (top != pdo && n->svc)
    violation("%s left its device attached to the stack at IRP_MN_REMOVE_DEVICE",
              n->svc->name.c_str());
  n->state = node_state::removed;
  {
    auto &s = ps();
    std::lock_guard<std::mutex> l(s.mu);
    for (auto &kv : s.interfaces)
      if (kv.second.pdo == pdo) kv.second.pdo = nullptr;
    s.nodes.erase(upper8(n->instance));
    s.power.erase(pdo);
  }
  if (n->svc && --n->svc->devices == 0) unload_service(*n->svc);
  if (n->on_removed) n->on_removed();
  dereference_device(pdo);
  broadcast_device_change(device_change{7, GUID{}, ""});
}

}  // namespace

NTSTATUS send_pnp_and_wait(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, void (*setup)(PIO_STACK_LOCATION, void *),
                           void *ctx, ULONG_PTR *information) {
  KEVENT ev;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = major;
  s->MinorFunction = minor;
  if (setup) setup(s, ctx);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->UserIosb = &iosb;
  irp->UserEvent = &ev;
  set_irp_finalizer(irp, [](PIRP done) {
    *done->UserIosb = done->IoStatus;
    PKEVENT e = done->UserEvent;
    free_irp_internal(done);
    KeSetEvent(e, IO_NO_INCREMENT, FALSE);
  });
  IoCallDriver(top, irp);
  KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);  // the finalizer always runs
  if (information) *information = iosb.Information;
  return iosb.Status;
}

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

void stack_handle_opened(PDEVICE_OBJECT pdo) {
  if (auto n = node_of_pdo(pdo)) {
    std::lock_guard<std::mutex> l(ps().mu);
    ++n->handles;
  }
}

void stack_handle_closed(PDEVICE_OBJECT pdo) {
  auto n = node_of_pdo(pdo);
  if (!n) return;
  bool remove;
  {
    std::lock_guard<std::mutex> l(ps().mu);
    remove = --n->handles == 0 && n->remove_when_closed;
    if (remove) n->remove_when_closed = false;
  }
  if (remove) queue_pnp([n] { finish_remove(n); });
}

// ---- bus-facing entry points ----
void pnp_device_arrived(PDEVICE_OBJECT pdo, std::function<void()> on_removed) {
  reference_device(pdo);
  queue_pnp([pdo, on_removed] {
    const pdo_identity *id = pdo_identity_of(pdo);
    auto n = std::make_shared<devnode>();
    n->instance = id->instance_id;
    n->hardware_ids = id->hardware_ids;
    n->pdo = pdo;
    n->on_removed = on_removed;
    std::string enum_key = "System\\CurrentControlSet\\Enum\\" + n->instance;
    wbreg::set_multi_string(enum_key, "HardwareID", n->hardware_ids);
    wbreg::create_key(enum_key + "\\Device Parameters");
    auto &s = ps();
    service *svc = nullptr;
    {
      std::lock_guard<std::mutex> l(s.mu);
      s.nodes[upper8(n->instance)] = n;
      s.power[pdo] = PowerDeviceD0;
      for (auto &hw : n->hardware_ids) {
        auto b = s.bindings.find(upper8(hw));
        if (b != s.bindings.end()) {
          auto it = s.services.find(b->second);
          if (it != s.services.end()) svc = &it->second;
          break;
        }
      }
    }
    pdo->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    broadcast_device_change(device_change{7, GUID{}, ""});
    if (!svc) {
      DbgPrint("PnP: no driver for %s\n", n->instance.c_str());
      return;
    }
    wbreg::set_string(enum_key, "Service", svc->name);
    if (!NT_SUCCESS(load_service(*svc))) {
      n->state = node_state::failed;
      return;
    }
    ++svc->devices;
    svc->unload_pending = false;
    n->svc = svc;
    NTSTATUS st;
    {
      callout_guard g("AddDevice");
      st = svc->obj->DriverExtension->AddDevice ? svc->obj->DriverExtension->AddDevice(svc->obj, pdo)
                                                : STATUS_NOT_SUPPORTED;
    }
    if (!NT_SUCCESS(st)) {
      DbgPrint("PnP: AddDevice of %s for %s failed with %08x\n", svc->name.c_str(), n->instance.c_str(),
               (unsigned)st);
      n->state = node_state::failed;
      n->svc = nullptr;
      if (--svc->devices == 0) unload_service(*svc);
      return;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    if (top->Flags & DO_DEVICE_INITIALIZING)
      DbgPrint("PnP: %s left DO_DEVICE_INITIALIZING set after AddDevice\n", svc->name.c_str());
    st = send_pnp_minor(pdo, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(st)) {
      DbgPrint("PnP: start of %s failed with %08x\n", n->instance.c_str(), (unsigned)st);
      n->state = node_state::failed;
      send_pnp_minor(pdo, IRP_MN_REMOVE_DEVICE);
      return;
    }
    n->state = node_state::started;
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    send_pnp_minor(pdo, IRP_MN_QUERY_CAPABILITIES, &caps);
  });
}

void pnp_device_gone(PDEVICE_OBJECT pdo) {
  queue_pnp([pdo] {
    auto n = node_of_pdo(pdo);
    if (!n || n->state == node_state::removed) return;
    if (n->state == node_state::started) {
      n->state = node_state::surprise_removed;
      send_pnp_minor(pdo, IRP_MN_SURPRISE_REMOVAL);
    }
    disable_interfaces_of(pdo);
    broadcast_device_change(device_change{7, GUID{}, ""});
    bool now;
    {
      std::lock_guard<std::mutex> l(ps().mu);
      now = n->handles == 0;
      if (!now) n->remove_when_closed = true;
    }
    if (now) finish_remove(n);
  });
}

}  // namespace wbk

using namespace wbk;

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

// ---- power manager ----
extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
    violation("PoCallDriver with an IRP that is not a power IRP");
  return IoCallDriver(device, irp);
}

extern "C" void PoStartNextPowerIrp(PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
    violation("PoStartNextPowerIrp with an IRP that is not a power IRP");
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
  POWER_STATE old = state;
  if (type == DevicePowerState) {
    auto &s = ps();
    std::lock_guard<std::mutex> l(s.mu);
    auto it = s.power.find(device);
    old.DeviceState = it == s.power.end() ? PowerDeviceD0 : it->second;
    s.power[device] = state.DeviceState;
  }
  return old;
}

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                      PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP *irp_out) {
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER;
  if (irp_out) *irp_out = nullptr;
  reference_device(device);
  queue_worker([device, minor, state, completion, context] {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    struct ctx_t {
      UCHAR minor;
      POWER_STATE state;
    } c{minor, state};
    ULONG_PTR info = 0;
    NTSTATUS st = send_pnp_and_wait(
        top, IRP_MJ_POWER, minor,
        [](PIO_STACK_LOCATION s, void *p) {
          auto *cc = static_cast<ctx_t *>(p);
          s->Parameters.Power.Type = DevicePowerState;
          s->Parameters.Power.State = cc->state;
        },
        &c, &info);
    dereference_device(top);
    if (completion) {
      IO_STATUS_BLOCK iosb{};
      iosb.Status = st;
      iosb.Information = info;
      callout_guard g("power completion");
      completion(device, minor, state, context, &iosb);
    }
    dereference_device(device);
  });
  return STATUS_PENDING;
}

// ---- control interface ----
namespace standin::pnp {

namespace {
// The device node of an instance id, kept alive for the caller; empty when absent.
std::shared_ptr<devnode> find_node(const std::string &instance) {
  auto &s = ps();
  std::lock_guard<std::mutex> l(s.mu);
  auto it = s.nodes.find(upper8(instance));
  return it == s.nodes.end() ? nullptr : it->second;
}
}  // namespace

void install_driver(const std::string &service_name, const std::string &image_path,
                    const std::vector<std::string> &hardware_ids) {
  auto &s = ps();
  {
    std::lock_guard<std::mutex> l(s.mu);
    auto &svc = s.services[upper8(service_name)];
    svc.name = service_name;
    svc.image = image_path;
    for (auto &h : hardware_ids) s.bindings[upper8(h)] = upper8(service_name);
  }
  std::string key = "System\\CurrentControlSet\\Services\\" + service_name;
  wbreg::set_string(key, "ImagePath", image_path);
  wbreg::create_key(key + "\\Parameters");
}

bool driver_loaded(const std::string &service_name) {
  return run_pnp([&] {
    auto &s = ps();
    std::lock_guard<std::mutex> l(s.mu);
    auto it = s.services.find(upper8(service_name));
    return it != s.services.end() && it->second.obj != nullptr;
  });
}

std::vector<std::string> devices() {
  auto &s = ps();
  std::lock_guard<std::mutex> l(s.mu);
  std::vector<std::string> out;
  for (auto &kv : s.nodes) out.push_back(kv.second->instance);
  return out;
}

std::string device_state(const std::string &instance) {
  auto &s = ps();
  std::lock_guard<std::mutex> l(s.mu);
  auto it = s.nodes.find(upper8(instance));
  if (it == s.nodes.end()) return "absent";
  switch (it->second->state) {
    case node_state::added: return it->second->svc ? "added" : "no driver";
    case node_state::started: return "started";
    case node_state::failed: return "failed";
    case node_state::surprise_removed: return "surprise removed";
    case node_state::removed: return "removed";
  }
  return "?";
}

int32_t send_pnp(const std::string &instance, int minor) {
  return run_pnp([&]() -> int32_t {
    std::shared_ptr<devnode> n = find_node(instance);
    if (!n) return STATUS_NO_SUCH_DEVICE;
    return send_pnp_minor(n->pdo, (UCHAR)minor);
  });
}

int32_t send_power(const std::string &instance, int minor, bool system_state, int state) {
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) return STATUS_INVALID_PARAMETER;
  return run_pnp([&]() -> int32_t {
    std::shared_ptr<devnode> n = find_node(instance);
    if (!n) return STATUS_NO_SUCH_DEVICE;
    struct ctx_t {
      bool system;
      int state;
    } c{system_state, state};
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(n->pdo);
    NTSTATUS st = send_pnp_and_wait(
        top, IRP_MJ_POWER, (UCHAR)minor,
        [](PIO_STACK_LOCATION s, void *p) {
          auto *cc = static_cast<ctx_t *>(p);
          if (cc->system) {
            s->Parameters.Power.Type = SystemPowerState;
            s->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(cc->state);
          } else {
            s->Parameters.Power.Type = DevicePowerState;
            s->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(cc->state);
          }
        },
        &c, nullptr);
    dereference_device(top);
    return st;
  });
}

int device_power_state(const std::string &instance) {
  auto &s = ps();
  std::lock_guard<std::mutex> l(s.mu);
  auto it = s.nodes.find(upper8(instance));
  if (it == s.nodes.end()) return 0;
  int state = PowerDeviceD0;
  for (PDEVICE_OBJECT d = it->second->pdo; d; d = d->AttachedDevice) {
    auto p = s.power.find(d);
    if (p != s.power.end()) state = p->second;
  }
  return state;
}

int32_t remove_device(const std::string &instance, bool query_first) {
  return run_pnp([&]() -> int32_t {
    std::shared_ptr<devnode> n = find_node(instance);
    if (!n) return STATUS_NO_SUCH_DEVICE;
    if (query_first && n->svc) {
      NTSTATUS st = send_pnp_minor(n->pdo, IRP_MN_QUERY_REMOVE_DEVICE);
      if (!NT_SUCCESS(st)) {
        send_pnp_minor(n->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return st;
      }
    }
    finish_remove(n);
    return STATUS_SUCCESS;
  });
}

bool settle(uint32_t timeout_ms) { return wbk::wait_settled(timeout_ms); }

}  // namespace standin::pnp

// ---- the root bus: PDOs for devices that no real bus enumerates (tests and the demo) ----
namespace {

struct root_pdo_ext {
  bool gone;
};

NTSTATUS root_dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS st = irp->IoStatus.Status;
  if (s->MajorFunction == IRP_MJ_PNP) {
    switch (s->MinorFunction) {
      case IRP_MN_START_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_REMOVE_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_STOP_DEVICE:
        st = STATUS_SUCCESS;
        break;
      case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES c = s->Parameters.DeviceCapabilities.Capabilities;
        if (c) {
          c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
          for (int i = PowerSystemSleeping1; i < PowerSystemMaximum; ++i) c->DeviceState[i] = PowerDeviceD3;
          c->Removable = 1;
        }
        st = STATUS_SUCCESS;
        break;
      }
      default:
        break;  // not handled: the status stays as sent
    }
  } else if (s->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    st = STATUS_SUCCESS;
  } else {
    st = STATUS_INVALID_DEVICE_REQUEST;
  }
  irp->IoStatus.Status = st;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return st;
}

PDRIVER_OBJECT root_driver() {
  static PDRIVER_OBJECT d = [] {
    PDRIVER_OBJECT o = create_driver_object(to_u16("\\Driver\\PnpManager"));
    for (auto &f : o->MajorFunction) f = root_dispatch;
    return o;
  }();
  return d;
}

}  // namespace

namespace standin::pnp {

std::string add_root_device(const std::string &hardware_id, const std::string &unique) {
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS st = IoCreateDevice(root_driver(), sizeof(root_pdo_ext), nullptr, FILE_DEVICE_BUS_EXTENDER,
                               FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  if (!NT_SUCCESS(st)) return "";
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
  pdo_identity id;
  std::string hw = hardware_id;
  for (auto &c : hw)
    if (c == '\\') c = '_';
  id.instance_id = "ROOT\\" + hw + "\\" + unique;
  id.hardware_ids = {hardware_id};
  set_pdo_identity(pdo, id);
  pnp_device_arrived(pdo, [pdo] { IoDeleteDevice(pdo); });
  return id.instance_id;
}

void unplug_root_device(const std::string &instance) {
  auto &s = ps();
  PDEVICE_OBJECT pdo = nullptr;
  {
    std::lock_guard<std::mutex> l(s.mu);
    auto it = s.nodes.find(upper8(instance));
    if (it != s.nodes.end()) pdo = it->second->pdo;
  }
  if (pdo) pnp_device_gone(pdo);
}

int open_handles(const std::string &instance) {
  auto &s = ps();
  std::lock_guard<std::mutex> l(s.mu);
  auto it = s.nodes.find(upper8(instance));
  return it == s.nodes.end() ? -1 : it->second->handles;
}

}  // namespace standin::pnp

namespace standin::kernel {

void *create_driver(const std::string &name, int32_t (*entry)(void *driver, void *registry_path)) {
  PDRIVER_OBJECT d = create_driver_object(to_u16("\\Driver\\") + from_utf8(name));
  UNICODE_STRING path{};
  make_unicode(to_u16("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + from_utf8(name), &path);
  NTSTATUS st;
  {
    callout_guard g("DriverEntry");
    st = entry ? entry(d, &path) : STATUS_SUCCESS;
  }
  RtlFreeUnicodeString(&path);
  if (!NT_SUCCESS(st)) {
    destroy_driver_object(d);
    return nullptr;
  }
  return d;
}

void unload_driver(void *driver) {
  auto *d = static_cast<PDRIVER_OBJECT>(driver);
  wait_driver_code_idle(5000);
  if (d->DriverUnload) {
    callout_guard g("DriverUnload");
    d->DriverUnload(d);
  }
  size_t left = driver_device_count(d);
  if (left) {
    violation("driver %s unloaded with %zu device object(s) left", to_utf8(to_u16(&d->DriverName)).c_str(), left);
    return;
  }
  destroy_driver_object(d);
}

}  // namespace standin::kernel
