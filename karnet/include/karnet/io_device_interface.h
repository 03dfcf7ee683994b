// A device interface found by a protocol, and the client-side wrapper that can be detached from it.
#ifndef KARNET_IO_DEVICE_INTERFACE_H
#define KARNET_IO_DEVICE_INTERFACE_H

#include <windows.h>

#include <cstdint>
#include <string>

#include <w32cpp/handle.h>
#include <w32cpp/lock.h>

#include <karnet/device_description.h>
#include <karnet/guid.h>
#include <karnet/karnet_lib.h>
#include <karnet/types.h>

namespace karnet {

class io_device_interface_intf {
 public:
  using handle_type = w32cpp::auto_handle<io_device_interface_intf>;

  // A wrapper's handle on its implementation and the lock that guards it. The implementation keeps the
  // links of its attached wrappers so that detach_all can empty them, each under its own lock.
  struct wrapper_link {
    handle_type implementation;
    CRITICAL_SECTION lock;
  };

  virtual std::string name() const = 0;
  virtual guid interface_class() const = 0;
  virtual device_description description() const = 0;
  virtual protocol_handle protocol() const = 0;
  // Run, without arguments, when the device goes away.
  virtual notice_listener_list& removal_listeners() = 0;
  // Empties the handle of every attached wrapper: each then answers as detached.
  virtual void detach_all() = 0;
  virtual ~io_device_interface_intf() = default;
  virtual uint32_t session_count() const = 0;
  virtual void add_session(io_session_intf* session) = 0;
  virtual void remove_session(io_session_intf* session) = 0;
  virtual karnet_lib& library() = 0;
  // A wrapper offered to an implementation that is already detached is emptied at once.
  virtual void attach_wrapper(wrapper_link* link) = 0;
  virtual void detach_wrapper(wrapper_link* link) = 0;
};

// What clients hold. A detached wrapper answers with empty values: "" for the name, an unset guid, the
// empty description, an empty protocol handle, 0 sessions.
class io_device_interface : public io_device_interface_intf {
 public:
  io_device_interface();
  explicit io_device_interface(const handle_type& implementation);
  io_device_interface(const io_device_interface& other);
  io_device_interface& operator=(const io_device_interface& other);
  ~io_device_interface() override;

  std::string name() const override;
  guid interface_class() const override;
  device_description description() const override;
  protocol_handle protocol() const override;
  notice_listener_list& removal_listeners() override;
  void detach_all() override;
  uint32_t session_count() const override;
  void add_session(io_session_intf* session) override;
  void remove_session(io_session_intf* session) override;
  karnet_lib& library() override;
  void attach_wrapper(wrapper_link*) override {}
  void detach_wrapper(wrapper_link*) override {}

  bool attached() const;
  // A counted copy of the implementation handle, empty when detached.
  handle_type implementation() const;

  // By device name; a detached wrapper sorts before every attached one.
  friend bool operator<(const io_device_interface& a, const io_device_interface& b);

 protected:
  struct lock_guard : w32cpp::section_lock {
    explicit lock_guard(const io_device_interface& w) : w32cpp::section_lock(w.link_.lock) {}
  };

  mutable wrapper_link link_;

 private:
  void attach(const handle_type& implementation);
  void detach();
};

}  // namespace karnet

#endif
