// The USB transport library's interface: what quillon_get_instance hands out. The slot order is a
// contract between separately built libraries.
#ifndef QUILLON_IAPI_H
#define QUILLON_IAPI_H

#include <karnet/types.h>

namespace fileio {

class iapi {
 public:
  // Creates and registers the protocol singleton when there is none; otherwise nothing.
  virtual void start() = 0;
  // Unregisters and releases the protocol when there is one.
  virtual void stop() = 0;
  // A copy of the protocol holder, empty before start.
  virtual karnet::protocol_handle protocol() = 0;
  virtual ~iapi() {}
};

}  // namespace fileio

#endif
