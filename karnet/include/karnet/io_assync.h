// A submitted request as the transport sees it until it completes.
#ifndef KARNET_IO_ASSYNC_H
#define KARNET_IO_ASSYNC_H

#include <windows.h>

#include <cstdint>

#include <w32cpp/status.h>
#include <w32cpp/waitable.h>

namespace karnet {

// wait_for gives 0 once the request completed and WAIT_TIMEOUT on time-out.
class io_assync : public w32cpp::iwaitable {
 public:
  // ERROR_IO_PENDING while pending, else 0 or the request's Win32 error.
  virtual w32cpp::status_wait result(bool wait) = 0;
  // The request is no longer pending.
  virtual bool done() = 0;
  virtual uint32_t bytes() = 0;
};

}  // namespace karnet

#endif
