// The instrument's USB device state: address, configuration, settings, halts, bus reset.
#include "instrument_firmware.h"

namespace simdev {

using namespace fw;

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

}  // namespace

void fw::reset_link(instrument::state_t& st) {
    st.address = 0;
    st.configuration = 0;
    st.alt[0] = st.alt[1] = st.alt[2] = 0;
    st.halt.clear();
    bump_all_epochs(st);
    drop_streams(st);
    st.run = run_state::idle;
}

void instrument::bus_reset() {
    notify_guard g(st_.get(), mu_);
    reset_link(*st_);
}

}  // namespace simdev
