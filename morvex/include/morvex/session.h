// Instrument sessions: the notification observers, the continuous read stream and the session
// interface with its proxy, which is what clients hold.
#ifndef MORVEX_SESSION_H
#define MORVEX_SESSION_H

#include <windows.h>

#include <cstdint>
#include <string>

#include <w32cpp/callback.h>
#include <w32cpp/handle.h>
#include <w32cpp/loader.h>
#include <w32cpp/status.h>

#include <ostrel/heap.h>

#include <karnet/io_session.h>

#include <morvex/requests.h>

namespace morvex {

class iapi;

// Keeps the instrument API's singleton alive. Made by the library for the sessions it opens; a
// default one binds nothing.
class morvex_lib : public w32cpp::lib_instance<iapi> {
public:
    morvex_lib() = default;
    explicit morvex_lib(typename w32cpp::lib_instance<iapi>::factory_type factory) { this->bind_from(factory); }
    morvex_lib(const morvex_lib&) = default;
    morvex_lib& operator=(const morvex_lib& other) {
        if (this != &other) {
            release();
            holder = other.holder;
            own = other.own;
        }
        return *this;
    }
};

// Event data of a notification: a view of the record's bytes 15-62.
using event_data = block_view;

// Receives the notifications of one session's scheduler; every call runs on its thread.
class zeph_notification_observer {
public:
    zeph_notification_observer(uint32_t mask, bool all_bits) : mask_(mask), all_bits_(all_bits) {}
    virtual ~zeph_notification_observer() = default;
    virtual void on_event(uint16_t code, const event_data& data) = 0;
    virtual void on_error(DWORD /*status*/) {}
    virtual void on_stopped() {}

    // With all_bits every bit of the mask must be set in the code, else any one of them.
    bool matches(uint16_t code) const { return all_bits_ ? (code & mask_) == mask_ : (code & mask_) != 0; }
    uint32_t mask() const { return mask_; }
    bool all_bits() const { return all_bits_; }

private:
    uint32_t mask_;
    bool all_bits_;
};

// Supplies the buffer of each stream read (runs on the stream's thread).
class zeph_stream_source {
public:
    virtual void supply(ostrel::mem_block& buffer, uint32_t size) = 0;
    virtual ~zeph_stream_source() = default;
};

// Receives each stream result in the order the reads were posted (runs on the stream's thread).
// A success carries the bytes read; a failure its status (cancelled reads, 995, and a removed
// device, 1617, are not handed over). Once every read in flight has failed the stream posts no more
// and idles until it is stopped; no end notice is given.
class zeph_stream_receiver {
public:
    virtual void completed(DWORD status, const ostrel::mem_block& buffer, uint32_t bytes) = 0;
    virtual ~zeph_stream_receiver() = default;
};

// A counted hook that a client thread sets while the stream's thread reads it.
template <class T>
class hook_holder {
public:
    using handle_type = w32cpp::auto_handle<T>;
    hook_holder() { InitializeCriticalSection(&lock_); }
    hook_holder(const hook_holder&) = delete;
    hook_holder& operator=(const hook_holder&) = delete;
    ~hook_holder() { DeleteCriticalSection(&lock_); }
    void set(const handle_type& h) {
        handle_type old;
        EnterCriticalSection(&lock_);
        old = hook_;
        hook_ = h;
        LeaveCriticalSection(&lock_);
    }
    void reset() { set(handle_type()); }
    handle_type get() const {
        EnterCriticalSection(&lock_);
        handle_type h = hook_;
        LeaveCriticalSection(&lock_);
        return h;
    }

private:
    mutable CRITICAL_SECTION lock_;
    handle_type hook_;
};

// A session's continuous read of the data pipe, up to 50 reads in flight, delivered in order.
class zeph_stream {
public:
    static constexpr uint32_t reads_in_flight = 50;
    static constexpr int32_t without_end = -1;

