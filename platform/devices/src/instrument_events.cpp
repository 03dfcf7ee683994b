// The instrument's interrupt endpoint: event records.
#include "instrument_firmware.h"

namespace simdev {

using namespace fw;

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

}  // namespace simdev
