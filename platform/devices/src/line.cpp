#include "simdev/line.h"

#include <array>

namespace simdev::line {

namespace {

constexpr std::array<std::uint16_t, 256> make_table() {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t c = static_cast<std::uint16_t>(i);
        for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001) : static_cast<std::uint16_t>(c >> 1);
        t[i] = c;
    }
    return t;
}

constexpr auto crc_table = make_table();

}  // namespace

std::uint16_t crc16(std::span<const std::uint8_t> bytes, std::uint16_t crc) {
    for (std::uint8_t b : bytes) crc = static_cast<std::uint16_t>((crc >> 8) ^ crc_table[(crc ^ b) & 0xFF]);
    return crc;
}

std::vector<std::uint8_t> encode_data(bool data1, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> p;
    p.reserve(data.size() + 5);
    p.push_back(encode_nibble(data1 ? pid_data1 : pid_data0));
    p.push_back(static_cast<std::uint8_t>(data.size() & 0xFF));
    p.push_back(static_cast<std::uint8_t>((data.size() >> 8) & 0xFF));
    p.insert(p.end(), data.begin(), data.end());
    std::uint16_t c = crc16(std::span<const std::uint8_t>(p).subspan(1));
    p.push_back(static_cast<std::uint8_t>(c & 0xFF));
    p.push_back(static_cast<std::uint8_t>(c >> 8));
    return p;
}

std::vector<std::uint8_t> encode_token(std::uint8_t pid_value, std::uint8_t address, std::uint8_t endpoint) {
    return {encode_nibble(pid_value), encode_nibble(address & 0x0F), encode_nibble(endpoint & 0x0F)};
}

decode_error decode_data(std::span<const std::uint8_t> packet, std::size_t max_len, decoded_data& out) {
    if (packet.empty()) return decode_error::too_short;
    std::uint8_t v = decode_nibble(packet[0]);
    if (v != pid_data0 && v != pid_data1) return decode_error::bad_pid;
    if (packet.size() < 3) return decode_error::too_short;
    std::size_t n = packet[1] | (static_cast<std::size_t>(packet[2]) << 8);
    if (n > max_len) return decode_error::too_long;
    if (packet.size() < n + 5) return decode_error::too_short;
    if (packet.size() > n + 5) return decode_error::too_long;
    std::uint16_t got = static_cast<std::uint16_t>(packet[3 + n] | (packet[4 + n] << 8));
    if (crc16(packet.subspan(1, n + 2)) != got) return decode_error::bad_crc;
    out.data1 = (v == pid_data1);
    out.data.assign(packet.begin() + 3, packet.begin() + 3 + static_cast<std::ptrdiff_t>(n));
    return decode_error::none;
}

}  // namespace simdev::line
