// A transport: finds device interfaces of a class, reports their arrival and removal, and carries I/O.
#ifndef KARNET_IO_PROTOCOL_H
#define KARNET_IO_PROTOCOL_H

#include <windows.h>

#include <string>

#include <w32cpp/status.h>

#include <karnet/device_description.h>
#include <karnet/guid.h>
#include <karnet/io_device_interface.h>
#include <karnet/io_operation.h>
#include <karnet/karnet_lib.h>
#include <karnet/types.h>

namespace karnet {

class io_protocol {
 public:
  // The devices of the class present now, each made through create_device_interface.
  virtual interface_list enumerate(guid interface_class) = 0;
  // Starts (stops) arrival and removal notices for the class.
  virtual void watch(guid interface_class) = 0;
  virtual void unwatch(guid interface_class) = 0;
  // The counted handle that owns this protocol.
  virtual protocol_handle self() = 0;
  // 0 or INVALID_HANDLE_VALUE when the device could not be opened.
  virtual device_handle open(std::string name) = 0;
  virtual void close(device_handle* handle) = 0;
  // Each stores the new request into the operation and returns it.
  virtual assync_handle read(device_handle* handle, io_read& op) = 0;
  virtual assync_handle write(device_handle* handle, io_write& op) = 0;
  virtual assync_handle control(device_handle* handle, io_control& op) = 0;
  virtual w32cpp::status_win32 cancel(device_handle* handle) = 0;
  virtual ~io_protocol();

  // Registration with the device manager.
  void start();
  void stop();
  // Run the arrival (removal) list with (self(), class).
  void notify_arrival(guid interface_class);
  void notify_removal(guid interface_class);
  io_device_interface create_device_interface(const std::string& name, guid interface_class,
                                              const device_description& description);

  device_listener_list& arrival_listeners() { return arrivals_; }
  device_listener_list& removal_listeners() { return removals_; }
  karnet_lib& library() { return library_; }

 protected:
  io_protocol() = default;
  explicit io_protocol(const karnet_lib& library) : library_(library) {}
  io_protocol(const io_protocol&) = delete;
  io_protocol& operator=(const io_protocol&) = delete;

 private:
  device_listener_list arrivals_;
  device_listener_list removals_;
  karnet_lib library_;
};

// What a transport may offer besides its slots above, which separately built libraries share and
// which therefore never grow: cancelling one request alone, whichever thread issued it, while the
// handle's other requests run on. A transport offers it by deriving from it too; callers reach it
// through cancel_request() below, so a transport that does not offer it is never called through it.
class io_request_cancel {
 public:
  // 0 also when the request had already completed.
  virtual w32cpp::status_win32 cancel_request(device_handle* handle, io_assync& request) = 0;

 protected:
  ~io_request_cancel() = default;
};

// Cancels `request` of `handle`: alone where the transport offers it, else through the transport's
// cancel (every request of the handle, or the calling thread's, as that transport's cancel does).
inline w32cpp::status_win32 cancel_request(io_protocol& protocol, device_handle* handle, io_assync& request) {
  if (auto* one = dynamic_cast<io_request_cancel*>(&protocol)) return one->cancel_request(handle, request);
  return protocol.cancel(handle);
}

}  // namespace karnet

#endif
