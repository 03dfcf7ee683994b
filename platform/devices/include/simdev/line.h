// Byte coding of the serial packet protocol, from the instrument's side.
#ifndef SIMDEV_LINE_H
#define SIMDEV_LINE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace simdev::line {

// Four-bit PID values.
enum pid : std::uint8_t {
    pid_out = 1, pid_ack = 2, pid_data0 = 3, pid_resync = 6, pid_in = 9,
    pid_nak = 10, pid_data1 = 11, pid_err = 12, pid_setup = 13, pid_stall = 14,
};

// v in the high nibble, its complement in the low nibble.
constexpr std::uint8_t encode_nibble(std::uint8_t v) {
    return static_cast<std::uint8_t>(((v & 0x0F) << 4) | (~v & 0x0F));
}
// The value, or 0 when the low nibble is not the complement of the high one.
constexpr std::uint8_t decode_nibble(std::uint8_t b) {
    std::uint8_t hi = b >> 4;
    return ((b & 0x0F) == (~hi & 0x0F)) ? hi : 0;
}

// CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final exclusive-or.
std::uint16_t crc16(std::span<const std::uint8_t> bytes, std::uint16_t crc = 0);

// [PID][length LE16][data][CRC LE16 over length and data]
std::vector<std::uint8_t> encode_data(bool data1, std::span<const std::uint8_t> data);
std::vector<std::uint8_t> encode_token(std::uint8_t pid_value, std::uint8_t address, std::uint8_t endpoint);

struct decoded_data {
    bool data1 = false;
    std::vector<std::uint8_t> data;
};
enum class decode_error { none, bad_pid, too_short, too_long, bad_crc };
// Decodes one complete data packet (no trailing bytes); max_len bounds the length field.
decode_error decode_data(std::span<const std::uint8_t> packet, std::size_t max_len, decoded_data& out);

}  // namespace simdev::line

#endif
