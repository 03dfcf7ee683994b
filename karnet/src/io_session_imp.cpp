#include "io_session_imp.h"

#include "io_device_interface_imp.h"

namespace karnet {

namespace {
// The device's library, read through a counted handle: the wrapper's own slot hands out a reference into
// an implementation that a concurrent removal may destroy.
karnet_lib library_of(const io_device_interface_intf::handle_type& device) {
  return device ? karnet_lib(device->library()) : karnet_lib(nullptr);
}
}  // namespace

io_session_imp::io_session_imp(const io_device_interface& device)
    : io_session_intf(device), device_(implementation()), library_(library_of(device_)) {
  InitializeCriticalSection(&lock_);
  if (!device_) return;
  // Subscribed before the device is opened and without the session lock: a removal notifies its
  // listeners under the list lock and then takes the session lock.
  removal_subscription_ = w32cpp::make_member_callback<io_session_imp>(this, &io_session_imp::device_removed);
  device_->removal_listeners().add(removal_subscription_);
  device_->add_session(this);
  try {
    auto* record = dynamic_cast<io_device_interface_imp*>(device_.get());
    guard g(lock_);
    // A removal that began before the subscription would never close the device: do not open it then.
    if (removed_ || (record && record->removed()) || !attached()) return;
    protocol_ = device_->protocol();
    if (!protocol_) return;
    handle_ = protocol_->open(device_->name());
    open_.store(valid(handle_));
  } catch (...) {
    device_->removal_listeners().remove(removal_subscription_);
    device_->remove_session(this);
    DeleteCriticalSection(&lock_);
    throw;
  }
}

io_session_imp::~io_session_imp() {
  if (device_) {
    // Waits for a removal that is notifying the device's listeners right now (it may still close this
    // session); afterwards no removal reaches it.
    device_->removal_listeners().remove(removal_subscription_);
    device_->remove_session(this);
  }
  {
    guard g(lock_);
    close_device();
  }
  DeleteCriticalSection(&lock_);
}

void io_session_imp::device_removed() {
  {
    guard g(lock_);
    removed_ = true;
    close_device();
  }
  if (device_) device_->remove_session(this);
  close_listeners_.notify();
}

void io_session_imp::close_device() {
  open_.store(false);
  if (!valid(handle_)) return;
  if (protocol_) protocol_->close(&handle_);
  handle_ = nullptr;
}

ostrel::mem_block io_session_imp::allocate(uint32_t size, bool zero) {
  return library_ ? library_->allocate(size, zero) : ostrel::mem_block();
}

io_read io_session_imp::read_on_memory(void* data, uint32_t length, bool zero) {
  return io_read(library_, ostrel::mem_block(data, length, zero));
}

io_read io_session_imp::read_of_size(uint32_t size, bool zero) { return io_read(library_, allocate(size, zero)); }

io_read io_session_imp::read_on_block(const ostrel::mem_block& block) { return io_read(library_, block); }

io_read io_session_imp::read_empty() { return io_read(library_, ostrel::mem_block()); }

io_write io_session_imp::write_on_memory(void* data, uint32_t length, bool zero) {
  return io_write(library_, ostrel::mem_block(data, length, zero));
}

io_write io_session_imp::write_of_size(uint32_t size, bool zero) { return io_write(library_, allocate(size, zero)); }

io_write io_session_imp::write_on_block(const ostrel::mem_block& block) { return io_write(library_, block); }

io_write io_session_imp::write_empty() { return io_write(library_, ostrel::mem_block()); }

// Device-control buffers are never zeroed.
io_control io_session_imp::control_on_memory(uint32_t code, void* output, uint32_t output_length, void* input,
                                             uint32_t input_length) {
  return io_control(library_, code, ostrel::mem_block(output, output_length, false),
                    ostrel::mem_block(input, input_length, false));
}

io_control io_session_imp::control_of_size(uint32_t code, uint32_t output_size, uint32_t input_size) {
  return io_control(library_, code, allocate(output_size, false), allocate(input_size, false));
}

io_control io_session_imp::control_on_blocks(uint32_t code, const ostrel::mem_block& output,
                                             const ostrel::mem_block& input) {
  return io_control(library_, code, output, input);
}

io_control io_session_imp::control_empty(uint32_t code) {
  return io_control(library_, code, ostrel::mem_block(), ostrel::mem_block());
}

bool io_session_imp::is_open() { return open_.load() && attached(); }

device_handle io_session_imp::handle() {
  guard g(lock_);
  return handle_;
}

assync_handle io_session_imp::submit_control(io_control& op) {
  guard g(lock_);
  if (!valid(handle_) || !protocol_) return assync_handle();
  return protocol_->control(&handle_, op);
}

assync_handle io_session_imp::submit_write(io_write& op) {
  guard g(lock_);
  if (!valid(handle_) || !protocol_) return assync_handle();
  return protocol_->write(&handle_, op);
}

assync_handle io_session_imp::submit_read(io_read& op) {
  guard g(lock_);
  if (!valid(handle_) || !protocol_) return assync_handle();
  return protocol_->read(&handle_, op);
}

// Runs without the session lock, so that other threads can submit and wait meanwhile.
w32cpp::status_wait io_session_imp::finish(const assync_handle& request, DWORD milliseconds) {
  if (!request) return w32cpp::status_wait(ERROR_INVALID_HANDLE);
  const w32cpp::status_wait waited = request->wait_for(milliseconds);
  // Timed out: the request stays pending; nothing cancels it here.
  if (waited.get_code() == WAIT_TIMEOUT) return waited;
  return request->result(false);
}

w32cpp::status_wait io_session_imp::control_and_wait(io_control& op, DWORD milliseconds) {
  return finish(submit_control(op), milliseconds);
}

w32cpp::status_wait io_session_imp::write_and_wait(io_write& op, DWORD milliseconds) {
  return finish(submit_write(op), milliseconds);
}

w32cpp::status_wait io_session_imp::read_and_wait(io_read& op, DWORD milliseconds) {
  return finish(submit_read(op), milliseconds);
}

w32cpp::status_win32 io_session_imp::cancel() {
  guard g(lock_);
  if (!valid(handle_) || !protocol_) return w32cpp::status_win32(0u);
  return protocol_->cancel(&handle_);
}

}  // namespace karnet
