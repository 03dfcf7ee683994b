// An open connection to one device interface: turns requests into protocol calls.
#ifndef KARNET_SRC_IO_SESSION_IMP_H
#define KARNET_SRC_IO_SESSION_IMP_H

#include <w32cpp/lock.h>
#include <windows.h>

#include <atomic>

#include <karnet/iapi.h>

namespace karnet {

class io_session_imp final : public io_session_intf {
 public:
  // Opens the device through its protocol unless the device is detached or going away.
  explicit io_session_imp(const io_device_interface& device);
  ~io_session_imp() override;

  karnet_lib& library() override { return library_; }
  ostrel::mem_block allocate(uint32_t size, bool zero) override;
  io_read read_on_memory(void* data, uint32_t length, bool zero) override;
  io_read read_of_size(uint32_t size, bool zero) override;
  io_read read_on_block(const ostrel::mem_block& block) override;
  io_read read_empty() override;
  io_write write_on_memory(void* data, uint32_t length, bool zero) override;
  io_write write_of_size(uint32_t size, bool zero) override;
  io_write write_on_block(const ostrel::mem_block& block) override;
  io_write write_empty() override;
  io_control control_on_memory(uint32_t code, void* output, uint32_t output_length, void* input,
                               uint32_t input_length) override;
  io_control control_of_size(uint32_t code, uint32_t output_size, uint32_t input_size) override;
  io_control control_on_blocks(uint32_t code, const ostrel::mem_block& output,
                               const ostrel::mem_block& input) override;
  io_control control_empty(uint32_t code) override;
  bool is_open() override;
  device_handle handle() override;
  w32cpp::status_wait control_and_wait(io_control& op, DWORD milliseconds) override;
  w32cpp::status_wait write_and_wait(io_write& op, DWORD milliseconds) override;
  w32cpp::status_wait read_and_wait(io_read& op, DWORD milliseconds) override;
  assync_handle submit_control(io_control& op) override;
  assync_handle submit_write(io_write& op) override;
  assync_handle submit_read(io_read& op) override;
  notice_listener_list& close_listeners() override { return close_listeners_; }
  w32cpp::status_win32 cancel() override;
  void on_device_removed() override { device_removed(); }

 private:
  using guard = w32cpp::section_lock;

  static bool valid(device_handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  // The removal callback: not virtual, so that a removal running while the session is being destroyed
  // calls no virtual function on it.
  void device_removed();
  // Under lock_.
  void close_device();
  static w32cpp::status_wait finish(const assync_handle& request, DWORD milliseconds);

  device_handle handle_ = nullptr;
  std::atomic<bool> open_{false};
  w32cpp::auto_handle<notice_callback> removal_subscription_;
  CRITICAL_SECTION lock_;
  // The device implementation the session subscribed to, kept so that the subscription can be taken
  // back even after the wrapper part was detached. Made before the library is copied from it: a removal
  // may detach the wrapper part and destroy the implementation at any moment.
  handle_type device_;
  karnet_lib library_;
  notice_listener_list close_listeners_;
  protocol_handle protocol_;
  bool removed_ = false;
};

}  // namespace karnet

#endif
