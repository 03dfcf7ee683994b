// The PnP manager's shared state: drivers, device nodes, interfaces; the pnp_*.cpp parts meet here.
#pragma once

#include "kinternal.h"
#include "regbridge.h"

#include <standin/kernel.h>
#include <standin/pnp.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <dlfcn.h>
#include <map>
#include <thread>

namespace wbk::pnpm {

std::string upper8(std::string s);
std::string lower8(std::string s);
std::string guid_text(const GUID &g, bool lower);

// Queues fn on the PnP thread: one operation at a time, as the PnP manager does.
void queue_pnp(std::function<void()> fn);

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
  service *svc = nullptr;  // written by the PnP thread under pnp_state::mu
  // Written by the PnP thread, read by device_state() from any thread.
  std::atomic<node_state> state{node_state::added};
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

pnp_state &ps();
NTSTATUS load_service(service &svc);
void unload_service(service &svc);
void deferred_unload(PDRIVER_OBJECT drv);
NTSTATUS send_pnp_minor(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES caps = nullptr);
// Runs on the PnP thread.
void finish_remove(std::shared_ptr<devnode> n);

}  // namespace wbk::pnpm
