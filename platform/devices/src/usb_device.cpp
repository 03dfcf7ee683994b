// The instrument's USB face: control requests run on the caller's thread; transfers are queued per
// endpoint and served by one completion thread, which also delivers every completion.
#include "simdev/usb_device.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "simdev/instrument.h"

namespace simdev {

const char* to_string(usb_status s) {
    switch (s) {
    case usb_status::success: return "success";
    case usb_status::stall: return "stall";
    case usb_status::cancelled: return "cancelled";
    case usb_status::removed: return "removed";
    case usb_status::not_responding: return "not_responding";
    case usb_status::data_error: return "data_error";
    case usb_status::babble: return "babble";
    case usb_status::invalid: return "invalid";
    case usb_status::toggle_mismatch: return "toggle_mismatch";
    }
    return "?";
}

using clock_type = std::chrono::steady_clock;

struct usb_device::impl {
    struct xfer {
        transfer_id id = 0;
        std::uint8_t ep = 0;
        bool iso = false;
        std::uint8_t* buf = nullptr;
        std::size_t len = 0;
        std::size_t done_bytes = 0;
        transfer_completion done;
        packet_check host;
        iso_packet* packets = nullptr;
        std::uint32_t count = 0;
        iso_completion iso_done;
        clock_type::time_point ready{};  // not before this time (NAK back-off, frame timing)
        bool busy = false;               // the completion thread works on it without the lock
        bool cancel_asked = false;
        bool timed = false;              // NAKed: due again at `ready` (not waiting for data)
    };
    struct completion {
        std::uint64_t seq;
        transfer_id id;
        transfer_completion done;
        iso_completion iso_done;
        usb_status status;
        std::size_t bytes;
    };

    std::shared_ptr<instrument> model;
    int token = 0;

    mutable std::mutex mu;
    std::condition_variable cv;        // work for the completion thread
    std::condition_variable cv_done;   // completions delivered
    std::map<transfer_id, xfer> xfers;
    std::map<std::uint8_t, std::deque<transfer_id>> queues;
    std::deque<completion> completions;
    std::uint64_t queued_seq = 0, delivered_seq = 0;
    std::set<transfer_id> in_delivery;  // ended, callback not yet returned
    std::map<std::uint8_t, clock_type::time_point> iso_next;  // next free frame per endpoint
    bool dirty = true;
    bool stopping = false;
    bool removed = false;
    bool self_removal = false;  // unplugged by the firmware or a fault: run the handler
    std::function<void()> removal_handler;
    bool handler_running = false;
    std::uint32_t frame_us = 1000;
    std::atomic<transfer_id> next_id{1};
    std::thread worker;
    std::thread::id worker_id;
    std::size_t delivery_waiters = 0;  // calls blocked in wait_delivered
    std::atomic<std::size_t> controls_active{0}, controls_max{0};

    // --- under mu ---
    std::uint64_t finish_locked(transfer_id id, usb_status st, std::size_t bytes) {
        auto it = xfers.find(id);
        if (it == xfers.end()) return queued_seq;
        xfer& x = it->second;
        auto& q = queues[x.ep];
        q.erase(std::remove(q.begin(), q.end(), id), q.end());
        completions.push_back({++queued_seq, id, std::move(x.done), std::move(x.iso_done), st, bytes});
        in_delivery.insert(id);
        xfers.erase(it);
        cv.notify_all();
        return queued_seq;
    }

    // Ends every transfer matching pred; busy ones are ended by the thread working on them.
    // Returns the transfers concerned, for wait_delivered.
    template <class Pred>
    std::vector<transfer_id> end_all_locked(usb_status st, Pred pred) {
        std::vector<transfer_id> ids;
        for (auto& [id, x] : xfers)
            if (pred(x)) ids.push_back(id);
        for (auto id : ids) {
            xfer& x = xfers[id];
            if (x.busy) {
                x.cancel_asked = true;
                continue;
            }
            finish_locked(id, st, x.iso ? 0 : x.done_bytes);
        }
        return ids;
    }

