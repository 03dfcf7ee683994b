// A small host end of the serial packet protocol for driving the instrument in tests: tokens,
// data packets, handshakes and toggles, written straight from the line format.
#ifndef SIMDEV_TESTS_SERIAL_HOST_H
#define SIMDEV_TESTS_SERIAL_HOST_H

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "simdev/line.h"
#include "simdev/serial_device.h"
#include "simdev/usb_device.h"
#include "zephtest/wait.h"

namespace simdev::test {

class line_host {
public:
    enum class kind { data, nak, stall, err, ack, timeout, bad, other };
    struct packet {
        kind k = kind::timeout;
        bool data1 = false;
        std::vector<std::uint8_t> data;
    };

    explicit line_host(byte_stream& s, int timeout_ms = 250) : s_(s), timeout_(timeout_ms) {}

    std::uint8_t address = 1;
    std::map<std::uint8_t, int> in_toggle, out_toggle;  // by endpoint number (0, 1, 2)
    int retries = 20;
    std::uint64_t repeats_seen = 0;

    void write(const std::vector<std::uint8_t>& b) { s_.write(b.data(), b.size()); }

    std::optional<std::uint8_t> read_byte(int timeout_ms) {
        std::uint8_t b;
        long k = s_.read(&b, 1, timeout_ms);
        if (k != 1) return std::nullopt;
        return b;
    }
    bool read_exact(std::uint8_t* buf, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            auto b = read_byte(timeout_);
            if (!b) return false;
            buf[i] = *b;
        }
        return true;
    }

    void token(std::uint8_t pid_value, std::uint8_t ep) {
        s_.purge();
        write(line::encode_token(pid_value, address, ep));
    }
    void handshake(std::uint8_t pid_value) { write({line::encode_nibble(pid_value)}); }
    void send_data(bool d1, const std::vector<std::uint8_t>& d) { write(line::encode_data(d1, d)); }

    // Reads whatever the device answers: a data packet or a handshake.
    packet read_packet(std::size_t max = 1024, int first_timeout = -1) {
        packet p;
        auto b = read_byte(first_timeout < 0 ? timeout_ : first_timeout);
        if (!b) return p;
        switch (line::decode_nibble(*b)) {
        case line::pid_nak: p.k = kind::nak; return p;
        case line::pid_stall: p.k = kind::stall; return p;
        case line::pid_err: p.k = kind::err; return p;
        case line::pid_ack: p.k = kind::ack; return p;
        case line::pid_data0:
        case line::pid_data1: break;
        default: p.k = kind::other; return p;
        }
        std::uint8_t len[2];
        if (!read_exact(len, 2)) return bad(p);
        std::size_t n = len[0] | (len[1] << 8);
        if (n > max) return bad(p);
        std::vector<std::uint8_t> pkt{*b, len[0], len[1]};
        pkt.resize(n + 5);
        if (!read_exact(pkt.data() + 3, n + 2)) return bad(p);
        line::decoded_data d;
        if (line::decode_data(pkt, max, d) != line::decode_error::none) return bad(p);
        p.k = kind::data;
        p.data1 = d.data1;
        p.data = std::move(d.data);
        return p;
    }

    // One IN transaction with the host's toggle rules; nullopt data on NAK/STALL/failure.
    // ack=false leaves a good packet unacknowledged (as if the ACK was lost).
    packet in(std::uint8_t ep, std::size_t max, bool ack = true) {
        for (int attempt = 0; attempt < retries; ++attempt) {
            token(line::pid_in, ep);
            packet p = read_packet(max);
            if (p.k == kind::bad) {
                handshake(line::pid_err);
                continue;
            }
            if (p.k != kind::data) {
                if (p.k == kind::timeout || p.k == kind::other) continue;
                return p;
            }
            int& t = in_toggle[ep];
            if ((p.data1 ? 1 : 0) != t) {  // a repeat of what was already taken
                ++repeats_seen;
                handshake(line::pid_ack);
                continue;
            }
            if (!ack) return p;
            t ^= 1;
            handshake(line::pid_ack);
            return p;
        }
        return packet{};
    }

    // One OUT transaction; returns the device's handshake.
    kind out(std::uint8_t ep, const std::vector<std::uint8_t>& d) {
        for (int attempt = 0; attempt < retries; ++attempt) {
            token(line::pid_out, ep);
            send_data(out_toggle[ep] != 0, d);
            packet h = read_packet(0);
            if (h.k == kind::ack) {
                out_toggle[ep] ^= 1;
                return h.k;
            }
            if (h.k == kind::nak || h.k == kind::stall) return h.k;
        }
        return kind::timeout;
    }

    kind setup(const setup_packet& s) {
        std::vector<std::uint8_t> d{s.bmRequestType, s.bRequest,
                                    static_cast<std::uint8_t>(s.wValue), static_cast<std::uint8_t>(s.wValue >> 8),
                                    static_cast<std::uint8_t>(s.wIndex), static_cast<std::uint8_t>(s.wIndex >> 8),
                                    static_cast<std::uint8_t>(s.wLength), static_cast<std::uint8_t>(s.wLength >> 8)};
        for (int attempt = 0; attempt < retries; ++attempt) {
            token(line::pid_setup, 0);
            send_data(false, d);
            packet h = read_packet(0);
            if (h.k == kind::ack) {
                in_toggle[0] = 1;
                out_toggle[0] = 1;
                return h.k;
            }
            if (h.k == kind::stall || h.k == kind::nak) return h.k;
        }
        return kind::timeout;
    }

