#include "lintra/endpoint.h"

#include <w32cpp/lock.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace lintra {

namespace {

using section_guard = w32cpp::section_lock;

constexpr BYTE base_kind(BYTE kind) { return BYTE(kind & 0x7F); }

// A SETUP record followed by a data stage answers for the stage's transfer number as well.
ULONGLONG last_number_of(const TransferRecord* record) {
    return record->number + ((base_kind(record->kind) == kind_setup && !record->last) ? 1 : 0);
}

}  // namespace

void SetupRecord::encode(BYTE out[8]) const {
    out[0] = bmRequestType;
    out[1] = bRequest;
    out[2] = BYTE(wValue & 0xFF);
    out[3] = BYTE(wValue >> 8);
    out[4] = BYTE(wIndex & 0xFF);
    out[5] = BYTE(wIndex >> 8);
    out[6] = BYTE(wLength & 0xFF);
    out[7] = BYTE(wLength >> 8);
}

SetupRecord SetupRecord::decode(const BYTE in[8]) {
    return SetupRecord{in[0], in[1], WORD(in[2] | (in[3] << 8)), WORD(in[4] | (in[5] << 8)), WORD(in[6] | (in[7] << 8))};
}

namespace std_request {
SetupRecord clear_feature(BYTE recipient, WORD index) { return {recipient, 1, 0, index, 0}; }
SetupRecord clear_halt(BYTE endpoint) { return {recipient_endpoint, 1, 0, WORD(endpoint), 0}; }
SetupRecord set_feature(BYTE recipient, WORD index) { return {recipient, 3, 0, index, 0}; }
SetupRecord set_address(BYTE address) { return {0x00, 5, WORD(address), 0, 0}; }
SetupRecord get_descriptor(BYTE type, BYTE index, WORD index_word, WORD length) {
    return {0x80, 6, WORD(type * 256 + index), index_word, length};
}
SetupRecord get_configuration() { return {0x80, 8, 0, 0, 1}; }
SetupRecord set_configuration(BYTE value) { return {0x00, 9, WORD(value), 0, 0}; }
SetupRecord get_status(BYTE recipient, WORD index) { return {BYTE(0x80 + recipient), 0, 0, index, 2}; }
SetupRecord get_interface(WORD interface_number) { return {0x81, 10, 0, interface_number, 1}; }
SetupRecord set_interface(WORD interface_number, WORD alternate) { return {0x01, 11, alternate, interface_number, 0}; }
}  // namespace std_request

// ---------------------------------------------------------------------------------------------
// EndPoint

EndPoint::EndPoint(IComPort* port_, BYTE address_, BYTE number_, LONG max_packet_, CRITICAL_SECTION* device_lock,
                   HANDLE abort_event)
    : data_(max_packet_), lock_(device_lock), abort_(abort_event) {
    port = port_;
    address = address_;
    number = number_;
    max_packet = max_packet_;
    token_.reset(*this);
    data_.reset(*this);
    ack_.reset(*this);
}

EndPoint::~EndPoint() {}

bool EndPoint::abort_requested() const { return abort_ && WaitForSingleObject(abort_, 0) == WAIT_OBJECT_0; }

void EndPoint::set_toggle(BYTE value) {
    section_guard guard(lock_);
    toggle = value ? 1 : 0;
}

void EndPoint::halt_cleared() {
    section_guard guard(lock_);
    toggle = 0;
    stalled = 0;
}

bool EndPoint::in_transaction(BYTE* buffer, DWORD* length) {
    section_guard guard(lock_);
    const DWORD room = length ? *length : 0;
    if (length) *length = 0;
    for (DWORD attempt = 0; attempt < retry_count; ++attempt) {
        if (abort_requested()) {
            last_result = result_aborted;
            return false;
        }
        if (!token_.send(pid_in)) continue;
        DWORD got = room;
        data_.read(buffer, &got);
        switch (last_result) {
        case result_bad_packet:
            ack_.send(pid_err);
            last_result = result_bad_packet;
            continue;
        case result_done:
            // The data is ours once the toggle moved on; should the ACK go missing, the device
            // sends the packet again and it is acknowledged as a repeat.
            toggle ^= 1;
            ack_.send(pid_ack);
            last_result = result_done;
            if (length) *length = got;
            return true;
        case result_repeat:
            ack_.send(pid_ack);
            last_result = result_repeat;
            continue;
        case result_nak: return false;
        case result_stall:
            stalled = 1;
            return false;
        default: continue;
        }
    }
    // Only repeats: the packet this transaction asked for never came.
    if (last_result == result_repeat) last_result = result_bad_packet;
    return false;
}