    // Waits until the callbacks of these transfers have returned (not on the completion thread).
    // A transfer that was busy when it was ended completes later than the others, so the wait is
    // by transfer and not by position in the completion queue.
    void wait_delivered(std::unique_lock<std::mutex>& lk, const std::vector<transfer_id>& ids) {
        if (std::this_thread::get_id() == worker_id) return;
        ++delivery_waiters;
        cv_done.wait(lk, [&] {
            for (auto id : ids)
                if (xfers.count(id) || in_delivery.count(id)) return false;
            return true;
        });
        --delivery_waiters;
    }

    std::vector<transfer_id> remove_all_locked() {
        removed = true;
        return end_all_locked(usb_status::removed, [](const xfer&) { return true; });
    }

    void run();
    void deliver_one(std::unique_lock<std::mutex>& lk);
    bool step(std::unique_lock<std::mutex>& lk);
    void serve(std::unique_lock<std::mutex>& lk, xfer& x);

    // The device's data toggle of a bulk endpoint (true: DATA1), back to DATA0 whenever the firmware
    // starts it again. Only the completion thread (serve) uses it.
    struct toggle {
        std::uint32_t epoch = 0;
        bool data1 = false;
    };
    std::map<std::uint8_t, toggle> toggles;
    bool& device_toggle(std::uint8_t ep) {
        toggle& t = toggles[ep];
        std::uint32_t e = model->reset_epoch(ep);
        if (t.epoch != e) {
            t.epoch = e;
            t.data1 = false;
        }
        return t.data1;
    }
    // Sends bulk IN packets of up to maxp bytes from the first n bytes of seg until the host has len
    // bytes in buf or seg ends. Each packet's ACK reaches the device unless lost, and then the device
    // sends it again with the same toggle. With lose_last the last packet's ACK is lost and nothing
    // follows (the transfer ends in an error there). With metered, the removal fault's allowance may
    // cut a packet short (*cut). Returns the bytes the host took; *acked: the bytes the device saw
    // acknowledged; *overflow: a packet came that the buffer had no room for.
    std::size_t send_packets(std::uint8_t ep, const std::uint8_t* seg, std::size_t n, std::size_t maxp,
                             std::uint8_t* buf, std::size_t len, const packet_check& host, bool lose_last,
                             bool metered, std::size_t* acked, bool* overflow, bool* cut) {
        std::size_t pos = 0, took = 0;
        unsigned repeats = 0;  // of the packet being sent: a lost ACK that keeps coming back lets it through
        *overflow = *cut = false;
        while (pos < n && took < len) {
            std::size_t pk = std::min(maxp, n - pos);
            if (metered) {
                std::size_t allowed = model->faults().bulk_in_allowance(pk);
                *cut = allowed < pk;
                pk = allowed;
                if (pk == 0) break;
            }
            bool& data1 = device_toggle(ep);
            if (!host || host(data1)) {
                if (took + pk > len) {
                    *overflow = true;
                    break;
                }
                std::memcpy(buf + took, seg + pos, pk);
                took += pk;
            }
            if (*cut) {
                pos += pk;
                break;
            }
            if (lose_last && pos + pk >= n) break;
            if (repeats < 8 && model->faults().take_lost_in_handshake(ep)) {
                ++repeats;
                continue;  // sent again, same toggle
            }
            repeats = 0;
            data1 = !data1;
            pos += pk;
        }
        *acked = pos;
        return took;
    }
    // Bulk OUT packets of up to maxp bytes from the len bytes of buf (a zero-length transfer is one empty
    // packet). The device takes a packet carrying the toggle it expects and drops a repeat of the last one
    // it took; it acknowledges both. With lose_last the host misses the last packet's handshake.
    void receive_packets(std::uint8_t ep, const std::uint8_t* buf, std::size_t len, std::size_t maxp,
                         const packet_check& host, bool lose_last) {
        std::size_t pos = 0;
        do {
            const std::size_t pk = std::min(maxp, len - pos);
            bool& expected = device_toggle(ep);
            const bool data1 = host ? host(!(lose_last && pos + pk >= len)) : expected;
            if (data1 == expected) {
                model->bulk_out_bytes(std::span<const std::uint8_t>(buf + pos, pk));
                expected = !expected;
            }
            pos += pk;
        } while (pos < len);
    }
};

usb_device::usb_device(std::shared_ptr<instrument> model) : p_(std::make_unique<impl>()) {
    p_->model = std::move(model);
    impl* p = p_.get();
    p_->token = p_->model->subscribe(
        [p] {
            std::lock_guard<std::mutex> g(p->mu);
            p->dirty = true;
            p->cv.notify_all();
        },
        [p] {
            std::lock_guard<std::mutex> g(p->mu);
            if (p->removed) return;
            p->self_removal = true;
            p->cv.notify_all();
        });
    p_->worker = std::thread([p] { p->run(); });
    std::lock_guard<std::mutex> g(p_->mu);
    p_->worker_id = p_->worker.get_id();
}

usb_device::~usb_device() {
    remove();
    p_->model->unsubscribe(p_->token);
    {
        std::lock_guard<std::mutex> g(p_->mu);
        p_->stopping = true;
        p_->cv.notify_all();
    }
    if (p_->worker.joinable()) p_->worker.join();
}

instrument& usb_device::model() { return *p_->model; }
std::shared_ptr<instrument> usb_device::model_ptr() const { return p_->model; }

std::vector<std::uint8_t> usb_device::device_descriptor() const { return p_->model->device_descriptor(); }
std::vector<std::uint8_t> usb_device::configuration_descriptor(std::uint8_t index) const {
    return p_->model->configuration_descriptor(index);
}
std::vector<std::uint8_t> usb_device::string_descriptor(std::uint8_t index, std::uint16_t lang) const {
    auto d = p_->model->string_descriptor(index, lang);
    return d ? *d : std::vector<std::uint8_t>{};
}

control_result usb_device::control(const setup_packet& setup, std::uint8_t* data) {
    // In progress from setup to status stage; counted for max_concurrent_control.
    std::size_t now = ++p_->controls_active;
    for (std::size_t m = p_->controls_max.load(); now > m && !p_->controls_max.compare_exchange_weak(m, now);) {
    }
    struct leave {
        impl* p;
        ~leave() { --p->controls_active; }
    } counted{p_.get()};
    if (std::uint32_t us = p_->model->faults().control_duration())
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    std::uint32_t frame = 0;
    {
        std::lock_guard<std::mutex> g(p_->mu);
        if (p_->removed || p_->self_removal) return {usb_status::removed, 0};
        frame = p_->frame_us;
    }
    if (setup.wLength && !data) return {usb_status::invalid, 0};  // a data stage needs a buffer
    instrument& m = *p_->model;
    if (auto hook = m.faults().take_request_hook(setup)) hook();  // outside every lock: it may call back in
    if (m.faults().take_silence(0)) return {usb_status::not_responding, 0};
    if (auto e = m.faults().take_usb_error(0)) return {*e, 0};
    while (m.faults().take_nak(0)) std::this_thread::sleep_for(std::chrono::microseconds(frame));
    const bool in = (setup.bmRequestType & 0x80) != 0;
    // Selecting a configuration or a setting ends the transfers on the endpoints it replaces,
    // before the endpoints change under them.
    if ((setup.bmRequestType & 0x60) == 0 && !in && (setup.bRequest == 9 || setup.bRequest == 11)) {
        std::unique_lock<std::mutex> lk(p_->mu);
        std::uint8_t ep = setup.wIndex == 0 ? 0x82 : setup.wIndex == 1 ? 0x81 : 0x01;
        bool all = setup.bRequest == 9;
        auto ids = p_->end_all_locked(usb_status::cancelled,
                                      [all, ep](const impl::xfer& x) { return all || x.ep == ep; });
        if (!all) p_->iso_next.erase(ep); else p_->iso_next.clear();
        p_->wait_delivered(lk, ids);
    }
    std::span<const std::uint8_t> out;
    if (!in && setup.wLength) out = std::span<const std::uint8_t>(data, setup.wLength);
    control_reply r = m.control(setup, out);
    // An instrument that has just left the bus answers nothing: it does not stall.
    if (r.stall) return {m.plugged() ? usb_status::stall : usb_status::removed, 0};
    std::size_t n = 0;
    if (in) {
        n = std::min<std::size_t>(r.data.size(), setup.wLength);
        if (n) std::memcpy(data, r.data.data(), n);
    } else {
        n = setup.wLength;
    }
    if ((setup.bmRequestType & 0x60) == 0) {
        std::lock_guard<std::mutex> g(p_->mu);
        p_->dirty = true;  // a cleared halt or a new configuration may let transfers go on
        p_->cv.notify_all();
    }
    return {usb_status::success, n};
}

transfer_id usb_device::submit(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length,
                               transfer_completion done, packet_check host) {
    impl::xfer x;
    x.id = p_->next_id++;
    x.ep = endpoint;
    x.buf = buffer;
    x.len = length;
    x.done = std::move(done);
    x.host = std::move(host);
    std::lock_guard<std::mutex> g(p_->mu);
    transfer_id id = x.id;
    p_->xfers.emplace(id, std::move(x));
    p_->queues[endpoint].push_back(id);
    if (p_->removed) p_->finish_locked(id, usb_status::removed, 0);
    p_->dirty = true;
    p_->cv.notify_all();
    return id;
}

transfer_id usb_device::submit_iso(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t buffer_length,
                                   iso_packet* packets, std::uint32_t count, iso_completion done) {
    impl::xfer x;
    x.id = p_->next_id++;
    x.ep = endpoint;
    x.iso = true;
    x.buf = buffer;
    x.len = buffer_length;
    x.packets = packets;
    x.count = count;
    x.iso_done = std::move(done);
    std::lock_guard<std::mutex> g(p_->mu);
    auto now = clock_type::now();
    auto& next = p_->iso_next[endpoint];
    if (next < now) next = now;
    next += std::chrono::microseconds(static_cast<std::uint64_t>(p_->frame_us) * count);
    x.ready = next;
    transfer_id id = x.id;
    p_->xfers.emplace(id, std::move(x));
    p_->queues[endpoint].push_back(id);
    if (p_->removed) p_->finish_locked(id, usb_status::removed, 0);
    p_->dirty = true;
    p_->cv.notify_all();
    return id;
}

bool usb_device::cancel(transfer_id id) {
    std::lock_guard<std::mutex> g(p_->mu);
    auto it = p_->xfers.find(id);
    if (it == p_->xfers.end()) return false;
    if (it->second.busy) {
        it->second.cancel_asked = true;
    } else {
        p_->finish_locked(id, usb_status::cancelled, it->second.iso ? 0 : it->second.done_bytes);
    }
    return true;
}

std::size_t usb_device::abort_endpoint(std::uint8_t endpoint) {
    std::unique_lock<std::mutex> lk(p_->mu);
    auto ids = p_->end_all_locked(usb_status::cancelled, [endpoint](const impl::xfer& x) { return x.ep == endpoint; });
    p_->iso_next.erase(endpoint);
    p_->wait_delivered(lk, ids);
    return ids.size();
}

bool usb_device::halted(std::uint8_t endpoint) const { return p_->model->halted(endpoint); }

usb_status usb_device::clear_halt(std::uint8_t endpoint) {
    setup_packet s{0x02, 1, 0, endpoint, 0};
    return control(s, nullptr).status;
}

usb_status usb_device::set_configuration(std::uint8_t value) {
    setup_packet s{0x00, 9, value, 0, 0};
    return control(s, nullptr).status;
}

usb_status usb_device::set_interface(std::uint8_t interface_number, std::uint8_t alternate_setting) {
    setup_packet s{0x01, 11, alternate_setting, interface_number, 0};
    return control(s, nullptr).status;
}

std::uint8_t usb_device::configuration() const { return p_->model->configuration(); }
std::uint8_t usb_device::alternate_setting(std::uint8_t i) const { return p_->model->alternate_setting(i); }
std::uint8_t usb_device::address() const { return p_->model->address(); }

std::vector<endpoint_info> usb_device::endpoints() const {
    std::vector<endpoint_info> v;
    const std::uint8_t eps[3] = {0x82, 0x81, 0x01};
    for (std::uint8_t i = 0; i < 3; ++i) {
        auto shape = p_->model->endpoint_shape(eps[i]);
        if (!shape) continue;
        endpoint_info e;
        e.address = eps[i];
        e.type = static_cast<endpoint_type>(shape->first);
        e.interface_number = i;
        e.alternate_setting = p_->model->alternate_setting(i);
        e.max_packet = shape->second;
        e.interval = e.type == endpoint_type::interrupt ? p_->model->config().interrupt_interval
                     : e.type == endpoint_type::isochronous ? 1 : 0;
        v.push_back(e);
    }
    return v;
}

void usb_device::reset_port() {
    std::unique_lock<std::mutex> lk(p_->mu);
    if (p_->removed) return;
    auto ids = p_->end_all_locked(usb_status::cancelled, [](const impl::xfer&) { return true; });
    p_->iso_next.clear();
    p_->wait_delivered(lk, ids);
    lk.unlock();
    p_->model->bus_reset();
}

void usb_device::remove() {
    std::unique_lock<std::mutex> lk(p_->mu);
    if (p_->removed) return;
    auto ids = p_->remove_all_locked();
    p_->self_removal = false;
    p_->wait_delivered(lk, ids);
}

std::size_t usb_device::callers_waiting() const {
    std::lock_guard<std::mutex> g(p_->mu);
    return p_->delivery_waiters;
}

bool usb_device::present() const {
    std::lock_guard<std::mutex> g(p_->mu);
    return !p_->removed && !p_->self_removal;
}

void usb_device::set_removal_handler(std::function<void()> handler) {
    std::unique_lock<std::mutex> lk(p_->mu);
    p_->removal_handler = std::move(handler);
    // The handler replaced may be running: it returns first (unless it is the caller).
    if (std::this_thread::get_id() != p_->worker_id) p_->cv_done.wait(lk, [&] { return !p_->handler_running; });
}

std::size_t usb_device::max_concurrent_control() const { return p_->controls_max.load(); }

void usb_device::reset_control_count() { p_->controls_max = p_->controls_active.load(); }

void usb_device::set_frame_us(std::uint32_t us) {
    std::lock_guard<std::mutex> g(p_->mu);
    p_->frame_us = us;
}

// ---------------------------------------------------------------------------------------------
// Completion thread

// Calls back the first waiting completion without the lock, then tells the waiters.
void usb_device::impl::deliver_one(std::unique_lock<std::mutex>& lk) {
    completion c = std::move(completions.front());
    completions.pop_front();
    lk.unlock();
    if (c.done) c.done(c.status, c.bytes);
    if (c.iso_done) c.iso_done(c.status);
    const std::uint64_t seq = c.seq;
    const transfer_id id = c.id;
    c = {};  // the callbacks' captures go before the waiters hear of it
    lk.lock();
    delivered_seq = seq;
    in_delivery.erase(id);
    cv_done.notify_all();
}

void usb_device::impl::run() {
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
        if (!completions.empty()) {
            deliver_one(lk);
            continue;
        }
        if (self_removal && !removed) {
            remove_all_locked();
            // Let the removed completions go out first, then tell the bus.
            while (!completions.empty()) deliver_one(lk);
            self_removal = false;
            if (removal_handler) {
                auto handler = removal_handler;  // the one set now: one taken away meanwhile is not called
                handler_running = true;
                lk.unlock();
                handler();
                handler = nullptr;
                lk.lock();
                handler_running = false;
                cv_done.notify_all();
            }
            continue;
        }
        if (stopping && completions.empty()) return;
        if (step(lk)) continue;
        // Nothing to do now: sleep until new work or the earliest timed transfer. A time that has
        // already passed counts too (the wait then ends at once): skipping it would leave a due
        // transfer asleep until some unrelated event.
        std::optional<clock_type::time_point> wake;
        for (auto& [ep, q] : queues) {
            if (q.empty()) continue;
            auto& x = xfers[q.front()];
            if (x.busy || !(x.iso || x.timed)) continue;
            if (!wake || x.ready < *wake) wake = x.ready;
        }
        // Queued transfers are looked at again now and then all the same: a missed wake-up then
        // costs a few milliseconds instead of a transfer that never completes.
        if (!wake) {
            for (auto& [ep, q] : queues)
                if (!q.empty()) {
                    wake = clock_type::now() + std::chrono::milliseconds(20);
                    break;
                }
        }
        auto pred = [&] { return dirty || stopping || self_removal || !completions.empty(); };
        if (wake)
            cv.wait_until(lk, *wake, pred);
        else
            cv.wait(lk, pred);
    }
}

