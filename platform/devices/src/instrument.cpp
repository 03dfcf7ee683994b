// The instrument's firmware: descriptors, standard and vendor requests, data streams, events.
#include "simdev/instrument.h"

#include <algorithm>
#include <deque>
#include <tuple>
#include <utility>

#include "simdev/usb_device.h"

namespace simdev {

// ---------------------------------------------------------------------------------------------
// Data pattern

std::uint8_t pattern_byte(std::uint32_t seed, std::uint64_t k) {
    std::uint32_t v = seed + static_cast<std::uint32_t>(k / 4);
    return static_cast<std::uint8_t>(v >> (8 * (k % 4)));
}

void fill_pattern(std::uint32_t seed, std::uint64_t first, std::span<std::uint8_t> out) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = pattern_byte(seed, first + i);
}

std::optional<std::size_t> check_pattern(std::uint32_t seed, std::uint64_t first,
                                         std::span<const std::uint8_t> data) {
    for (std::size_t i = 0; i < data.size(); ++i)
        if (data[i] != pattern_byte(seed, first + i)) return i;
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// State

namespace {

constexpr std::uint8_t ep_interrupt = 0x82;
constexpr std::uint8_t ep_bulk_in = 0x81;
constexpr std::uint8_t ep_bulk_out = 0x01;
constexpr std::size_t max_pending_events = 64;
constexpr std::size_t max_vendor_data = 384;

// Index of the string descriptors.
enum : std::uint8_t { str_manufacturer = 1, str_product = 2, str_serial = 3, str_bulk = 4, str_iso = 5 };

std::uint32_t word24(std::span<const std::uint8_t> d, std::size_t i) {
    return d[3 * i] | (d[3 * i + 1] << 8) | (static_cast<std::uint32_t>(d[3 * i + 2]) << 16);
}

void put_word24(std::vector<std::uint8_t>& v, std::uint32_t w) {
    v.push_back(static_cast<std::uint8_t>(w));
    v.push_back(static_cast<std::uint8_t>(w >> 8));
    v.push_back(static_cast<std::uint8_t>(w >> 16));
}

void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    put16(v, static_cast<std::uint16_t>(x));
    put16(v, static_cast<std::uint16_t>(x >> 16));
}

control_reply stall() { return control_reply{true, {}}; }
control_reply ok(std::vector<std::uint8_t> d = {}) { return control_reply{false, std::move(d)}; }

}  // namespace

