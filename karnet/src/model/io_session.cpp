#include <karnet/io_session.h>

#include <karnet/iapi.h>

namespace karnet {

namespace {
notice_listener_list& orphan_close_listeners() {
  static notice_listener_list list;
  return list;
}
karnet_lib& orphan_library() {
  static karnet_lib library(nullptr);
  return library;
}
}  // namespace

io_session::io_session() = default;

io_session::io_session(const io_device_interface& device, const session_handle& session)
    : io_session_intf(device), session_(session) {}

io_session::io_session(const io_session& other) : io_session_intf(other), session_(other.session()) {}

io_session& io_session::operator=(const io_session& other) {
  if (this == &other) return *this;
  session_handle next = other.session();
  io_device_interface::operator=(other);
  {
    lock_guard g(*this);
    next.swap(session_);
  }
  // `next` now holds the previous session, released here outside the lock.
  return *this;
}

io_session::~io_session() = default;

io_session::session_handle io_session::session() const {
  lock_guard g(*this);
  return session_;
}

karnet_lib& io_session::library() {
  session_handle s = session();
  return s ? s->library() : orphan_library();
}

ostrel::mem_block io_session::allocate(uint32_t size, bool zero) {
  session_handle s = session();
  return s ? s->allocate(size, zero) : ostrel::mem_block();
}

io_read io_session::read_on_memory(void* data, uint32_t length, bool zero) {
  session_handle s = session();
  return s ? s->read_on_memory(data, length, zero) : io_read(karnet_lib(nullptr), ostrel::mem_block());
}

io_read io_session::read_of_size(uint32_t size, bool zero) {
  session_handle s = session();
  return s ? s->read_of_size(size, zero) : io_read(karnet_lib(nullptr), ostrel::mem_block());
}

io_read io_session::read_on_block(const ostrel::mem_block& block) {
  session_handle s = session();
  return s ? s->read_on_block(block) : io_read(karnet_lib(nullptr), block);
}

io_read io_session::read_empty() {
  session_handle s = session();
  return s ? s->read_empty() : io_read(karnet_lib(nullptr), ostrel::mem_block());
}

io_write io_session::write_on_memory(void* data, uint32_t length, bool zero) {
  session_handle s = session();
  return s ? s->write_on_memory(data, length, zero) : io_write(karnet_lib(nullptr), ostrel::mem_block());
}

io_write io_session::write_of_size(uint32_t size, bool zero) {
  session_handle s = session();
  return s ? s->write_of_size(size, zero) : io_write(karnet_lib(nullptr), ostrel::mem_block());
}

io_write io_session::write_on_block(const ostrel::mem_block& block) {
  session_handle s = session();
  return s ? s->write_on_block(block) : io_write(karnet_lib(nullptr), block);
}

io_write io_session::write_empty() {
  session_handle s = session();
  return s ? s->write_empty() : io_write(karnet_lib(nullptr), ostrel::mem_block());
}

io_control io_session::control_on_memory(uint32_t code, void* output, uint32_t output_length, void* input,
                                         uint32_t input_length) {
  session_handle s = session();
  return s ? s->control_on_memory(code, output, output_length, input, input_length)
           : io_control(karnet_lib(nullptr), code, ostrel::mem_block(), ostrel::mem_block());
}

io_control io_session::control_of_size(uint32_t code, uint32_t output_size, uint32_t input_size) {
  session_handle s = session();
  return s ? s->control_of_size(code, output_size, input_size)
           : io_control(karnet_lib(nullptr), code, ostrel::mem_block(), ostrel::mem_block());
}

io_control io_session::control_on_blocks(uint32_t code, const ostrel::mem_block& output,
                                         const ostrel::mem_block& input) {
  session_handle s = session();
  return s ? s->control_on_blocks(code, output, input) : io_control(karnet_lib(nullptr), code, output, input);
}

io_control io_session::control_empty(uint32_t code) {
  session_handle s = session();
  return s ? s->control_empty(code)
           : io_control(karnet_lib(nullptr), code, ostrel::mem_block(), ostrel::mem_block());
}

bool io_session::is_open() {
  session_handle s = session();
  return s && s->is_open();
}

device_handle io_session::handle() {
  session_handle s = session();
  return s ? s->handle() : nullptr;
}

w32cpp::status_wait io_session::control_and_wait(io_control& op, DWORD milliseconds) {
  session_handle s = session();
  return s ? s->control_and_wait(op, milliseconds) : w32cpp::status_wait(ERROR_INVALID_HANDLE);
}

w32cpp::status_wait io_session::write_and_wait(io_write& op, DWORD milliseconds) {
  session_handle s = session();
  return s ? s->write_and_wait(op, milliseconds) : w32cpp::status_wait(ERROR_INVALID_HANDLE);
}

w32cpp::status_wait io_session::read_and_wait(io_read& op, DWORD milliseconds) {
  session_handle s = session();
  return s ? s->read_and_wait(op, milliseconds) : w32cpp::status_wait(ERROR_INVALID_HANDLE);
}

assync_handle io_session::submit_control(io_control& op) {
  session_handle s = session();
  return s ? s->submit_control(op) : assync_handle();
}

assync_handle io_session::submit_write(io_write& op) {
  session_handle s = session();
  return s ? s->submit_write(op) : assync_handle();
}

assync_handle io_session::submit_read(io_read& op) {
  session_handle s = session();
  return s ? s->submit_read(op) : assync_handle();
}

notice_listener_list& io_session::close_listeners() {
  session_handle s = session();
  return s ? s->close_listeners() : orphan_close_listeners();
}

w32cpp::status_win32 io_session::cancel() {
  session_handle s = session();
  return s ? s->cancel() : w32cpp::status_win32(0u);
}

void io_session::on_device_removed() {
  session_handle s = session();
  if (s) s->on_device_removed();
  session_handle old;
  {
    lock_guard g(*this);
    old.swap(session_);
  }
  // `old` and `s` are released here, outside the lock: the session may be destroyed with them.
}

}  // namespace karnet
