// Helpers that build the instrument's vendor requests the way the host sends them.
#ifndef SIMDEV_TESTS_VENDOR_H
#define SIMDEV_TESTS_VENDOR_H

#include <cstdint>
#include <vector>

#include "simdev/instrument.h"
#include "simdev/usb_device.h"

namespace simdev::test {

inline setup_packet vendor_setup(bool in, std::uint32_t word, std::uint16_t value, std::uint16_t length) {
    setup_packet s;
    s.bmRequestType = in ? 0xC0 : 0x40;
    s.bRequest = static_cast<std::uint8_t>(word >> 16);
    s.wValue = static_cast<std::uint16_t>(word & 0xFFFF);
    s.wIndex = value;
    s.wLength = length;
    return s;
}

inline std::vector<std::uint8_t> words24(const std::vector<std::uint32_t>& w) {
    std::vector<std::uint8_t> d;
    for (auto x : w) {
        d.push_back(static_cast<std::uint8_t>(x));
        d.push_back(static_cast<std::uint8_t>(x >> 8));
        d.push_back(static_cast<std::uint8_t>(x >> 16));
    }
    return d;
}

inline std::vector<std::uint32_t> from24(const std::vector<std::uint8_t>& d) {
    std::vector<std::uint32_t> w;
    for (std::size_t i = 0; i + 2 < d.size(); i += 3) w.push_back(d[i] | (d[i + 1] << 8) | (d[i + 2] << 16));
    return w;
}

inline control_reply command(instrument& m, std::uint32_t word, std::uint16_t value) {
    return m.control(vendor_setup(false, word, value, 0), {});
}

inline control_reply set_words(instrument& m, std::uint32_t word, std::uint16_t value, const std::vector<std::uint32_t>& w) {
    auto d = words24(w);
    return m.control(vendor_setup(false, word, value, static_cast<std::uint16_t>(d.size())), d);
}

inline control_reply get_words(instrument& m, std::uint32_t word, std::uint16_t value, std::uint16_t n) {
    return m.control(vendor_setup(true, word, value, static_cast<std::uint16_t>(3 * n)), {});
}

inline std::uint16_t u16(const std::vector<std::uint8_t>& d, std::size_t at) {
    return static_cast<std::uint16_t>(d[at] | (d[at + 1] << 8));
}

// Takes one whole bulk IN message (3-byte length, then data) from the model; empty optional when
// nothing waits.
inline std::optional<std::vector<std::uint8_t>> take_message(instrument& m) {
    auto hdr = m.bulk_in_peek();
    if (hdr.empty()) return std::nullopt;
    if (hdr.size() != 3) return std::nullopt;
    std::uint32_t n = hdr[0] | (hdr[1] << 8) | (hdr[2] << 16);
    m.bulk_in_consume(3);
    std::vector<std::uint8_t> data;
    while (data.size() < n) {
        auto seg = m.bulk_in_peek();
        if (seg.empty()) break;
        data.insert(data.end(), seg.begin(), seg.end());
        m.bulk_in_consume(seg.size());
    }
    return data;
}

inline std::vector<std::uint8_t> framed(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> f{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(data.size() >> 8),
                                static_cast<std::uint8_t>(data.size() >> 16)};
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

}  // namespace simdev::test

#endif