bool EndPoint::out_transaction(const BYTE* buffer, DWORD* length) {
    section_guard guard(lock_);
    const DWORD n = length ? *length : 0;
    if (length) *length = 0;
    for (DWORD attempt = 0; attempt < retry_count; ++attempt) {
        if (abort_requested()) {
            last_result = result_aborted;
            return false;
        }
        if (!token_.send(pid_out)) continue;
        if (!data_.send(toggle ? pid_data1 : pid_data0, buffer, n)) continue;
        if (ack_.read()) {
            toggle ^= 1;
            if (length) *length = n;
            return true;
        }
        switch (last_result) {
        case result_stall:
            stalled = 1;
            std::fputs("EndPoint::WriteTransaction : Ack::Read : PACKET_ERROR_PIDSTALL\n", stdout);
            std::fflush(stdout);
            return false;
        case result_nak: return false;
        default: continue;
        }
    }
    return false;
}

bool EndPoint::setup_transaction(const BYTE* setup) {
    section_guard guard(lock_);
    for (DWORD attempt = 0; attempt < retry_count; ++attempt) {
        if (abort_requested()) {
            last_result = result_aborted;
            return false;
        }
        if (!token_.send(pid_setup)) continue;
        if (!data_.send(pid_data0, setup, setup_length)) continue;
        if (ack_.read()) {
            toggle = 1;
            return true;
        }
        if (last_result == result_stall || last_result == result_nak) {
            if (last_result == result_stall) stalled = 1;
            return false;
        }
    }
    return false;
}

bool EndPoint::resync() {
    section_guard guard(lock_);
    return send_resync(*this);
}

bool EndPoint::in_stage(BYTE* buffer, DWORD length, DWORD* done, DWORD nak_limit) {
    section_guard guard(lock_);
    *done = 0;
    DWORD naks = 0;
    while (*done < length) {
        const DWORD want = std::min<DWORD>(DWORD(max_packet), length - *done);
        DWORD got = want;
        if (in_transaction(buffer + *done, &got)) {
            *done += got;
            if (got < want) break;  // a short packet ends the stage
            continue;
        }
        if (last_result == result_nak && naks++ < nak_limit) continue;
        return false;
    }
    return true;
}

bool EndPoint::out_stage(const BYTE* buffer, DWORD length, DWORD* done, DWORD nak_limit) {
    section_guard guard(lock_);
    *done = 0;
    DWORD naks = 0;
    while (*done < length) {
        DWORD n = std::min<DWORD>(DWORD(max_packet), length - *done);
        if (out_transaction(buffer + *done, &n)) {
            *done += n;
            continue;
        }
        if (last_result == result_nak && naks++ < nak_limit) continue;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// EndPointInOutTransfer

EndPointInOutTransfer::EndPointInOutTransfer(IComPort* port_, BYTE address_, BYTE number_, LONG max_packet_,
                                             CRITICAL_SECTION* device_lock, HANDLE abort_event)
    : EndPoint(port_, address_, number_, max_packet_, device_lock, abort_event),
      heap_(HeapCreate(0, 8192, 0)),
      callback_(nullptr) {
    InitializeCriticalSection(&queue_lock_);
    InitializeCriticalSection(&total_lock_);
}

EndPointInOutTransfer::~EndPointInOutTransfer() {
    abort_all();
    if (heap_) HeapDestroy(heap_);
    DeleteCriticalSection(&total_lock_);
    DeleteCriticalSection(&queue_lock_);
}

TransferRecord* EndPointInOutTransfer::make_record() {
    if (!heap_) return nullptr;
    return static_cast<TransferRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(TransferRecord)));
}

