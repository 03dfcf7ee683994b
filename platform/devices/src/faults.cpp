#include "simdev/faults.h"

#include "simdev/usb_device.h"

namespace simdev {

bool request_match::matches(const setup_packet& s) const {
    if (vendor_only && ((s.bmRequestType >> 5) & 3) != 2) return false;
    if (bRequest && *bRequest != s.bRequest) return false;
    if (wValue && *wValue != s.wValue) return false;
    if (wIndex && *wIndex != s.wIndex) return false;
    return true;
}

fault_injector::fault_injector() : rng_(1) {}

void fault_injector::seed(std::uint64_t s) {
    std::lock_guard<std::mutex> g(mu_);
    rng_.seed(s);
}

void fault_injector::clear() {
    std::lock_guard<std::mutex> g(mu_);
    stalls_.clear();
    shorts_.clear();
    hooks_.clear();
    naks_.clear();
    silences_.clear();
    usb_errors_.clear();
    usb_error_p_.clear();
    nak_p_.clear();
    for (int d = 0; d < 2; ++d) {
        line_count_[d] = 0;
        for (int f = 0; f < 3; ++f) {
            line_p_[d][f] = 0;
            line_at_[d][f].clear();
        }
    }
    remove_left_.reset();
    removal_armed_ = false;
    baud_ = 0;
    byte_delay_ = 0;
    handshakes_lost_ = false;
    packets_before_error_ = 0;
    iso_errors_.clear();
    control_us_ = 0;
    c_ = {};
}

void fault_injector::stall_request(request_match m, unsigned times) {
    std::lock_guard<std::mutex> g(mu_);
    stalls_.push_back({m, times, times == always, 0});
}

void fault_injector::short_reply(request_match m, std::size_t keep, unsigned times) {
    std::lock_guard<std::mutex> g(mu_);
    shorts_.push_back({m, times, times == always, keep});
}

void fault_injector::on_request(request_match m, std::function<void()> fn) {
    std::lock_guard<std::mutex> g(mu_);
    hooks_.emplace_back(m, std::move(fn));
}

std::function<void()> fault_injector::take_request_hook(const setup_packet& s) {
    std::lock_guard<std::mutex> g(mu_);
    for (auto it = hooks_.begin(); it != hooks_.end(); ++it) {
        if (!it->first.matches(s)) continue;
        std::function<void()> fn = std::move(it->second);
        hooks_.erase(it);
        return fn;
    }
    return {};
}

void fault_injector::nak(std::uint8_t endpoint, unsigned count) {
    std::lock_guard<std::mutex> g(mu_);
    naks_.push_back({endpoint, count});
}

void fault_injector::nak_probability(std::uint8_t endpoint, double p) {
    std::lock_guard<std::mutex> g(mu_);
    nak_p_.emplace_back(endpoint, p);
}

void fault_injector::silence(std::uint8_t endpoint, unsigned count) {
    std::lock_guard<std::mutex> g(mu_);
    silences_.push_back({endpoint, count});
}

void fault_injector::usb_error(std::uint8_t endpoint, usb_status status, unsigned count, unsigned after) {
    std::lock_guard<std::mutex> g(mu_);
    usb_errors_.push_back({{endpoint, count}, status, after});
}

void fault_injector::lost_handshakes(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    handshakes_lost_ = on;
}

bool fault_injector::handshakes_lost() const {
    std::lock_guard<std::mutex> g(mu_);
    return handshakes_lost_;
}

void fault_injector::usb_error_after_packets(std::size_t packets) {
    std::lock_guard<std::mutex> g(mu_);
    packets_before_error_ = packets;
}

std::size_t fault_injector::packets_before_usb_error() const {
    std::lock_guard<std::mutex> g(mu_);
    return packets_before_error_;
}

void fault_injector::usb_error_probability(std::uint8_t endpoint, usb_status status, double p) {
    std::lock_guard<std::mutex> g(mu_);
    usb_error_p_.push_back({endpoint, status, p});
}

void fault_injector::short_iso_packets(std::uint8_t endpoint, std::size_t keep, unsigned count) {
    std::lock_guard<std::mutex> g(mu_);
    short_iso_.push_back({ep_count{endpoint, count}, keep});
}

void fault_injector::iso_packet_errors(std::uint8_t endpoint, usb_status status, unsigned count) {
    std::lock_guard<std::mutex> g(mu_);
    if (count) iso_errors_.push_back({ep_count{endpoint, count}, status});
}

std::optional<usb_status> fault_injector::take_iso_packet_error(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> g(mu_);
    for (auto it = iso_errors_.begin(); it != iso_errors_.end(); ++it) {
        if (it->first.ep != any_endpoint && it->first.ep != endpoint) continue;
        usb_status st = it->second;
        if (--it->first.left == 0) iso_errors_.erase(it);
        ++c_.usb_errors;
        return st;
    }
    return std::nullopt;
}

void fault_injector::control_duration_us(std::uint32_t us) {
    std::lock_guard<std::mutex> g(mu_);
    control_us_ = us;
}

std::uint32_t fault_injector::control_duration() const {
    std::lock_guard<std::mutex> g(mu_);
    return control_us_;
}

std::optional<std::size_t> fault_injector::take_short_iso(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> g(mu_);
    for (auto it = short_iso_.begin(); it != short_iso_.end(); ++it) {
        if (it->first.ep != any_endpoint && it->first.ep != endpoint) continue;
        std::size_t keep = it->second;
        if (--it->first.left == 0) short_iso_.erase(it);
        ++c_.shortened;
        return keep;
    }
    return std::nullopt;
}

std::optional<usb_status> fault_injector::take_usb_error(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> g(mu_);
    for (auto it = usb_errors_.begin(); it != usb_errors_.end(); ++it) {
        if (it->c.ep != any_endpoint && it->c.ep != endpoint) continue;
        if (it->c.left == 0) continue;
        if (it->after > 0) {  // this transfer goes through
            --it->after;
            break;
        }
        usb_status st = it->status;
        if (--it->c.left == 0) usb_errors_.erase(it);
        ++c_.usb_errors;
        return st;
    }
    for (const usb_error_p& e : usb_error_p_) {
        if (e.ep != any_endpoint && e.ep != endpoint) continue;
        if (std::uniform_real_distribution<double>(0.0, 1.0)(rng_) >= e.p) break;
        ++c_.usb_errors;
        return e.status;
    }
    return std::nullopt;
}

void fault_injector::line_probability(line_dir d, line_fault f, double p) {
    std::lock_guard<std::mutex> g(mu_);
    line_p_[static_cast<int>(d)][static_cast<int>(f)] = p;
}

void fault_injector::line_at(line_dir d, line_fault f, std::uint64_t byte_number) {
    std::lock_guard<std::mutex> g(mu_);
    line_at_[static_cast<int>(d)][static_cast<int>(f)].insert(line_count_[static_cast<int>(d)] + byte_number);
}

void fault_injector::remove_after_bulk_in(std::uint64_t bytes) {
    std::lock_guard<std::mutex> g(mu_);
    remove_left_ = bytes;
    removal_armed_ = false;
}

void fault_injector::line_rate(std::uint32_t baud) {
    std::lock_guard<std::mutex> g(mu_);
    baud_ = baud;
}

void fault_injector::byte_delay_us(std::uint32_t us) {
    std::lock_guard<std::mutex> g(mu_);
    byte_delay_ = us;
}

fault_injector::counters fault_injector::injected() const {
    std::lock_guard<std::mutex> g(mu_);
    return c_;
}

bool fault_injector::take_rule(std::vector<req_rule>& v, const setup_packet& s, std::size_t* keep) {
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (!it->m.matches(s)) continue;
        if (keep) *keep = it->keep;
        if (!it->forever && --it->left == 0) v.erase(it);
        return true;
    }
    return false;
}