struct instrument::state_t {
    // USB device state
    std::uint8_t address = 0;
    std::uint8_t configuration = 0;
    std::uint8_t alt[3] = {0, 0, 0};
    std::map<std::uint8_t, bool> halt;
    std::map<std::uint8_t, std::uint32_t> epoch;
    bool plugged = true;

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

namespace {

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

std::uint32_t power_on_word(std::uint8_t bank, std::uint8_t area, std::uint16_t page, std::uint32_t offset) {
    return ((static_cast<std::uint32_t>(bank) << 16) ^ (static_cast<std::uint32_t>(area) << 12) ^
            (static_cast<std::uint32_t>(page) * 0x101u) ^ (offset * 0x3Bu)) & 0xFFFFFFu;
}

}  // namespace

instrument::instrument(instrument_config cfg) : cfg_(std::move(cfg)), st_(std::make_unique<state_t>()) {
    st_->flash.resize(cfg_.flash_size);
    fill_pattern(seed::flash, 0, st_->flash);
    for (auto& [n, len] : cfg_.periods) st_->periods[n] = len;
}

instrument::~instrument() = default;

// ---------------------------------------------------------------------------------------------
// Descriptors

std::vector<std::uint8_t> instrument::device_descriptor() const {
    std::vector<std::uint8_t> d{18, 1};
    put16(d, 0x0110);
    d.insert(d.end(), {0xFF, 0x00, 0x00, 8});
    put16(d, cfg_.vendor_id);
    put16(d, cfg_.product_id);
    put16(d, cfg_.bcd_device);
    d.insert(d.end(), {str_manufacturer, str_product, str_serial, configuration_count()});
    return d;
}

namespace {

void put_interface(std::vector<std::uint8_t>& d, std::uint8_t number, std::uint8_t alt) {
    d.insert(d.end(), {9, 4, number, alt, 1, 0xFF, 0x00, 0x00, 0});
}

void put_endpoint(std::vector<std::uint8_t>& d, std::uint8_t addr, std::uint8_t attr, std::uint16_t maxp,
                  std::uint8_t interval) {
    d.insert(d.end(), {7, 5, addr, attr});
    put16(d, maxp);
    d.push_back(interval);
}

}  // namespace

std::vector<std::uint8_t> instrument::configuration_descriptor(std::uint8_t index) const {
    if (index >= configuration_count()) return {};
    std::vector<std::uint8_t> d{9, 2, 0, 0, 3, static_cast<std::uint8_t>(index + 1),
                                static_cast<std::uint8_t>(index == 0 ? str_bulk : str_iso), 0x80, 50};
    put_interface(d, 0, 0);
    put_endpoint(d, ep_interrupt, 3, cfg_.interrupt_max_packet, cfg_.interrupt_interval);
    if (index == 0) {
        put_interface(d, 1, 0);
        put_endpoint(d, ep_bulk_in, 2, cfg_.usb_bulk_max_packet, 0);
    } else {
        put_interface(d, 1, 0);
        put_endpoint(d, ep_bulk_in, 1, 0, 1);  // zero bandwidth at setting 0
        for (std::size_t i = 0; i < cfg_.iso_packet_sizes.size(); ++i) {
            put_interface(d, 1, static_cast<std::uint8_t>(i + 1));
            put_endpoint(d, ep_bulk_in, 1, cfg_.iso_packet_sizes[i], 1);
        }
    }
    put_interface(d, 2, 0);
    put_endpoint(d, ep_bulk_out, 2, cfg_.usb_bulk_max_packet, 0);
    d[2] = static_cast<std::uint8_t>(d.size());
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    return d;
}

std::optional<std::vector<std::uint8_t>> instrument::string_descriptor(std::uint8_t index, std::uint16_t lang) const {
    if (index == 0) return std::vector<std::uint8_t>{4, 3, 0x09, 0x04};
    if (lang != 0x0409) return std::nullopt;
    const std::string* s = nullptr;
    static const std::string bulk = "Bulk", iso = "Isochrone";
    switch (index) {
    case str_manufacturer: s = &cfg_.manufacturer; break;
    case str_product: s = &cfg_.product; break;
    case str_serial: s = &cfg_.serial_number; break;
    case str_bulk: s = &bulk; break;
    case str_iso: s = &iso; break;
    default: return std::nullopt;
    }
    std::size_t n = std::min<std::size_t>(s->size(), 126);
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * n), 3};
    for (std::size_t i = 0; i < n; ++i) put16(d, static_cast<unsigned char>((*s)[i]));
    return d;
}

// ---------------------------------------------------------------------------------------------
// USB state

std::uint8_t instrument::address() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->address;
}

std::uint8_t instrument::configuration() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->configuration;
}

std::uint8_t instrument::alternate_setting(std::uint8_t iface) const {
    std::lock_guard<std::mutex> g(mu_);
    return iface < 3 ? st_->alt[iface] : 0;
}

bool instrument::halted(std::uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = st_->halt.find(endpoint);
    return it != st_->halt.end() && it->second;
}

void instrument::set_halt(std::uint8_t endpoint, bool on) {
    std::lock_guard<std::mutex> g(mu_);
    st_->halt[endpoint] = on;
    if (!on) ++st_->epoch[endpoint];
}

std::uint32_t instrument::reset_epoch(std::uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = st_->epoch.find(endpoint);
    return it == st_->epoch.end() ? 0 : it->second;
}

