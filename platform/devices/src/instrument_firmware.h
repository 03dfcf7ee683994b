// The instrument firmware's shared state and helpers, used by its instrument_*.cpp parts.
#pragma once

#include <algorithm>
#include <deque>
#include <tuple>
#include <utility>

#include "simdev/instrument.h"
#include "simdev/usb_device.h"

namespace simdev {

namespace fw {

constexpr std::uint8_t ep_interrupt = 0x82;
constexpr std::uint8_t ep_bulk_in = 0x81;
constexpr std::uint8_t ep_bulk_out = 0x01;
constexpr std::size_t max_pending_events = 64;
constexpr std::size_t max_vendor_data = 384;

// Index of the string descriptors.
enum : std::uint8_t { str_manufacturer = 1, str_product = 2, str_serial = 3, str_bulk = 4, str_iso = 5 };

inline std::uint32_t word24(std::span<const std::uint8_t> d, std::size_t i) {
    return d[3 * i] | (d[3 * i + 1] << 8) | (static_cast<std::uint32_t>(d[3 * i + 2]) << 16);
}

inline void put_word24(std::vector<std::uint8_t>& v, std::uint32_t w) {
    v.push_back(static_cast<std::uint8_t>(w));
    v.push_back(static_cast<std::uint8_t>(w >> 8));
    v.push_back(static_cast<std::uint8_t>(w >> 16));
}

inline void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

inline void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    put16(v, static_cast<std::uint16_t>(x));
    put16(v, static_cast<std::uint16_t>(x >> 16));
}

inline control_reply stall() { return control_reply{true, {}}; }
inline control_reply ok(std::vector<std::uint8_t> d = {}) { return control_reply{false, std::move(d)}; }

}  // namespace fw

struct instrument::state_t {
    // USB device state
    std::uint8_t address = 0;
    std::uint8_t configuration = 0;
    std::uint8_t alt[3] = {0, 0, 0};
    std::map<std::uint8_t, bool> halt;
    std::map<std::uint8_t, std::uint32_t> epoch;
    bool plugged = true;
    std::uint32_t power_ups = 0;

    // bulk IN: framed messages (3-byte length, then data)
    std::deque<std::vector<std::uint8_t>> in_msgs;
    std::size_t in_offset = 0;  // into in_msgs.front()
    std::uint64_t in_generation = 0;  // grows whenever the stream is dropped
    // bulk OUT assembly
    std::vector<std::uint8_t> out_hdr;
    std::vector<std::uint8_t> out_body;
    std::uint32_t out_expect = 0;
    bool out_in_body = false;
    std::vector<std::vector<std::uint8_t>> received;
    // pending flash write: address, length, accepted
    std::optional<std::tuple<std::uint32_t, std::uint32_t, bool>> flash_write;

    // events
    std::deque<std::array<std::uint8_t, notification_record_size>> events;
    std::uint32_t event_seq = 0;

    // run
    run_state run = run_state::idle;
    std::uint32_t run_limit = 0;  // blocks (bulk) or packets (isochronous); 0 = until stopped
    std::uint32_t blocks = 0;
    std::uint64_t run_offset = 0;

    // firmware storage
    std::vector<std::uint8_t> flash;
    std::map<std::uint32_t, std::uint32_t> periods;
    std::vector<std::uint32_t> config_words = std::vector<std::uint32_t>(24, 0);
    std::uint8_t config_kind = 0;  // 0 none, 1 normal, 2 programmed
    std::map<std::tuple<std::uint8_t, std::uint8_t, std::uint16_t>, std::vector<std::uint32_t>> memory;
    std::map<std::pair<std::uint8_t, std::uint8_t>, std::uint16_t> page;
    std::uint32_t dsp_resets = 0;
    std::uint64_t vendor_count = 0;

    // listeners
    std::mutex listeners_mu;
    int next_token = 1;
    std::map<int, std::pair<std::function<void()>, std::function<void()>>> listeners;

    // deferred notifications, sent after the model lock is released
    bool want_data_notify = false;
};

namespace fw {

// Runs the listeners' data callbacks after the model's lock is gone.
struct notify_guard {
    instrument::state_t* st;
    std::unique_lock<std::mutex> lock;
    notify_guard(instrument::state_t* s, std::mutex& m) : st(s), lock(m) {}
    ~notify_guard() {
        bool notify = st->want_data_notify;
        st->want_data_notify = false;
        lock.unlock();
        if (!notify) return;
        std::lock_guard<std::mutex> g(st->listeners_mu);
        for (auto& [tok, l] : st->listeners)
            if (l.first) l.first();
    }
};

inline std::uint32_t power_on_word(std::uint8_t bank, std::uint8_t area, std::uint16_t page, std::uint32_t offset) {
    return ((static_cast<std::uint32_t>(bank) << 16) ^ (static_cast<std::uint32_t>(area) << 12) ^
            (static_cast<std::uint32_t>(page) * 0x101u) ^ (offset * 0x3Bu)) & 0xFFFFFFu;
}

// Which endpoints exist in a configuration and settings: (type, max packet).
inline std::optional<std::pair<std::uint8_t, std::uint16_t>> shape_of(const instrument_config& c, std::uint8_t config,
                                                               const std::uint8_t alt[3], std::uint8_t ep) {
    if (ep == 0 || ep == 0x80) return std::make_pair(std::uint8_t{0}, std::uint16_t{8});
    if (config == 0) return std::nullopt;
    if (ep == ep_interrupt) return std::make_pair(std::uint8_t{3}, c.interrupt_max_packet);
    if (ep == ep_bulk_out) return std::make_pair(std::uint8_t{2}, c.usb_bulk_max_packet);
    if (ep == ep_bulk_in) {
        if (config == 1) return std::make_pair(std::uint8_t{2}, c.usb_bulk_max_packet);
        std::uint16_t p = (alt[1] >= 1 && alt[1] <= c.iso_packet_sizes.size()) ? c.iso_packet_sizes[alt[1] - 1] : 0;
        return std::make_pair(std::uint8_t{1}, p);
    }
    return std::nullopt;
}

// The control endpoint's toggles follow each SETUP instead.
inline void bump_all_epochs(instrument::state_t& st) {
    for (std::uint8_t ep : {ep_interrupt, ep_bulk_in, ep_bulk_out}) ++st.epoch[ep];
}

// What a bus reset and a power-up both start again.
void reset_link(instrument::state_t& st);

inline std::vector<std::uint8_t> status_message(std::uint16_t status, std::size_t extra_zero) {
    std::vector<std::uint8_t> m;
    put16(m, status);
    m.resize(m.size() + extra_zero, 0);
    return m;
}

}  // namespace fw

}  // namespace simdev
