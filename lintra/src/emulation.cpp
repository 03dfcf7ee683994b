#include "lintra/emulation.h"

#include <w32cpp/lock.h>
#include <cstdio>
#include <cstring>

namespace lintra {

namespace {

using section_guard = w32cpp::section_lock;

bool is_windows_9x() {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

// Each line polls its own interrupt endpoint, so each emulation names its own timer.
std::string unique_timer_name() {
    static std::atomic<unsigned> serial{0};
    char name[64];
    std::snprintf(name, sizeof name, "RsUSBEmulation.%lu.%u", static_cast<unsigned long>(GetCurrentProcessId()),
                  serial.fetch_add(1) + 1);
    return name;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// UserOfTask

UserOfTask::UserOfTask() : running_(0) {}

UserOfTask::~UserOfTask() {
    // The owner joins the thread before it goes; only handles can be left here.
    if (thread_) CloseHandle(thread_);
    if (stop_event_) CloseHandle(stop_event_);
}

bool UserOfTask::thread_alive() const { return thread_ && WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT; }

bool UserOfTask::on_worker_thread() const {
    const DWORD id = thread_id_.load();
    return id != 0 && GetCurrentThreadId() == id;
}

bool UserOfTask::stop_requested() const {
    return stop_event_ && WaitForSingleObject(stop_event_, 0) == WAIT_OBJECT_0;
}

bool UserOfTask::start_thread(int priority) {
    if (thread_) {
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (stop_event_) {
        CloseHandle(stop_event_);
        stop_event_ = nullptr;
    }
    stop_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    thread_ = CreateThread(nullptr, 0, thread_proc, this, CREATE_SUSPENDED, &id);
    thread_id_.store(thread_ ? id : 0);
    if (!stop_event_ || !thread_ || !SetThreadPriority(thread_, priority)) {
        if (thread_) {
            // Never resumed: it ends without running a step.
            request_stop();
            while (ResumeThread(thread_) > 1) {
            }
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        if (stop_event_) CloseHandle(stop_event_);
        stop_event_ = nullptr;
        thread_id_ = 0;
        return false;
    }
    for (;;) {
        const DWORD previous = ResumeThread(thread_);
        if (previous <= 1 || previous == DWORD(-1)) break;
    }
    return true;
}

void UserOfTask::request_stop() {
    if (stop_event_) SetEvent(stop_event_);
}

void UserOfTask::join_thread(void (*nudge)(UserOfTask*)) {
    if (!thread_) return;
    while (WaitForSingleObject(thread_, 5000) != WAIT_OBJECT_0) {
        if (nudge) nudge(this);
    }
    CloseHandle(thread_);
    thread_ = nullptr;
    thread_id_ = 0;
    if (stop_event_) CloseHandle(stop_event_);
    stop_event_ = nullptr;
}

DWORD WINAPI UserOfTask::thread_proc(LPVOID parameter) {
    UserOfTask* self = static_cast<UserOfTask*>(parameter);
    if (WaitForSingleObject(self->stop_event_, 0) == WAIT_OBJECT_0) return 0;
    const int started = self->on_start();
    if (started != 0) return DWORD(started);
    self->running_.store(1);
    while (WaitForSingleObject(self->stop_event_, 0) != WAIT_OBJECT_0 && self->step()) {
    }
    self->running_.store(0);
    self->on_finish();
    return DWORD(self->exit_code());
}

// ---------------------------------------------------------------------------------------------
// RsUSBEmulation

RsUSBEmulation::RsUSBEmulation(const w32cpp::auto_handle<IComPort>& port)
    : address_(0),
      descriptor_{},
      port_(port),
      configuration_(0),
      abort_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      work_event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      want_timer_(false),
      timer_name_(unique_timer_name()) {
    InitializeCriticalSection(&device_lock_);
    InitializeCriticalSection(&config_lock_);
    InitializeCriticalSection(&abort_lock_);
    InitializeCriticalSection(&timer_lock_);
}

RsUSBEmulation::~RsUSBEmulation() {
    remove_endpoints();
    if (abort_event_) CloseHandle(abort_event_);
    if (work_event_) CloseHandle(work_event_);
    DeleteCriticalSection(&timer_lock_);
    DeleteCriticalSection(&abort_lock_);
    DeleteCriticalSection(&config_lock_);
    DeleteCriticalSection(&device_lock_);
}

void RsUSBEmulation::raise_abort() {
    section_guard guard(&abort_lock_);
    if (abort_requests_++ == 0 && abort_event_) SetEvent(abort_event_);
}

void RsUSBEmulation::lower_abort() {
    section_guard guard(&abort_lock_);
    if (--abort_requests_ == 0 && abort_event_) ResetEvent(abort_event_);
}

void RsUSBEmulation::interrupt_exchange() {
    raise_abort();
    // Called here, not from the worker: a worker blocked in a port read is not alertable.
    if (port_) port_->disable();
}

void RsUSBEmulation::nudge(UserOfTask* self) {
    RsUSBEmulation* emulation = static_cast<RsUSBEmulation*>(self);
    if (emulation->port_) {
        emulation->port_->disable();
        emulation->port_->abort_io();
    }
}

bool RsUSBEmulation::set_address(BYTE a) {
    if (!port_) return false;
    if (address_.load() == a) return true;
    if (on_worker_thread()) return false;  // the worker cannot take its own endpoints away
    interrupt_exchange();
    {
        section_guard config(&config_lock_);
        if (address_.load() != a) {
            remove_endpoints_locked();
            IComPort* p = port_.get();
            interrupt_.set(std::make_shared<EPInterrupt>(p, a, &device_lock_, abort_event_));
            control_.set(std::make_shared<EPControl>(p, a, &device_lock_, abort_event_));
            bulk_in_.set(std::make_shared<EPBulkIN>(p, a, &device_lock_, abort_event_));
            bulk_out_.set(std::make_shared<EPBulkOUT>(p, a, &device_lock_, abort_event_));
            control_->link(interrupt_.get(), bulk_in_.get(), bulk_out_.get());
            control_->set_work_event(work_event_);
            bulk_in_->set_work_event(work_event_);
            bulk_out_->set_work_event(work_event_);
            configuration_.store(0);
            address_.store(a);
        }
    }
    lower_abort();
    return true;
}

void RsUSBEmulation::remove_endpoints() {
    if (on_worker_thread()) {
        // A completion on the worker cannot take away the endpoints it runs on: stop only.
        stop(true);
        return;
    }
    interrupt_exchange();
    {
        section_guard config(&config_lock_);
        remove_endpoints_locked();
    }
    lower_abort();
}

void RsUSBEmulation::remove_endpoints_locked() {
    stop_locked(true);
    // A caller on another thread may still hold one: it stays, closed, until its last reference goes.
    std::shared_ptr<EndPointInOutTransfer> old[4] = {bulk_out_.set(nullptr), bulk_in_.set(nullptr),
                                                     control_.set(nullptr), interrupt_.set(nullptr)};
    for (auto& ep : old)
        if (ep) ep->close();  // discards the remaining records (status 6)
    address_.store(0);
}

bool RsUSBEmulation::bring_up(BYTE a) {
    if (a == 0 || !port_) return false;
    // The worker would have to stop and wait for itself.
    if (on_worker_thread()) return false;
    section_guard config(&config_lock_);
    if (address_.load() != a || !control_) return false;
    interrupt_exchange();
    stop_locked(false);
    lower_abort();
    port_->enable();
    std::memset(descriptor_, 0, sizeof descriptor_);

    // A stop or address change that arrived meanwhile ends the sequence at its next exchange.
    if (WaitForSingleObject(abort_event_, 0) == WAIT_OBJECT_0) return false;
    if (!control_->resync()) return false;
    if (!control_->request(std_request::set_address(a), nullptr, bring_up_nak_limit)) return false;
    BYTE descriptor[sizeof descriptor_] = {};
    DWORD got = 0;
    if (!control_->request(std_request::get_descriptor(std_request::descriptor_device, 0, 0, sizeof descriptor),
                           descriptor, bring_up_nak_limit, &got))
        return false;
    std::memcpy(descriptor_, descriptor, got);
    // The burst reset the device's toggles; the host's start again too.
    interrupt_->set_toggle(0);
    bulk_in_->set_toggle(0);
    bulk_out_->set_toggle(0);
    if (const BYTE value = configuration_.load()) {
        if (!control_->request(std_request::set_configuration(value), nullptr, bring_up_nak_limit)) return false;
        // Whether the firmware starts its toggles again on SET_CONFIGURATION is its own choice; a
        // cleared halt starts them again on both ends.
        for (BYTE ep : data_endpoints)
            if (!control_->request(std_request::clear_halt(ep), nullptr, bring_up_nak_limit)) return false;
    }
    return start_worker_locked();
}

bool RsUSBEmulation::start_worker() {
    if (on_worker_thread()) {
        // From a completion on the worker, perhaps after a stop made there: the running thread
        // carries on. A stop or address change on another thread holds the lock and waits for
        // this thread, so then the worker ends as asked.
        if (!TryEnterCriticalSection(&config_lock_)) return false;
        bool ok = false;
        if (port_ && address_.load() != 0) {
            {
                section_guard guard(&timer_lock_);
                want_timer_.store(true);
            }
            EndPointInOutTransfer* queues[4] = {control_.get(), bulk_in_.get(), bulk_out_.get(), interrupt_.get()};
            for (EndPointInOutTransfer* ep : queues)
                if (ep) ep->clear_shut();
            port_->enable();
            if (HANDLE stop = stop_event()) ResetEvent(stop);
            ok = true;
        }
        LeaveCriticalSection(&config_lock_);
        return ok;
    }
    section_guard config(&config_lock_);
    return start_worker_locked();
}

bool RsUSBEmulation::start_worker_locked() {
    if (!port_ || address_.load() == 0) return false;
    {
        section_guard guard(&timer_lock_);
        want_timer_.store(true);
    }
    if (thread_alive()) {
        if (!stop_requested()) return true;  // a running worker makes its timer again if it was cancelled
        join_thread(nudge);                  // it was told to end from its own thread; let it finish
    }
    // A stop made from the worker's own thread could not wait to see the queues opened again.
    EndPointInOutTransfer* queues[4] = {control_.get(), bulk_in_.get(), bulk_out_.get(), interrupt_.get()};
    for (EndPointInOutTransfer* ep : queues)
        if (ep) ep->clear_shut();
    port_->enable();
    return start_thread(is_windows_9x() ? THREAD_PRIORITY_HIGHEST : THREAD_PRIORITY_TIME_CRITICAL);
}

void RsUSBEmulation::stop(bool with_interrupt) {
    interrupt_exchange();
    if (on_worker_thread()) {
        // From a completion on the worker: the loop ends once the callback returns. No lock is
        // taken here, since a stop on another thread may hold it while it waits for this thread.
        EndPointInOutTransfer* queues[3] = {control_.get(), bulk_in_.get(), bulk_out_.get()};
        for (EndPointInOutTransfer* ep : queues)
            if (ep) ep->abort_all();
        if (with_interrupt && interrupt_) interrupt_->abort_all();
        request_stop();
    } else {
        section_guard config(&config_lock_);
        stop_locked(with_interrupt);
    }
    lower_abort();
}

void RsUSBEmulation::stop_locked(bool with_interrupt) {
    if (!thread_alive()) return;
    EndPointInOutTransfer* queues[3] = {control_.get(), bulk_in_.get(), bulk_out_.get()};
    for (EndPointInOutTransfer* ep : queues)
        if (ep) ep->abort_all();
    if (with_interrupt && interrupt_) interrupt_->abort_all();
    request_stop();
    if (on_worker_thread()) return;  // from a callback: the loop ends when the callback returns
    // Again under the lock: a bring-up that held it may have enabled the port since.
    if (port_) port_->disable();
    join_thread(nudge);
    // Nobody pops these queues now: discard what came in during the stop and open them again.
    for (EndPointInOutTransfer* ep : queues) {
        if (!ep) continue;
        ep->abort_all();
        ep->clear_shut();
    }
    if (with_interrupt && interrupt_) {
        interrupt_->abort_all();
        interrupt_->clear_shut();
    }
}

bool RsUSBEmulation::flush() {
    if (!port_) return false;
    raise_abort();
    bool ok;
    {
        section_guard device(&device_lock_);
        ok = port_->flush();
    }
    lower_abort();
    return ok;
}

bool RsUSBEmulation::abort_and_wait_idle(EndPointInOutTransfer* endpoint, DWORD ms) {
    if (!endpoint) return false;
    endpoint->abort_all();
    if (on_worker_thread()) {
        // Called from a completion on the worker: nothing of this endpoint runs while we are here.
        endpoint->clear_shut();
        return true;
    }
    // The interrupt endpoint is looked at once per poll period: waiting for that look would hold a
    // stop for up to the whole period although the abort left nothing to run. It is idle once no
    // packet of it is on the line. The others are looked at every pass; that look also discards
    // what was queued meanwhile.
    if (endpoint == interrupt_.get()) {
        if (timer_active() && is_running()) return endpoint->wait_landed(ms);
    } else if (is_running()) {
        return endpoint->wait_idle(ms);
    }
    endpoint->clear_shut();
    return true;
}

void RsUSBEmulation::cancel_timer() {
    // Under the timer lock, so a worker pass that is about to make the timer sees the cancel.
    section_guard guard(&timer_lock_);
    want_timer_.store(false);
    close_timer();
}

bool RsUSBEmulation::timer_active() {
    section_guard guard(&timer_lock_);
    return timer_ != nullptr;
}

void RsUSBEmulation::make_timer() {
    section_guard guard(&timer_lock_);
    if (!want_timer_.load()) return;
    if (timer_) {
        CancelWaitableTimer(timer_);
        CloseHandle(timer_);
        timer_ = nullptr;
    }
    timer_ = CreateWaitableTimerA(nullptr, FALSE, timer_name_.c_str());
    if (!timer_) return;
    LARGE_INTEGER due;
    due.QuadPart = -1;  // at once, then every period
    // The routine is queued to the thread that sets the timer: this worker.
    if (!SetWaitableTimer(timer_, &due, LONG(interrupt_period_ms), timer_routine, this, FALSE)) {
        CloseHandle(timer_);
        timer_ = nullptr;
    }
}

void RsUSBEmulation::close_timer() {
    section_guard guard(&timer_lock_);
    if (!timer_) return;
    CancelWaitableTimer(timer_);
    CloseHandle(timer_);
    timer_ = nullptr;
}

int RsUSBEmulation::on_start() {
    if (want_timer_.load()) make_timer();
    return 0;
}

void RsUSBEmulation::on_finish() {
    // Its routine can only run on this thread, which ends now.
    close_timer();
}

void RsUSBEmulation::pause(DWORD ms) {
    HANDLE stop = stop_event();
    if (stop)
        WaitForSingleObjectEx(stop, ms, TRUE);
    else
        SleepEx(ms, TRUE);
}

void RsUSBEmulation::idle(DWORD ms) {
    // Ends early when records arrive or the worker is told to stop; the timer routine runs inside.
    HANDLE events[2] = {stop_event(), work_event_};
    if (events[0] && events[1])
        WaitForMultipleObjectsEx(2, events, FALSE, ms, TRUE);
    else
        pause(ms);
}

bool RsUSBEmulation::step() {
    if (want_timer_.load() && !timer_active()) make_timer();
    EndPointInOutTransfer* queues[3] = {control_.get(), bulk_in_.get(), bulk_out_.get()};
    bool any = false;
    for (EndPointInOutTransfer* ep : queues) {
        if (!ep) return false;
        if (!port_->is_enabled()) port_->abort_io();
        if (stop_requested()) return false;
        SleepEx(0, TRUE);  // the interrupt poll runs here
        TransferRecord* record = ep->next();
        if (!record) continue;
        any = true;
        const DWORD status = ep->execute(record);
        pause(status == result_stall ? 100 : 0);
        if (status == result_nak && !(record->kind & kind_status_pending)) {
            ep->requeue(record);
            pause(100);
        } else {
            ep->complete(record, status);
        }
    }
    if (!any) idle(200);
    return true;
}

void CALLBACK RsUSBEmulation::timer_routine(LPVOID argument, DWORD, DWORD) {
    static_cast<RsUSBEmulation*>(argument)->poll_interrupt();
}

void RsUSBEmulation::poll_interrupt() {
    EPInterrupt* ep = interrupt_.get();
    if (!ep) return;
    if (!port_->is_enabled()) port_->abort_io();
    TransferRecord* record = ep->next();
    if (!record) return;
    const DWORD status = ep->execute(record);
    if (status == result_nak)
        ep->requeue(record);
    else
        ep->complete(record, status);
}

}  // namespace lintra