namespace {

// Which endpoints exist in a configuration and settings: (type, max packet).
std::optional<std::pair<std::uint8_t, std::uint16_t>> shape_of(const instrument_config& c, std::uint8_t config,
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

}  // namespace

std::optional<std::pair<std::uint8_t, std::uint16_t>> instrument::endpoint_shape(std::uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(mu_);
    return shape_of(cfg_, st_->configuration, st_->alt, endpoint);
}

bool instrument::endpoint_active(std::uint8_t endpoint) const { return endpoint_shape(endpoint).has_value(); }

namespace {

void drop_streams(instrument::state_t& st) {
    st.in_msgs.clear();
    st.in_offset = 0;
    ++st.in_generation;
    st.out_hdr.clear();
    st.out_body.clear();
    st.out_in_body = false;
    st.flash_write.reset();
}

// The control endpoint's toggles follow each SETUP instead.
void bump_all_epochs(instrument::state_t& st) {
    for (std::uint8_t ep : {ep_interrupt, ep_bulk_in, ep_bulk_out}) ++st.epoch[ep];
}

}  // namespace

void instrument::bus_reset() {
    notify_guard g(st_.get(), mu_);
    st_->address = 0;
    st_->configuration = 0;
    st_->alt[0] = st_->alt[1] = st_->alt[2] = 0;
    st_->halt.clear();
    bump_all_epochs(*st_);
    drop_streams(*st_);
    st_->run = run_state::idle;
}

// ---------------------------------------------------------------------------------------------
// Control requests

control_reply instrument::control(const setup_packet& s, std::span<const std::uint8_t> out_data) {
    control_reply r;
    {
        notify_guard g(st_.get(), mu_);
        if (!st_->plugged) return stall();
        std::uint8_t type = (s.bmRequestType >> 5) & 3;
        bool vendor = type == 2;
        if (vendor) ++st_->vendor_count;
        if (faults_.take_stall(s)) return stall();
        if (type == 0) {
            r = standard_locked(s, out_data);
        } else if (vendor) {
            r = vendor_locked(s, out_data);
        } else {
            r = stall();
        }
    }
    if (r.data.size() > s.wLength) r.data.resize(s.wLength);
    if (!r.stall && (s.bmRequestType & 0x80)) {
        if (auto keep = faults_.take_short(s)) r.data.resize(std::min(r.data.size(), *keep));
    }
    return r;
}

control_reply instrument::standard_locked(const setup_packet& s, std::span<const std::uint8_t> out) {
    (void)out;
    state_t& st = *st_;
    const std::uint8_t recipient = s.bmRequestType & 0x1F;
    const bool in = (s.bmRequestType & 0x80) != 0;
    switch (s.bRequest) {
    case 0: {  // GET_STATUS
        if (!in) return stall();
        if (recipient == 2) {
            std::uint8_t ep = static_cast<std::uint8_t>(s.wIndex);
            if (!shape_of(cfg_, st.configuration, st.alt, ep)) return stall();
            return ok({static_cast<std::uint8_t>(st.halt[ep] ? 1 : 0), 0});
        }
        return ok({0, 0});
    }
    case 1:    // CLEAR_FEATURE
    case 3: {  // SET_FEATURE
        if (in) return stall();
        if (recipient != 2) return ok();  // no device or interface features to speak of
        if (s.wValue != 0) return stall();
        std::uint8_t ep = static_cast<std::uint8_t>(s.wIndex);
        if (!shape_of(cfg_, st.configuration, st.alt, ep)) return stall();
        if (ep == 0 || ep == 0x80) return ok();
        st.halt[ep] = (s.bRequest == 3);
        if (s.bRequest == 1) {
            ++st.epoch[ep];
            st.want_data_notify = true;  // a halted IN endpoint may have data waiting
        }
        return ok();
    }
    case 5:  // SET_ADDRESS
        if (in || s.wValue > 127) return stall();
        st.address = static_cast<std::uint8_t>(s.wValue);
        return ok();
    case 6: {  // GET_DESCRIPTOR
        if (!in) return stall();
        std::uint8_t dtype = static_cast<std::uint8_t>(s.wValue >> 8);
        std::uint8_t index = static_cast<std::uint8_t>(s.wValue);
        if (dtype == 1) return ok(device_descriptor());
        if (dtype == 2) {
            auto d = configuration_descriptor(index);
            if (d.empty()) return stall();
            return ok(std::move(d));
        }
        if (dtype == 3) {
            auto d = string_descriptor(index, s.wIndex);
            if (!d) return stall();
            return ok(std::move(*d));
        }
        return stall();
    }
    case 8:  // GET_CONFIGURATION
        if (!in) return stall();
        return ok({st.configuration});
    case 9: {  // SET_CONFIGURATION
        if (in || s.wValue > configuration_count()) return stall();
        st.configuration = static_cast<std::uint8_t>(s.wValue);
        st.alt[0] = st.alt[1] = st.alt[2] = 0;
        st.halt.clear();
        if (cfg_.set_configuration_resets_toggles) bump_all_epochs(st);
        st.want_data_notify = true;
        return ok();
    }
    case 10:  // GET_INTERFACE
        if (!in || st.configuration == 0 || s.wIndex > 2) return stall();
        return ok({st.alt[s.wIndex]});
    case 11: {  // SET_INTERFACE
        if (in || st.configuration == 0 || s.wIndex > 2) return stall();
        std::size_t max_alt = (st.configuration == 2 && s.wIndex == 1) ? cfg_.iso_packet_sizes.size() : 0;
        if (s.wValue > max_alt) return stall();
        st.alt[s.wIndex] = static_cast<std::uint8_t>(s.wValue);
        std::uint8_t ep = s.wIndex == 0 ? ep_interrupt : s.wIndex == 1 ? ep_bulk_in : ep_bulk_out;
        st.halt[ep] = false;
        if (cfg_.set_interface_resets_toggles) ++st.epoch[ep];
        return ok();
    }
    default:
        return stall();
    }
}

// ---------------------------------------------------------------------------------------------
// Vendor words

namespace {

std::vector<std::uint8_t> status_message(std::uint16_t status, std::size_t extra_zero) {
    std::vector<std::uint8_t> m;
    put16(m, status);
    m.resize(m.size() + extra_zero, 0);
    return m;
}

}  // namespace

void instrument::queue_locked(std::vector<std::uint8_t> data) {
    std::vector<std::uint8_t> m;
    m.reserve(data.size() + 3);
    std::uint32_t n = static_cast<std::uint32_t>(data.size()) & 0xFFFFFFu;
    m.push_back(static_cast<std::uint8_t>(n));
    m.push_back(static_cast<std::uint8_t>(n >> 8));
    m.push_back(static_cast<std::uint8_t>(n >> 16));
    m.insert(m.end(), data.begin(), data.end());
    st_->in_msgs.push_back(std::move(m));
    st_->want_data_notify = true;
}

void instrument::event_locked(std::uint16_t code, std::span<const std::uint8_t> data) {
    state_t& st = *st_;
    if (st.events.size() >= max_pending_events) return;
    std::array<std::uint8_t, notification_record_size> r{};
    std::uint32_t seq = st.event_seq++;
    r[0] = static_cast<std::uint8_t>(seq);
    r[1] = static_cast<std::uint8_t>(code);
    r[2] = static_cast<std::uint8_t>(code >> 8);
    for (int i = 0; i < 4; ++i) r[3 + i] = static_cast<std::uint8_t>(seq >> (8 * i));
    std::copy_n(data.begin(), std::min<std::size_t>(data.size(), 48), r.begin() + 15);
    st.events.push_back(r);
    st.want_data_notify = true;
}

void instrument::end_run_locked() {
    state_t& st = *st_;
    if (st.run == run_state::idle) return;
    st.run = run_state::idle;
    std::vector<std::uint8_t> d;
    put32(d, st.blocks);
    event_locked(event::run_ended, d);
}

control_reply instrument::vendor_locked(const setup_packet& s, std::span<const std::uint8_t> out) {
    state_t& st = *st_;
    const bool in = (s.bmRequestType & 0x80) != 0;
    if ((s.bmRequestType & 0x1F) != 0 || s.wLength > max_vendor_data) return stall();
    // Shape checks: a command has no data, a write carries exactly `words` words, a read asks for them.
    auto command = [&] { return !in && s.wLength == 0; };
    auto write_of = [&](std::size_t words) { return !in && s.wLength == 3 * words && out.size() == 3 * words; };
    auto write_any = [&] { return !in && s.wLength != 0 && s.wLength % 3 == 0 && out.size() == s.wLength; };
    auto read_any = [&] { return in && s.wLength != 0 && s.wLength % 3 == 0; };

    switch (s.bRequest) {
    case 0:
        switch (s.wValue) {
        case 1:  // stored periods and flash
            switch (s.wIndex) {
            case 2: {  // period information: an event listing the stored periods
                if (!command()) return stall();
                std::vector<std::uint8_t> d;
                put16(d, static_cast<std::uint16_t>(st.periods.size()));
                std::size_t n = 0;
                for (auto& [num, len] : st.periods) {
                    if (n++ == 7) break;
                    put16(d, static_cast<std::uint16_t>(num));
                    put32(d, len);
                }
                event_locked(event::period_info, d);
                return ok();
            }
            case 3: {  // flash dump (address, length)
                if (!write_of(2)) return stall();
                std::uint32_t addr = word24(out, 0), len = word24(out, 1);
                if (static_cast<std::uint64_t>(addr) + len > st.flash.size()) {
                    queue_locked(status_message(0, 0));
                } else {
                    auto m = status_message(1, 0);
                    m.insert(m.end(), st.flash.begin() + addr, st.flash.begin() + addr + len);
                    queue_locked(std::move(m));
                }
                return ok();
            }
            case 4: {  // flash write (address, length): the data follows on bulk OUT
                if (!write_of(2)) return stall();
                std::uint32_t addr = word24(out, 0), len = word24(out, 1);
                bool fits = static_cast<std::uint64_t>(addr) + len <= st.flash.size();
                if (len == 0) {
                    // No data will follow: a host does not send an empty write, so answer now.
                    st.flash_write.reset();
                    queue_locked(status_message(fits ? 1 : 0, 1));
                    return ok();
                }
                st.flash_write = std::make_tuple(addr, len, fits);
                return ok();
            }
            case 5: {  // period read (number, start offset, byte count, block size)
                if (!write_of(4)) return stall();
                std::uint32_t num = word24(out, 0), from = word24(out, 1), count = word24(out, 2),
                              block = word24(out, 3);
                auto it = st.periods.find(num);
                if (it == st.periods.end() || block == 0 || block > 0xFFFF) {
                    queue_locked(status_message(0, 2));
                    return ok();
                }
                std::uint32_t avail = from < it->second ? it->second - from : 0;
                std::uint32_t total = std::min(count, avail);
                std::uint32_t done = 0;
                while (done < total) {
                    std::uint32_t n = std::min(block, total - done);
                    auto m = status_message(1, 0);
                    put16(m, static_cast<std::uint16_t>(n));
                    std::size_t at = m.size();
                    m.resize(at + n);
                    fill_pattern(seed::period(num), from + done, std::span<std::uint8_t>(m).subspan(at));
                    queue_locked(std::move(m));
                    done += n;
                }
                // A reader that asked for more sees the end as a short (here: empty) block.
                if (total < count && total % block == 0) {
                    auto m = status_message(1, 0);
                    put16(m, 0);
                    queue_locked(std::move(m));
                }
                return ok();
            }
            case 6: {  // erase periods first..last
                if (!write_of(2)) return stall();
                std::uint32_t first = word24(out, 0), last = std::max(first, word24(out, 1));
                for (auto it = st.periods.lower_bound(first); it != st.periods.end() && it->first <= last;)
                    it = st.periods.erase(it);
                return ok();
            }
            default: return stall();
            }
        case 2:  // configuration
            switch (s.wIndex) {
            case 1:  // normal: 12 words; the programmed tables are cleared
                if (!write_of(12)) return stall();
                for (std::size_t i = 0; i < 24; ++i) st.config_words[i] = i < 12 ? word24(out, i) : 0;
                st.config_kind = 1;
                return ok();
            case 2:  // programmed: 24 words
                if (!write_of(24)) return stall();
                for (std::size_t i = 0; i < 24; ++i) st.config_words[i] = word24(out, i);
                st.config_kind = 2;
                return ok();
            case 3: {  // read back 24 words
                if (!read_any()) return stall();
                std::vector<std::uint8_t> d;
                for (auto w : st.config_words) put_word24(d, w);
                return ok(std::move(d));
            }
            default: return stall();
            }
        case 3:  // runs
            switch (s.wIndex) {
            case 1:
            case 2: {  // start measurement / calibration (block count, 0 = until stopped)
                if (!write_of(1)) return stall();
                end_run_locked();
                st.run = s.wIndex == 1 ? run_state::measuring : run_state::calibrating;
                st.run_limit = word24(out, 0);
                st.blocks = 0;
                st.run_offset = 0;
                std::vector<std::uint8_t> d{static_cast<std::uint8_t>(st.run)};
                put32(d, st.run_limit);
                event_locked(event::run_started, d);
                return ok();
            }
            case 3:  // stop
                if (!command()) return stall();
                end_run_locked();
                return ok();
            default: return stall();
            }
        case 4:  // state words
            if (s.wIndex != 1 || !read_any()) return stall();
            {
                std::vector<std::uint8_t> d;
                put_word24(d, static_cast<std::uint32_t>(st.run));
                put_word24(d, st.blocks & 0xFFFFFF);
                put_word24(d, static_cast<std::uint32_t>(st.periods.size()));
                put_word24(d, st.config_kind);
                put_word24(d, st.dsp_resets & 0xFFFFFF);
                return ok(std::move(d));
            }
        default: return stall();
        }
    case 1: {  // memory and DSP: wValue = bank << 8 | (area + 1) << 4 | operation
        std::uint8_t bank = static_cast<std::uint8_t>(s.wValue >> 8);
        std::uint8_t area1 = (s.wValue >> 4) & 0x0F;
        std::uint8_t op = s.wValue & 0x0F;
        if (area1 == 0) {
            if (op != 3 || !command()) return stall();
            // DSP reset: ends a run and counts the reset.
            end_run_locked();
            ++st.dsp_resets;
            std::vector<std::uint8_t> d{bank};
            event_locked(event::dsp_reset, d);
            return ok();
        }
        std::uint8_t area = static_cast<std::uint8_t>(area1 - 1);
        auto key_pa = std::make_pair(bank, area);
        std::uint16_t pg = st.page.count(key_pa) ? st.page[key_pa] : 0;
        auto page_words = [&]() -> std::vector<std::uint32_t>& {
            auto key = std::make_tuple(bank, area, pg);
            auto it = st.memory.find(key);
            if (it == st.memory.end()) {
                std::vector<std::uint32_t> w(cfg_.memory_page_words);
                for (std::uint32_t i = 0; i < w.size(); ++i) w[i] = power_on_word(bank, area, pg, i);
                it = st.memory.emplace(key, std::move(w)).first;
            }
            return it->second;
        };
        switch (op) {
        case 0:  // page select
            if (!command()) return stall();
            st.page[key_pa] = s.wIndex;
            return ok();
        case 1: {  // read words at offset wIndex of the selected page
            if (!read_any()) return stall();
            std::size_t n = s.wLength / 3;
            if (s.wIndex + n > cfg_.memory_page_words) return stall();
            auto& w = page_words();
            std::vector<std::uint8_t> d;
            for (std::size_t i = 0; i < n; ++i) put_word24(d, w[s.wIndex + i]);
            return ok(std::move(d));
        }
        case 2: {  // write words at offset wIndex of the selected page
            if (!write_any()) return stall();
            std::size_t n = s.wLength / 3;
            if (s.wIndex + n > cfg_.memory_page_words) return stall();
            auto& w = page_words();
            for (std::size_t i = 0; i < n; ++i) w[s.wIndex + i] = word24(out, i);
            return ok();
        }
        default: return stall();
        }
    }
    case 2:  // pipe words
        if (!command() || s.wIndex != 0) return stall();
        switch (s.wValue) {
        case 0x1003:  // bulk IN: drop what was waiting, partly sent included
            st.in_msgs.clear();
            st.in_offset = 0;
            ++st.in_generation;
            ++st.epoch[ep_bulk_in];
            st.want_data_notify = true;
            return ok();
        case 0x1103:  // bulk OUT: drop a partly received message
            st.out_hdr.clear();
            st.out_body.clear();
            st.out_in_body = false;
            ++st.epoch[ep_bulk_out];
            return ok();
        case 0x0303:  // notifications: drop what was waiting
            st.events.clear();
            return ok();
        default: return stall();
        }
    default:
        return stall();
    }
}

// ---------------------------------------------------------------------------------------------
// Bulk IN

void instrument::produce_locked() {
    state_t& st = *st_;
    if (st.run == run_state::idle || !st.in_msgs.empty()) return;
    if (st.configuration != 1) return;
    std::uint16_t n = cfg_.block_payload;
    std::vector<std::uint8_t> m;
    put16(m, 1);
    put16(m, n);
    m.resize(4 + n);
    fill_pattern(st.run == run_state::measuring ? seed::measurement : seed::calibration, st.run_offset,
                 std::span<std::uint8_t>(m).subspan(4));
    st.run_offset += n;
    ++st.blocks;
    queue_locked(std::move(m));
    if (st.run_limit && st.blocks >= st.run_limit) end_run_locked();
}

std::vector<std::uint8_t> instrument::bulk_in_peek(std::size_t max, std::uint64_t* generation) {
    notify_guard g(st_.get(), mu_);
    state_t& st = *st_;
    if (generation) *generation = st.in_generation;
    if (!st.plugged) return {};
    if (st.in_msgs.empty()) produce_locked();
    if (st.in_msgs.empty()) return {};
    const auto& m = st.in_msgs.front();
    std::size_t end = st.in_offset < 3 ? 3 : m.size();
    std::size_t n = std::min(end - st.in_offset, max);
    auto first = m.begin() + static_cast<std::ptrdiff_t>(st.in_offset);
    return std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(n));
}

