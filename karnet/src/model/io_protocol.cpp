#include <karnet/io_protocol.h>

#include <karnet/iapi.h>

namespace karnet {

io_protocol::~io_protocol() = default;

void io_protocol::start() {
  if (library_) library_->register_protocol(self());
}

void io_protocol::stop() {
  if (library_) library_->unregister_protocol(self());
}

void io_protocol::notify_arrival(guid interface_class) {
  protocol_handle me = self();
  arrivals_.notify(me, interface_class);
}

void io_protocol::notify_removal(guid interface_class) {
  protocol_handle me = self();
  removals_.notify(me, interface_class);
}

io_device_interface io_protocol::create_device_interface(const std::string& name, guid interface_class,
                                                         const device_description& description) {
  if (!library_) return io_device_interface();
  return library_->create_device_interface(library_, name, interface_class, self(), description);
}

}  // namespace karnet
