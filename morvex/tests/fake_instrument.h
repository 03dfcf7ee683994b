// A transport that answers the instrument's device-control codes as the answering sides do, with
// switches for the firmware's choices and for faults (short replies, errors, removal).
#ifndef MORVEX_TESTS_FAKE_INSTRUMENT_H
#define MORVEX_TESTS_FAKE_INSTRUMENT_H

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <w32cpp/waitable.h>

#include <karnet/iapi.h>

#include <morvex/wire.h>

#include "fake_protocol.h"

namespace morvex_test {

using namespace zeph_wire;

// A request of the fake: each is taken out of the fake's queues under its lock before it is
// completed, so it completes once.
struct fake_request : karnet_test::fake_assync {
    karnet::device_handle handle = nullptr;
    ostrel::mem_block output;
};

using request_handle = w32cpp::auto_handle<fake_request>;

// A notification record as the instrument sends it: the event code at bytes 1-2, the event data at
// bytes 15-62. Written out here, not taken from the library's constants, so that a wrong offset
// there shows.
constexpr uint32_t record_code_offset = 1;
constexpr uint32_t record_data_offset = 15;
constexpr uint32_t record_data_size = 48;

class fake_instrument : public karnet::io_protocol, public karnet::io_request_cancel {
public:
    static fake_instrument* make(karnet::protocol_handle& holder) {
        auto* p = new fake_instrument();
        holder.reset(p);
        p->holder_ = &holder;
        return p;
    }

    // Firmware choices: the length the string-length code answers (USB: bLength - 2; serial: bLength).
    std::atomic<bool> serial_string_length{false};
    // Faults: the next reply of `short_code` is one byte short; `fail_code` fails with `fail_status`.
    std::atomic<uint32_t> short_code{0};
    std::atomic<uint32_t> fail_code{0};
    std::atomic<DWORD> fail_status{ERROR_GEN_FAILURE};
    // Stream reads: complete at once with the counter pattern, or stay pending for the test.
    std::atomic<bool> reads_pending{false};
    // Device-control requests stay pending until the device goes (removal during a request), or
    // only those of hold_code until release_held.
    std::atomic<bool> hold_controls{false};
    std::atomic<uint32_t> hold_code{0};
    size_t held_controls() {
        std::lock_guard<std::mutex> g(m_);
        return controls_.size();
    }
    // Answers the held requests with `status` and a full reply.
    void release_held(DWORD status = 0) {
        std::vector<request_handle> taken;
        {
            std::lock_guard<std::mutex> g(m_);
            taken.assign(controls_.begin(), controls_.end());
            controls_.clear();
        }
        for (auto& r : taken) r->complete(status, status == 0 ? r->output.size() : 0);
    }
    // Requests ended by a cancel (either kind).
    std::atomic<int> cancelled{0};
    // A new mode selection cancels the notification reads in flight (as the driver restarts its channel).
    std::atomic<bool> mode_cancels_notifications{true};

    std::map<uint8_t, std::u16string> strings{{1, u"Fasko"}, {2, u"Zeph 8"}, {3, u"SN0042"}};
    uint16_t bcd = 0x0123;

    void plug(const std::string& name, const GUID& cls) {
        std::lock_guard<std::mutex> g(m_);
        devices_[name] = &cls;
    }
    // Takes the device away: its pending requests fail with 1617 and the manager hears of it.
    void remove(const std::string& name) {
        const GUID* cls;
        {
            std::lock_guard<std::mutex> g(m_);
            cls = devices_[name];
            devices_.erase(name);
            removed_ = true;
        }
        fail_pending(ERROR_DEVICE_REMOVED);
        notify_removal(karnet::guid(*cls));
    }