    struct ctl_result {
        kind k = kind::timeout;  // ack = done
        std::vector<std::uint8_t> data;
    };

    ctl_result control(const setup_packet& s, const std::vector<std::uint8_t>& out_data = {}) {
        ctl_result r;
        r.k = setup(s);
        if (r.k != kind::ack) return r;
        if (s.bmRequestType & 0x80) {
            while (r.data.size() < s.wLength) {
                packet p = until_not_nak([&] { return in(0, 8); });
                if (p.k != kind::data) {
                    r.k = p.k;
                    return r;
                }
                r.data.insert(r.data.end(), p.data.begin(), p.data.end());
                if (p.data.size() < 8) break;
            }
            out_toggle[0] = 1;
            r.k = until_not_nak([&] { return out(0, {}); });
            return r;
        }
        for (std::size_t at = 0; at < out_data.size(); at += 8) {
            std::vector<std::uint8_t> piece(out_data.begin() + static_cast<std::ptrdiff_t>(at),
                                            out_data.begin() + static_cast<std::ptrdiff_t>(std::min(at + 8, out_data.size())));
            kind k = until_not_nak([&] { return out(0, piece); });
            if (k != kind::ack) {
                r.k = k;
                return r;
            }
        }
        in_toggle[0] = 1;
        packet p = until_not_nak([&] { return in(0, 8); });
        r.k = (p.k == kind::data && p.data.empty()) ? kind::ack : p.k;
        return r;
    }

    // Resynchronisation burst, SET_ADDRESS, device descriptor.
    std::optional<std::vector<std::uint8_t>> bring_up(std::uint8_t a) {
        for (int i = 0; i < 129; ++i) {
            s_.purge();
            write({0x69});
        }
        address = a;
        in_toggle.clear();
        out_toggle.clear();
        if (control(setup_packet{0x00, 5, a, 0, 0}).k != kind::ack) return std::nullopt;
        auto r = control(setup_packet{0x80, 6, 0x0100, 0, 18});
        if (r.k != kind::ack) return std::nullopt;
        return r.data;
    }

    bool configure(std::uint8_t value) {
        bool ok = control(setup_packet{0x00, 9, value, 0, 0}).k == kind::ack;
        if (ok) {
            in_toggle[1] = in_toggle[2] = 0;
            out_toggle[1] = 0;
        }
        return ok;
    }

    // A bulk IN message: the 3-byte length packet, then the data in packets of up to 1024.
    std::optional<std::vector<std::uint8_t>> read_message(std::vector<std::size_t>* sizes = nullptr) {
        packet h = in(1, 1024);
        for (int i = 0; h.k == kind::nak && i < 200; ++i) h = in(1, 1024);
        if (h.k != kind::data || h.data.size() != 3) return std::nullopt;
        if (sizes) sizes->push_back(3);
        std::size_t n = h.data[0] | (h.data[1] << 8) | (h.data[2] << 16);
        std::vector<std::uint8_t> d;
        while (d.size() < n) {
            packet p = until_not_nak([&] { return in(1, 1024); });
            if (p.k != kind::data) return std::nullopt;
            if (sizes) sizes->push_back(p.data.size());
            d.insert(d.end(), p.data.begin(), p.data.end());
        }
        return d;
    }

    bool write_message(const std::vector<std::uint8_t>& d, std::size_t chunk = 60) {
        std::vector<std::uint8_t> len{static_cast<std::uint8_t>(d.size()), static_cast<std::uint8_t>(d.size() >> 8),
                                      static_cast<std::uint8_t>(d.size() >> 16)};
        if (out(1, len) != kind::ack) return false;
        for (std::size_t at = 0; at < d.size(); at += chunk) {
            std::vector<std::uint8_t> piece(d.begin() + static_cast<std::ptrdiff_t>(at),
                                            d.begin() + static_cast<std::ptrdiff_t>(std::min(at + chunk, d.size())));
            if (out(1, piece) != kind::ack) return false;
        }
        return true;
    }

private:
    static kind kind_of(const packet& p) { return p.k; }
    static kind kind_of(kind k) { return k; }
    // Repeats a transaction the device answers with NAK (busy), until the deadline.
    template <class F>
    auto until_not_nak(F transaction) -> decltype(transaction()) {
        const auto end = std::chrono::steady_clock::now() + zephtest::default_deadline;
        auto r = transaction();
        while (kind_of(r) == kind::nak && std::chrono::steady_clock::now() < end) r = transaction();
        return r;
    }

    packet bad(packet& p) {
        p.k = kind::bad;
        // let the rest of a damaged packet arrive, then forget it
        while (read_byte(30)) {
        }
        return p;
    }

    byte_stream& s_;
    int timeout_;
};

}  // namespace simdev::test

#endif
