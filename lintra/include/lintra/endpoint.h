// Emulated USB endpoints over the serial packet layer: single transactions with retries and data
// toggle, queues of transfer records executed by the emulation worker, and control transfers.
#ifndef LINTRA_ENDPOINT_H
#define LINTRA_ENDPOINT_H

#include <windows.h>

#include <atomic>
#include <deque>

#include "lintra/packet.h"

namespace lintra {

enum : BYTE {
    kind_setup = 0,
    kind_out = 1,
    kind_in = 2,
    kind_status_pending = 0x80,  // data done, status stage still to run
};

// One packet of a queued transfer; allocated from its endpoint's private heap.
struct TransferRecord {
    BYTE kind;
    ULONGLONG number;      // shared by all records of one queue call
    DWORD stage_length;    // total bytes of the stage
    DWORD packet_count;    // 1 when queued; after execution the packets done
    BYTE* data;
    DWORD packet_length;   // bytes of this packet; after an IN the bytes received
    void* context;         // the request handler to call back
    BYTE short_is_status;  // clear: a transfer that ends short completes with status 0
    BYTE last;             // this record ends the stage
};

// (context, transfer number low and high 32 bits, total bytes, status)
typedef void (*transfer_callback)(void* context, DWORD number_low, DWORD number_high, DWORD total, DWORD status);

// The 8-byte setup record of a control request, little-endian on the line.
struct SetupRecord {
    BYTE bmRequestType;
    BYTE bRequest;
    WORD wValue;
    WORD wIndex;
    WORD wLength;

    void encode(BYTE out[8]) const;
    static SetupRecord decode(const BYTE in[8]);
};

// Standard requests; the synchronous and queued forms send the same records.
namespace std_request {
enum : BYTE { recipient_device = 0, recipient_interface = 1, recipient_endpoint = 2 };
enum : BYTE { descriptor_device = 1, descriptor_configuration = 2, descriptor_string = 3 };
SetupRecord clear_feature(BYTE recipient, WORD index);
SetupRecord clear_halt(BYTE endpoint);
SetupRecord set_feature(BYTE recipient, WORD index);
SetupRecord set_address(BYTE address);
SetupRecord get_descriptor(BYTE type, BYTE index, WORD index_word, WORD length);
SetupRecord get_configuration();
SetupRecord set_configuration(BYTE value);
SetupRecord get_status(BYTE recipient, WORD index);
SetupRecord get_interface(WORD interface_number);
SetupRecord set_interface(WORD interface_number, WORD alternate);
}  // namespace std_request

class EndPoint : public PacketEndpoint {
public:
    EndPoint(IComPort* port, BYTE address, BYTE number, LONG max_packet, CRITICAL_SECTION* device_lock,
             HANDLE abort_event);
    virtual ~EndPoint();
    EndPoint(const EndPoint&) = delete;
    EndPoint& operator=(const EndPoint&) = delete;

    // One transaction each, at most retry_count attempts, under the device lock.
    bool in_transaction(BYTE* buffer, DWORD* length);
    bool out_transaction(const BYTE* buffer, DWORD* length);
    bool setup_transaction(const BYTE* setup);
    bool resync();

    // Synchronous data stages: one transaction per packet; a NAKed packet is repeated, at most
    // nak_limit times over the stage. A short IN packet ends the stage.
    bool in_stage(BYTE* buffer, DWORD length, DWORD* done, DWORD nak_limit);
    bool out_stage(const BYTE* buffer, DWORD length, DWORD* done, DWORD nak_limit);

    DWORD result() const { return last_result; }
    BYTE endpoint_number() const { return number; }
    BYTE device_address() const { return address; }
    LONG max_packet_size() const { return max_packet; }
    bool is_stalled() const { return stalled != 0; }
    void set_toggle(BYTE value);
    // After a successful clear endpoint halt.
    void halt_cleared();
    CRITICAL_SECTION* device_lock() const { return lock_; }

    DWORD retry_count = 6;

protected:
    bool abort_requested() const;

    Token token_;
    Data data_;
    Ack ack_;
    CRITICAL_SECTION* lock_;
    HANDLE abort_;
};

class EndPointInOutTransfer : public EndPoint {
public:
    EndPointInOutTransfer(IComPort* port, BYTE address, BYTE number, LONG max_packet,
                          CRITICAL_SECTION* device_lock, HANDLE abort_event);
    ~EndPointInOutTransfer() override;

