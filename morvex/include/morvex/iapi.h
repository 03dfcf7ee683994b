// The instrument API: what morvex_get_instance hands out. The slot order is a contract between
// separately built libraries.
#ifndef MORVEX_IAPI_H
#define MORVEX_IAPI_H

#include <windows.h>

#include <cstdint>

#include <w32cpp/callback.h>
#include <w32cpp/handle.h>
#include <w32cpp/waitable.h>

#include <ostrel/heap.h>

#include <karnet/iapi.h>

#include <quillon/iapi.h>

#include <lintra/iapi.h>

#include <morvex/requests.h>
#include <morvex/session.h>
#include <morvex/wire.h>

namespace morvex {

// One instrument interface class watched through the device manager. Its events are auto-reset and
// set from whichever thread reports the change; clients wait on them.
class io_device_interface_class {
public:
    explicit io_device_interface_class(const GUID& interface_class);
    io_device_interface_class(const io_device_interface_class&) = delete;
    io_device_interface_class& operator=(const io_device_interface_class&) = delete;
    virtual ~io_device_interface_class();

    const GUID& interface_class() const { return *guid_; }
    w32cpp::waitable_event& arrived() { return arrived_; }
    w32cpp::waitable_event& removed() { return removed_; }
    w32cpp::waitable_event& changed() { return changed_; }

private:
    void on_arrival(karnet::protocol_handle& protocol, karnet::guid& interface_class);
    void on_removal(karnet::protocol_handle& protocol, karnet::guid& interface_class);

    const GUID* guid_;
    w32cpp::waitable_event arrived_{FALSE};
    w32cpp::waitable_event removed_{FALSE};
    w32cpp::waitable_event changed_{FALSE};
    w32cpp::auto_handle<karnet::device_callback> arrival_;
    w32cpp::auto_handle<karnet::device_callback> removal_;
    karnet::karnet_lib library_;
};

// A client's receiver of one session's notifications (not owned by the API: it must stay valid
// until unregister_observer has returned, after which it is never called again).
class zeph_notification_client {
public:
    virtual void event(uint16_t code, const event_data& data, zeph_session& session, uint32_t cookie) = 0;
    virtual void error(DWORD status, zeph_session& session, uint32_t cookie) = 0;
    virtual void stopped(zeph_session& session, uint32_t cookie) = 0;

protected:
    ~zeph_notification_client() = default;
};

class iapi : public fileio::iapi, public lintra::iapi, public ostrel::api {
public:
    virtual io_device_interface_class& control_interface_class() = 0;
    virtual io_device_interface_class& bulk_interface_class() = 0;
    virtual io_device_interface_class& iso_interface_class() = 0;
    // One observer per session: a second registration replaces the first.
    virtual void register_observer(zeph_session& session, zeph_notification_client* client, uint32_t mask,
                                   bool all_bits, uint32_t cookie) = 0;
    virtual void unregister_observer(zeph_session& session) = 0;
    virtual karnet::karnet_lib& device_manager() = 0;
    // An instrument session over a device-manager session the client opened (not open when that is not).
    virtual zeph_session open_session(const karnet::io_session& session) = 0;
};

}  // namespace morvex

#endif