void instrument::bulk_in_consume(std::size_t n, std::optional<std::uint64_t> generation) {
    notify_guard g(st_.get(), mu_);
    state_t& st = *st_;
    if (generation && *generation != st.in_generation) return;
    if (st.in_msgs.empty()) return;
    st.in_offset += n;
    if (st.in_offset >= st.in_msgs.front().size()) {
        st.in_msgs.pop_front();
        st.in_offset = 0;
    }
}

void instrument::queue_bulk_message(std::vector<std::uint8_t> data) {
    notify_guard g(st_.get(), mu_);
    queue_locked(std::move(data));
}

std::size_t instrument::bulk_in_pending_messages() {
    std::lock_guard<std::mutex> g(mu_);
    return st_->in_msgs.size();
}

// ---------------------------------------------------------------------------------------------
// Bulk OUT

void instrument::bulk_out_bytes(std::span<const std::uint8_t> bytes) {
    notify_guard g(st_.get(), mu_);
    state_t& st = *st_;
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (!st.out_in_body) {
            st.out_hdr.push_back(bytes[i++]);
            if (st.out_hdr.size() == 3) {
                st.out_expect = st.out_hdr[0] | (st.out_hdr[1] << 8) | (static_cast<std::uint32_t>(st.out_hdr[2]) << 16);
                st.out_hdr.clear();
                st.out_body.clear();
                st.out_in_body = true;
            }
        } else {
            std::size_t take = std::min<std::size_t>(bytes.size() - i, st.out_expect - st.out_body.size());
            st.out_body.insert(st.out_body.end(), bytes.begin() + i, bytes.begin() + i + take);
            i += take;
        }
        if (st.out_in_body && st.out_body.size() == st.out_expect) {
            st.out_in_body = false;
            std::vector<std::uint8_t> msg = std::move(st.out_body);
            st.out_body.clear();
            message_locked(msg);
        }
    }
}