    virtual hook_holder<zeph_stream_source>& source() = 0;
    virtual hook_holder<zeph_stream_receiver>& client() = 0;
    // Runs reads of `bytes` each, `count` of them (-1: until stopped). True when the stream runs; a
    // stream already running (an idle one too) keeps its values.
    virtual bool start(uint32_t bytes, int32_t count) = 0;
    // Ends the stream, cancels its own reads in flight (only those) and waits for them.
    virtual bool stop() = 0;
    virtual ~zeph_stream() = default;
};

using started_list = w32cpp::listener_list<>;
using notification_list = w32cpp::listener_list<uint16_t, event_data>;

// An instrument session: the device manager's session and the instrument's own operations.
class zeph_session_intf : public karnet::io_session {
public:
    // Requests, built on the session's library; execute them with control_and_wait.
    virtual zeph_command make_command(uint32_t word, uint16_t value) = 0;
    virtual zeph_get_param make_get_param(uint32_t word, uint16_t value, uint16_t count) = 0;
    virtual zeph_set_param make_set_param_block(const param_block& block) = 0;
    virtual zeph_set_param make_set_param_data(uint32_t word, uint16_t value, uint16_t count, const void* data) = 0;
    virtual zeph_set_param make_set_param(uint32_t word, uint16_t value, uint16_t count) = 0;
    // Engine mode (0 idle, 1 bulk, 2 isochronous); p1 and p2 are sent with mode 2 only.
    virtual w32cpp::status_wait set_mode(BYTE mode, BYTE p1, BYTE p2) = 0;
    // 0xFFFF when it cannot be read.
    virtual uint16_t bcd_device() = 0;
    // Empty when they cannot be read.
    virtual std::string manufacturer() = 0;
    virtual std::string product() = 0;
    virtual std::string serial_number() = 0;
    virtual std::string string_descriptor(BYTE index) = 0;
    // Reset the bulk IN / OUT pipe; in a mode other than 1 they send nothing and succeed.
    virtual w32cpp::status_wait read_pipe_request() = 0;
    virtual w32cpp::status_wait write_pipe_request() = 0;
    virtual w32cpp::status_wait reset_device() = 0;
    virtual started_list& started_listeners() = 0;
    virtual started_list& stopping_listeners() = 0;
    // Fired on the scheduler's thread, which runs while a mode is active (set_mode(1|2), reset).
    virtual notification_list& notification_listeners() = 0;
    virtual void add_observer(zeph_notification_observer* observer) = 0;
    // Once it returns the observer is never called again: a call of it in progress on the scheduler's
    // thread has returned first (or that thread was ended by a stop). The last one stops the scheduler.
    virtual void remove_observer(zeph_notification_observer* observer) = 0;
    virtual zeph_stream& stream() = 0;

protected:
    zeph_session_intf() = default;
    explicit zeph_session_intf(const karnet::io_session& session) : karnet::io_session(session) {}
    zeph_session_intf(const zeph_session_intf& other) : karnet::io_session(other) {}
};

using zeph_session_handle = w32cpp::auto_handle<zeph_session_intf>;

// What clients hold: forwards to the session. An empty proxy (never bound, or emptied by
// on_device_removed) is not open: its requests give ERROR_INVALID_HANDLE, its values the empty
// ones (0xFFFF, ""), its factories refused requests, its stream never starts.
class zeph_session : public zeph_session_intf {
public:
    zeph_session();
    // `library` keeps the API alive while the proxy lives.
    zeph_session(const zeph_session_handle& session, const morvex_lib& library);
    // A proxy that does not keep the API alive (held by the API itself).
    explicit zeph_session(const zeph_session_handle& session);
    zeph_session(const zeph_session& other);
    zeph_session& operator=(const zeph_session& other);
    ~zeph_session() override;

    zeph_session_handle target() const;

    bool is_open() override;
    w32cpp::status_wait control_and_wait(karnet::io_control& op, DWORD milliseconds) override;
    karnet::assync_handle submit_control(karnet::io_control& op) override;
    void on_device_removed() override;

    zeph_command make_command(uint32_t word, uint16_t value) override;
    zeph_get_param make_get_param(uint32_t word, uint16_t value, uint16_t count) override;
    zeph_set_param make_set_param_block(const param_block& block) override;
    zeph_set_param make_set_param_data(uint32_t word, uint16_t value, uint16_t count, const void* data) override;
    zeph_set_param make_set_param(uint32_t word, uint16_t value, uint16_t count) override;
    w32cpp::status_wait set_mode(BYTE mode, BYTE p1, BYTE p2) override;
    uint16_t bcd_device() override;
    std::string manufacturer() override;
    std::string product() override;
    std::string serial_number() override;
    std::string string_descriptor(BYTE index) override;
    w32cpp::status_wait read_pipe_request() override;
    w32cpp::status_wait write_pipe_request() override;
    w32cpp::status_wait reset_device() override;
    started_list& started_listeners() override;
    started_list& stopping_listeners() override;
    notification_list& notification_listeners() override;
    void add_observer(zeph_notification_observer* observer) override;
    void remove_observer(zeph_notification_observer* observer) override;
    zeph_stream& stream() override;

private:
    zeph_session_handle held_;
    morvex_lib library_;
};

}  // namespace morvex

#endif
