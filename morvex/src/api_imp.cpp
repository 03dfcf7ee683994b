#include "api_imp.h"

#include <w32cpp/lock.h>

#include "session_imp.h"

extern "C" w32cpp::auto_handle<morvex::iapi>* morvex_get_instance();

namespace morvex {

// ---------------------------------------------------------------------------------------------
// Dispatcher

zeph_notification_dispatcher::zeph_notification_dispatcher(const zeph_session& session,
                                                           zeph_notification_client* client, uint32_t mask,
                                                           bool all_bits, uint32_t cookie)
    : zeph_notification_observer(mask, all_bits),
      // The API keeps this proxy: it must not keep the API alive in turn.
      session_(session.target()),
      cookie_(cookie),
      client_(client) {
    session_.add_observer(this);
}

zeph_notification_dispatcher::~zeph_notification_dispatcher() { detach(); }

void zeph_notification_dispatcher::detach() {
    if (!attached_) return;
    attached_ = false;
    session_.remove_observer(this);
}

// The count falls back as the very last touch of the dispatcher: one found at 0 may be freed.
struct zeph_notification_dispatcher::dispatch_scope {
    explicit dispatch_scope(zeph_notification_dispatcher& d) : d(d) { ++d.calls_; }
    ~dispatch_scope() { --d.calls_; }
    zeph_notification_dispatcher& d;
};

void zeph_notification_dispatcher::on_event(uint16_t code, const event_data& data) {
    dispatch_scope scope(*this);
    client_->event(code, data, session_, cookie_);
}
void zeph_notification_dispatcher::on_error(DWORD status) {
    dispatch_scope scope(*this);
    client_->error(status, session_, cookie_);
}
void zeph_notification_dispatcher::on_stopped() {
    dispatch_scope scope(*this);
    client_->stopped(session_, cookie_);
}

// ---------------------------------------------------------------------------------------------
// API object

api_imp::api_imp()
    : main_(zeph_wire::device_interface_guid_main),
      bulk_(zeph_wire::device_interface_guid_bulk),
      iso_(zeph_wire::device_interface_guid_iso),
      serial_(LINTRA_LIBRARY_NAME, "lintra_get_instance"),
      usb_(QUILLON_LIBRARY_NAME, "quillon_get_instance") {
    InitializeCriticalSection(&observers_lock_);
}

api_imp::~api_imp() {
    trace_ << "api destruction\n";
    std::map<const void*, dispatcher_handle> left;
    std::vector<dispatcher_handle> retired;
    {
        w32cpp::section_lock hold(observers_lock_);
        left.swap(observers_);
        retired.swap(retired_);
    }
    left.clear();
    retired.clear();
    DeleteCriticalSection(&observers_lock_);
}

void api_imp::start() {
    if (usb_) usb_->start();
}
void api_imp::stop() {
    if (usb_) usb_->stop();
}
karnet::protocol_handle api_imp::protocol() { return usb_ ? usb_->protocol() : karnet::protocol_handle(); }

bool api_imp::register_port(const lintra::port_handle& port, BYTE address) {
    return serial_ && serial_->register_port(port, address);
}
void api_imp::unregister_port(const lintra::port_handle& port, BYTE address) {
    if (serial_) serial_->unregister_port(port, address);
}
bool api_imp::flush_port() { return serial_ && serial_->flush_port(); }
bool api_imp::stop_port() { return serial_ && serial_->stop_port(); }
void api_imp::serial_disable() {
    if (serial_) serial_->serial_disable();
}
void api_imp::protocol(karnet::protocol_handle& out) {
    if (serial_)
        serial_->protocol(out);
    else
        out.reset();
}

ostrel::mem_block api_imp::allocate(uint32_t size, bool zero) {
    return karnet_ ? karnet_->allocate(size, zero) : ostrel::mem_block();
}

const void* api_imp::key_of(zeph_session& session) { return session.session().get(); }

void api_imp::drop(dispatcher_handle& dispatcher) {
    if (!dispatcher) return;
    dispatcher->detach();
    if (dispatcher->in_callback()) {
        w32cpp::section_lock hold(observers_lock_);
        retired_.push_back(dispatcher);
    }
    dispatcher.reset();
}

void api_imp::free_retired() {
    std::vector<dispatcher_handle> freed;
    {
        w32cpp::section_lock hold(observers_lock_);
        for (auto it = retired_.begin(); it != retired_.end();) {
            if ((*it)->in_callback()) {
                ++it;
            } else {
                freed.push_back(*it);
                it = retired_.erase(it);
            }
        }
    }
}

void api_imp::register_observer(zeph_session& session, zeph_notification_client* client, uint32_t mask, bool all_bits,
                                uint32_t cookie) {
    const void* key = key_of(session);
    if (!key || !client) return;
    if (!session.target()) return;
    dispatcher_handle added(new zeph_notification_dispatcher(session, client, mask, all_bits, cookie));
    dispatcher_handle replaced;
    {
        w32cpp::section_lock hold(observers_lock_);
        dispatcher_handle& slot = observers_[key];
        replaced = slot;
        slot = added;
    }
    // Dropped outside the lock: its removal may wait for a dispatch in progress.
    drop(replaced);
    free_retired();
}

void api_imp::unregister_observer(zeph_session& session) {
    const void* key = key_of(session);
    std::vector<dispatcher_handle> removed;
    {
        w32cpp::section_lock hold(observers_lock_);
        if (key) {
            auto it = observers_.find(key);
            if (it != observers_.end()) {
                removed.push_back(it->second);
                observers_.erase(it);
            }
        } else {
            // A proxy emptied by on_device_removed no longer names its session: every entry whose
            // session has closed goes (none of them can be called again).
            for (auto it = observers_.begin(); it != observers_.end();) {
                if (!it->second->session_open()) {
                    removed.push_back(it->second);
                    it = observers_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    for (dispatcher_handle& d : removed) drop(d);
    free_retired();
}

zeph_session api_imp::open_session(const karnet::io_session& session) {
    zeph_session_handle imp(new zeph_session_imp(session));
    return zeph_session(imp, morvex_lib(&morvex_get_instance));
}

}  // namespace morvex
