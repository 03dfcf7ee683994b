// The instrument's isochronous stream.
#include "instrument_firmware.h"

namespace simdev {

using namespace fw;

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

}  // namespace simdev
