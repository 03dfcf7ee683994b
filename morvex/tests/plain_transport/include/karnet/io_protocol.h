// The transport table as a transport built elsewhere knows it: the eleven slots every library
// shares, and nothing more. Comes first on the plain transport's include path in place of the
// device model's own header, so that a slot added there shows as a caller reaching past this table.
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
    virtual interface_list enumerate(guid interface_class) = 0;
    virtual void watch(guid interface_class) = 0;
    virtual void unwatch(guid interface_class) = 0;
    virtual protocol_handle self() = 0;
    virtual device_handle open(std::string name) = 0;
    virtual void close(device_handle* handle) = 0;
    virtual assync_handle read(device_handle* handle, io_read& op) = 0;
    virtual assync_handle write(device_handle* handle, io_write& op) = 0;
    virtual assync_handle control(device_handle* handle, io_control& op) = 0;
    virtual w32cpp::status_win32 cancel(device_handle* handle) = 0;
    virtual ~io_protocol();

    void start();
    void stop();
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

}  // namespace karnet

#endif
