// The instrument API object: the sibling libraries, the device classes and the observers.
#ifndef MORVEX_SRC_API_IMP_H
#define MORVEX_SRC_API_IMP_H

#include <windows.h>

#include <atomic>
#include <map>
#include <vector>

#include <w32cpp/loader.h>
#include <w32cpp/trace.h>

#include <morvex/iapi.h>

// The older build binds its siblings under their older names.
#ifndef QUILLON_LIBRARY_NAME
#define QUILLON_LIBRARY_NAME "quillon8"
#endif
#ifndef LINTRA_LIBRARY_NAME
#define LINTRA_LIBRARY_NAME "lintra8"
#endif

namespace morvex {

// Forwards one session's notifications to a client's receiver.
class zeph_notification_dispatcher : public zeph_notification_observer {
public:
    zeph_notification_dispatcher(const zeph_session& session, zeph_notification_client* client, uint32_t mask,
                                 bool all_bits, uint32_t cookie);
    ~zeph_notification_dispatcher() override;
    void on_event(uint16_t code, const event_data& data) override;
    void on_error(DWORD status) override;
    void on_stopped() override;
    // Leaves the session's observers; after it the client is never called again (a call in progress
    // on another thread has returned; one on this thread is the caller's own).
    void detach();
    // True while one of its client's callbacks runs, on any thread.
    bool in_callback() const { return calls_.load() != 0; }
    // The session it watches is still open (a closed one never calls it again).
    bool session_open() { return session_.is_open(); }

private:
    struct dispatch_scope;
    zeph_session session_;
    std::atomic<int> calls_{0};
    bool attached_ = true;
    uint32_t cookie_;
    zeph_notification_client* client_;
};

class api_imp : public iapi {
public:
    api_imp();
    ~api_imp() override;

    // fileio::iapi
    void start() override;
    void stop() override;
    karnet::protocol_handle protocol() override;
    // lintra::iapi
    bool register_port(const lintra::port_handle& port, BYTE address) override;
    void unregister_port(const lintra::port_handle& port, BYTE address) override;
    bool flush_port() override;
    bool stop_port() override;
    void serial_disable() override;
    void protocol(karnet::protocol_handle& out) override;
    // ostrel::api
    ostrel::mem_block allocate(uint32_t size, bool zero) override;

    io_device_interface_class& control_interface_class() override { return main_; }
    io_device_interface_class& bulk_interface_class() override { return bulk_; }
    io_device_interface_class& iso_interface_class() override { return iso_; }
    void register_observer(zeph_session& session, zeph_notification_client* client, uint32_t mask, bool all_bits,
                           uint32_t cookie) override;
    void unregister_observer(zeph_session& session) override;
    karnet::karnet_lib& device_manager() override { return karnet_; }
    zeph_session open_session(const karnet::io_session& session) override;

private:
    using dispatcher_handle = w32cpp::auto_handle<zeph_notification_dispatcher>;
    // Every proxy of one session shares the device manager's session object.
    static const void* key_of(zeph_session& session);
    // Detaches a dispatcher that left the map; one whose callback is still running (a client
    // unregistering from its own callback) is kept until a later call finds it returned.
    void drop(dispatcher_handle& dispatcher);
    void free_retired();

    io_device_interface_class main_;
    io_device_interface_class bulk_;
    io_device_interface_class iso_;
    karnet::karnet_lib karnet_;
    w32cpp::dynamic_link_instance<lintra::iapi> serial_;
    w32cpp::dynamic_link_instance<fileio::iapi> usb_;
    CRITICAL_SECTION observers_lock_;
    std::map<const void*, dispatcher_handle> observers_;
    std::vector<dispatcher_handle> retired_;
    w32cpp::DBGTrace trace_{"morvex"};
};

}  // namespace morvex

#endif
