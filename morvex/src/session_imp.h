// The instrument session and the two tasks it owns: the notification scheduler and the read stream.
#ifndef MORVEX_SRC_SESSION_IMP_H
#define MORVEX_SRC_SESSION_IMP_H

#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <set>

#include <w32cpp/callback.h>
#include <w32cpp/task.h>
#include <w32cpp/trace.h>

#include <karnet/iapi.h>

#include <morvex/session.h>

namespace morvex {

class zeph_session_imp;

// One notification read: 64 bytes of output, no input.
class zeph_read_info : public karnet::io_control {
public:
    explicit zeph_read_info(const karnet::karnet_lib& library);
};

// Subscriptions of a task to its session's lists. Removed (and unbound) before the task goes, so a
// notice never reaches a destroyed task.
class session_subscriptions {
public:
    using callback = w32cpp::auto_handle<w32cpp::icallback<>>;
    void subscribe(zeph_session_imp* session, const callback& start, const callback& stop, const callback& close);
    void unsubscribe();

private:
    zeph_session_imp* session_ = nullptr;
    callback start_, stop_, close_;
    // The device manager's session whose close list holds close_, kept until it is left.
    karnet::io_session::session_handle dm_session_;
};

// Shared by the scheduler and the stream: the waits, posting and draining of reads in flight.
// Starts and stops from client threads take turns (one control lock); from the task's own thread
// they only request, and take no lock the stopping thread may hold while it waits for the task.
// A thread inside client code (an observer, a listener, a hook) is never ended by force: its stop
// waits until the call has returned.
class read_task : public w32cpp::task {
public:
    ~read_task() override;
    // Stops at once and waits (only requests the stop from the task's own thread).
    void stop_now();
    // Requests the stop without waiting: used where a lock is held (a device removal closing sessions).
    void stop_soon();
    // True while the loop runs and has not decided to end.
    bool active() const { return exit_code() == STILL_ACTIVE && !ending_.load(); }

protected:
    read_task();
    // Held by a client thread's start or stop; not taken on the task's own thread.
    class control_scope {
    public:
        explicit control_scope(read_task& t);
        ~control_scope();
        control_scope(const control_scope&) = delete;
        control_scope& operator=(const control_scope&) = delete;

    private:
        read_task& task_;
        const bool held_;
    };
    // Around each call into client code on the task's thread. False (nothing may be called) once
    // the thread is being ended by force.
    class client_call {
    public:
        explicit client_call(read_task& t);
        ~client_call();
        client_call(const client_call&) = delete;
        client_call& operator=(const client_call&) = delete;
        explicit operator bool() const { return entered_; }

    private:
        read_task& task_;
        bool entered_;
    };
    // Starts the task; one still winding down is waited for first so that the start is not lost.
    // The caller holds a control_scope. On the task's own thread the start is only asked for: it
    // takes effect at the end of the current round (take_restart).
    bool restart_task();
    // At the end of a round that ends the loop (`ending`): whether a start asked for on the task's
    // own thread during it takes effect, unless a stop from another thread came meanwhile.
    bool take_restart(bool ending);
    // Stops under the caller's control_scope; returns what the task's stop returned.
    DWORD stop_locked();
    bool on_own_thread() const { return GetCurrentThreadId() == id(); }
    bool still_running() const;
    // Waits alertably for op; false when the task must end meanwhile.
    bool wait_for(karnet::io_operation& op);
    // Cancels this task's own reads still pending (never another thread's requests on the
    // session), waits a little for them, then lets them go (to the disposal task).
    template <class Op>
    void drain(std::deque<std::unique_ptr<Op>>& queue);
    // The thread was ended by force (it did not stop in time): what it left is cleaned up here.
    virtual void on_terminated() {}
    bool may_end_by_force() override;

