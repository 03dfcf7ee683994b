// The instrument API's reply handling: the device answers every request with bytes and a length the
// input chooses (within the caller's buffer, as a transport reports it), for each kind of request:
// parameter words, descriptor indices and strings, the release number, notification records and
// stream reads. The API reached as clients reach it: morvex8 loaded by name over the device manager.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <w32cpp/loader.h>

#include <morvex/morvex.h>

#include "fake_protocol.h"
#include "zephtest/wait.h"

namespace {

using namespace zeph_wire;

struct cursor {
    std::mutex m;
    const std::uint8_t* p = nullptr;
    std::size_t n = 0, at = 0;
    bool empty() {
        std::lock_guard<std::mutex> g(m);
        return at >= n;
    }
    // One answer: a status byte (0 or an error), a length within `room` and that many bytes.
    bool answer(std::uint8_t* out, std::uint32_t room, DWORD* status, std::uint32_t* bytes) {
        std::lock_guard<std::mutex> g(m);
        if (at >= n) return false;
        static const DWORD errors[] = {ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED, ERROR_DEVICE_REMOVED,
                                       ERROR_INVALID_PARAMETER, ERROR_IO_DEVICE, ERROR_SEM_TIMEOUT};
        const std::uint8_t s = p[at++];
        *status = s < 0xC0 ? 0 : errors[s % std::size(errors)];
        std::uint32_t length = 0;
        for (int i = 0; i < 2 && at < n; ++i) length |= std::uint32_t(p[at++]) << (8 * i);
        length = room ? length % (room + 1) : 0;
        for (std::uint32_t i = 0; i < length; ++i) out[i] = at < n ? p[at++] : 0;
        *bytes = *status == 0 ? length : 0;
        return true;
    }
};

struct request : karnet_test::fake_assync {
    karnet::device_handle handle = nullptr;
};
using request_handle = w32cpp::auto_handle<request>;

// A device whose every answer comes from the input: controls from one part, notification records
// from another, stream reads from the last. Once a part is used up, controls fail and reads wait
// until they are cancelled or the device is closed.
class scripted_device : public karnet::io_protocol, public karnet::io_request_cancel {
public:
    static scripted_device* make(karnet::protocol_handle& holder) {
        auto* p = new scripted_device();
        holder.reset(p);
        p->holder_ = &holder;
        return p;
    }
    cursor controls, notifications, reads;

    karnet::interface_list enumerate(karnet::guid cls) override {
        karnet::interface_list out;
        if (cls == karnet::guid(device_interface_guid_bulk))
            out.push_back(create_device_interface("fuzz1", cls, karnet::device_description()));
        return out;
    }
    void watch(karnet::guid) override {}
    void unwatch(karnet::guid) override {}
    karnet::protocol_handle self() override { return *holder_; }
    karnet::device_handle open(std::string) override { return reinterpret_cast<karnet::device_handle>(uintptr_t(1)); }
    void close(karnet::device_handle*) override { end_waiting(); }
    karnet::assync_handle read(karnet::device_handle* h, karnet::io_read& op) override {
        return answer(h, op.buffer(), reads, [&](karnet::assync_handle r) { op.set_request(r); });
    }
    karnet::assync_handle write(karnet::device_handle*, karnet::io_write& op) override {
        request_handle r(new request());
        op.set_request(karnet::assync_handle(r));
        r->complete(0, op.buffer().size());
        return karnet::assync_handle(r);
    }
    karnet::assync_handle control(karnet::device_handle* h, karnet::io_control& op) override {
        const bool notification = op.code() == IOCTL_READ_NOTIFICATION;
        auto set = [&](karnet::assync_handle r) { op.set_request(r); };
        if (notification) return answer(h, op.output(), notifications, set);
        // Mode selections always succeed (they carry no reply), so the notification and stream parts run.
        if (op.code() == IOCTL_SELECT_MODE) {
            request_handle r(new request());
            set(karnet::assync_handle(r));
            r->complete(0, 0);
            return karnet::assync_handle(r);
        }
        request_handle r(new request());
        set(karnet::assync_handle(r));
        DWORD status = 0;
        std::uint32_t bytes = 0;
        if (!controls.answer(op.output().bytes(), op.output().size(), &status, &bytes)) status = ERROR_GEN_FAILURE;
        r->complete(status, bytes);
        return karnet::assync_handle(r);
    }
    w32cpp::status_win32 cancel(karnet::device_handle*) override {
        end_waiting();
        return w32cpp::status_win32(0u);
    }
    // That request alone, as CancelIoEx with its OVERLAPPED.
    w32cpp::status_win32 cancel_request(karnet::device_handle*, karnet::io_assync& request) override {
        request_handle found;
        {
            std::lock_guard<std::mutex> g(m_);
            for (auto it = waiting_.begin(); it != waiting_.end(); ++it)
                if (it->get() == &request) {
                    found = *it;
                    waiting_.erase(it);
                    break;
                }
        }
        if (found) found->complete(ERROR_OPERATION_ABORTED, 0);
        return w32cpp::status_win32(0u);
    }
    void end_waiting() {
        std::deque<request_handle> taken;
        {
            std::lock_guard<std::mutex> g(m_);
            taken.swap(waiting_);
        }
        for (auto& r : taken) r->complete(ERROR_OPERATION_ABORTED, 0);
    }

private:
    scripted_device() = default;

