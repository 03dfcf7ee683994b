// The emulated USB device on one serial line: its four endpoints for one device address, the worker
// thread that serves the control and bulk queues, the interrupt endpoint polled every 5000 ms from a
// waitable timer's completion routine on that thread, device bring-up and stop.
#ifndef LINTRA_EMULATION_H
#define LINTRA_EMULATION_H

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <w32cpp/handle.h>

#include "lintra/IComPort.h"
#include "lintra/endpoint.h"

namespace lintra {

// A worker thread with a stop event; the derived class supplies the step.
class UserOfTask {
public:
    UserOfTask();
    virtual bool step() = 0;
    // 0: started; anything else ends the thread with that code.
    virtual int on_start() { return 0; }
    virtual int exit_code() { return 0; }
    virtual ~UserOfTask();
    UserOfTask(const UserOfTask&) = delete;
    UserOfTask& operator=(const UserOfTask&) = delete;

    // The loop runs (between on_start and the end of the last step).
    bool is_running() const { return running_.load() != 0; }

protected:
    // Runs on the thread after the loop ends.
    virtual void on_finish() {}
    // A thread exists and has not ended yet.
    bool thread_alive() const;
    bool on_worker_thread() const;
    bool stop_requested() const;
    // Creates the thread suspended with a fresh stop event, sets the priority and lets it run.
    bool start_thread(int priority);
    void request_stop();
    // Waits until the thread has ended; nudge runs every 5000 ms while it has not. Closes the handles.
    void join_thread(void (*nudge)(UserOfTask*));
    HANDLE stop_event() const { return stop_event_; }
    HANDLE thread_handle() const { return thread_; }

private:
    static DWORD WINAPI thread_proc(LPVOID parameter);

    HANDLE thread_ = nullptr;
    std::atomic<DWORD> thread_id_{0};
    HANDLE stop_event_ = nullptr;
    std::atomic<BYTE> running_;
};

// The current endpoint of one kind. get() is for the worker and for callers that know the endpoints
// are not being rebuilt; ref() keeps the endpoint alive across a rebuild (a replaced endpoint goes
// with its last reference).
template <class T> class endpoint_slot {
public:
    endpoint_slot() { InitializeCriticalSection(&lock_); }
    ~endpoint_slot() { DeleteCriticalSection(&lock_); }
    endpoint_slot(const endpoint_slot&) = delete;
    endpoint_slot& operator=(const endpoint_slot&) = delete;

    T* get() const { return raw_.load(std::memory_order_acquire); }
    T* operator->() const { return get(); }
    explicit operator bool() const { return get() != nullptr; }
    std::shared_ptr<T> ref() const {
        EnterCriticalSection(&lock_);
        std::shared_ptr<T> p = ptr_;
        LeaveCriticalSection(&lock_);
        return p;
    }
    // Returns the endpoint it replaces.
    std::shared_ptr<T> set(std::shared_ptr<T> p) {
        EnterCriticalSection(&lock_);
        ptr_.swap(p);
        raw_.store(ptr_.get(), std::memory_order_release);
        LeaveCriticalSection(&lock_);
        return p;
    }

private:
    mutable CRITICAL_SECTION lock_;
    std::shared_ptr<T> ptr_;
    std::atomic<T*> raw_{nullptr};
};

class RsUSBEmulation : public UserOfTask {
public:
    enum : DWORD { bring_up_nak_limit = 10000, interrupt_period_ms = 5000 };
    // The endpoints whose halt is cleared after a configuration is selected.
    static constexpr BYTE data_endpoints[3] = {EPBulkIN::endpoint, EPBulkOUT::endpoint, EPInterrupt::endpoint};

    explicit RsUSBEmulation(const w32cpp::auto_handle<IComPort>& port);
    // Removes the endpoints (stopping first), closes the abort event. Must not run on the worker
    // thread (from a completion callback): the worker returns into the emulation afterwards.
    ~RsUSBEmulation() override;

