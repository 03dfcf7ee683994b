// One serial instrument (line and device address) as the device manager sees it: requests as
// TransferPackets, queued one at a time per handler onto the emulated endpoints and completed from
// their call backs; the device-control codes answered with the serial side's statuses and limits;
// a device task that brings the device up and publishes its interfaces.
#ifndef LINTRA_PROTOCOL_DEVICE_H
#define LINTRA_PROTOCOL_DEVICE_H

#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <w32cpp/handle.h>
#include <w32cpp/waitable.h>

#include <karnet/iapi.h>

#include "lintra/emulation.h"

namespace lintra {

class io_protocol_lintra;
class ZephProtocolDevice;

// Statuses of the serial side beyond the platform's usual ones.
enum : DWORD {
    status_bad_packet = 1117,      // bad data packet, PID or STALL (ERROR_IO_DEVICE)
    status_reply_too_long = 8309,  // the announced reply does not fit the caller's block
};

// Endpoint results as Win32 statuses, per kind of request.
enum class request_kind { control, data, notification };
DWORD status_of(DWORD endpoint_result, request_kind kind);

// One request: its buffers, its result and the completion event callers wait on. A read or a write
// carries its data in the output block.
class TransferPacket : public karnet::io_assync {
public:
    TransferPacket(DWORD code, const ostrel::mem_block& output, const ostrel::mem_block& input);
    ~TransferPacket() override;
    TransferPacket(const TransferPacket&) = delete;
    TransferPacket& operator=(const TransferPacket&) = delete;

    w32cpp::status_wait wait(DWORD milliseconds, BOOL alertable) override;
    w32cpp::status_wait poll() override;
    w32cpp::status_wait wait_for(DWORD milliseconds) override;
    bool is_valid() override;
    // wait: without limit, then the status.
    w32cpp::status_wait result(bool wait) override;
    bool done() override;
    uint32_t bytes() override;

    // Stores the status and signals; only the first completion counts (995 marks it cancelled).
    bool complete(DWORD status);
    bool completed();
    bool cancelled();
    void set_bytes(DWORD n) { bytes_.store(n); }

    DWORD code() const { return code_; }
    const ostrel::mem_block& output() const { return output_; }
    const ostrel::mem_block& input() const { return input_; }

    // Transfer state, used only by the handler that runs the packet.
    BYTE scratch[4] = {};
    int stage = 0;
    DWORD announced = 0;   // bulk read: the frame's length; write: the block's
    DWORD drain_left = 0;  // bulk read: bytes of an oversized frame still to take off the line
    std::vector<BYTE> drain;

private:
    enum : BYTE { state_completed = 1, state_cancelled = 2 };
    std::atomic<DWORD> status_;
    std::atomic<DWORD> bytes_;
    w32cpp::waitable_signal event_;
    BYTE state_ = 0;
    CRITICAL_SECTION lock_;
    const DWORD code_;
    ostrel::mem_block output_;
    ostrel::mem_block input_;
};

using packet_handle = w32cpp::auto_handle<TransferPacket>;

class ITransferCompletion {
public:
    // Told of every packet the handler completed.
    virtual bool notify(TransferPacket&) { return true; }
    virtual ~ITransferCompletion() {}
};

// A queue of requests run one at a time: the current one owns the handler's endpoint transfer.
class ZephProtocolFilter : public ITransferCompletion {
public:
    explicit ZephProtocolFilter(ZephProtocolDevice* device);
    ~ZephProtocolFilter() override;
    ZephProtocolFilter(const ZephProtocolFilter&) = delete;
    ZephProtocolFilter& operator=(const ZephProtocolFilter&) = delete;

    // 997 while the packet runs on; any other value is its final status.
    virtual DWORD execute(const packet_handle& packet);
    // Completes the current packet with 995 (its queued records go) and starts the next.
    virtual void cancel_current();
    // Runs the packet now, or after those before it. Returns 997.
    virtual DWORD submit(const packet_handle& packet);
    // Every queued packet completes with 995, then the current one.
    void abort_all();
    // The one packet completes with 995 (the next starts when it was current); false when this
    // handler does not hold it.
    bool cancel_packet(const TransferPacket* packet);
    // Completes the packet and starts the next queued one.
    void complete_and_next(const packet_handle& packet, DWORD status);

    // Endpoint call back; the context is the handler.
    static void on_transfer(void* context, DWORD number_low, DWORD number_high, DWORD total, DWORD status);

protected:
    // A transfer queued for the packet ended.
    virtual void transferred(const packet_handle& packet, DWORD total, DWORD status);
    // Queue a transfer for the current packet; false when the endpoint refused it.
    bool queue_data(const std::shared_ptr<EndPointInOutTransfer>& ep, const packet_handle& packet, BYTE kind,
                    BYTE* buffer, DWORD length, bool short_ok);
    bool queue_control(const std::shared_ptr<EPControl>& ep, const packet_handle& packet, const SetupRecord& setup,
                       BYTE* data, bool short_ok);
    // Takes the packet off the handler without starting the next; false when it was not current.
    bool detach(const packet_handle& packet);
    // The packet leaves the handler and the next queued one becomes current (*next); false when
    // the packet was not current.
    bool advance(const packet_handle& packet, packet_handle* next);
    void run(packet_handle packet);
    // Ends the packet's endpoint transfer; its call back, which may wait for a packet running on
    // the line, then completes the packet with 995. False when the packet has no transfer.
    bool drop_transfer(const packet_handle& packet);
    // Ends the current packet with 995 (its endpoint transfer dropped) and starts the next.
    void end_current(const packet_handle& packet);
    // The packet is the current one. Caller holds the transfer lock.
    bool is_current(const packet_handle& packet);

