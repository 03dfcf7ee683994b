// The instrument's end of the RS-232 packet protocol. The host sends tokens; the device answers
// with data packets or handshakes. One thread reads the line and answers token by token.
#include "simdev/serial_device.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <vector>

#include "simdev/instrument.h"
#include "simdev/line.h"
#include "simdev/usb_device.h"

namespace simdev {

namespace {

using namespace simdev::line;

constexpr int poll_ms = 100;       // how often the thread looks at its stop flag
constexpr int drain_gap_ms = 20;   // silence that ends the remains of a broken packet

bool coded_ok(std::uint8_t b) { return (b & 0x0F) == (~(b >> 4) & 0x0F); }

// What a data packet read after a token turned into.
enum class rd { good, bad, none };

}  // namespace

struct serial_device::impl {
    std::shared_ptr<instrument> model;
    std::shared_ptr<byte_stream> line;
    serial_options opt;
    std::thread th;
    std::atomic<bool> running{false};
    std::atomic<bool> stop_asked{false};
    std::atomic<std::uint8_t> addr{0};

    mutable std::mutex stats_mu;
    serial_stats st;

    // --- the thread's own state ---
    std::deque<std::uint8_t> inbuf;
    struct pending_in {
        std::vector<std::uint8_t> data;
        bool data1 = false;
        bool bulk = false;  // acknowledged bytes leave the bulk IN stream
        std::uint64_t generation = 0;
        std::optional<std::size_t> control_sent;  // control data stage position once acknowledged
    };
    struct ep_state {
        std::uint8_t toggle = 0;  // IN: next to send; OUT: next expected
        std::uint32_t epoch = 0;
        std::optional<pending_in> pend;
    };
    std::map<std::uint8_t, ep_state> eps;  // by endpoint address; 0x00 / 0x80 for control OUT / IN
    struct control_t {
        bool active = false;
        setup_packet s;
        bool in = false;
        bool executed = false;
        bool stalled = false;
        std::vector<std::uint8_t> reply;
        std::size_t sent = 0;
        std::vector<std::uint8_t> out;
    } ctl;
    unsigned resync_run = 0;
    std::uint32_t power_ups = 0;  // the model's count this face's link state belongs to
    std::chrono::steady_clock::time_point line_free_at{};  // when the paced line is free again

    template <class F>
    void count(F f) {
        std::lock_guard<std::mutex> g(stats_mu);
        f(st);
    }

    // ---- bytes in ----

