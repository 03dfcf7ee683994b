// Sessions: an open connection to one device interface through its protocol.
#ifndef KARNET_IO_SESSION_H
#define KARNET_IO_SESSION_H

#include <windows.h>

#include <cstdint>

#include <w32cpp/handle.h>
#include <w32cpp/status.h>

#include <ostrel/heap.h>

#include <karnet/io_device_interface.h>
#include <karnet/io_operation.h>
#include <karnet/types.h>

namespace karnet {

// The device-interface part is a wrapper on the device the session was opened on.
class io_session_intf : public io_device_interface {
 public:
  karnet_lib& library() override = 0;
  virtual ostrel::mem_block allocate(uint32_t size, bool zero) = 0;
  virtual io_read read_on_memory(void* data, uint32_t length, bool zero) = 0;
  virtual io_read read_of_size(uint32_t size, bool zero) = 0;
  virtual io_read read_on_block(const ostrel::mem_block& block) = 0;
  virtual io_read read_empty() = 0;
  virtual io_write write_on_memory(void* data, uint32_t length, bool zero) = 0;
  virtual io_write write_of_size(uint32_t size, bool zero) = 0;
  virtual io_write write_on_block(const ostrel::mem_block& block) = 0;
  virtual io_write write_empty() = 0;
  virtual io_control control_on_memory(uint32_t code, void* output, uint32_t output_length, void* input,
                                       uint32_t input_length) = 0;
  virtual io_control control_of_size(uint32_t code, uint32_t output_size, uint32_t input_size) = 0;
  virtual io_control control_on_blocks(uint32_t code, const ostrel::mem_block& output,
                                       const ostrel::mem_block& input) = 0;
  virtual io_control control_empty(uint32_t code) = 0;
  virtual bool is_open() = 0;
  virtual device_handle handle() = 0;
  // Submit, then wait: ERROR_INVALID_HANDLE when nothing could be submitted, WAIT_TIMEOUT when the wait
  // timed out (the request stays pending), else the request's own result.
  virtual w32cpp::status_wait control_and_wait(io_control& op, DWORD milliseconds) = 0;
  virtual w32cpp::status_wait write_and_wait(io_write& op, DWORD milliseconds) = 0;
  virtual w32cpp::status_wait read_and_wait(io_read& op, DWORD milliseconds) = 0;
  // An empty handle when the session is not open.
  virtual assync_handle submit_control(io_control& op) = 0;
  virtual assync_handle submit_write(io_write& op) = 0;
  virtual assync_handle submit_read(io_read& op) = 0;
  // Run after the session was closed because its device went away.
  virtual notice_listener_list& close_listeners() = 0;
  virtual w32cpp::status_win32 cancel() = 0;
  virtual void on_device_removed() = 0;

 protected:
  io_session_intf() = default;
  explicit io_session_intf(const io_device_interface& device) : io_device_interface(device) {}
  io_session_intf(const io_session_intf& other) : io_device_interface(other) {}
};

// What clients hold: forwards to the session implementation. An empty wrapper (closed by
// on_device_removed, or made empty) is not open, submits nothing and answers with empty values.
class io_session : public io_session_intf {
 public:
  using session_handle = w32cpp::auto_handle<io_session_intf>;

  io_session();
  io_session(const io_device_interface& device, const session_handle& session);
  io_session(const io_session& other);
  io_session& operator=(const io_session& other);
  ~io_session() override;

  karnet_lib& library() override;
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
  notice_listener_list& close_listeners() override;
  w32cpp::status_win32 cancel() override;
  void on_device_removed() override;

  // A counted copy of the session handle, empty once closed.
  session_handle session() const;

 private:
  session_handle session_;
};

}  // namespace karnet

#endif
