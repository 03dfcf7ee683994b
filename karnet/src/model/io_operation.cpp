#include <karnet/io_operation.h>

#include <karnet/iapi.h>

namespace karnet {

// A destructor must not throw: if the manager cannot take the request over, the buffers are released
// as they would have been without it.
io_read::~io_read() {
  if (!pending() || !library_) return;
  try {
    library_->discard_read(*this);
  } catch (...) {
  }
}

io_write::~io_write() {
  if (!pending() || !library_) return;
  try {
    library_->discard_write(*this);
  } catch (...) {
  }
}

io_control::~io_control() {
  if (!pending() || !library_) return;
  try {
    library_->discard_control(*this);
  } catch (...) {
  }
}

}  // namespace karnet