void instrument::message_locked(std::vector<std::uint8_t>& msg) {
    state_t& st = *st_;
    if (st.flash_write) {
        auto [addr, len, fits] = *st.flash_write;
        st.flash_write.reset();
        bool good = fits && msg.size() == len;
        if (good) std::copy(msg.begin(), msg.end(), st.flash.begin() + addr);
        queue_locked(status_message(good ? 1 : 0, 1));
        return;
    }
    st.received.push_back(std::move(msg));
}

std::vector<std::vector<std::uint8_t>> instrument::take_received_messages() {
    std::lock_guard<std::mutex> g(mu_);
    return std::exchange(st_->received, {});
}

// ---------------------------------------------------------------------------------------------
// Events

void instrument::raise_event(std::uint16_t code, std::span<const std::uint8_t> data) {
    notify_guard g(st_.get(), mu_);
    event_locked(code, data);
}

std::optional<std::array<std::uint8_t, notification_record_size>> instrument::take_event() {
    std::lock_guard<std::mutex> g(mu_);
    if (st_->events.empty() || !st_->plugged) return std::nullopt;
    auto r = st_->events.front();
    st_->events.pop_front();
    return r;
}

std::size_t instrument::pending_events() {
    std::lock_guard<std::mutex> g(mu_);
    return st_->events.size();
}

