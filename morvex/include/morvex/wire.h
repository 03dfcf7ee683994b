// The one request format shared by the instrument API, the kernel driver and the serial transport:
// device-control codes, the 8-byte vendor request header, 24-bit words, the notification record and
// the interface-class GUIDs. Freestanding (the driver includes it): no standard library beyond
// <stdint.h>. Include <windows.h> or <wdm.h> first to get the GUID constants.
#ifndef MORVEX_WIRE_H
#define MORVEX_WIRE_H

#include <stdint.h>

namespace zeph_wire {

// CTL_CODE(0x22, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t ctl_code(uint32_t function) { return 0x220000u | (function << 2); }

constexpr uint32_t IOCTL_SELECT_MODE = 0x222004;
constexpr uint32_t IOCTL_GET_STRING_LENGTH = 0x222040;
constexpr uint32_t IOCTL_GET_STRING = 0x222044;
constexpr uint32_t IOCTL_GET_BCD_DEVICE = 0x222054;
constexpr uint32_t IOCTL_GET_MANUFACTURER_INDEX = 0x222058;
constexpr uint32_t IOCTL_GET_PRODUCT_INDEX = 0x22205C;
constexpr uint32_t IOCTL_GET_SERIAL_NUMBER_INDEX = 0x222060;
constexpr uint32_t IOCTL_GET_FIXED_INDEX = 0x222064;
constexpr uint32_t IOCTL_VENDOR_COMMAND = 0x222080;
constexpr uint32_t IOCTL_VENDOR_WRITE = 0x222084;
constexpr uint32_t IOCTL_VENDOR_READ = 0x222088;
constexpr uint32_t IOCTL_READ_NOTIFICATION = 0x2220C0;
constexpr uint32_t IOCTL_RESET_DEVICE = 0x2223C0;
constexpr uint32_t IOCTL_UNSUPPORTED = 0x2223C4;
constexpr uint32_t IOCTL_RESET_DEVICE2 = 0x2223D0;

static_assert(ctl_code(0x801) == IOCTL_SELECT_MODE, "code table");
static_assert(ctl_code(0x8F4) == IOCTL_RESET_DEVICE2, "code table");

// Engine modes carried in byte 0 of IOCTL_SELECT_MODE.
constexpr uint8_t MODE_IDLE = 0;
constexpr uint8_t MODE_BULK = 1;
constexpr uint8_t MODE_ISO = 2;
constexpr uint32_t SELECT_MODE_INPUT = 4;

// Words the driver's bulk engine serves itself (bRequest 2).
constexpr uint32_t WORD_RESTART_NOTIFY = 0x020303;
constexpr uint32_t WORD_READ_PIPE_RESET = 0x021003;
constexpr uint32_t WORD_WRITE_PIPE_RESET = 0x021103;

// Vendor request header: word (bytes 0-2), reserved (3), value/wIndex (4-5), length/wLength (6-7).
constexpr uint32_t HEADER_SIZE = 8;
constexpr uint32_t WORD_SIZE = 3;
constexpr uint32_t WORD_MAX = 0xFFFFFF;
// The most data either answering side accepts: 384 bytes, 128 words.
constexpr uint32_t MAX_DATA = 384;
constexpr uint32_t MAX_WORDS = MAX_DATA / WORD_SIZE;

// Notification record: 64 bytes, event code at 1-2, event data at 15-62.
constexpr uint32_t NOTIFY_SIZE = 64;
constexpr uint32_t NOTIFY_CODE_OFFSET = 1;
constexpr uint32_t NOTIFY_DATA_OFFSET = 15;
constexpr uint32_t NOTIFY_DATA_SIZE = 48;

// Bulk framing on the pipes and the serial line: a 3-byte little-endian length, then the data.
constexpr uint32_t FRAME_HEADER = 3;
constexpr uint32_t FRAME_MAX = 0xFFFFFF;

inline uint32_t get24(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
}
inline void put24(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
}
inline uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// A view of the 8-byte header over a request buffer (no alignment assumed).
struct header_view {
    uint8_t* p;
    uint32_t word() const { return get24(p); }
    uint8_t request() const { return p[2]; }      // bRequest
    uint16_t w_value() const { return get16(p); } // bytes 0-1
    uint16_t value() const { return get16(p + 4); }  // wIndex
    uint16_t length() const { return get16(p + 6); } // wLength
    // Writes word, value and the data length of n words; byte 3 keeps what it held. The caller
    // checks n against MAX_WORDS first: the length field holds only 16 bits.
    void write(uint32_t w, uint16_t v, uint32_t n) const {
        put24(p, w);
        put16(p + 4, v);
        put16(p + 6, uint16_t(n * WORD_SIZE));
    }
};

inline uint16_t notify_code(const uint8_t* record) { return get16(record + NOTIFY_CODE_OFFSET); }

}  // namespace zeph_wire

#ifdef GUID_DEFINED
namespace zeph_wire {
// {B8450235-702B-4D26-A97A-EDF363C41CC4}: every instrument (driver and serial transport).
inline constexpr GUID device_interface_guid_main = {
    0xB8450235, 0x702B, 0x4D26, {0xA9, 0x7A, 0xED, 0xF3, 0x63, 0xC4, 0x1C, 0xC4}};
// {B700EFA4-9C81-4DE5-BCA2-F4EEF82EA099}: a device with a "Bulk" configuration.
inline constexpr GUID device_interface_guid_bulk = {
    0xB700EFA4, 0x9C81, 0x4DE5, {0xBC, 0xA2, 0xF4, 0xEE, 0xF8, 0x2E, 0xA0, 0x99}};
// {F5A676BD-5D13-4046-904E-8AE68FF4013E}: a device with an "Isochrone" configuration.
inline constexpr GUID device_interface_guid_iso = {
    0xF5A676BD, 0x5D13, 0x4046, {0x90, 0x4E, 0x8A, 0xE6, 0x8F, 0xF4, 0x01, 0x3E}};
}  // namespace zeph_wire
#endif

#endif
