#include "device_manager_impl.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "io_device_interface_imp.h"
#include "io_session_imp.h"

namespace karnet {

device_manager_impl::device_manager_impl()
    : arrival_callback_(w32cpp::make_member_callback<device_manager_impl>(this, &device_manager_impl::on_arrival)),
      removal_callback_(w32cpp::make_member_callback<device_manager_impl>(this, &device_manager_impl::on_removal)) {
  InitializeCriticalSection(&lock_);
  InitializeCriticalSection(&guids_lock_);
}

device_manager_impl::~device_manager_impl() {
  for (;;) {
    protocol_handle next;
    {
      guard g(lock_);
      for (auto& [protocol, entry] : protocols_)
        if (!entry.leaving) {
          next = protocol;
          break;
        }
    }
    if (!next) break;
    unregister_protocol(next);
  }
  trace_ << "api destruction\n";
  DeleteCriticalSection(&guids_lock_);
  DeleteCriticalSection(&lock_);
}

ostrel::mem_block device_manager_impl::allocate(uint32_t size, bool zero) {
  return heap_ ? heap_->allocate(size, zero) : ostrel::mem_block();
}

void device_manager_impl::shutdown() { garbage_.shutdown(); }

void device_manager_impl::discard_control(io_control& op) {
  if (!op.request()) return;
  garbage_.add(op.request(), op.output());
  garbage_.add(op.request(), op.input());
}

void device_manager_impl::discard_write(io_write& op) {
  if (op.request()) garbage_.add(op.request(), op.buffer());
}

void device_manager_impl::discard_read(io_read& op) {
  if (op.request()) garbage_.add(op.request(), op.buffer());
}

bool device_manager_impl::by_name_and_protocol::operator()(const io_device_interface& a,
                                                            const io_device_interface& b) const {
  if (a < b) return true;
  if (b < a) return false;
  return std::less<const void*>()(a.protocol().get(), b.protocol().get());
}

guid device_manager_impl::intern(guid g) {
  if (!g.is_set()) return g;
  guard lock(guids_lock_);
  for (const GUID& known : guids_)
    if (std::memcmp(&known, g.get(), sizeof(GUID)) == 0) return guid(&known);
  guids_.push_back(*g.get());
  return guid(&guids_.back());
}

bool device_manager_impl::index(const io_device_interface& device) {
  io_device_interface::handle_type record = device.implementation();
  if (!record) return false;
  // Listed first: a detach_all from now on would change the keys of the copies inserted below.
  auto* imp = dynamic_cast<io_device_interface_imp*>(record.get());
  if (imp) imp->set_listed(true);
  if (!device.attached()) return false;
  const bool added = classes_[intern(device.interface_class())].insert(device).second;
  protocols_[device.protocol()].interfaces.insert(device);
  descriptions_[device.description()].insert(device);
  return added;
}

// Takes its own copy: the caller's wrapper may be an element of the sets it erases from.
void device_manager_impl::unindex(io_device_interface device) {
  io_device_interface::handle_type record = device.implementation();
  if (!record) return;
  auto c = classes_.find(device.interface_class());
  if (c != classes_.end()) c->second.erase(device);
  auto p = protocols_.find(device.protocol());
  if (p != protocols_.end()) p->second.interfaces.erase(device);
  auto d = descriptions_.find(device.description());
  if (d != descriptions_.end()) {
    d->second.erase(device);
    if (d->second.empty()) descriptions_.erase(d);
  }
  if (auto* imp = dynamic_cast<io_device_interface_imp*>(record.get())) {
    imp->mark_removed();
    imp->set_listed(false);
  }
  // Open sessions close themselves; then every wrapper of the device reads as detached.
  record->removal_listeners().notify();
  record->detach_all();
}

std::vector<io_device_interface> device_manager_impl::watch_and_enumerate(const protocol_handle& protocol,
                                                                          protocol_entry& entry,
                                                                          guid interface_class) {
  std::vector<io_device_interface> added;
  if (!entry.watched.insert(interface_class).second) return added;
  protocol->watch(interface_class);
  for (const io_device_interface& device : protocol->enumerate(interface_class))
    if (index(device)) added.push_back(device);
  return added;
}

void device_manager_impl::register_protocol(const protocol_handle& protocol) {
  if (!protocol) return;
  {
    guard g(lock_);
    if (protocols_.count(protocol)) return;
    protocols_[protocol];
  }
  // Outside the manager lock: a notice of this protocol holds its list lock while it takes ours.
  protocol->arrival_listeners().add(arrival_callback_);
  protocol->removal_listeners().add(removal_callback_);

  // Classes listed before this protocol came (a transport restarted): it watches and enumerates them now.
  std::vector<guid> found;
  {
    guard g(lock_);
    auto it = protocols_.find(protocol);
    if (it == protocols_.end() || it->second.leaving) return;
    it->second.ready = true;
    for (const guid& listed : listed_)
      if (!watch_and_enumerate(protocol, it->second, listed).empty()) found.push_back(listed);
  }
  protocol_handle notifier = protocol;
  for (guid interface_class : found) arrivals_.notify(notifier, interface_class);
}

void device_manager_impl::unregister_protocol(const protocol_handle& protocol) {
  if (!protocol) return;
  std::set<guid> watched;
  std::set<guid> known_classes;
  {
    guard g(lock_);
    auto it = protocols_.find(protocol);
    if (it == protocols_.end() || it->second.leaving) return;
    it->second.leaving = true;
    watched = it->second.watched;
    for (const io_device_interface& device : it->second.interfaces) known_classes.insert(device.interface_class());
  }
  // No notice of this protocol reaches the manager once these return.
  protocol->arrival_listeners().remove(arrival_callback_);
  protocol->removal_listeners().remove(removal_callback_);
  // Unwatching may wait for the protocol's notifier threads, which may be waiting for the manager lock.
  watched.insert(known_classes.begin(), known_classes.end());
  for (guid interface_class : watched) protocol->unwatch(interface_class);

  std::vector<guid> removed;
  for (guid interface_class : known_classes)
    if (removal_check(protocol, interface_class, true)) removed.push_back(interface_class);
  {
    guard g(lock_);
    auto it = protocols_.find(protocol);
    if (it != protocols_.end()) {
      const interface_set left = it->second.interfaces;
      for (const io_device_interface& device : left) unindex(device);
      protocols_.erase(protocol);
    }
  }
  protocol_handle notifier = protocol;
  for (guid interface_class : removed) removals_.notify(notifier, interface_class);
  shutdown();
}

interface_list device_manager_impl::device_interfaces(guid requested) {
  interface_list result;
  if (!requested.is_set()) return result;
  const guid interface_class = intern(requested);
  interface_set current;
  {
    guard g(lock_);
    if (listed_.insert(interface_class).second) {
      classes_[interface_class];
      for (auto& [protocol, entry] : protocols_)
        if (entry.ready && !entry.leaving) watch_and_enumerate(protocol, entry, interface_class);
    }
    current = classes_[interface_class];
  }
  for (auto it = current.rbegin(); it != current.rend(); ++it) result.push_back(*it);
  return result;
}

void device_manager_impl::on_arrival(protocol_handle& protocol, guid& requested) {
  if (!protocol || !requested.is_set()) return;
  const guid interface_class = intern(requested);
  bool added = false;
  {
    guard g(lock_);
    auto it = protocols_.find(protocol);
    if (it == protocols_.end() || !it->second.ready || it->second.leaving) return;
    std::set<std::string> known;
    for (const io_device_interface& device : it->second.interfaces)
      if (device.interface_class() == interface_class) known.insert(device.name());
    // Compared by name as sets: the order in which the protocol lists its devices does not matter.
    for (const io_device_interface& device : protocol->enumerate(interface_class))
      if (known.insert(device.name()).second && index(device)) added = true;
  }
  if (added) arrivals_.notify(protocol, requested);
}

bool device_manager_impl::removal_check(const protocol_handle& protocol, guid interface_class, bool leaving_too) {
  guard g(lock_);
  auto it = protocols_.find(protocol);
  if (it == protocols_.end() || (it->second.leaving && !leaving_too)) return false;
  std::vector<io_device_interface> known;
  for (const io_device_interface& device : it->second.interfaces)
    if (device.interface_class() == interface_class) known.push_back(device);
  if (known.empty()) return false;
  std::set<std::string> present;
  for (const io_device_interface& device : protocol->enumerate(interface_class)) present.insert(device.name());
  bool removed = false;
  for (const io_device_interface& device : known)
    if (!present.count(device.name())) {
      unindex(device);
      removed = true;
    }
  return removed;
}

void device_manager_impl::on_removal(protocol_handle& protocol, guid& requested) {
  if (!protocol || !requested.is_set()) return;
  if (removal_check(protocol, intern(requested), false)) removals_.notify(protocol, requested);
}

io_device_interface device_manager_impl::create_device_interface(const karnet_lib& library, const std::string& name,
                                                                 guid interface_class, const protocol_handle& protocol,
                                                                 const device_description& description) {
  io_device_interface::handle_type record(
      new io_device_interface_imp(library, name, intern(interface_class), protocol, description));
  return io_device_interface(record);
}

io_session device_manager_impl::create_session(const io_device_interface& device) {
  io_session::session_handle session(new io_session_imp(device));
  return io_session(device, session);
}

}  // namespace karnet