bool fault_injector::take_count(std::vector<ep_count>& v, std::uint8_t ep) {
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (it->ep != any_endpoint && it->ep != ep) continue;
        if (it->left == 0) continue;
        if (--it->left == 0) v.erase(it);
        return true;
    }
    return false;
}

bool fault_injector::take_stall(const setup_packet& s) {
    std::lock_guard<std::mutex> g(mu_);
    if (!take_rule(stalls_, s, nullptr)) return false;
    ++c_.stalls;
    return true;
}

std::optional<std::size_t> fault_injector::take_short(const setup_packet& s) {
    std::lock_guard<std::mutex> g(mu_);
    std::size_t keep = 0;
    if (!take_rule(shorts_, s, &keep)) return std::nullopt;
    ++c_.shortened;
    return keep;
}

bool fault_injector::take_nak(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> g(mu_);
    bool hit = take_count(naks_, endpoint);
    if (!hit) {
        for (auto& [ep, p] : nak_p_) {
            if (ep != any_endpoint && ep != endpoint) continue;
            if (std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p) hit = true;
            break;
        }
    }
    if (hit) ++c_.naks;
    return hit;
}

bool fault_injector::take_silence(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> g(mu_);
    if (!take_count(silences_, endpoint)) return false;
    ++c_.silences;
    return true;
}

fault_injector::byte_action fault_injector::line_byte(line_dir d, std::uint8_t& b) {
    std::lock_guard<std::mutex> g(mu_);
    int di = static_cast<int>(d);
    std::uint64_t n = line_count_[di]++;
    int hit = -1;
    for (int f = 0; f < 3 && hit < 0; ++f) {
        auto& at = line_at_[di][f];
        if (at.erase(n)) hit = f;
    }
    for (int f = 0; f < 3 && hit < 0; ++f) {
        double p = line_p_[di][f];
        if (p > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p) hit = f;
    }
    switch (hit) {
    case 0: {
        std::uint8_t mask = static_cast<std::uint8_t>(1u + rng_() % 255u);  // never 0: the byte changes
        b ^= mask;
        ++c_.corrupted;
        return byte_action::corrupt;
    }
    case 1: ++c_.dropped; return byte_action::drop;
    case 2: ++c_.duplicated; return byte_action::duplicate;
    default: return byte_action::pass;
    }
}

std::size_t fault_injector::bulk_in_allowance(std::size_t n) {
    std::lock_guard<std::mutex> g(mu_);
    if (!remove_left_) return n;
    if (*remove_left_ > n) {
        *remove_left_ -= n;
        return n;
    }
    std::size_t allowed = static_cast<std::size_t>(*remove_left_);
    remove_left_.reset();
    removal_armed_ = true;
    ++c_.removals;
    return allowed;
}

bool fault_injector::removal_due() {
    std::lock_guard<std::mutex> g(mu_);
    bool r = removal_armed_;
    removal_armed_ = false;
    return r;
}

std::uint64_t fault_injector::byte_time_ns() const {
    std::lock_guard<std::mutex> g(mu_);
    std::uint64_t t = std::uint64_t{byte_delay_} * 1000u;
    // Ten bits a byte (start, eight data, stop), to the nearest nanosecond.
    if (baud_) t += (10'000'000'000ull + baud_ / 2) / baud_;
    return t;
}

}  // namespace simdev
