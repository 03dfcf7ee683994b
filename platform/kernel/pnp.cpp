// PnP manager: hardware-id binding, AddDevice, start, surprise removal (REMOVE after the last handle
// closes), orderly removal of device nodes.
#include "pnp_internal.h"

namespace wbk {
namespace pnpm {

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

pnp_state &ps() {
  static auto *s = [] {
    auto *st = new pnp_state;
    on_last_device_freed([](PDRIVER_OBJECT d) { deferred_unload(d); });
    return st;
  }();
  return *s;
}

struct pnp_setup {
  UCHAR minor;
  PDEVICE_CAPABILITIES caps;
};

NTSTATUS send_pnp_minor(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES caps) {
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

void finish_remove(std::shared_ptr<devnode> n) {
  if (n->state == node_state::removed) return;
  PDEVICE_OBJECT pdo = n->pdo;
  disable_interfaces_of(pdo);
  mark_removal_begun(pdo);
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

}  // namespace pnpm

using namespace pnpm;

namespace {

std::shared_ptr<devnode> node_of_pdo(PDEVICE_OBJECT pdo) {
  auto &s = ps();
  std::lock_guard<std::mutex> l(s.mu);
  for (auto &kv : s.nodes)
    if (kv.second->pdo == pdo) return kv.second;
  return nullptr;
}

}  // namespace

NTSTATUS send_pnp_and_wait(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, void (*setup)(PIO_STACK_LOCATION, void *),
                           void *ctx, ULONG_PTR *information) {
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = major;
  s->MinorFunction = minor;
  if (setup) setup(s, ctx);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IO_STATUS_BLOCK iosb = send_irp_and_wait(top, irp);
  if (information) *information = iosb.Information;
  return iosb.Status;
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
    {
      // device_state() reads it from other threads.
      std::lock_guard<std::mutex> l(s.mu);
      n->svc = svc;
    }
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
      {
        std::lock_guard<std::mutex> l(s.mu);
        n->svc = nullptr;
      }
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
      mark_removal_begun(pdo);
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