void EndPointInOutTransfer::free_record(TransferRecord* record) {
    if (!record) return;
    if (base_kind(record->kind) == kind_setup && record->data) HeapFree(heap_, 0, record->data);
    HeapFree(heap_, 0, record);
}

TransferRecord* EndPointInOutTransfer::next() {
    TransferRecord* record = nullptr;
    bool discard = false;
    {
        section_guard guard(&queue_lock_);
        if (!queue_.empty()) {
            record = queue_.front();
            queue_.pop_front();
        }
        if (shut_) {
            shut_ = 0;
            discard = record != nullptr;
        }
        if (record && !discard) {
            flight_first_ = record->number;
            flight_last_ = last_number_of(record);
            flight_cut_ = false;
        }
    }
    if (discard) {
        complete(record, result_aborted);
        return nullptr;
    }
    return record;
}

bool EndPointInOutTransfer::in_flight_locked(const TransferRecord* record) const {
    return flight_first_ != 0 && record->number >= flight_first_ && record->number <= flight_last_;
}

bool EndPointInOutTransfer::land(TransferRecord* record) {
    section_guard guard(&queue_lock_);
    if (!in_flight_locked(record)) return false;
    flight_first_ = flight_last_ = 0;
    const bool cut = flight_cut_;
    flight_cut_ = false;
    return cut;
}

void EndPointInOutTransfer::requeue(TransferRecord* record) {
    {
        section_guard guard(&queue_lock_);
        bool cut = false;
        if (in_flight_locked(record)) {
            flight_first_ = flight_last_ = 0;
            cut = flight_cut_;
            flight_cut_ = false;
        }
        if (!shut_ && !cut) {
            queue_.push_front(record);
            return;
        }
    }
    complete(record, result_aborted);
}

DWORD EndPointInOutTransfer::abort_all() {
    std::deque<TransferRecord*> taken;
    std::vector<TransferRecord*> dropped;
    {
        section_guard guard(&queue_lock_);
        taken.swap(queue_);
        shut_ = 1;
        // The running packet's transfer is called back by the worker when that packet is done:
        // until then the worker may still write into the caller's buffer.
        for (auto it = taken.begin(); it != taken.end();) {
            if (in_flight_locked(*it)) {
                dropped.push_back(*it);
                it = taken.erase(it);
                flight_cut_ = true;
            } else {
                ++it;
            }
        }
    }
    for (TransferRecord* record : dropped) free_record(record);
    // One call back per transfer: later records of an already reported transfer go silently.
    for (TransferRecord* record : taken) complete(record, result_aborted);
    return DWORD(taken.size() + dropped.size());
}

bool EndPointInOutTransfer::wait_idle(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (!is_shut()) return true;
        if (GetTickCount() - start >= ms) return false;
        SleepEx(200, TRUE);
    }
}

bool EndPointInOutTransfer::wait_landed(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        {
            section_guard guard(&queue_lock_);
            if (flight_first_ == 0) {
                shut_ = 0;
                return true;
            }
        }
        if (GetTickCount() - start >= ms) return false;
        SleepEx(landed_poll_ms, TRUE);
    }
}