    // A byte, -1 on time-out, -2 once the line is closed.
    int next_byte(int timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (inbuf.empty()) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now()).count());
            if (left < 0) left = 0;
            std::uint8_t tmp[512];
            long k = line->read(tmp, sizeof tmp, left);
            if (k < 0) return -2;
            if (k == 0) {
                if (std::chrono::steady_clock::now() >= deadline) return -1;
                continue;
            }
            for (long i = 0; i < k; ++i) {
                std::uint8_t b = tmp[i];
                switch (model->faults().line_byte(line_dir::to_device, b)) {
                case fault_injector::byte_action::drop: break;
                case fault_injector::byte_action::duplicate: inbuf.push_back(b); inbuf.push_back(b); break;
                default: inbuf.push_back(b); break;
                }
            }
        }
        int b = inbuf.front();
        inbuf.pop_front();
        return b;
    }

    void push_back_byte(std::uint8_t b) { inbuf.push_front(b); }

    // Reads what is left of a broken packet until the line falls quiet. Stops early, leaving the
    // bytes in place, at the start of a resynchronisation run: a host that gave up on the packet
    // and is resetting the device must not have its burst swallowed here. True when the line
    // fell quiet (the host waits for a handshake), false at a resynchronisation run.
    bool drain() {
        const std::uint8_t resync = encode_nibble(pid_resync);
        for (;;) {
            if (stop_asked) return true;  // a line that never falls quiet must not hold up stop()
            int b = next_byte(drain_gap_ms);
            if (b < 0) return true;
            if (b != resync) continue;
            int c = next_byte(drain_gap_ms);
            if (c < 0) return true;
            if (c == resync) {
                push_back_byte(resync);
                push_back_byte(resync);
                return false;
            }
            push_back_byte(static_cast<std::uint8_t>(c));
        }
    }

    // ---- bytes out ----

    void send(const std::vector<std::uint8_t>& bytes) {
        std::vector<std::uint8_t> wire;
        wire.reserve(bytes.size() + 4);
        for (std::uint8_t b : bytes) {
            switch (model->faults().line_byte(line_dir::to_host, b)) {
            case fault_injector::byte_action::drop: break;
            case fault_injector::byte_action::duplicate: wire.push_back(b); wire.push_back(b); break;
            default: wire.push_back(b); break;
            }
        }
        const std::uint64_t per_byte = model->faults().byte_time_ns();
        if (per_byte == 0) {
            line->write(wire.data(), wire.size());
            return;
        }
        // Paced against the line's own schedule, so sleeping late on one byte does not slow the
        // line down: a byte goes when the previous one has had its time on the wire.
        auto now = std::chrono::steady_clock::now();
        if (line_free_at < now) line_free_at = now;
        for (std::uint8_t b : wire) {
            line_free_at += std::chrono::nanoseconds(per_byte);
            std::this_thread::sleep_until(line_free_at);
            if (!line->write(&b, 1)) return;
        }
    }

    void handshake(std::uint8_t pid_value) {
        // Counted first, so whoever reads the answer also sees it counted.
        count([&](serial_stats& s) {
            if (pid_value == pid_ack) ++s.acks_sent;
            if (pid_value == pid_nak) ++s.naks_sent;
            if (pid_value == pid_stall) ++s.stalls_sent;
            if (pid_value == pid_err) ++s.errs_sent;
        });
        send({encode_nibble(pid_value)});
    }

    // ---- packets ----

    rd read_data(std::size_t max, decoded_data& out) {
        int b = next_byte(opt.inter_byte_timeout_ms);
        if (b < 0) return rd::none;
        std::uint8_t v = decode_nibble(static_cast<std::uint8_t>(b));
        if (v != pid_data0 && v != pid_data1) {
            push_back_byte(static_cast<std::uint8_t>(b));  // the host gave up and went on
            return rd::none;
        }
        std::vector<std::uint8_t> pkt{static_cast<std::uint8_t>(b)};
        auto take = [&](std::size_t n) {
            for (std::size_t i = 0; i < n; ++i) {
                int c = next_byte(opt.inter_byte_timeout_ms);
                if (c < 0) return false;
                pkt.push_back(static_cast<std::uint8_t>(c));
            }
            return true;
        };
        if (!take(2)) return bad();
        std::size_t n = pkt[1] | (static_cast<std::size_t>(pkt[2]) << 8);
        if (n > max) {
            if (!drain()) return rd::none;
            return bad();
        }
        if (!take(n + 2)) return bad();
        if (decode_data(pkt, max, out) != decode_error::none) {
            if (!drain()) return rd::none;
            return bad();
        }
        return rd::good;
    }

    // The longest data packet any endpoint sends or takes: the bound for packets stepped over.
    std::size_t largest_packet() const {
        return std::max({opt.control_max, opt.bulk_in_max, opt.bulk_out_max, opt.interrupt_max});
    }

    rd bad() {
        count([](serial_stats& s) { ++s.bad_packets; });
        return rd::bad;
    }

    // Sends data and waits for the host's handshake; true when it was an ACK.
    bool send_data(ep_state& e) {
        send(encode_data(e.pend->data1, e.pend->data));
        int b = next_byte(opt.handshake_timeout_ms);
        if (b < 0) return false;
        std::uint8_t v = static_cast<std::uint8_t>(b);
        if (v == encode_nibble(pid_ack)) return true;
        if (v == encode_nibble(pid_err)) return false;
        push_back_byte(v);  // not a handshake: the host went on with a new token
        return false;
    }

    // Sends the pending IN packet of e (new or again) and commits it on ACK.
    void transmit(ep_state& e, bool again) {
        if (again) count([](serial_stats& s) { ++s.retransmissions; });
        if (!send_data(e)) return;
        if (e.pend->bulk) model->bulk_in_consume(e.pend->data.size(), e.pend->generation);
        if (e.pend->control_sent) ctl.sent = *e.pend->control_sent;
        e.toggle ^= 1;
        e.pend.reset();
    }

    ep_state& ep(std::uint8_t address) {
        ep_state& e = eps[address];
        std::uint8_t key = address == 0x80 ? 0 : address;
        std::uint32_t now = model->reset_epoch(key);
        if (now != e.epoch) {
            e.epoch = now;
            e.toggle = 0;
            e.pend.reset();
        }
        return e;
    }

    // ---- control endpoint ----

    void execute() {
        if (ctl.executed) return;
        ctl.executed = true;
        control_reply r = model->control(ctl.s, ctl.out);
        ctl.stalled = r.stall;
        ctl.reply = std::move(r.data);
        if (!r.stall && (ctl.s.bmRequestType & 0x60) == 0 && ctl.s.bRequest == 5)
            addr = static_cast<std::uint8_t>(ctl.s.wValue & 0x7F);
    }

    void on_setup() {
        decoded_data d;
        rd r = read_data(opt.control_max, d);
        if (r == rd::none) return;
        if (model->faults().take_silence(0)) return;
        if (r == rd::bad || d.data1 || d.data.size() != 8) {
            if (r == rd::good) count([](serial_stats& s) { ++s.bad_packets; });
            handshake(pid_err);
            return;
        }
        ctl = control_t{};
        ctl.active = true;
        ctl.s.bmRequestType = d.data[0];
        ctl.s.bRequest = d.data[1];
        ctl.s.wValue = static_cast<std::uint16_t>(d.data[2] | (d.data[3] << 8));
        ctl.s.wIndex = static_cast<std::uint16_t>(d.data[4] | (d.data[5] << 8));
        ctl.s.wLength = static_cast<std::uint16_t>(d.data[6] | (d.data[7] << 8));
        ctl.in = (ctl.s.bmRequestType & 0x80) != 0;
        ep_state& ei = ep(0x80);
        ep_state& eo = ep(0x00);
        ei.toggle = 1;
        ei.pend.reset();
        eo.toggle = 1;
        handshake(pid_ack);
    }

    void on_control_in() {
        if (!ctl.active) return handshake(pid_stall);
        if (model->faults().take_silence(0)) return;
        ep_state& e = ep(0x80);
        if (e.pend) return transmit(e, true);
        if (ctl.in) {
            if (model->faults().take_nak(0)) return handshake(pid_nak);
            execute();
            if (ctl.stalled) return handshake(pid_stall);
            std::size_t left = ctl.reply.size() - std::min(ctl.sent, ctl.reply.size());
            std::size_t n = std::min<std::size_t>(left, opt.control_max);
            pending_in p;
            p.data.assign(ctl.reply.begin() + static_cast<std::ptrdiff_t>(ctl.sent),
                          ctl.reply.begin() + static_cast<std::ptrdiff_t>(ctl.sent + n));
            p.data1 = e.toggle != 0;
            p.control_sent = ctl.sent + n;
            e.pend = std::move(p);
            return transmit(e, false);
        }
        // Status stage of a request without data or with OUT data.
        if (ctl.out.size() < ctl.s.wLength) return handshake(pid_stall);
        if (model->faults().take_nak(0)) return handshake(pid_nak);
        execute();
        if (ctl.stalled) return handshake(pid_stall);
        pending_in p;
        p.data1 = e.toggle != 0;
        e.pend = std::move(p);
        transmit(e, false);
    }

    void on_control_out() {
        decoded_data d;
        rd r = read_data(opt.control_max, d);
        if (r == rd::none) return;
        if (model->faults().take_silence(0)) return;
        if (r == rd::bad) return handshake(pid_err);
        if (!ctl.active) return handshake(pid_stall);
        if (ctl.in) {  // status stage of a read
            if (ctl.stalled) return handshake(pid_stall);
            return handshake(pid_ack);
        }
        if (ctl.executed) return handshake(pid_ack);  // data stage already over: a repeat
        if (model->faults().take_nak(0)) return handshake(pid_nak);
        ep_state& e = ep(0x00);
        if ((d.data1 ? 1 : 0) != e.toggle) {
            count([](serial_stats& s) { ++s.duplicates_ignored; });
            return handshake(pid_ack);
        }
        if (ctl.out.size() + d.data.size() > ctl.s.wLength) {
            ctl.stalled = true;
            ctl.executed = true;
            return handshake(pid_stall);
        }
        ctl.out.insert(ctl.out.end(), d.data.begin(), d.data.end());
        e.toggle ^= 1;
        handshake(pid_ack);
    }

    // ---- data endpoints ----

    bool endpoint_usable(std::uint8_t address, std::uint8_t type) {
        auto shape = model->endpoint_shape(address);
        return shape && shape->first == type && !model->halted(address);
    }

    void on_bulk_in() {
        ep_state& e = ep(0x81);
        if (!endpoint_usable(0x81, 2)) return handshake(pid_stall);
        if (model->faults().take_silence(0x81)) return;
        if (e.pend) return transmit(e, true);
        if (model->faults().take_nak(0x81)) return handshake(pid_nak);
        std::uint64_t gen = 0;
        std::vector<std::uint8_t> seg = model->bulk_in_peek(opt.bulk_in_max, &gen);
        if (seg.empty()) return handshake(pid_nak);
        std::size_t n = seg.size();
        std::size_t allowed = model->faults().bulk_in_allowance(n);
        bool removal = model->faults().removal_due();
        if (allowed < n) {
            model->unplug();  // gone before this packet went out
            return;
        }
        pending_in p;
        p.data = std::move(seg);
        p.data1 = e.toggle != 0;
        p.bulk = true;
        p.generation = gen;
        e.pend = std::move(p);
        transmit(e, false);
        if (removal) model->unplug();
    }

    void on_interrupt_in() {
        ep_state& e = ep(0x82);
        if (!endpoint_usable(0x82, 3)) return handshake(pid_stall);
        if (model->faults().take_silence(0x82)) return;
        if (e.pend) return transmit(e, true);
        if (model->faults().take_nak(0x82)) return handshake(pid_nak);
        auto rec = model->take_event();
        if (!rec) return handshake(pid_nak);
        pending_in p;
        std::size_t size = std::min<std::size_t>(std::max<std::size_t>(opt.record_size, rec->size()), opt.interrupt_max);
        p.data.assign(size, 0);
        std::copy_n(rec->begin(), std::min(size, rec->size()), p.data.begin());
        p.data1 = e.toggle != 0;
        e.pend = std::move(p);
        transmit(e, false);
    }

    void on_bulk_out() {
        decoded_data d;
        rd r = read_data(opt.bulk_out_max, d);
        if (r == rd::none) return;
        if (model->faults().take_silence(0x01)) return;
        if (r == rd::bad) return handshake(pid_err);
        ep_state& e = ep(0x01);
        if (!endpoint_usable(0x01, 2)) return handshake(pid_stall);
        if (model->faults().take_nak(0x01)) return handshake(pid_nak);
        if ((d.data1 ? 1 : 0) != e.toggle) {
            count([](serial_stats& s) { ++s.duplicates_ignored; });
            return handshake(pid_ack);
        }
        model->bulk_out_bytes(d.data);
        e.toggle ^= 1;
        handshake(pid_ack);
    }

    // ---- main loop ----

    void forget_link() {
        addr = 0;
        ctl = control_t{};
        eps.clear();
    }

    void reset_device() {
        model->bus_reset();
        forget_link();
        count([](serial_stats& s) { ++s.resets; });
    }

    void on_token(std::uint8_t pid_value) {
        int a = next_byte(opt.inter_byte_timeout_ms);
        if (a < 0) return;
        int n = next_byte(opt.inter_byte_timeout_ms);
        if (n < 0) return;
        if (!coded_ok(static_cast<std::uint8_t>(a)) || !coded_ok(static_cast<std::uint8_t>(n))) {
            count([](serial_stats& s) { s.garbage_bytes += 3; });
            return;
        }
        std::uint8_t token_addr = static_cast<std::uint8_t>(a) >> 4;
        std::uint8_t token_ep = static_cast<std::uint8_t>(n) >> 4;
        std::uint8_t mine = addr;
        if (mine != 0 && token_addr != (mine & 0x0F)) {
            // Another device's transaction: step over its data packet, answer nothing.
            if (pid_value != pid_in) {
                decoded_data d;
                read_data(largest_packet(), d);
            }
            count([](serial_stats& s) { ++s.foreign_tokens; });
            return;
        }
        // A token for an endpoint this device does not have is most likely a damaged one: stay
        // silent (stepping over its data) and let the host try again.
        bool known = token_ep == 0 || token_ep == 1 || (token_ep == 2 && pid_value == pid_in);
        if (!known || (pid_value == pid_setup && token_ep != 0)) {
            if (pid_value != pid_in) {
                decoded_data d;
                read_data(largest_packet(), d);
            }
            count([](serial_stats& s) { ++s.garbage_bytes; });
            return;
        }
        switch (pid_value) {
        case pid_setup:
            count([](serial_stats& s) { ++s.setups; });
            on_setup();
            break;
        case pid_in:
            count([](serial_stats& s) { ++s.ins; });
            if (token_ep == 0)
                on_control_in();
            else if (token_ep == 1)
                on_bulk_in();
            else
                on_interrupt_in();
            break;
        case pid_out:
            count([](serial_stats& s) { ++s.outs; });
            if (token_ep == 0)
                on_control_out();
            else
                on_bulk_out();
            break;
        default: break;
        }
        count([](serial_stats& s) { ++s.tokens; });
    }

    void run() {
        while (!stop_asked) {
            int b = next_byte(poll_ms);
            if (b == -2) break;
            if (b < 0) continue;
            if (!model->plugged()) {
                resync_run = 0;
                continue;  // unplugged: the line is dead
            }
            // Plugged in again since the last packet: a power-cycled device answers at address 0.
            if (const std::uint32_t now = model->power_ups(); now != power_ups) {
                power_ups = now;
                forget_link();
            }
            std::uint8_t v = static_cast<std::uint8_t>(b);
            if (v == encode_nibble(pid_resync)) {
                count([](serial_stats& s) { ++s.resync_bytes; });
                if (++resync_run == opt.resync_reset_run) reset_device();
                continue;
            }
            resync_run = 0;
            if (!coded_ok(v)) {
                count([](serial_stats& s) { ++s.garbage_bytes; });
                continue;
            }
            std::uint8_t pv = decode_nibble(v);
            if (pv == pid_in || pv == pid_out || pv == pid_setup) {
                on_token(pv);
            } else if (pv == pid_data0 || pv == pid_data1) {
                // A data packet out of place: step over it.
                push_back_byte(v);
                decoded_data d;
                read_data(largest_packet(), d);
                count([](serial_stats& s) { ++s.garbage_bytes; });
            } else {
                count([](serial_stats& s) { ++s.garbage_bytes; });
            }
        }
        running = false;
    }
};

serial_device::serial_device(std::shared_ptr<instrument> model, std::shared_ptr<byte_stream> line,
                             serial_options opt)
    : p_(std::make_unique<impl>()) {
    p_->model = std::move(model);
    p_->line = std::move(line);
    p_->opt = opt;
}

serial_device::~serial_device() { stop(); }

void serial_device::start() {
    if (p_->th.joinable()) return;
    p_->power_ups = p_->model->power_ups();
    p_->stop_asked = false;
    p_->running = true;
    impl* p = p_.get();
    p_->th = std::thread([p] { p->run(); });
}

void serial_device::stop() {
    p_->stop_asked = true;
    if (p_->th.joinable()) p_->th.join();
    p_->running = false;
}

bool serial_device::running() const { return p_->running; }
std::uint8_t serial_device::address() const { return p_->addr; }

serial_stats serial_device::stats() const {
    std::lock_guard<std::mutex> g(p_->stats_mu);
    return p_->st;
}

}  // namespace simdev
