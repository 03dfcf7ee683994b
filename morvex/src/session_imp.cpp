#include "session_imp.h"

#include <cwchar>

#include <w32cpp/lock.h>

namespace morvex {

using namespace zeph_wire;

namespace {
constexpr DWORD drain_wait_ms = 500;  // well inside the 1000 ms a stop gives the task

bool done_ok(const w32cpp::status_wait& s) { return s.get_code() == 0; }

// A removed device: 1617, or 5 from a driver that refuses new requests while its device is going
// (a read posted in the race with a surprise removal).
bool device_gone(DWORD status) { return status == ERROR_DEVICE_REMOVED || status == ERROR_ACCESS_DENIED; }
}  // namespace

zeph_read_info::zeph_read_info(const karnet::karnet_lib& library)
    : karnet::io_control(library, IOCTL_READ_NOTIFICATION,
                         library ? library->allocate(NOTIFY_SIZE, false) : ostrel::mem_block(), ostrel::mem_block()) {}

// ---------------------------------------------------------------------------------------------
// Subscriptions

void session_subscriptions::subscribe(zeph_session_imp* session, const callback& start, const callback& stop,
                                      const callback& close) {
    session_ = session;
    start_ = start;
    stop_ = stop;
    close_ = close;
    dm_session_ = session->session();
    if (start_) session->started_listeners().add(start_);
    if (stop_) session->stopping_listeners().add(stop_);
    if (close_ && dm_session_) dm_session_->close_listeners().add(close_);
}

void session_subscriptions::unsubscribe() {
    if (!session_) return;
    if (start_) session_->started_listeners().remove(start_);
    if (stop_) session_->stopping_listeners().remove(stop_);
    if (close_ && dm_session_) dm_session_->close_listeners().remove(close_);
    for (callback* c : {&start_, &stop_, &close_})
        if (*c) (*c)->unbind();
    dm_session_.reset();
    session_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Common read-task machinery

read_task::read_task() : w32cpp::task(0, THREAD_PRIORITY_HIGHEST) { InitializeCriticalSection(&control_lock_); }

read_task::~read_task() { DeleteCriticalSection(&control_lock_); }

read_task::control_scope::control_scope(read_task& t) : task_(t), held_(!t.on_own_thread()) {
    if (held_) EnterCriticalSection(&task_.control_lock_);
}

read_task::control_scope::~control_scope() {
    if (held_) LeaveCriticalSection(&task_.control_lock_);
}

void read_task::stop_now() {
    control_scope control(*this);
    stop_locked();
}

DWORD read_task::stop_locked() {
    if (on_own_thread()) {
        // Said at once, so that a start from another thread waits for this end instead of taking the
        // task for running.
        ending_ = true;
        return task::stop().get_code();
    }
    // Said before the request reaches the thread: a start asked for there does not undo this stop.
    external_stop_ = true;
    const DWORD code = task::stop().get_code();
    external_stop_ = false;
    if (code != 0) on_terminated();
    return code;
}

read_task::client_call::client_call(read_task& t) : task_(t), entered_(true) {
    ++task_.in_client_;
    if (task_.forcing_.load()) {
        --task_.in_client_;
        entered_ = false;
    }
}

read_task::client_call::~client_call() {
    if (entered_) --task_.in_client_;
}

bool read_task::may_end_by_force() {
    // Ending a thread inside client code could leave the client's locks (or the heap's) owned for
    // good: such a thread is waited for. Said first, so that the thread enters no client code once
    // the answer is yes.
    forcing_ = true;
    if (in_client_.load() == 0) return true;
    forcing_ = false;
    return false;
}

void read_task::stop_soon() {
    if (exit_code() != STILL_ACTIVE) return;
    // The posted callback runs on the task's thread, where a stop only requests the end.
    post(w32cpp::make_member_callback<read_task>(this, &read_task::stop_now));
}

bool read_task::restart_task() {
    if (on_own_thread()) {
        // A callback of this task: the thread cannot wait for its own end, so the start takes effect
        // at the end of the round (a stop asked for meanwhile on this thread is taken back).
        restart_asked_ = true;
        return true;
    }
    if (exit_code() == STILL_ACTIVE) {
        if (!ending_.load()) return true;
        stop_locked();
    }
    ending_ = false;
    forcing_ = false;
    return task::start().get_code() == 0;
}

bool read_task::take_restart(bool ending) {
    const bool asked = restart_asked_;
    restart_asked_ = false;
    return asked && ending && !external_stop_.load();
}

bool read_task::still_running() const { return session_ && session_->is_open() && !is_stop_requested(); }

bool read_task::wait_for(karnet::io_operation& op) {
    karnet::assync_handle a = op.request();
    if (!a) return still_running();
    for (;;) {
        w32cpp::status_wait w = a->wait(INFINITE, TRUE);
        if (w.get_code() != WAIT_IO_COMPLETION) return still_running();
        if (!still_running()) return false;
    }
}

template <class Op>
void read_task::drain(std::deque<std::unique_ptr<Op>>& queue) {
    bool pending = false;
    for (auto& op : queue) pending = pending || (op->request() && !op->request()->done());
    if (pending && session_) {
        // Reads left at the answering side would take the next records or data after a restart. Each
        // is cancelled by itself where the transport can: a request another thread has in flight on
        // the session stays (a transport without that cancels the handle's requests).
        karnet::protocol_handle protocol = session_->protocol();
        karnet::device_handle handle = session_->handle();
        if (protocol && handle && handle != INVALID_HANDLE_VALUE) {
            for (auto& op : queue)
                if (op->request() && !op->request()->done()) karnet::cancel_request(*protocol, &handle, *op->request());
        }
        const DWORD start = GetTickCount();
        for (auto& op : queue) {
            const DWORD spent = GetTickCount() - start;
            if (spent >= drain_wait_ms) break;
            if (op->request() && !op->request()->done()) op->request()->wait_for(drain_wait_ms - spent);
        }
    }
    // A read still pending passes to the device manager's disposal task.
    while (!queue.empty()) queue.pop_front();
}

// ---------------------------------------------------------------------------------------------
// Notification scheduler

zeph_notification_scheduler::zeph_notification_scheduler() { InitializeCriticalSection(&observers_lock_); }

zeph_notification_scheduler::~zeph_notification_scheduler() { DeleteCriticalSection(&observers_lock_); }

void zeph_notification_scheduler::attach(zeph_session_imp* session) {
    session_ = session;
    failed_ = running_ = false;
    subscriptions_.subscribe(
        session,
        w32cpp::make_member_callback<zeph_notification_scheduler>(this, &zeph_notification_scheduler::start_if_active),
        w32cpp::make_member_callback<read_task>(this, &read_task::stop_now),
        w32cpp::make_member_callback<read_task>(this, &read_task::stop_soon));
}

void zeph_notification_scheduler::detach() {
    subscriptions_.unsubscribe();
    stop_now();
}

void zeph_notification_scheduler::add_observer(zeph_notification_observer* observer) {
    if (!observer) return;
    // Under the control lock: a removal of the last observer on another thread stops the task either
    // before this start or not at all.
    control_scope control(*this);
    {
        w32cpp::section_lock hold(observers_lock_);
        observers_.insert(observer);
    }
    // Reads outside an active mode only fail at the answering side.
    if (session_->mode_active()) restart_task();
}

void zeph_notification_scheduler::remove_observer(zeph_notification_observer* observer) {
    {
        control_scope control(*this);
        bool empty;
        {
            w32cpp::section_lock hold(observers_lock_);
            if (!observers_.erase(observer)) return;
            empty = observers_.empty();
            // From the task's own thread the stop is only requested: said under the set's lock, so
            // that an observer added on another thread after this sees the task as ending.
            if (empty && on_own_thread()) ending_ = true;
        }
        // Its own reads only: a stream's reads and other threads' requests stay.
        if (empty) stop_locked();
        if (empty && !on_own_thread()) {
            // An observer added meanwhile from a callback on the task's thread (where a start cannot
            // undo a stop from here) is served now.
            bool added;
            {
                w32cpp::section_lock hold(observers_lock_);
                added = !observers_.empty();
            }
            if (added && session_->mode_active()) restart_task();
        }
    }
    // A call in progress on the task's thread returns first: once this returns the observer is
    // never called again and may go.
    w32cpp::section_lock hold(observers_lock_);
    calls_.wait_locked(observers_lock_, observer);
}

void zeph_notification_scheduler::start_if_active() {
    control_scope control(*this);
    // Reads outside an active mode only fail at the answering side.
    if (session_->mode_active()) restart_task();
}

template <class F>
void zeph_notification_scheduler::each_observer(F call) {
    client_call client(*this);
    if (!client) return;
    std::vector<zeph_notification_observer*> snapshot;
    {
        w32cpp::section_lock hold(observers_lock_);
        snapshot.assign(observers_.begin(), observers_.end());
    }
    // An observer may remove itself or others from its callback: whoever has left meanwhile is
    // skipped; one leaving from another thread waits until its call has returned.
    for (zeph_notification_observer* o : snapshot) {
        w32cpp::call_registry::call current;
        {
            w32cpp::section_lock hold(observers_lock_);
            if (!observers_.count(o)) continue;
            calls_.begin_locked(current, o);
        }
        struct ended {
            zeph_notification_scheduler& s;
            w32cpp::call_registry::call& current;
            ~ended() {
                w32cpp::section_lock hold(s.observers_lock_);
                s.calls_.end_locked(current);
            }
        } end_of_call{*this, current};
        call(*o);
    }
}

void zeph_notification_scheduler::dispatch(uint16_t code, const event_data& data) {
    {
        client_call client(*this);
        if (client) session_->notification_listeners().notify(code, data);
    }
    each_observer([&](zeph_notification_observer& o) {
        if (o.matches(code)) o.on_event(code, data);
    });
}

void zeph_notification_scheduler::post_one() {
    if (!running_ || failed_) return;
    auto read = std::make_unique<zeph_read_info>(session_->library());
    if (read->output().empty()) return;
    if (!session_->submit_control(*read)) return;
    queue_.push_back(std::move(read));
}

void zeph_notification_scheduler::on_start() {
    failed_ = false;
    running_ = true;
    for (int i = 0; i < 3; ++i) post_one();
}

DWORD zeph_notification_scheduler::step() {
    running_ = still_running();
    if (running_ && !queue_.empty()) running_ = wait_for(*queue_.front());
    post_one();
    if (running_) {
        if (!queue_.empty()) {
            std::unique_ptr<zeph_read_info> read = std::move(queue_.front());
            queue_.pop_front();
            DWORD status = read->request()->result(false).get_code();
            if (status == ERROR_IO_PENDING) {
                queue_.push_front(std::move(read));
            } else {
                if (status == 0) status = check_reply(*read, read->request()->bytes());
                if (status == 0) {
                    failed_ = false;
                    const uint16_t code = notify_code(read->output().bytes());
                    if (code) dispatch(code, event_data(read->output(), NOTIFY_DATA_OFFSET, NOTIFY_DATA_SIZE));
                } else if (device_gone(status)) {
                    failed_ = true;
                    running_ = false;
                } else if (status == ERROR_OPERATION_ABORTED) {
                    // Cancelled at the answering side (a mode selected again): read on, report nothing.
                } else {
                    failed_ = true;
                    each_observer([&](zeph_notification_observer& o) { o.on_error(status); });
                }
            }
        } else if (failed_) {
            running_ = false;
            each_observer([](zeph_notification_observer& o) { o.on_stopped(); });
        }
    }
    if (!running_) ending_ = true;
    if (take_restart(!running_ || is_stop_requested())) {
        // Started again from a callback of this round (a reset, an active mode, a first observer):
        // the stop asked for meanwhile is taken back (the reads in flight stay valid; those the
        // answering side cancelled are read past), and a round that had ended begins anew.
        stop_requested = false;
        ending_ = false;
        if (!running_) on_start();
        return STILL_ACTIVE;
    }
    return running_ ? STILL_ACTIVE : 0;
}

void zeph_notification_scheduler::on_finish() {
    ending_ = true;
    drain(queue_);
}

void zeph_notification_scheduler::on_terminated() {
    // Ended by force outside client code: the reads it left are taken back.
    drain(queue_);
}

// ---------------------------------------------------------------------------------------------
// Read stream

zeph_stream_imp::~zeph_stream_imp() = default;

void zeph_stream_imp::attach(zeph_session_imp* session) {
    session_ = session;
    subscriptions_.subscribe(session, session_subscriptions::callback(),
                             w32cpp::make_member_callback<read_task>(this, &read_task::stop_now),
                             w32cpp::make_member_callback<read_task>(this, &read_task::stop_soon));
}

void zeph_stream_imp::detach() {
    subscriptions_.unsubscribe();
    stop_now();
}

bool zeph_stream_imp::start(uint32_t bytes, int32_t count) {
    // From its own receiver: the stream runs on unless it is ending.
    if (on_own_thread() && exit_code() == STILL_ACTIVE) return !ending_.load();
    control_scope control(*this);
    if (active()) return true;
    if (exit_code() == STILL_ACTIVE) stop_locked();
    bytes_ = bytes;
    count_ = count < 0 ? without_end : count;
    ending_ = false;
    return task::start().get_code() == 0;
}

bool zeph_stream_imp::stop() {
    control_scope control(*this);
    return stop_locked() == 0;
}

void zeph_stream_imp::resume() {
    if (on_own_thread()) return;
    control_scope control(*this);
    restart_task();
}

void zeph_stream_imp::on_terminated() {
    // Ended by force outside client code: the reads it left are taken back.
    drain(completed_);
    drain(outstanding_);
}

void zeph_stream_imp::on_start() {
    idle_ = !(bytes_.load() && count_.load() != 0);
    if (!idle_) {
        failed_ = false;
        running_ = true;
        post_reads();
    } else {
        failed_ = true;
        running_ = false;
    }
}

void zeph_stream_imp::post_reads() {
    const uint32_t bytes = bytes_.load();
    while (running_ && !failed_ && bytes && count_.load() != 0 && outstanding_.size() < reads_in_flight) {
        ostrel::mem_block buffer;
        if (auto src = source_.get()) {
            client_call client(*this);
            if (client) src->supply(buffer, bytes);
        } else {
            buffer = session_->allocate(bytes, false);
        }
        if (buffer.empty()) return;
        auto read = std::make_unique<karnet::io_read>(session_->library(), buffer);
        if (!session_->submit_read(*read)) return;
        outstanding_.push_back(std::move(read));
        if (count_.load() > 0) --count_;
    }
}

void zeph_stream_imp::deliver(DWORD status, karnet::io_read& read, uint32_t bytes) {
    if (status == 0) {
        failed_ = false;
    } else {
        failed_ = true;
        if (status == ERROR_DEVICE_REMOVED) {
            running_ = false;
            return;
        }
        if (status == ERROR_OPERATION_ABORTED) return;
    }
    if (auto receiver = client_.get()) {
        client_call client(*this);
        if (client) receiver->completed(status, read.buffer(), bytes);
    }
}

DWORD zeph_stream_imp::step() {
    // No reads to make (started without, or every read failed): idle until stopped. The stop request
    // comes as an APC, which ends the alertable sleep, so the task waits for it rather than waking
    // every step.
    if (idle_) {
        if (!is_stop_requested()) SleepEx(INFINITE, TRUE);
        return is_stop_requested() ? 0 : STILL_ACTIVE;
    }
    running_ = still_running();
    if (running_ && !outstanding_.empty()) running_ = wait_for(*outstanding_.front());
    if (running_) {
        while (!outstanding_.empty() && outstanding_.front()->finished()) {
            completed_.push_back(std::move(outstanding_.front()));
            outstanding_.pop_front();
        }
    }
    post_reads();
    // Nothing left to post or to wait for: the stream ends with this round. Said before the last
    // results go out, so that a client starting again from them is not taken for a running stream.
    if (running_ && count_.load() == 0 && outstanding_.empty()) ending_ = true;
    while (running_ && !completed_.empty()) {
        std::unique_ptr<karnet::io_read> read = std::move(completed_.front());
        completed_.pop_front();
        deliver(read->request()->result(false).get_code(), *read, read->request()->bytes());
    }
    if (running_ && outstanding_.empty() && completed_.empty()) {
        if (count_.load() == 0) {
            running_ = false;  // every read posted was delivered
        } else if (failed_) {
            // Every read in flight failed, each handed over with its status: nothing is posted again,
            // and the stream idles until it is stopped (no end notice).
            idle_ = true;
        }
    }
    if (!running_) ending_ = true;
    return running_ ? STILL_ACTIVE : 0;
}

void zeph_stream_imp::on_finish() {
    ending_ = true;
    drain(completed_);
    drain(outstanding_);
}

// ---------------------------------------------------------------------------------------------
// Session

zeph_session_imp::zeph_session_imp(const karnet::io_session& session)
    : zeph_session_intf(session),
      scheduler_(std::make_unique<w32cpp::task_instance<zeph_notification_scheduler>>()),
      stream_(std::make_unique<w32cpp::task_instance<zeph_stream_imp>>()) {
    scheduler_->attach(this);
    stream_->attach(this);
    trace_ << "construct";
}

zeph_session_imp::~zeph_session_imp() {
    trace_ << "destruct";
    // The scheduler's thread asks after the stream while it ends: it goes first.
    scheduler_->detach();
    stream_->detach();
    stream_.reset();
    scheduler_.reset();
}

w32cpp::status_wait zeph_session_imp::control_and_wait(karnet::io_control& op, DWORD milliseconds) {
    if (DWORD refused = check_request(op)) return w32cpp::status_wait(refused);
    w32cpp::status_wait s = karnet::io_session::control_and_wait(op, milliseconds);
    if (done_ok(s) && op.request()) {
        if (DWORD short_reply = check_reply(op, op.request()->bytes())) return w32cpp::status_wait(short_reply);
    }
    return s;
}

karnet::assync_handle zeph_session_imp::submit_control(karnet::io_control& op) {
    if (check_request(op)) return karnet::assync_handle();
    return karnet::io_session::submit_control(op);
}

w32cpp::status_wait zeph_session_imp::execute(karnet::io_control& op) { return control_and_wait(op, INFINITE); }

zeph_command zeph_session_imp::make_command(uint32_t word, uint16_t value) {
    return zeph_command(library(), word, value);
}

zeph_get_param zeph_session_imp::make_get_param(uint32_t word, uint16_t value, uint16_t count) {
    return zeph_get_param(library(), word, value, count);
}

zeph_set_param zeph_session_imp::make_set_param_block(const param_block& block) {
    return zeph_set_param(library(), block);
}

zeph_set_param zeph_session_imp::make_set_param_data(uint32_t word, uint16_t value, uint16_t count, const void* data) {
    return zeph_set_param(library(), word, value, count, data);
}

zeph_set_param zeph_session_imp::make_set_param(uint32_t word, uint16_t value, uint16_t count) {
    return zeph_set_param(library(), word, value, count);
}

w32cpp::status_wait zeph_session_imp::set_mode(BYTE mode, BYTE p1, BYTE p2) {
    const bool was_active = active_.load();
    const bool stream_was_running = stream_->active();
    if (mode == MODE_IDLE) stopping_.notify();
    if (mode != MODE_ISO) p1 = p2 = 0;
    karnet::io_control op = control_of_size(IOCTL_SELECT_MODE, 0, SELECT_MODE_INPUT);
    w32cpp::status_wait s(ERROR_NOT_ENOUGH_MEMORY);
    if (op.input().size() >= SELECT_MODE_INPUT) {
        unsigned char* in = op.input().bytes();
        in[0] = mode;
        in[1] = p1;
        in[2] = p2;
        in[3] = p3_;
        s = execute(op);
    }
    if (done_ok(s)) {
        mode_ = mode;
        p1_ = p1;
        p2_ = p2;
        // Active first: the scheduler starts only in an active mode.
        active_ = mode != MODE_IDLE;
        if (mode != MODE_IDLE) started_.notify();
    } else if (mode == MODE_IDLE && was_active) {
        // The instrument still runs in its mode: undo what the stopping listeners stopped.
        started_.notify();
        if (stream_was_running) stream_->resume();
    }
    return s;
}

uint16_t zeph_session_imp::bcd_device() {
    karnet::io_control op = control_of_size(IOCTL_GET_BCD_DEVICE, 2, 0);
    if (op.output().size() < 2 || !done_ok(execute(op))) return 0xFFFF;
    return get16(op.output().bytes());
}

std::string zeph_session_imp::index_string(uint32_t code) {
    karnet::io_control op = control_of_size(code, 1, 0);
    if (op.output().size() < 1 || !done_ok(execute(op))) return std::string();
    return string_descriptor(op.output().bytes()[0]);
}

std::string zeph_session_imp::manufacturer() { return index_string(IOCTL_GET_MANUFACTURER_INDEX); }
std::string zeph_session_imp::product() { return index_string(IOCTL_GET_PRODUCT_INDEX); }
std::string zeph_session_imp::serial_number() { return index_string(IOCTL_GET_SERIAL_NUMBER_INDEX); }

std::string zeph_session_imp::string_descriptor(BYTE index) {
    std::string text;
    karnet::io_control length = control_of_size(IOCTL_GET_STRING_LENGTH, 1, 1);
    if (length.output().size() < 1 || length.input().size() < 1) return text;
    length.input().bytes()[0] = index;
    if (!done_ok(execute(length))) return text;
    const uint32_t size = uint32_t(length.output().bytes()[0]) + 2;
    karnet::io_control op = control_of_size(IOCTL_GET_STRING, size, 1);
    if (op.output().size() < size || op.input().size() < 1) return text;
    op.input().bytes()[0] = index;
    if (!done_ok(execute(op))) return text;
    // Only what arrived is read, up to the first NUL unit or the end of the reply.
    uint32_t received = op.request() ? op.request()->bytes() : 0;
    if (received > size) received = size;
    const unsigned char* p = op.output().bytes();
    for (uint32_t i = 0; i + 1 < received; i += 2) {
        const uint16_t unit = get16(p + i);
        if (unit == 0) break;
        const int narrow = std::wctob(static_cast<wint_t>(unit));
        text.push_back(narrow == EOF ? char(0xFF) : char(narrow));
    }
    return text;
}

w32cpp::status_wait zeph_session_imp::pipe_request(uint32_t word) {
    if (mode_.load() != MODE_BULK) return w32cpp::status_wait(0u);
    zeph_command command = make_command(word, 0);
    return execute(command);
}

w32cpp::status_wait zeph_session_imp::read_pipe_request() { return pipe_request(WORD_READ_PIPE_RESET); }
w32cpp::status_wait zeph_session_imp::write_pipe_request() { return pipe_request(WORD_WRITE_PIPE_RESET); }

w32cpp::status_wait zeph_session_imp::reset_device() {
    stopping_.notify();
    karnet::io_control op = control_empty(IOCTL_RESET_DEVICE);
    w32cpp::status_wait s = execute(op);
    Sleep(500);
    // The device comes back in its previous mode: whatever the status, the listeners run again.
    started_.notify();
    return s;
}

void zeph_session_imp::add_observer(zeph_notification_observer* observer) { scheduler_->add_observer(observer); }
void zeph_session_imp::remove_observer(zeph_notification_observer* observer) { scheduler_->remove_observer(observer); }

}  // namespace morvex