    ZephProtocolDevice* device_;

private:
    CRITICAL_SECTION queue_lock_;
    std::deque<packet_handle> queue_;
    packet_handle current_;
    // The endpoint transfer of the current packet: call backs of any other transfer are stale.
    CRITICAL_SECTION transfer_lock_;
    packet_handle active_;
    ULONGLONG first_ = 0, last_ = 0;
    std::shared_ptr<EndPointInOutTransfer> active_ep_;
    bool cancelling_ = false;  // the active transfer was dropped: its packet ends with 995
};

class ZephProtocolInfo : public ZephProtocolFilter {
public:
    using ZephProtocolFilter::ZephProtocolFilter;
    DWORD execute(const packet_handle& packet) override;

protected:
    void transferred(const packet_handle& packet, DWORD total, DWORD status) override;
};

class ZephProtocolRead : public ZephProtocolFilter {
public:
    using ZephProtocolFilter::ZephProtocolFilter;
    DWORD execute(const packet_handle& packet) override;

protected:
    void transferred(const packet_handle& packet, DWORD total, DWORD status) override;

private:
    void drain_next(const packet_handle& packet);
};

class ZephProtocolWrite : public ZephProtocolFilter {
public:
    using ZephProtocolFilter::ZephProtocolFilter;
    DWORD execute(const packet_handle& packet) override;

protected:
    void transferred(const packet_handle& packet, DWORD total, DWORD status) override;
};

// The device; its own queue runs the control requests, its task brings it up and runs what must
// not run on the emulation worker (pipe resets, device resets).
class ZephProtocolDevice : public ZephProtocolFilter, public UserOfTask {
public:
    enum : DWORD { bring_up_period_ms = 1000 };

    ZephProtocolDevice(io_protocol_lintra* protocol, const w32cpp::auto_handle<RsUSBEmulation>& emulation, BYTE address,
                       std::string name);
    ~ZephProtocolDevice() override;

    // The code router: every control request of a session comes here.
    DWORD submit(const packet_handle& packet) override;
    // The control dispatch.
    DWORD execute(const packet_handle& packet) override;
    void submit_read(const packet_handle& packet);
    void submit_write(const packet_handle& packet);
    // Every pending request completes with 995.
    void cancel();
    // Only that request completes with 995.
    void cancel_request(const TransferPacket* packet);

    bool start();
    // Stops the task (ending a bring-up exchange first), the emulation's worker and every request
    // (995). The device is dead afterwards.
    void shutdown();

    BYTE address() const { return address_; }
    const std::string& name() const { return name_; }
    ULONG_PTR id() const { return id_; }
    bool is_up() const { return up_.load() != 0; }
    bool configured() const { return emulation_->configuration_value() != 0; }
    RsUSBEmulation* emulation() const { return emulation_.get(); }
    const w32cpp::auto_handle<RsUSBEmulation>& emulation_handle() const { return emulation_; }

    // Published interfaces of the class (all when the class is unset).
    std::vector<karnet::io_device_interface> published(karnet::guid interface_class);
    bool owns_interface(const std::string& interface_name);
    // Drops the published interfaces of the class (all when unset) without any notice; true when
    // some went and none is left.
    bool unpublish_silently(karnet::guid interface_class);
    // Drops every published interface and tells the protocol's removal listeners.
    void unpublish();

    // Info-channel time-out: back to bringing up (runs on the emulation worker).
    void recover();

    // Named device interfaces: device name + "\" + class text.
    static std::string guid_text(const GUID& g);

protected:
    void transferred(const packet_handle& packet, DWORD total, DWORD status) override;
    bool step() override;

private:
    enum class job_kind { pipe_reset, device_reset };
    struct job {
        job_kind kind;
        packet_handle packet;
    };

    void post(job_kind kind, const packet_handle& packet);
    // A device that was shut down takes no request: 1617, as for a device that has gone.
    bool refused(const packet_handle& packet);
    void run_jobs();
    bool bring_up();
    void publish();
    DWORD pipe_reset(BYTE endpoint, WORD word_value);
    DWORD vendor_request(const packet_handle& packet);
    void attach_callbacks();

    io_protocol_lintra* protocol_;
    const BYTE address_;
    w32cpp::auto_handle<RsUSBEmulation> emulation_;
    const std::string name_;
    const ULONG_PTR id_;
    karnet::device_description description_;
    CRITICAL_SECTION published_lock_;  // also guards the descriptor
    std::vector<karnet::io_device_interface> published_;
    BYTE descriptor_[18] = {};  // the device descriptor of the last bring-up
    std::atomic<BYTE> up_{0};
    std::atomic<bool> dead_{false};
    ZephProtocolInfo info_;
    ZephProtocolRead read_;
    ZephProtocolWrite write_;
    HANDLE work_event_;
    CRITICAL_SECTION jobs_lock_;
    std::deque<job> jobs_;
    bool shut_down_ = false;
    bool first_pass_ = true;  // the task's thread only
    bool retry_ = false;      // the task's thread only: a bring-up of an up device failed
};

}  // namespace lintra

#endif