// ---------------------------------------------------------------------------------------------
// Isochronous

std::uint16_t instrument::iso_packet_size() const {
    std::lock_guard<std::mutex> g(mu_);
    if (st_->configuration != 2) return 0;
    auto shape = shape_of(cfg_, st_->configuration, st_->alt, ep_bulk_in);
    return shape ? shape->second : 0;
}

std::size_t instrument::iso_frame(std::span<std::uint8_t> out) {
    notify_guard g(st_.get(), mu_);
    state_t& st = *st_;
    if (st.configuration != 2 || st.run == run_state::idle || !st.plugged) return 0;
    auto shape = shape_of(cfg_, st.configuration, st.alt, ep_bulk_in);
    std::size_t p = shape ? shape->second : 0;
    if (p == 0 || out.size() < p) return 0;
    fill_pattern(st.run == run_state::measuring ? seed::measurement : seed::calibration, st.run_offset,
                 out.subspan(0, p));
    st.run_offset += p;
    ++st.blocks;
    if (st.run_limit && st.blocks >= st.run_limit) end_run_locked();
    return p;
}

// ---------------------------------------------------------------------------------------------
// Firmware state for tests

run_state instrument::state() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->run;
}

std::uint32_t instrument::blocks_sent() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->blocks;
}

std::vector<std::uint8_t> instrument::flash(std::size_t addr, std::size_t len) const {
    std::lock_guard<std::mutex> g(mu_);
    if (addr > st_->flash.size()) return {};
    len = std::min(len, st_->flash.size() - addr);
    return {st_->flash.begin() + static_cast<std::ptrdiff_t>(addr),
            st_->flash.begin() + static_cast<std::ptrdiff_t>(addr + len)};
}

