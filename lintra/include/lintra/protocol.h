// The serial transport as the device manager sees it: the registered lines' devices, their
// published interfaces, and the I/O that sessions send to them.
#ifndef LINTRA_PROTOCOL_H
#define LINTRA_PROTOCOL_H

#include <windows.h>

#include <string>
#include <vector>

#include <karnet/iapi.h>

#include "lintra/iapi.h"
#include "lintra/protocol_device.h"

namespace lintra {

// Besides the transport's slots it cancels one request alone (karnet::io_request_cancel).
class io_protocol_lintra : public karnet::io_protocol, public karnet::io_request_cancel {
public:
    // holder: the process-wide handle that owns this protocol (what self() copies).
    explicit io_protocol_lintra(karnet::protocol_handle* holder);
    ~io_protocol_lintra() override;

    karnet::interface_list enumerate(karnet::guid interface_class) override;
    void watch(karnet::guid interface_class) override;
    void unwatch(karnet::guid interface_class) override;
    karnet::protocol_handle self() override;
    karnet::device_handle open(std::string name) override;
    void close(karnet::device_handle* handle) override;
    karnet::assync_handle read(karnet::device_handle* handle, karnet::io_read& op) override;
    karnet::assync_handle write(karnet::device_handle* handle, karnet::io_write& op) override;
    karnet::assync_handle control(karnet::device_handle* handle, karnet::io_control& op) override;
    w32cpp::status_win32 cancel(karnet::device_handle* handle) override;
    w32cpp::status_win32 cancel_request(karnet::device_handle* handle, karnet::io_assync& request) override;

    // The library's operations (see iapi.h).
    bool register_line(const port_handle& port, BYTE address);
    void unregister_line(const port_handle& port, BYTE address);
    bool flush_first();
    bool stop_first();
    // Every device stopped and its interfaces withdrawn (with notices): the lines are let go.
    void remove_all();
    size_t device_count();

    // "ZEPHSerial\" + port name + address in hexadecimal; an address above 15 is set off by '#'
    // so that no two (line, address) pairs share a name.
    static std::string device_name(const std::string& port_name, BYTE address);

private:
    using device_ref = w32cpp::auto_handle<ZephProtocolDevice>;
    enum class request_route { read, write, control };
    // Stores the packet in the operation and hands it to the device (1617 when it is gone).
    karnet::assync_handle start_request(karnet::device_handle* handle, karnet::io_operation& op,
                                        const packet_handle& packet, request_route route);
    device_ref find(karnet::device_handle handle);
    device_ref first();
    void retire(const device_ref& device);

    karnet::protocol_handle* holder_;
    CRITICAL_SECTION lock_;  // the registry and the watched set; never held across a call out
    std::vector<GUID> watched_;
    std::vector<device_ref> devices_;
};

}  // namespace lintra

#endif
