// The process-wide device manager behind karnet_get_instance.
#ifndef KARNET_SRC_DEVICE_MANAGER_IMPL_H
#define KARNET_SRC_DEVICE_MANAGER_IMPL_H

#include <windows.h>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <w32cpp/lock.h>
#include <w32cpp/task.h>
#include <w32cpp/trace.h>

#include <ostrel/ostrel_lib.h>

#include <karnet/iapi.h>

#include "io_garbage.h"

namespace karnet {

// Locks, in the order they may be taken: the manager lock, then a session's lock, then listener lists.
// A protocol's notice runs under the protocol's list lock and takes the manager lock, so the manager
// never touches a protocol's lists, and never waits for a protocol to unwatch, while it holds its lock.
class device_manager_impl final : public iapi {
 public:
  device_manager_impl();
  ~device_manager_impl() override;

  ostrel::mem_block allocate(uint32_t size, bool zero) override;
  void shutdown() override;
  device_listener_list& arrival_listeners() override { return arrivals_; }
  device_listener_list& removal_listeners() override { return removals_; }
  void discard_control(io_control& op) override;
  void discard_write(io_write& op) override;
  void discard_read(io_read& op) override;
  void register_protocol(const protocol_handle& protocol) override;
  void unregister_protocol(const protocol_handle& protocol) override;
  interface_list device_interfaces(guid interface_class) override;
  io_device_interface create_device_interface(const karnet_lib& library, const std::string& name,
                                              guid interface_class, const protocol_handle& protocol,
                                              const device_description& description) override;
  io_session create_session(const io_device_interface& device) override;

 private:
  // A name identifies a device only within its protocol: two transports may list the same name, and
  // one's removal must never take the other's device out.
  struct by_name_and_protocol {
    bool operator()(const io_device_interface& a, const io_device_interface& b) const;
  };
  using interface_set = std::set<io_device_interface, by_name_and_protocol>;

  struct protocol_entry {
    interface_set interfaces;
    // Classes this protocol was asked to watch.
    std::set<guid> watched;
    // Subscribed to the protocol's notices: only then is it asked to watch and enumerate.
    bool ready = false;
    // Being unregistered: nothing new is asked of it.
    bool leaving = false;
  };

  using guard = w32cpp::section_lock;

  void on_arrival(protocol_handle& protocol, guid& interface_class);
  void on_removal(protocol_handle& protocol, guid& interface_class);

  // Under lock_. Watch first, then enumerate: a device that arrives in between is found either way.
  // Returns the interfaces that were not indexed before.
  std::vector<io_device_interface> watch_and_enumerate(const protocol_handle& protocol, protocol_entry& entry,
                                                       guid interface_class);
  // True when the interface was not indexed before.
  bool index(const io_device_interface& device);
  void unindex(io_device_interface device);
  // Re-enumerates and unindexes what the protocol no longer lists; true when something went.
  bool removal_check(const protocol_handle& protocol, guid interface_class, bool leaving_too);

  // A stable copy of the GUID that the manager's keys point at, whatever the caller does with its own.
  guid intern(guid g);

  std::map<guid, interface_set> classes_;
  std::map<protocol_handle, protocol_entry> protocols_;
  std::map<device_description, interface_set> descriptions_;
  // Classes that clients listed: every registered protocol watches and enumerates each of them.
  std::set<guid> listed_;
  CRITICAL_SECTION lock_;
  ostrel::ostrel_lib heap_;
  w32cpp::task_instance<io_garbage> garbage_;
  w32cpp::auto_handle<device_callback> arrival_callback_;
  w32cpp::auto_handle<device_callback> removal_callback_;
  device_listener_list arrivals_;
  device_listener_list removals_;
  std::deque<GUID> guids_;
  CRITICAL_SECTION guids_lock_;
  w32cpp::DBGTrace trace_{"karnet"};
};

}  // namespace karnet

#endif
