// Requests: reads, writes and device-control operations with their buffers.
#ifndef KARNET_IO_OPERATION_H
#define KARNET_IO_OPERATION_H

#include <cstdint>

#include <ostrel/heap.h>

#include <karnet/io_assync.h>
#include <karnet/karnet_lib.h>
#include <karnet/types.h>

namespace karnet {

// The transport stores the request it submitted into the operation, which keeps it alive. An operation
// destroyed while its request is pending hands the request and its buffers to the device manager's
// disposal task instead of freeing buffers the device may still write.
class io_operation {
 public:
  virtual ~io_operation() = default;

  bool submitted() const { return static_cast<bool>(request_); }
  bool finished() const { return request_ && request_->done(); }

  const assync_handle& request() const { return request_; }
  void set_request(const assync_handle& request) { request_ = request; }
  const karnet_lib& library() const { return library_; }

 protected:
  explicit io_operation(const karnet_lib& library) : library_(library) {}
  io_operation(const io_operation&) = default;
  io_operation& operator=(const io_operation&) = delete;

  bool pending() const { return request_ && !request_->done(); }

  karnet_lib library_;
  assync_handle request_;
};

class io_read : public io_operation {
 public:
  io_read(const karnet_lib& library, const ostrel::mem_block& buffer) : io_operation(library), buffer_(buffer) {}
  io_read(const io_read&) = default;
  ~io_read() override;

  const ostrel::mem_block& buffer() const { return buffer_; }

 private:
  ostrel::mem_block buffer_;
};

class io_write : public io_operation {
 public:
  io_write(const karnet_lib& library, const ostrel::mem_block& buffer) : io_operation(library), buffer_(buffer) {}
  io_write(const io_write&) = default;
  ~io_write() override;

  const ostrel::mem_block& buffer() const { return buffer_; }

 private:
  ostrel::mem_block buffer_;
};

class io_control : public io_operation {
 public:
  io_control(const karnet_lib& library, uint32_t code, const ostrel::mem_block& output,
             const ostrel::mem_block& input)
      : io_operation(library), code_(code), output_(output), input_(input) {}
  io_control(const io_control&) = default;
  ~io_control() override;

  uint32_t code() const { return code_; }
  // The reply buffer.
  const ostrel::mem_block& output() const { return output_; }
  const ostrel::mem_block& input() const { return input_; }

 private:
  uint32_t code_;
  ostrel::mem_block output_;
  ostrel::mem_block input_;
};

}  // namespace karnet

#endif