    zeph_session_imp* session_ = nullptr;
    std::atomic<bool> ending_{false};
    bool running_ = false;
    bool failed_ = false;

private:
    CRITICAL_SECTION control_lock_;
    std::atomic<int> in_client_{0};
    std::atomic<bool> forcing_{false};        // a forced end is under way: no client code is entered
    std::atomic<bool> external_stop_{false};  // a stop from another thread is waiting for the thread
    bool restart_asked_ = false;              // task thread only
};

class zeph_notification_scheduler : public read_task {
public:
    zeph_notification_scheduler();
    ~zeph_notification_scheduler() override;
    void attach(zeph_session_imp* session);
    void detach();

    void add_observer(zeph_notification_observer* observer);
    void remove_observer(zeph_notification_observer* observer);
    // The started listeners: runs whenever the session is in an active mode.
    void start_if_active();

protected:
    void on_start() override;
    DWORD step() override;
    void on_finish() override;
    void on_terminated() override;

private:
    void post_one();
    void dispatch(uint16_t code, const event_data& data);
    // Calls every observer of the set as it is now, one at a time and without the set's lock, skipping
    // those removed meanwhile.
    template <class F>
    void each_observer(F call);

    CRITICAL_SECTION observers_lock_;  // the set and the calls in progress; never held across a call
    std::set<zeph_notification_observer*> observers_;
    w32cpp::call_registry calls_;
    std::deque<std::unique_ptr<zeph_read_info>> queue_;
    session_subscriptions subscriptions_;
};

class zeph_stream_imp : public zeph_stream, public read_task {
public:
    zeph_stream_imp() = default;
    ~zeph_stream_imp() override;
    void attach(zeph_session_imp* session);
    void detach();

    hook_holder<zeph_stream_source>& source() override { return source_; }
    hook_holder<zeph_stream_receiver>& client() override { return client_; }
    bool start(uint32_t bytes, int32_t count) override;
    bool stop() override;
    // Starts again with the values left, after a stop that its cause did not mean (a failed mode change).
    void resume();

protected:
    void on_start() override;
    DWORD step() override;
    void on_finish() override;
    void on_terminated() override;

private:
    void post_reads();
    void deliver(DWORD status, karnet::io_read& read, uint32_t bytes);

    hook_holder<zeph_stream_source> source_;
    hook_holder<zeph_stream_receiver> client_;
    std::atomic<uint32_t> bytes_{0};
    std::atomic<int32_t> count_{0};  // reads left to post; -1 without end
    bool idle_ = false;              // no reads to make: started without, or every read failed
    std::deque<std::unique_ptr<karnet::io_read>> outstanding_;
    std::deque<std::unique_ptr<karnet::io_read>> completed_;
    session_subscriptions subscriptions_;
};

class zeph_session_imp : public zeph_session_intf {
public:
    explicit zeph_session_imp(const karnet::io_session& session);
    ~zeph_session_imp() override;

    w32cpp::status_wait control_and_wait(karnet::io_control& op, DWORD milliseconds) override;
    karnet::assync_handle submit_control(karnet::io_control& op) override;

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
    started_list& started_listeners() override { return started_; }
    started_list& stopping_listeners() override { return stopping_; }
    notification_list& notification_listeners() override { return notifications_; }
    void add_observer(zeph_notification_observer* observer) override;
    void remove_observer(zeph_notification_observer* observer) override;
    zeph_stream& stream() override { return *stream_; }

    bool mode_active() const { return active_.load(); }

private:
    // Runs a request without a time limit; a short reply is an error.
    w32cpp::status_wait execute(karnet::io_control& op);
    std::string index_string(uint32_t code);
    w32cpp::status_wait pipe_request(uint32_t word);

    std::unique_ptr<w32cpp::task_instance<zeph_notification_scheduler>> scheduler_;
    started_list started_;
    started_list stopping_;
    notification_list notifications_;
    std::unique_ptr<w32cpp::task_instance<zeph_stream_imp>> stream_;
    std::atomic<bool> active_{false};
    std::atomic<BYTE> mode_{0};
    BYTE p1_ = 0, p2_ = 0, p3_ = 0;
    w32cpp::DBGTrace trace_{"ZEPHSESSION"};
};

}  // namespace morvex

#endif