    // Pops the first record. While shut: clears it, discards what it popped (status 6), returns none.
    virtual TransferRecord* next();
    // Accounts the record, calls back when its transfer ends, frees it.
    virtual void complete(TransferRecord* record, DWORD status);
    // Puts a NAKed record back in front, so packets of a transfer keep their order.
    void requeue(TransferRecord* record);
    // Completes every queued record with 6, empties the queue, sets the shut flag. Returns how many.
    // Records of the transfer whose packet is being executed are dropped without a call back; that
    // transfer is called back with 6 once its running packet is done, so its buffer stays in use
    // until then.
    DWORD abort_all();
    // Polls every 200 ms until the worker has cleared the shut flag, at most ms.
    bool wait_idle(DWORD ms);
    // Waits (polling every landed_poll_ms) until no packet of this endpoint is on the line, at most
    // ms, then clears the shut flag. Right after abort_all that is at once unless a packet runs: for
    // an endpoint the worker looks at only once per interrupt period.
    bool wait_landed(DWORD ms);
    enum : DWORD { landed_poll_ms = 5 };
    // Removes and frees every queued record of that transfer.
    void purge(ULONGLONG number);
    // Ends the transfers numbered first to last without touching the shut flag: queued records go
    // and the transfer is called back with 6 now, or, when one of its packets is running, by the
    // worker once that packet is done (its buffer is written until then).
    void cancel_transfer(ULONGLONG first, ULONGLONG last);
    // Aborts all and refuses every later queue call: the endpoint has been replaced.
    void close();
    bool is_closed();
    // Queues one record per packet. Returns the transfer number; all ones for a null buffer or a
    // closed endpoint. A zero-length transfer queues nothing and is called back at once, on this thread.
    ULONGLONG queue(BYTE kind, BYTE* buffer, DWORD length, void* context, bool short_is_status, bool mark_last);

    // Runs a popped record's packets; returns the result to complete it with (NAK: requeue).
    DWORD execute(TransferRecord* record);

    void set_callback(transfer_callback callback) { callback_.store(callback); }
    // Signalled whenever records are queued, so an idle worker need not sleep out its pause.
    void set_work_event(HANDLE event) { work_event_.store(event); }
    bool is_shut();
    void clear_shut();
    size_t pending();

protected:
    TransferRecord* make_record();
    void free_record(TransferRecord* record);
    // Steps 1 and 2 of completion; false when the transfer was already called back.
    bool account(TransferRecord* record, bool add, DWORD* total);
    void call_back(TransferRecord* record, DWORD total, DWORD status);
    // The record popped by next() is done with; true when the rest of its transfer was discarded
    // while it ran.
    bool land(TransferRecord* record);
    bool in_flight_locked(const TransferRecord* record) const;
    void push_records(TransferRecord** records, size_t count, ULONGLONG first_number, size_t split);
    void signal_work();

    HANDLE heap_;
    CRITICAL_SECTION queue_lock_;
    CRITICAL_SECTION total_lock_;
    std::deque<TransferRecord*> queue_;
    std::atomic<transfer_callback> callback_;
    std::atomic<HANDLE> work_event_{nullptr};
    BYTE shut_ = 0;
    bool closed_ = false;
    DWORD packets_per_record = 1;
    ULONGLONG counter_ = 0;
    ULONGLONG last_seen_ = 0;
    ULONGLONG reported_ = 0;  // the last transfer that was called back
    DWORD total_ = 0;
    // Transfer numbers of the record the worker executes (0: none); a SETUP with a data stage
    // covers the stage's number too. Guarded by the queue lock.
    ULONGLONG flight_first_ = 0;
    ULONGLONG flight_last_ = 0;
    bool flight_cut_ = false;  // abort_all dropped records of that transfer
};

class EPControl : public EndPointInOutTransfer {
public:
    EPControl(IComPort* port, BYTE address, CRITICAL_SECTION* device_lock, HANDLE abort_event);
    // Discards the queued requests here, where each still completes as one control request.
    ~EPControl() override;

    // SETUP, data stage and status stage on the caller's thread under the device lock. The status
    // stage is tried again after a NAK up to nak_limit further times.
    bool request(const SetupRecord& setup, BYTE* data, DWORD nak_limit, DWORD* transferred = nullptr);
    // Queues the stages; the SETUP record and the data records get consecutive transfer numbers.
    // False on a closed endpoint. *number receives the SETUP's number (the data stage has the next).
    bool queue_request(const SetupRecord& setup, BYTE* data, void* context, bool short_is_status,
                       ULONGLONG* number = nullptr);

    void complete(TransferRecord* record, DWORD status) override;

    // Endpoints whose toggle a successful clear endpoint halt resets.
    void link(EndPoint* a, EndPoint* b, EndPoint* c);

private:
    void after_success(const BYTE* setup);
    EndPoint* siblings_[3] = {nullptr, nullptr, nullptr};
};

class EPBulkIN : public EndPointInOutTransfer {
public:
    enum : BYTE { endpoint = 0x81 };
    enum : LONG { max_packet_bytes = 1024 };
    EPBulkIN(IComPort* port, BYTE address, CRITICAL_SECTION* device_lock, HANDLE abort_event)
        : EndPointInOutTransfer(port, address, endpoint, max_packet_bytes, device_lock, abort_event) {}
};

class EPBulkOUT : public EndPointInOutTransfer {
public:
    enum : BYTE { endpoint = 0x01 };
    enum : LONG { max_packet_bytes = 60 };
    EPBulkOUT(IComPort* port, BYTE address, CRITICAL_SECTION* device_lock, HANDLE abort_event)
        : EndPointInOutTransfer(port, address, endpoint, max_packet_bytes, device_lock, abort_event) {}
};

class EPInterrupt : public EndPointInOutTransfer {
public:
    enum : BYTE { endpoint = 0x82 };
    enum : LONG { max_packet_bytes = 64 };
    EPInterrupt(IComPort* port, BYTE address, CRITICAL_SECTION* device_lock, HANDLE abort_event)
        : EndPointInOutTransfer(port, address, endpoint, max_packet_bytes, device_lock, abort_event) {}
};

}  // namespace lintra

#endif
