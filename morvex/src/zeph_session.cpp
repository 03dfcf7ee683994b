#include <morvex/session.h>

#include <karnet/iapi.h>

namespace morvex {

namespace {

// What an empty proxy hands out: lists nobody fires and a stream that never starts.
class null_stream : public zeph_stream {
public:
    hook_holder<zeph_stream_source>& source() override { return source_; }
    hook_holder<zeph_stream_receiver>& client() override { return client_; }
    bool start(uint32_t, int32_t) override { return false; }
    bool stop() override { return true; }

private:
    hook_holder<zeph_stream_source> source_;
    hook_holder<zeph_stream_receiver> client_;
};

struct orphans {
    started_list started, stopping;
    notification_list notifications;
    null_stream stream;
};

orphans& orphan() {
    static orphans* o = new orphans();  // never destroyed: threads may still reach it at exit
    return *o;
}

const karnet::karnet_lib& no_library() {
    static karnet::karnet_lib* lib = new karnet::karnet_lib(nullptr);
    return *lib;
}

}  // namespace

zeph_session::zeph_session() = default;

zeph_session::zeph_session(const zeph_session_handle& session, const morvex_lib& library)
    : zeph_session_intf(session ? static_cast<const karnet::io_session&>(*session) : karnet::io_session()),
      held_(session),
      library_(library) {}

zeph_session::zeph_session(const zeph_session_handle& session)
    : zeph_session_intf(session ? static_cast<const karnet::io_session&>(*session) : karnet::io_session()),
      held_(session) {}

zeph_session::zeph_session(const zeph_session& other)
    : zeph_session_intf(other), held_(other.target()), library_(other.library_) {}

zeph_session& zeph_session::operator=(const zeph_session& other) {
    if (this == &other) return *this;
    zeph_session_handle next = other.target();
    morvex_lib library = other.library_;
    karnet::io_session::operator=(other);
    {
        lock_guard g(*this);
        next.swap(held_);
    }
    library_ = library;
    // `next` now holds the previous session, released here outside the lock.
    return *this;
}

zeph_session::~zeph_session() {
    library_.release();
    zeph_session_handle().swap(held_);
}

zeph_session_handle zeph_session::target() const {
    lock_guard g(*this);
    return held_;
}

bool zeph_session::is_open() {
    zeph_session_handle s = target();
    return s && s->is_open();
}

w32cpp::status_wait zeph_session::control_and_wait(karnet::io_control& op, DWORD milliseconds) {
    zeph_session_handle s = target();
    return s ? s->control_and_wait(op, milliseconds) : w32cpp::status_wait(ERROR_INVALID_HANDLE);
}

karnet::assync_handle zeph_session::submit_control(karnet::io_control& op) {
    zeph_session_handle s = target();
    return s ? s->submit_control(op) : karnet::assync_handle();
}

void zeph_session::on_device_removed() {
    zeph_session_handle s;
    {
        lock_guard g(*this);
        s.swap(held_);
    }
    if (s) s->on_device_removed();
    karnet::io_session::on_device_removed();
    library_.release();
}

zeph_command zeph_session::make_command(uint32_t word, uint16_t value) {
    zeph_session_handle s = target();
    return s ? s->make_command(word, value) : zeph_command(no_library(), word, value);
}

zeph_get_param zeph_session::make_get_param(uint32_t word, uint16_t value, uint16_t count) {
    zeph_session_handle s = target();
    return s ? s->make_get_param(word, value, count) : zeph_get_param(no_library(), word, value, count);
}

zeph_set_param zeph_session::make_set_param_block(const param_block& block) {
    zeph_session_handle s = target();
    return s ? s->make_set_param_block(block) : zeph_set_param(no_library(), block);
}

zeph_set_param zeph_session::make_set_param_data(uint32_t word, uint16_t value, uint16_t count, const void* data) {
    zeph_session_handle s = target();
    return s ? s->make_set_param_data(word, value, count, data)
             : zeph_set_param(no_library(), word, value, count, data);
}

zeph_set_param zeph_session::make_set_param(uint32_t word, uint16_t value, uint16_t count) {
    zeph_session_handle s = target();
    return s ? s->make_set_param(word, value, count) : zeph_set_param(no_library(), word, value, count);
}

w32cpp::status_wait zeph_session::set_mode(BYTE mode, BYTE p1, BYTE p2) {
    zeph_session_handle s = target();
    return s ? s->set_mode(mode, p1, p2) : w32cpp::status_wait(ERROR_INVALID_HANDLE);
}

uint16_t zeph_session::bcd_device() {
    zeph_session_handle s = target();
    return s ? s->bcd_device() : 0xFFFF;
}

std::string zeph_session::manufacturer() {
    zeph_session_handle s = target();
    return s ? s->manufacturer() : std::string();
}

std::string zeph_session::product() {
    zeph_session_handle s = target();
    return s ? s->product() : std::string();
}

std::string zeph_session::serial_number() {
    zeph_session_handle s = target();
    return s ? s->serial_number() : std::string();
}

std::string zeph_session::string_descriptor(BYTE index) {
    zeph_session_handle s = target();
    return s ? s->string_descriptor(index) : std::string();
}

w32cpp::status_wait zeph_session::read_pipe_request() {
    zeph_session_handle s = target();
    return s ? s->read_pipe_request() : w32cpp::status_wait(ERROR_INVALID_HANDLE);
}

w32cpp::status_wait zeph_session::write_pipe_request() {
    zeph_session_handle s = target();
    return s ? s->write_pipe_request() : w32cpp::status_wait(ERROR_INVALID_HANDLE);
}

w32cpp::status_wait zeph_session::reset_device() {
    zeph_session_handle s = target();
    return s ? s->reset_device() : w32cpp::status_wait(ERROR_INVALID_HANDLE);
}

// The lists and the stream belong to the session, which the proxy's holder keeps alive; an empty
// proxy hands out ones that nothing fires.
started_list& zeph_session::started_listeners() {
    zeph_session_handle s = target();
    return s ? s->started_listeners() : orphan().started;
}

started_list& zeph_session::stopping_listeners() {
    zeph_session_handle s = target();
    return s ? s->stopping_listeners() : orphan().stopping;
}

notification_list& zeph_session::notification_listeners() {
    zeph_session_handle s = target();
    return s ? s->notification_listeners() : orphan().notifications;
}

void zeph_session::add_observer(zeph_notification_observer* observer) {
    zeph_session_handle s = target();
    if (s) s->add_observer(observer);
}

void zeph_session::remove_observer(zeph_notification_observer* observer) {
    zeph_session_handle s = target();
    if (s) s->remove_observer(observer);
}

zeph_stream& zeph_session::stream() {
    zeph_session_handle s = target();
    return s ? s->stream() : orphan().stream;
}

}  // namespace morvex