// Tries every endpoint's first transfer once; true when something moved.
bool usb_device::impl::step(std::unique_lock<std::mutex>& lk) {
    dirty = false;
    bool moved = false;
    std::vector<transfer_id> fronts;
    for (auto& [ep, q] : queues)
        if (!q.empty()) fronts.push_back(q.front());
    auto now = clock_type::now();
    for (auto id : fronts) {
        auto it = xfers.find(id);
        if (it == xfers.end() || it->second.busy || it->second.ready > now) continue;
        std::uint64_t before = queued_seq;
        serve(lk, it->second);
        if (queued_seq != before) moved = true;
        if (!completions.empty()) break;  // deliver before serving more
    }
    return moved;
}

// Serves one transfer; the lock is released while the firmware is asked.
void usb_device::impl::serve(std::unique_lock<std::mutex>& lk, xfer& x) {
    x.busy = true;
    const transfer_id id = x.id;
    const std::uint8_t ep = x.ep;
    const bool iso = x.iso;
    std::uint8_t* buf = x.buf;
    const std::size_t len = x.len;
    iso_packet* const packets = x.packets;
    const std::uint32_t count = x.count;
    const packet_check x_host = x.host;
    const std::uint32_t frame = frame_us;
    lk.unlock();

    instrument& m = *model;
    std::optional<usb_status> result;
    std::size_t bytes = 0;
    bool retry_later = false, wait_data = false, unplug = false;
    auto shape = m.endpoint_shape(ep);

    if (!shape || ep == 0 || ep == 0x80) {
        result = usb_status::invalid;
    } else if (iso) {
        if (shape->first != 1 || !(ep & 0x80)) {
            result = usb_status::invalid;
        } else if (auto err = m.faults().take_usb_error(ep)) {
            // The whole transfer fails and moves nothing.
            for (std::uint32_t i = 0; i < count; ++i) packets[i].length = 0;
            result = *err;
        } else {
            for (std::uint32_t i = 0; i < count; ++i) {
                iso_packet& pk = packets[i];
                std::size_t start = std::min<std::size_t>(pk.offset, len);
                std::size_t end = i + 1 < count ? std::min<std::size_t>(packets[i + 1].offset, len) : len;
                std::size_t cap = end > start ? end - start : 0;
                pk.length = static_cast<std::uint32_t>(m.iso_frame(std::span<std::uint8_t>(buf + start, cap)));
                pk.status = usb_status::success;
                if (pk.length > 0) {
                    if (auto keep = m.faults().take_short_iso(ep))
                        pk.length = static_cast<std::uint32_t>(std::min<std::size_t>(pk.length, *keep));
                    if (auto err = m.faults().take_iso_packet_error(ep)) pk.status = *err;
                }
            }
            result = usb_status::success;
        }
    } else if (shape->first == 1) {
        result = usb_status::invalid;  // an isochronous endpoint needs submit_iso
    } else if (m.halted(ep)) {
        result = usb_status::stall;
    } else if (m.faults().take_silence(ep)) {
        result = usb_status::not_responding;
    } else if (auto err = m.faults().take_usb_error(ep)) {
        if (!(ep & 0x80) && m.faults().handshakes_lost()) {
            receive_packets(ep, buf, len, shape->second ? shape->second : 64, x_host, true);
        } else if ((ep & 0x80) && shape->first == 2) {
            // Whole packets that came before the error: a short one would have ended the transfer.
            const std::size_t maxp = shape->second ? shape->second : 64;
            std::uint64_t gen = 0;
            std::vector<std::uint8_t> seg = m.bulk_in_peek(len, &gen);
            std::size_t n = std::min(m.faults().packets_before_usb_error() * maxp, (seg.size() / maxp) * maxp);
            n = std::min(n, len ? ((len - 1) / maxp) * maxp : 0);  // all of it would have been a success
            if (n) {
                // A toggle mismatch or a lost handshake: the host has the last packet, the device missed
                // its ACK and holds it.
                const bool lose_last = *err == usb_status::toggle_mismatch || m.faults().handshakes_lost();
                std::size_t acked = 0;
                bool overflow = false, cut = false;
                bytes = send_packets(ep, seg.data(), n, maxp, buf, len, x_host, lose_last, false, &acked, &overflow,
                                     &cut);
                m.bulk_in_consume(acked, gen);
            }
        }
        result = *err;
    } else if (m.faults().take_nak(ep)) {
        retry_later = true;
    } else if (ep & 0x80) {
        if (shape->first == 3) {
            if (auto rec = m.take_event()) {
                if (len < rec->size()) {
                    result = usb_status::babble;
                } else {
                    std::memcpy(buf, rec->data(), rec->size());
                    bytes = rec->size();
                    result = usb_status::success;
                }
            } else {
                wait_data = true;
            }
        } else {
            const std::size_t maxp = shape->second ? shape->second : 64;
            std::uint64_t gen = 0;
            // One packet more than the buffer takes: the first may be one the host already has.
            std::vector<std::uint8_t> seg = m.bulk_in_peek(len + maxp + 1, &gen);
            if (seg.empty()) {
                wait_data = true;
            } else {
                std::size_t acked = 0;
                bool no_room = false, cut = false;
                bytes = send_packets(ep, seg.data(), seg.size(), maxp, buf, len, x_host, false, true, &acked, &no_room,
                                     &cut);
                m.bulk_in_consume(acked, gen);
                if (bytes == 0 && acked > 0 && !cut && !no_room) {
                    // All it sent was a packet the host already had and dropped: the transfer goes on with
                    // what comes next.
                    seg = m.bulk_in_peek(len + maxp + 1, &gen);
                    if (seg.empty()) wait_data = true;  // the transfer stays queued for what comes next
                    bytes = send_packets(ep, seg.data(), seg.size(), maxp, buf, len, x_host, false, true, &acked,
                                         &no_room, &cut);
                    m.bulk_in_consume(acked, gen);
                }
                // Always asked, so an armed removal is used up here and not by a later transfer.
                const bool removal = m.faults().removal_due();
                if (wait_data && !removal) {
                    // nothing more to send yet
                } else if (cut || removal) {
                    result = usb_status::removed;
                    unplug = true;
                } else {
                    result = no_room ? usb_status::babble : usb_status::success;
                }
            }
        }
    } else {
        receive_packets(ep, buf, len, shape->second ? shape->second : 64, x_host, false);
        bytes = len;
        result = usb_status::success;
    }

    if (unplug) m.unplug();  // the listener marks the removal; the loop carries it out
    lk.lock();
    auto it = xfers.find(id);
    if (it == xfers.end()) return;
    xfer& y = it->second;
    y.busy = false;
    y.done_bytes += bytes;
    std::optional<usb_status> final = result;
    if (!final && y.cancel_asked) final = removed ? usb_status::removed : usb_status::cancelled;
    if (final) {
        finish_locked(id, *final, iso ? 0 : y.done_bytes);
    } else if (retry_later) {
        y.ready = clock_type::now() + std::chrono::microseconds(frame);
        y.timed = true;
    } else {
        y.timed = false;
    }
    // else: stays queued until the firmware says data is ready
    (void)wait_data;
    cv_done.notify_all();
}

}  // namespace simdev