    // Completes the oldest notification read with a record carrying `code` (false when none waits).
    bool fire(uint16_t code, uint8_t tag = 0) {
        request_handle r;
        {
            std::lock_guard<std::mutex> g(m_);
            if (notifications_.empty()) return false;
            r = notifications_.front();
            notifications_.pop_front();
        }
        unsigned char* p = r->output.bytes();
        std::memset(p, 0, NOTIFY_SIZE);
        put16(p + record_code_offset, code);
        for (uint32_t i = 0; i < record_data_size; ++i) p[record_data_offset + i] = uint8_t(tag + i);
        r->complete(0, short_code.exchange(0) == IOCTL_READ_NOTIFICATION ? record_data_offset + record_data_size - 1
                                                                         : NOTIFY_SIZE);
        return true;
    }
    size_t notification_reads() {
        std::lock_guard<std::mutex> g(m_);
        return notifications_.size();
    }
    // Fails the oldest notification read.
    bool fail_notification(DWORD status) {
        request_handle r;
        {
            std::lock_guard<std::mutex> g(m_);
            if (notifications_.empty()) return false;
            r = notifications_.front();
            notifications_.pop_front();
        }
        r->complete(status, 0);
        return true;
    }

    // Pending stream reads, oldest first.
    std::vector<request_handle> pending_reads() {
        std::lock_guard<std::mutex> g(m_);
        return std::vector<request_handle>(reads_.begin(), reads_.end());
    }
    // Completes pending stream read i with the counter pattern (or a failure).
    void complete_read(const request_handle& r, DWORD status = 0) {
        {
            std::lock_guard<std::mutex> g(m_);
            auto it = std::find(reads_.begin(), reads_.end(), r);
            if (it == reads_.end()) return;  // taken back by a cancel meanwhile
            reads_.erase(it);
        }
        if (status == 0) fill_pattern(r->output, r->output.size());
        r->complete(status, status == 0 ? r->output.size() : 0);
    }
    // The value of the first word of each read's data: a counter across the whole stream.
    static uint32_t first_word(const ostrel::mem_block& b) { return get24(b.bytes()); }

    std::vector<std::vector<uint8_t>> sent(uint32_t code) {
        std::lock_guard<std::mutex> g(m_);
        std::vector<std::vector<uint8_t>> out;
        for (auto& [c, bytes] : log_)
            if (c == code) out.push_back(bytes);
        return out;
    }
    uint8_t mode() const { return mode_.load(); }
    std::map<uint32_t, std::vector<uint8_t>> params;  // word -> data, guarded by m_

    // io_protocol
    karnet::interface_list enumerate(karnet::guid cls) override {
        std::vector<std::string> names;
        {
            std::lock_guard<std::mutex> g(m_);
            for (auto& [name, c] : devices_)
                if (karnet::guid(*c) == cls) names.push_back(name);
        }
        karnet::interface_list out;
        for (auto& n : names) out.push_back(create_device_interface(n, cls, karnet::device_description()));
        return out;
    }
    void watch(karnet::guid) override {}
    void unwatch(karnet::guid) override {}
    karnet::protocol_handle self() override { return *holder_; }
    karnet::device_handle open(std::string name) override {
        std::lock_guard<std::mutex> g(m_);
        if (!devices_.count(name)) return INVALID_HANDLE_VALUE;
        removed_ = false;
        return reinterpret_cast<karnet::device_handle>(uintptr_t(++opened_));
    }
    // As closing a handle: the requests still pending on it end as cancelled.
    void close(karnet::device_handle* handle) override {
        std::vector<request_handle> taken;
        {
            std::lock_guard<std::mutex> g(m_);
            for (auto* q : {&notifications_, &reads_, &controls_})
                take_if(*q, taken, [&](const request_handle& r) { return r->handle == *handle; });
        }
        for (auto& r : taken) r->complete(ERROR_OPERATION_ABORTED, 0);
    }