void EndPointInOutTransfer::purge(ULONGLONG number_) {
    std::vector<TransferRecord*> removed;
    {
        section_guard guard(&queue_lock_);
        for (auto it = queue_.begin(); it != queue_.end();) {
            if ((*it)->number == number_) {
                removed.push_back(*it);
                it = queue_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (TransferRecord* record : removed) free_record(record);
}

void EndPointInOutTransfer::cancel_transfer(ULONGLONG first, ULONGLONG last) {
    std::vector<TransferRecord*> taken;
    bool running = false;
    {
        section_guard guard(&queue_lock_);
        for (auto it = queue_.begin(); it != queue_.end();) {
            if ((*it)->number >= first && (*it)->number <= last) {
                taken.push_back(*it);
                it = queue_.erase(it);
            } else {
                ++it;
            }
        }
        if (flight_first_ != 0 && flight_first_ <= last && flight_last_ >= first) {
            running = true;
            flight_cut_ = true;
        }
    }
    if (running) {
        for (TransferRecord* record : taken) free_record(record);
        return;
    }
    for (TransferRecord* record : taken) complete(record, result_aborted);
}

void EndPointInOutTransfer::close() {
    {
        section_guard guard(&queue_lock_);
        closed_ = true;
    }
    abort_all();
}

bool EndPointInOutTransfer::is_closed() {
    section_guard guard(&queue_lock_);
    return closed_;
}

bool EndPointInOutTransfer::is_shut() {
    section_guard guard(&queue_lock_);
    return shut_ != 0;
}

void EndPointInOutTransfer::clear_shut() {
    section_guard guard(&queue_lock_);
    shut_ = 0;
}

size_t EndPointInOutTransfer::pending() {
    section_guard guard(&queue_lock_);
    return queue_.size();
}

void EndPointInOutTransfer::push_records(TransferRecord** records, size_t count, ULONGLONG first_number,
                                         size_t split) {
    // Records [0, split) get first_number, the rest first_number + 1.
    for (size_t i = 0; i < count; ++i) {
        records[i]->number = i < split ? first_number : first_number + 1;
        queue_.push_back(records[i]);
    }
}

void EndPointInOutTransfer::signal_work() {
    if (HANDLE event = work_event_.load()) SetEvent(event);
}

ULONGLONG EndPointInOutTransfer::queue(BYTE kind, BYTE* buffer, DWORD length, void* context, bool short_is_status,
                                       bool mark_last) {
    if (length == 0) {
        // Nothing goes on the line; the empty transfer is complete now.
        ULONGLONG n;
        {
            section_guard guard(&queue_lock_);
            if (closed_) return ~0ull;
            n = ++counter_;
        }
        if (transfer_callback cb = callback_.load()) cb(context, DWORD(n), DWORD(n >> 32), 0, result_done);
        return n;
    }
    if (!buffer) return ~0ull;
    const DWORD max = DWORD(max_packet);
    const DWORD count = (length + max - 1) / max;
    std::vector<TransferRecord*> records;
    records.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        TransferRecord* r = make_record();
        if (!r) {
            for (TransferRecord* made : records) free_record(made);
            return ~0ull;
        }
        r->kind = kind;
        r->stage_length = length;
        r->packet_count = packets_per_record;
        r->data = buffer + size_t(i) * max;
        r->packet_length = std::min(max, length - i * max);
        r->context = context;
        r->short_is_status = short_is_status ? 1 : 0;
        r->last = (mark_last && i + 1 == count) ? 1 : 0;
        records.push_back(r);
    }
    ULONGLONG n = 0;
    {
        section_guard guard(&queue_lock_);
        if (!closed_) {
            n = ++counter_;
            push_records(records.data(), records.size(), n, records.size());
        }
    }
    if (n == 0) {
        for (TransferRecord* made : records) free_record(made);
        return ~0ull;
    }
    signal_work();
    return n;
}

DWORD EndPointInOutTransfer::execute(TransferRecord* record) {
    if (record->kind & kind_status_pending) return result_done;
    // Held until the result is read: a synchronous request on another thread shares this endpoint.
    section_guard guard(lock_);
    const BYTE kind = base_kind(record->kind);
    DWORD done = 0;
    DWORD moved = 0;
    bool failed = false;
    if (kind == kind_setup) {
        if (setup_transaction(record->data))
            done = 1;
        else
            failed = true;
    } else {
        const DWORD max = DWORD(max_packet);
        for (DWORD i = 0; i < record->packet_count; ++i) {
            const DWORD offset = i * max;
            if (offset > record->packet_length) break;
            const DWORD want = std::min(max, record->packet_length - offset);
            DWORD got = want;
            const bool ok = kind == kind_in ? in_transaction(record->data + offset, &got)
                                            : out_transaction(record->data + offset, &got);
            if (!ok) {
                failed = true;
                break;
            }
            ++done;
            moved += got;
            if (got < max) break;
        }
    }
    const DWORD result = last_result;
    if (result == result_nak) return result;  // the record stays as it was and goes back
    record->packet_count = done;
    if (kind != kind_setup) record->packet_length = moved;
    return failed ? result : result_done;
}

bool EndPointInOutTransfer::account(TransferRecord* record, bool add, DWORD* total) {
    section_guard guard(&total_lock_);
    if (record->number == reported_) return false;
    if (record->number > last_seen_) {
        total_ = 0;
        last_seen_ = record->number;
    } else if (record->number < last_seen_) {
        // A running packet that ends after later transfers were discarded: its own bytes only.
        *total = add ? record->packet_length : 0;
        return true;
    }
    if (add) {
        total_ += record->packet_length;
        if (record->packet_count) total_ += (record->packet_count - 1) * DWORD(max_packet);
    }
    *total = total_;
    return true;
}

void EndPointInOutTransfer::call_back(TransferRecord* record, DWORD total, DWORD status) {
    {
        section_guard guard(&total_lock_);
        if (record->number == reported_) return;
        reported_ = last_number_of(record);
    }
    if (transfer_callback cb = callback_.load())
        cb(record->context, DWORD(record->number), DWORD(record->number >> 32), total, status);
}

void EndPointInOutTransfer::complete(TransferRecord* record, DWORD status) {
    if (land(record)) status = result_aborted;
    DWORD total = 0;
    if (account(record, true, &total)) {
        if (!result_succeeded(status)) {
            purge(record->number);
            call_back(record, total, status);
        } else if (record->last || record->packet_length < DWORD(max_packet)) {
            if (total < record->stage_length) {
                purge(record->number);
                if (!record->short_is_status) status = result_bad_packet;
            }
            call_back(record, total, status);
        }
    }
    free_record(record);
}

// ---------------------------------------------------------------------------------------------
// EPControl

EPControl::EPControl(IComPort* port_, BYTE address_, CRITICAL_SECTION* device_lock, HANDLE abort_event)
    : EndPointInOutTransfer(port_, address_, 0x00, 8, device_lock, abort_event) {}

EPControl::~EPControl() { abort_all(); }

void EPControl::link(EndPoint* a, EndPoint* b, EndPoint* c) {
    siblings_[0] = a;
    siblings_[1] = b;
    siblings_[2] = c;
}

void EPControl::after_success(const BYTE* setup) {
    const SetupRecord s = SetupRecord::decode(setup);
    if (s.bmRequestType == std_request::recipient_endpoint && s.bRequest == 1 && s.wValue == 0) {
        for (EndPoint* ep : siblings_)
            if (ep && ep->endpoint_number() == BYTE(s.wIndex & 0xFF)) ep->halt_cleared();
    } else if ((s.bmRequestType == 0x00 && s.bRequest == 9) || (s.bmRequestType == 0x01 && s.bRequest == 11)) {
        // Selecting a configuration or an alternate setting starts the device's toggles at DATA0.
        for (EndPoint* ep : siblings_)
            if (ep) ep->set_toggle(0);
    }
}

bool EPControl::request(const SetupRecord& setup, BYTE* data, DWORD nak_limit, DWORD* transferred) {
    // The whole request holds the device lock, so no queued stage slips in between its stages.
    section_guard guard(lock_);
    if (transferred) *transferred = 0;
    if (setup.wLength && !data) return false;
    BYTE raw[setup_length];
    setup.encode(raw);
    if (!setup_transaction(raw)) return false;
    DWORD done = 0;
    DWORD naks = 0;
    // Without a data stage the status stage is IN whatever the direction: the device executes the
    // request when it is asked for that status.
    if ((setup.bmRequestType & 0x80) && setup.wLength) {
        bool ok = in_stage(data, setup.wLength, &done, nak_limit);
        if (transferred) *transferred = done;
        if (!ok) return false;
        toggle = 1;
        for (;;) {
            DWORD zero = 0;
            if (out_transaction(nullptr, &zero)) break;
            if (last_result == result_nak && naks++ < nak_limit) continue;
            return false;
        }
    } else {
        if (setup.wLength) {
            bool ok = out_stage(data, setup.wLength, &done, nak_limit);
            if (transferred) *transferred = done;
            if (!ok) return false;
            toggle = 1;
        }
        for (;;) {
            BYTE reply[8];
            DWORD got = sizeof reply;
            if (in_transaction(reply, &got)) {
                if (got == 0) break;
                last_result = result_bad_packet;  // a status stage carries no data
                return false;
            }
            if (last_result == result_nak && naks++ < nak_limit) continue;
            return false;
        }
    }
    after_success(raw);
    return true;
}

bool EPControl::queue_request(const SetupRecord& setup, BYTE* data, void* context, bool short_is_status,
                              ULONGLONG* number) {
    if (number) *number = 0;
    if (setup.wLength && !data) return false;
    const bool in = (setup.bmRequestType & 0x80) != 0;
    const DWORD length = setup.wLength;
    const DWORD max = DWORD(max_packet);
    const DWORD count = 1 + (length + max - 1) / max;
    std::vector<TransferRecord*> records;
    records.reserve(count);
    BYTE* copy = heap_ ? static_cast<BYTE*>(HeapAlloc(heap_, 0, setup_length)) : nullptr;
    if (!copy) return false;
    setup.encode(copy);
    for (DWORD i = 0; i < count; ++i) {
        TransferRecord* r = make_record();
        if (!r) {
            if (records.empty()) HeapFree(heap_, 0, copy);
            for (TransferRecord* made : records) free_record(made);
            return false;
        }
        r->context = context;
        r->short_is_status = short_is_status ? 1 : 0;
        r->packet_count = packets_per_record;
        if (i == 0) {
            r->kind = kind_setup;
            r->data = copy;
            r->packet_length = setup_length;
            r->stage_length = 0;  // the setup bytes are not counted as transferred data
            r->last = length == 0 ? 1 : 0;
        } else {
            const DWORD offset = (i - 1) * max;
            r->kind = in ? kind_in : kind_out;
            r->data = data + offset;
            r->packet_length = std::min(max, length - offset);
            r->stage_length = length;
            r->last = i + 1 == count ? 1 : 0;
        }
        records.push_back(r);
    }
    bool closed;
    {
        section_guard guard(&queue_lock_);
        closed = closed_;
        if (!closed) {
            const ULONGLONG n = ++counter_;
            if (length) ++counter_;
            push_records(records.data(), records.size(), n, 1);
            if (number) *number = n;
        }
    }
    if (closed) {
        for (TransferRecord* made : records) free_record(made);  // the first also frees the setup copy
        return false;
    }
    signal_work();
    return true;
}

void EPControl::complete(TransferRecord* record, DWORD status) {
    const BYTE kind = base_kind(record->kind);
    const bool pending_status = (record->kind & kind_status_pending) != 0;
    DWORD total = 0;
    if (!account(record, kind != kind_setup && !pending_status, &total)) {
        land(record);
        free_record(record);
        return;
    }
    if (!result_succeeded(status) && status != result_nak) {
        if (land(record)) status = result_aborted;
        purge(record->number);
        // A failed SETUP also takes its data stage with it.
        if (kind == kind_setup && !record->last) purge(record->number + 1);
        call_back(record, total, status);
        free_record(record);
        return;
    }
    const bool is_short = kind == kind_in && !pending_status && record->packet_length < DWORD(max_packet);
    if (!record->last && !is_short && !pending_status) {
        if (land(record)) {
            // The rest of the request was discarded while this packet ran.
            purge(record->number);
            call_back(record, total, result_aborted);
        }
        free_record(record);
        return;
    }
    DWORD result;
    {
        section_guard guard(lock_);
        toggle = 1;
        if (kind == kind_in) {
            DWORD zero = 0;
            out_transaction(nullptr, &zero);
            result = last_result;
        } else {
            BYTE reply[8];
            DWORD got = sizeof reply;
            const bool ok = in_transaction(reply, &got);
            result = last_result;
            if (ok && got) result = result_bad_packet;
        }
        if (result_succeeded(result) && kind == kind_setup) after_success(record->data);
    }
    if (result == result_nak) {
        record->kind |= kind_status_pending;
        requeue(record);
        return;
    }
    if (land(record)) result = result_aborted;
    if (!result_succeeded(result)) {
        purge(record->number);
    } else if (total < record->stage_length) {
        purge(record->number);
        if (!record->short_is_status) result = result_bad_packet;
    }
    call_back(record, total, result);
    free_record(record);
}

}  // namespace lintra