std::vector<std::uint32_t> instrument::normal_config() const {
    std::lock_guard<std::mutex> g(mu_);
    return {st_->config_words.begin(), st_->config_words.begin() + 12};
}

std::vector<std::uint32_t> instrument::programmed_config() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->config_words;
}

std::uint32_t instrument::memory_word(std::uint8_t bank, std::uint8_t area, std::uint16_t page, std::uint32_t offset) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = st_->memory.find(std::make_tuple(bank, area, page));
    if (it == st_->memory.end() || offset >= it->second.size()) return power_on_word(bank, area, page, offset);
    return it->second[offset];
}

std::uint16_t instrument::selected_page(std::uint8_t bank, std::uint8_t area) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = st_->page.find({bank, area});
    return it == st_->page.end() ? 0 : it->second;
}

std::uint32_t instrument::dsp_resets() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->dsp_resets;
}

std::vector<std::uint32_t> instrument::stored_periods() const {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<std::uint32_t> v;
    for (auto& [n, len] : st_->periods) v.push_back(n);
    return v;
}

std::uint64_t instrument::vendor_requests() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->vendor_count;
}

// ---------------------------------------------------------------------------------------------
// Plugging and listeners

void instrument::unplug() {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!st_->plugged) return;
        st_->plugged = false;
    }
    std::lock_guard<std::mutex> g(st_->listeners_mu);
    for (auto& [tok, l] : st_->listeners)
        if (l.second) l.second();
}

bool instrument::plugged() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->plugged;
}

void instrument::replug() {
    notify_guard g(st_.get(), mu_);
    st_->plugged = true;
    st_->want_data_notify = true;
}

int instrument::subscribe(std::function<void()> data_ready, std::function<void()> unplugged) {
    std::lock_guard<std::mutex> g(st_->listeners_mu);
    int tok = st_->next_token++;
    st_->listeners.emplace(tok, std::make_pair(std::move(data_ready), std::move(unplugged)));
    return tok;
}

void instrument::unsubscribe(int token) {
    std::lock_guard<std::mutex> g(st_->listeners_mu);
    st_->listeners.erase(token);
}

}  // namespace simdev
