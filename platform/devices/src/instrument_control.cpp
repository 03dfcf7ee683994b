// The instrument's control endpoint: dispatch and the standard requests.
#include "instrument_firmware.h"

namespace simdev {

using namespace fw;

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
    if (s.bmRequestType & 0x80) {
        if (auto data = faults_.take_replacement(s)) {
            r.stall = false;
            r.data = std::move(*data);
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
            if (ep == ep_bulk_in && cfg_.clear_halt_flushes_endpoint && st.in_offset > 0 && !st.in_msgs.empty()) {
                st.in_msgs.pop_front();
                st.in_offset = 0;
                ++st.in_generation;
            }
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

}  // namespace simdev
