// The device manager's interface, and everything of the device model.
#ifndef KARNET_IAPI_H
#define KARNET_IAPI_H

#include <cstdint>
#include <string>

#include <ostrel/heap.h>

#include <karnet/device_description.h>
#include <karnet/guid.h>
#include <karnet/io_assync.h>
#include <karnet/io_device_interface.h>
#include <karnet/io_operation.h>
#include <karnet/io_protocol.h>
#include <karnet/io_session.h>
#include <karnet/karnet_lib.h>
#include <karnet/types.h>

namespace karnet {

// allocate (slot 0) forwards to the heap library.
class iapi : public ostrel::api {
 public:
  // Stops the disposal task; the next discard starts it again.
  virtual void shutdown() = 0;
  // Clients' subscribers, run with (protocol, class) after the manager's lock is released.
  virtual device_listener_list& arrival_listeners() = 0;
  virtual device_listener_list& removal_listeners() = 0;
  // Take over a request that is still pending with its buffers, and free them once it is done.
  virtual void discard_control(io_control& op) = 0;
  virtual void discard_write(io_write& op) = 0;
  virtual void discard_read(io_read& op) = 0;
  virtual void register_protocol(const protocol_handle& protocol) = 0;
  virtual void unregister_protocol(const protocol_handle& protocol) = 0;
  // The interfaces of the class, last name first. The first listing of a class has every registered
  // protocol watch and enumerate it.
  virtual interface_list device_interfaces(guid interface_class) = 0;
  virtual io_device_interface create_device_interface(const karnet_lib& library, const std::string& name,
                                                      guid interface_class, const protocol_handle& protocol,
                                                      const device_description& description) = 0;
  virtual io_session create_session(const io_device_interface& device) = 0;
};

}  // namespace karnet

#endif