    // Builds the four endpoints for address a (stopping and removing the old ones first).
    // False only without a port.
    bool set_address(BYTE a);
    bool has_address(BYTE a) const { return address_.load() == a; }
    BYTE address() const { return address_.load(); }
    // Stops the worker and drops the endpoints. On the worker thread it only stops.
    void remove_endpoints();

    // Resynchronisation burst, SET_ADDRESS, device descriptor, the selected configuration, worker.
    // False at once on the worker thread.
    bool bring_up(BYTE a);
    // On the worker thread (from a completion) it undoes a stop made there, unless another thread
    // is stopping the worker at the same time (then false).
    bool start_worker();
    bool on_worker_thread() const { return UserOfTask::on_worker_thread(); }
    // Ends the running exchange and the worker; with_interrupt also discards interrupt records.
    void stop(bool with_interrupt);
    // Stops the interrupt poll until the worker is started again.
    void cancel_timer();
    // Lets the running exchange go and flushes the port under the device lock.
    bool flush();
    // Discards an endpoint's records and waits until the worker has seen it, at most ms.
    bool abort_and_wait_idle(EndPointInOutTransfer* endpoint, DWORD ms);

    // A pointer taken here is valid until the endpoints are rebuilt or removed; a reference keeps
    // the endpoint alive after that, closed (it refuses new transfers). A replaced endpoint is freed
    // with its last reference.
    EPControl* control() const { return control_.get(); }
    EPBulkIN* bulk_in() const { return bulk_in_.get(); }
    EPBulkOUT* bulk_out() const { return bulk_out_.get(); }
    EPInterrupt* interrupt() const { return interrupt_.get(); }
    std::shared_ptr<EPControl> control_ref() const { return control_.ref(); }
    std::shared_ptr<EPBulkIN> bulk_in_ref() const { return bulk_in_.ref(); }
    std::shared_ptr<EPBulkOUT> bulk_out_ref() const { return bulk_out_.ref(); }
    std::shared_ptr<EPInterrupt> interrupt_ref() const { return interrupt_.ref(); }
    const w32cpp::auto_handle<IComPort>& port() const { return port_; }
    const BYTE* device_descriptor() const { return descriptor_; }
    BYTE configuration_value() const { return configuration_.load(); }
    void set_configuration_value(BYTE value) { configuration_.store(value); }
    CRITICAL_SECTION* device_lock() { return &device_lock_; }
    HANDLE abort_event() const { return abort_event_; }
    // Sets the abort event until the matching lower; counted, so the event stays set while any
    // stop, address change or flush is under way. Use these rather than setting the event directly.
    void raise_abort();
    void lower_abort();
    // The interrupt timer exists (the worker polls the interrupt endpoint).
    bool timer_active();

    bool step() override;
    int on_start() override;

protected:
    void on_finish() override;

private:
    static void CALLBACK timer_routine(LPVOID argument, DWORD low, DWORD high);
    static void nudge(UserOfTask* self);
    void poll_interrupt();
    void make_timer();
    void close_timer();
    bool start_worker_locked();
    void stop_locked(bool with_interrupt);
    void remove_endpoints_locked();
    // Ends blocked port I/O and the running exchange before a lock is taken.
    void interrupt_exchange();
    void pause(DWORD ms);
    void idle(DWORD ms);

    std::atomic<BYTE> address_;
    BYTE descriptor_[18];
    HANDLE timer_ = nullptr;
    endpoint_slot<EPInterrupt> interrupt_;
    endpoint_slot<EPControl> control_;
    endpoint_slot<EPBulkIN> bulk_in_;
    endpoint_slot<EPBulkOUT> bulk_out_;
    w32cpp::auto_handle<IComPort> port_;
    std::atomic<BYTE> configuration_;
    CRITICAL_SECTION device_lock_;
    HANDLE abort_event_;
    HANDLE work_event_;  // auto-reset: records were queued on a worker-served endpoint

    CRITICAL_SECTION config_lock_;  // address changes, bring-up, start and stop, one at a time
    CRITICAL_SECTION abort_lock_;
    LONG abort_requests_ = 0;
    CRITICAL_SECTION timer_lock_;
    std::atomic<bool> want_timer_;
    std::string timer_name_;
};

}  // namespace lintra

#endif