    karnet::assync_handle read(karnet::device_handle* handle, karnet::io_read& op) override {
        request_handle r(new fake_request());
        r->handle = *handle;
        r->output = op.buffer();
        op.set_request(karnet::assync_handle(r));
        if (removed_.load()) {
            r->complete(ERROR_DEVICE_REMOVED, 0);
        } else if (reads_pending.load()) {
            std::lock_guard<std::mutex> g(m_);
            reads_.push_back(r);
        } else {
            fill_pattern(op.buffer(), op.buffer().size());
            r->complete(0, op.buffer().size());
        }
        return karnet::assync_handle(r);
    }
    karnet::assync_handle write(karnet::device_handle*, karnet::io_write& op) override {
        request_handle r(new fake_request());
        op.set_request(karnet::assync_handle(r));
        r->complete(0, op.buffer().size());
        return karnet::assync_handle(r);
    }
    karnet::assync_handle control(karnet::device_handle* handle, karnet::io_control& op) override {
        request_handle r(new fake_request());
        r->handle = *handle;
        r->output = op.output();
        op.set_request(karnet::assync_handle(r));
        answer(op, r);
        return karnet::assync_handle(r);
    }
    // As CancelIoEx without an OVERLAPPED: every request of the handle, whichever thread issued it,
    // device-control requests included.
    w32cpp::status_win32 cancel(karnet::device_handle* handle) override {
        std::vector<request_handle> taken;
        {
            std::lock_guard<std::mutex> g(m_);
            for (auto* q : {&notifications_, &reads_, &controls_})
                take_if(*q, taken, [&](const request_handle& r) { return r->handle == *handle; });
        }
        abort(taken);
        return w32cpp::status_win32(0u);
    }
    // As CancelIoEx with the request's OVERLAPPED: that request alone.
    w32cpp::status_win32 cancel_request(karnet::device_handle* handle, karnet::io_assync& request) override {
        std::vector<request_handle> taken;
        {
            std::lock_guard<std::mutex> g(m_);
            for (auto* q : {&notifications_, &reads_, &controls_})
                take_if(*q, taken,
                        [&](const request_handle& r) { return r.get() == &request && r->handle == *handle; });
        }
        abort(taken);
        return w32cpp::status_win32(0u);
    }

private:
    fake_instrument() = default;

    template <class Pred>
    static void take_if(std::deque<request_handle>& q, std::vector<request_handle>& out, Pred taken) {
        for (auto it = q.begin(); it != q.end();) {
            if (taken(*it)) {
                out.push_back(*it);
                it = q.erase(it);
            } else {
                ++it;
            }
        }
    }
    void abort(std::vector<request_handle>& taken) {
        cancelled += int(taken.size());
        for (auto& r : taken) r->complete(ERROR_OPERATION_ABORTED, 0);
    }

    void fail_pending(DWORD status) {
        std::vector<request_handle> taken;
        {
            std::lock_guard<std::mutex> g(m_);
            taken.assign(notifications_.begin(), notifications_.end());
            taken.insert(taken.end(), reads_.begin(), reads_.end());
            taken.insert(taken.end(), controls_.begin(), controls_.end());
            notifications_.clear();
            reads_.clear();
            controls_.clear();
        }
        for (auto& r : taken) r->complete(status, 0);
    }

    void fill_pattern(const ostrel::mem_block& b, uint32_t size) {
        if (size >= 3) put24(b.bytes(), sequence_++ & WORD_MAX);
        for (uint32_t i = 3; i < size; ++i) b.bytes()[i] = uint8_t(i);
    }

    uint32_t reply_size(uint32_t code, uint32_t size) {
        return short_code.load() == code ? (short_code = 0, size - 1) : size;
    }

