// The driver's device-control path through the kernel stand-in: any control code of the device type
// (any function, method and access), any input and output sizes and bytes, in each engine mode.
#include <cstring>
#include <vector>

#include "driver_rig.h"

namespace {

// The codes the driver serves, so the input can name them by index too.
const DWORD known_codes[] = {zeph_wire::IOCTL_SELECT_MODE,       zeph_wire::IOCTL_GET_STRING_LENGTH,
                             zeph_wire::IOCTL_GET_STRING,        zeph_wire::IOCTL_GET_BCD_DEVICE,
                             zeph_wire::IOCTL_GET_MANUFACTURER_INDEX, zeph_wire::IOCTL_GET_PRODUCT_INDEX,
                             zeph_wire::IOCTL_GET_SERIAL_NUMBER_INDEX, zeph_wire::IOCTL_GET_FIXED_INDEX,
                             zeph_wire::IOCTL_VENDOR_COMMAND,    zeph_wire::IOCTL_VENDOR_WRITE,
                             zeph_wire::IOCTL_VENDOR_READ,       zeph_wire::IOCTL_READ_NOTIFICATION,
                             zeph_wire::IOCTL_RESET_DEVICE,      zeph_wire::IOCTL_UNSUPPORTED,
                             zeph_wire::IOCTL_RESET_DEVICE2};

struct reader {
    const std::uint8_t* p;
    std::size_t n, at = 0;
    std::uint8_t byte() { return at < n ? p[at++] : 0; }
    std::uint16_t word() { return std::uint16_t(byte() | (byte() << 8)); }
    bool more() const { return at < n; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    reader r{data, size};
    fuzz_rig::plugged dev = fuzz_rig::plug(std::make_shared<simdev::instrument>());
    HANDLE h = fuzz_rig::open_unit();
    fuzz_rig::require(h != INVALID_HANDLE_VALUE, "unit opens");

    // Byte 0: the engine mode to start in (0 idle, 1 bulk, 2 isochronous with its settings).
    const std::uint8_t mode = r.byte();
    std::uint8_t select[4] = {std::uint8_t(mode % 3), std::uint8_t(mode >> 2 & 3), std::uint8_t(mode >> 4 & 3), 0};
    DWORD bytes = 0;
    fuzz_rig::control(h, zeph_wire::IOCTL_SELECT_MODE, select, 4, nullptr, 0, &bytes);

    // Then requests: code (two bytes: with bit 15 of the first word set, an index into the served
    // codes; else the low 16 bits of a code of the device type), input size, output size, input bytes.
    for (int i = 0; i < 16 && r.more(); ++i) {
        const std::uint16_t c = r.word();
        const DWORD code = (c & 0x8000) ? known_codes[(c & 0x7FFF) % std::size(known_codes)] : 0x220000u | c;
        const DWORD in_size = r.word() % 1025;
        const DWORD out_size = r.word() % 4097;
        // Exact sizes, so ASan sees any access past either buffer.
        std::vector<std::uint8_t> in(in_size), out(out_size);
        for (DWORD k = 0; k < in_size && r.more(); ++k) in[k] = r.byte();
        fuzz_rig::control(h, code, in_size ? in.data() : nullptr, in_size, out_size ? out.data() : nullptr, out_size,
                          &bytes);
    }
    CloseHandle(h);
    fuzz_rig::unplug(dev);
    dev = {};  // the test's own hold on the instrument goes too
    fuzz_rig::require_flat();
    return 0;
}
