#include "io_device_interface_imp.h"

#include <utility>
#include <vector>

namespace karnet {

io_device_interface_imp::io_device_interface_imp(const karnet_lib& library, std::string name, guid interface_class,
                                                 const protocol_handle& protocol,
                                                 const device_description& description)
    : name_(std::move(name)),
      class_(interface_class),
      description_(description),
      protocol_(protocol),
      library_(library) {
  InitializeCriticalSection(&sessions_lock_);
  InitializeCriticalSection(&wrappers_lock_);
}

io_device_interface_imp::~io_device_interface_imp() {
  DeleteCriticalSection(&wrappers_lock_);
  DeleteCriticalSection(&sessions_lock_);
}

void io_device_interface_imp::detach_all() {
  // The handles are taken out under the locks and released after them: the last one may destroy this
  // object, which is not touched again.
  std::vector<handle_type> taken;
  {
    guard g(wrappers_lock_);
    if (listed_) return;
    detached_ = true;
    taken.reserve(wrappers_.size());
    for (wrapper_link* link : wrappers_) {
      guard link_guard(link->lock);
      if (link->implementation.get() == this) {
        taken.emplace_back();
        taken.back().swap(link->implementation);
      }
    }
    wrappers_.clear();
  }
}

void io_device_interface_imp::set_listed(bool listed) {
  guard g(wrappers_lock_);
  listed_ = listed;
}

void io_device_interface_imp::attach_wrapper(wrapper_link* link) {
  handle_type refused;
  {
    guard g(wrappers_lock_);
    if (!detached_) {
      wrappers_.insert(link);
      return;
    }
    // Copied from a handle that outlived the detach: this wrapper starts out detached too.
    guard link_guard(link->lock);
    if (link->implementation.get() == this) refused.swap(link->implementation);
  }
}

void io_device_interface_imp::detach_wrapper(wrapper_link* link) {
  guard g(wrappers_lock_);
  wrappers_.erase(link);
}

bool io_device_interface_imp::detached() const {
  guard g(wrappers_lock_);
  return detached_;
}

uint32_t io_device_interface_imp::session_count() const {
  guard g(sessions_lock_);
  return static_cast<uint32_t>(sessions_.size());
}

void io_device_interface_imp::add_session(io_session_intf* session) {
  guard g(sessions_lock_);
  sessions_.insert(session);
}

void io_device_interface_imp::remove_session(io_session_intf* session) {
  guard g(sessions_lock_);
  sessions_.erase(session);
}

}  // namespace karnet
