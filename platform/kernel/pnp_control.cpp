// The PnP manager's control interface for tests and tools.
#include "pnp_internal.h"

using namespace wbk;
using namespace wbk::pnpm;

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