    template <class Set>
    karnet::assync_handle answer(karnet::device_handle* h, const ostrel::mem_block& out, cursor& c, Set set) {
        request_handle r(new request());
        r->handle = *h;
        set(karnet::assync_handle(r));
        DWORD status = 0;
        std::uint32_t bytes = 0;
        if (c.answer(out.bytes(), out.size(), &status, &bytes)) {
            r->complete(status, bytes);
        } else {
            std::lock_guard<std::mutex> g(m_);
            waiting_.push_back(r);
        }
        return karnet::assync_handle(r);
    }

    karnet::protocol_handle* holder_ = nullptr;
    std::mutex m_;
    std::deque<request_handle> waiting_;
};

struct api_lib : w32cpp::dynamic_link_instance<morvex::iapi> {
    api_lib() : w32cpp::dynamic_link_instance<morvex::iapi>("morvex8", "morvex_get_instance") {}
};

struct observer : morvex::zeph_notification_observer {
    observer() : zeph_notification_observer(0, true) {}
    void on_event(uint16_t, const morvex::event_data& data) override {
        // Every byte of the event data is read: ASan sees a view past its block.
        unsigned sum = 0;
        for (uint32_t i = 0; i < data.size(); ++i) sum += data.data()[i];
        seen += 1 + (sum & 0);
    }
    void on_error(DWORD) override { ++errors; }
    std::atomic<int> seen{0}, errors{0};
};

struct receiver : morvex::zeph_stream_receiver {
    void completed(DWORD status, const ostrel::mem_block& buffer, uint32_t bytes) override {
        if (status == 0) {
            if (bytes > buffer.size()) std::abort();  // more than the read's own buffer
            unsigned sum = 0;
            for (uint32_t i = 0; i < bytes; ++i) sum += buffer.bytes()[i];
            (void)sum;
        }
        ++count;
    }
    std::atomic<int> count{0};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static api_lib api;
    if (!api) std::abort();  // morvex8 (or what it binds) did not load: nothing would be tested
    if (size < 4) return 0;
    // Bytes 0-1 and 2-3: the lengths of the control and notification parts; the rest is for reads.
    const std::size_t a = std::min<std::size_t>(data[0] | (data[1] << 8), size - 4);
    const std::size_t b = std::min<std::size_t>(data[2] | (data[3] << 8), size - 4 - a);
    karnet::protocol_handle holder;
    scripted_device* device = scripted_device::make(holder);
    device->controls.p = data + 4;
    device->controls.n = a;
    device->notifications.p = data + 4 + a;
    device->notifications.n = b;
    device->reads.p = data + 4 + a + b;
    device->reads.n = size - 4 - a - b;
    device->start();
    {
        karnet::interface_list list =
            api->device_manager()->device_interfaces(karnet::guid(device_interface_guid_bulk));
        if (list.empty()) std::abort();
        {
            morvex::zeph_session s = api->open_session(api->device_manager()->create_session(list.front()));
            s.set_mode(1, 0, 0);
            for (uint16_t count : {1, 5, 128}) {
                morvex::zeph_get_param g = s.make_get_param(0x030103, 0, count);
                if (s.control_and_wait(g, zephtest::deadline_ms).get_code() == 0)
                    for (uint32_t i = 0; i < count; ++i) (void)g.word(i);
            }
            (void)s.bcd_device();
            (void)s.manufacturer();
            (void)s.product();
            (void)s.serial_number();
            (void)s.string_descriptor(4);
            (void)s.read_pipe_request();

            observer o;
            s.add_observer(&o);
            zephtest::wait_until([&] { return device->notifications.empty(); }, std::chrono::milliseconds(100));
            s.remove_observer(&o);

            w32cpp::auto_handle<receiver> rx(new receiver());
            s.stream().client().set(rx);
            if (s.stream().start(64, 8)) {
                zephtest::wait_until([&] { return device->reads.empty(); }, std::chrono::milliseconds(100));
                s.stream().stop();
            }
            s.stream().client().reset();
            s.on_device_removed();
        }
    }
    device->stop();
    device->end_waiting();
    return 0;
}
