// The serial transport library's interface: what lintra_get_instance hands out. The slot order is a
// contract between separately built libraries.
#ifndef LINTRA_IAPI_H
#define LINTRA_IAPI_H

#include <w32cpp/handle.h>

#include <karnet/types.h>

#include <lintra/IComPort.h>

namespace lintra {

using port_handle = w32cpp::auto_handle<IComPort>;

class iapi {
 public:
  // Serves the instrument at the emulated address on the line; false when it cannot.
  virtual bool register_port(const port_handle& port, BYTE address) = 0;
  virtual void unregister_port(const port_handle& port, BYTE address) = 0;
  virtual bool flush_port() = 0;
  virtual bool stop_port() = 0;
  virtual void serial_disable() = 0;
  // The serial protocol (empty before the first registration).
  virtual void protocol(karnet::protocol_handle& out) = 0;
  virtual ~iapi() {}
};

}  // namespace lintra

#endif
