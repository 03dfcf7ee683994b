// Disposal of abandoned requests: keeps a pending request with its buffers until it reports done.
#ifndef KARNET_SRC_IO_GARBAGE_H
#define KARNET_SRC_IO_GARBAGE_H

#include <w32cpp/lock.h>
#include <windows.h>

#include <cstddef>
#include <deque>

#include <w32cpp/task.h>
#include <w32cpp/trace.h>
#include <w32cpp/waitable.h>

#include <ostrel/ostrel_lib.h>

#include <karnet/iapi.h>

namespace karnet {

// Create as w32cpp::task_instance<io_garbage>.
class io_garbage : public w32cpp::task {
 public:
  io_garbage();
  ~io_garbage() override;

  // One record per buffer; starts the thread when it is not running.
  void add(const assync_handle& request, const ostrel::mem_block& buffer);
  // Stops the thread; its last pass frees what is done and gives up on the rest.
  void shutdown();

  size_t queued() const;

 protected:
  void on_start() override;
  DWORD step() override;
  void on_finish() override;

 private:
  // Keeps the module that implements a request loaded: done() and the request's destructor are that
  // module's code, and a transport's library may be released while its request is still held here.
  class module_pin {
   public:
    explicit module_pin(const io_assync* request);
    module_pin(const module_pin&) = delete;
    module_pin& operator=(const module_pin&) = delete;
    ~module_pin();

   private:
    HMODULE module_ = nullptr;
  };
  struct record {
    record(const assync_handle& r, const ostrel::mem_block& b) : pin(r.get()), request(r), buffer(b) {}
    module_pin pin;  // first: let go after the request and the buffer
    assync_handle request;
    ostrel::mem_block buffer;
  };
  using guard = w32cpp::section_lock;

  static bool is_done(const record& r);
  // Frees the records given up on by an earlier stop that have ended since.
  void free_done_abandoned();

  w32cpp::DBGTrace trace_{"karnet"};
  mutable CRITICAL_SECTION lock_;
  std::deque<record*> queue_;
  // Given up on by a stop while still pending: never freed while the device may still write them,
  // looked at again at the next shutdown, when the task next starts and when the manager goes.
  std::deque<record*> abandoned_;
  // Keeps the heap library, which owns the queued buffers, loaded.
  ostrel::ostrel_lib heap_;
  // Serialises start() and stop(): a discard on one thread and a shutdown on another never overlap.
  CRITICAL_SECTION run_lock_;
  // Wakes an idle step when a record arrives, so an empty queue costs nothing.
  w32cpp::waitable_event wake_;
};

}  // namespace karnet

#endif