    void answer(karnet::io_control& op, const request_handle& r) {
        const uint32_t code = op.code();
        const ostrel::mem_block& in = op.input();
        const ostrel::mem_block& out = op.output();
        {
            std::lock_guard<std::mutex> g(m_);
            log_.emplace_back(code, std::vector<uint8_t>(in.bytes(), in.bytes() + in.size()));
        }
        if (removed_.load()) {
            r->complete(ERROR_DEVICE_REMOVED, 0);
            return;
        }
        if (hold_controls.load() || (hold_code.load() && hold_code.load() == code)) {
            std::lock_guard<std::mutex> g(m_);
            controls_.push_back(r);
            return;
        }
        if (fail_code.load() == code) {
            fail_code = 0;
            r->complete(fail_status.load(), 0);
            return;
        }
        switch (code) {
        case IOCTL_SELECT_MODE: {
            if (in.size() != 4) return (void)r->complete(ERROR_INVALID_PARAMETER, 0);
            mode_ = in.bytes()[0];
            if (mode_cancels_notifications.load()) {
                std::vector<request_handle> taken;
                {
                    std::lock_guard<std::mutex> g(m_);
                    taken.assign(notifications_.begin(), notifications_.end());
                    notifications_.clear();
                }
                for (auto& t : taken) t->complete(ERROR_OPERATION_ABORTED, 0);
            }
            return (void)r->complete(0, 0);
        }
        case IOCTL_GET_BCD_DEVICE: put16(out.bytes(), bcd); return (void)r->complete(0, reply_size(code, 2));
        case IOCTL_GET_MANUFACTURER_INDEX:
        case IOCTL_GET_PRODUCT_INDEX:
        case IOCTL_GET_SERIAL_NUMBER_INDEX:
            out.bytes()[0] = uint8_t(1 + (code - IOCTL_GET_MANUFACTURER_INDEX) / 4);
            return (void)r->complete(0, reply_size(code, 1));
        case IOCTL_GET_STRING_LENGTH: {
            auto it = strings.find(in.bytes()[0]);
            if (it == strings.end()) return (void)r->complete(ERROR_GEN_FAILURE, 0);
            // A descriptor's bLength is 2 + the text's bytes; it wraps for broken descriptors.
            const uint8_t b_length = forced_length_ ? forced_length_ : uint8_t(2 + 2 * it->second.size());
            out.bytes()[0] = serial_string_length.load() ? b_length : uint8_t(b_length - 2);
            return (void)r->complete(0, reply_size(code, 1));
        }
        case IOCTL_GET_STRING: {
            auto it = strings.find(in.bytes()[0]);
            if (it == strings.end()) return (void)r->complete(ERROR_GEN_FAILURE, 0);
            uint32_t n = 0;
            for (char16_t u : it->second) {
                if (n + 2 > out.size()) break;
                put16(out.bytes() + n, u);
                n += 2;
            }
            if (n + 2 <= out.size()) {
                put16(out.bytes() + n, 0);
                n += 2;
            }
            // What the answering side received is all it returns; the rest of the buffer is left as it was.
            return (void)r->complete(0, n);
        }
        case IOCTL_VENDOR_COMMAND:
        case IOCTL_VENDOR_WRITE:
        case IOCTL_VENDOR_READ: {
            if (in.size() < HEADER_SIZE) return (void)r->complete(ERROR_INVALID_PARAMETER, 0);
            header_view h{in.bytes()};
            const uint32_t length = h.length();
            if (length > MAX_DATA) return (void)r->complete(ERROR_INVALID_PARAMETER, 0);
            if (code == IOCTL_VENDOR_WRITE) {
                if (in.size() != HEADER_SIZE + length) return (void)r->complete(ERROR_INVALID_PARAMETER, 0);
                std::lock_guard<std::mutex> g(m_);
                params[h.word()] = std::vector<uint8_t>(in.bytes() + HEADER_SIZE, in.bytes() + in.size());
            } else if (code == IOCTL_VENDOR_READ) {
                if (out.size() < HEADER_SIZE + length) return (void)r->complete(ERROR_INVALID_PARAMETER, 0);
                std::vector<uint8_t> data;
                {
                    std::lock_guard<std::mutex> g(m_);
                    data = params[h.word()];
                }
                data.resize(length);
                std::memcpy(out.bytes() + HEADER_SIZE, data.data(), length);
                return (void)r->complete(0, reply_size(code, HEADER_SIZE + length));
            }
            return (void)r->complete(0, 0);
        }
        case IOCTL_READ_NOTIFICATION: {
            if (out.size() != NOTIFY_SIZE) return (void)r->complete(ERROR_INVALID_PARAMETER, 0);
            // The channel runs only in an active mode.
            if (mode_.load() == MODE_IDLE) return (void)r->complete(ERROR_GEN_FAILURE, 0);
            std::lock_guard<std::mutex> g(m_);
            notifications_.push_back(r);
            return;
        }
        case IOCTL_RESET_DEVICE: return (void)r->complete(0, 0);
        default: return (void)r->complete(ERROR_INVALID_FUNCTION, 0);
        }
    }

public:
    uint8_t forced_length_ = 0;  // a broken descriptor's bLength (0: the real one)

private:
    karnet::protocol_handle* holder_ = nullptr;
    std::mutex m_;
    std::map<std::string, const GUID*> devices_;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> log_;
    std::deque<request_handle> notifications_;
    std::deque<request_handle> reads_;
    std::deque<request_handle> controls_;
    std::atomic<uint8_t> mode_{0};
    std::atomic<bool> removed_{false};
    std::atomic<uint32_t> sequence_{0};
    uintptr_t opened_ = 0;
};

}  // namespace morvex_test

#endif
