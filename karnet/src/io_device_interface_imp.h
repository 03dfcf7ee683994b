// The device manager's record of one device interface found by a protocol.
#ifndef KARNET_SRC_IO_DEVICE_INTERFACE_IMP_H
#define KARNET_SRC_IO_DEVICE_INTERFACE_IMP_H

#include <w32cpp/lock.h>
#include <windows.h>

#include <atomic>
#include <set>
#include <string>

#include <karnet/iapi.h>

namespace karnet {

class io_device_interface_imp final : public io_device_interface_intf {
 public:
  io_device_interface_imp(const karnet_lib& library, std::string name, guid interface_class,
                          const protocol_handle& protocol, const device_description& description);
  ~io_device_interface_imp() override;

  std::string name() const override { return name_; }
  guid interface_class() const override { return class_; }
  device_description description() const override { return description_; }
  protocol_handle protocol() const override { return protocol_; }
  notice_listener_list& removal_listeners() override { return removal_listeners_; }
  void detach_all() override;
  uint32_t session_count() const override;
  void add_session(io_session_intf* session) override;
  void remove_session(io_session_intf* session) override;
  karnet_lib& library() override { return library_; }
  void attach_wrapper(wrapper_link* link) override;
  void detach_wrapper(wrapper_link* link) override;

  // Set by the manager before it runs the removal listeners: a session being opened meanwhile stays closed.
  void mark_removed() { removed_.store(true); }
  bool removed() const { return removed_.load(); }
  bool detached() const;
  // Set by the manager while the interface is in its indexes: the indexes are ordered by the
  // wrappers' names, so detach_all is refused until the manager takes the interface out.
  void set_listed(bool listed);

 private:
  using guard = w32cpp::section_lock;

  const std::string name_;
  const guid class_;
  const device_description description_;
  const protocol_handle protocol_;
  notice_listener_list removal_listeners_;
  std::set<io_session_intf*> sessions_;
  karnet_lib library_;
  std::set<wrapper_link*> wrappers_;
  bool detached_ = false;
  bool listed_ = false;
  std::atomic<bool> removed_{false};
  // Leaf lock of the session set.
  mutable CRITICAL_SECTION sessions_lock_;
  // Taken before the lock of any wrapper link, never while holding one.
  mutable CRITICAL_SECTION wrappers_lock_;
};

}  // namespace karnet

#endif
