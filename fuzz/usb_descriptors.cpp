// USB descriptors handed to the driver by the device: device, configuration and string descriptors of
// any bytes and lengths, as the device answers GET_DESCRIPTOR. The driver starts on them (configuration
// found by name and selected, device values written), answers the descriptor codes and switches modes.
#include <cstring>
#include <vector>

#include <simdev/faults.h>

#include "driver_rig.h"

namespace {

void query_strings(HANDLE h) {
    DWORD bytes = 0;
    for (DWORD code : {zeph_wire::IOCTL_GET_MANUFACTURER_INDEX, zeph_wire::IOCTL_GET_PRODUCT_INDEX,
                       zeph_wire::IOCTL_GET_SERIAL_NUMBER_INDEX, zeph_wire::IOCTL_GET_FIXED_INDEX}) {
        std::uint8_t index = 0;
        if (fuzz_rig::control(h, code, nullptr, 0, &index, 1, &bytes) != 0) continue;
        std::uint8_t length = index;
        fuzz_rig::control(h, zeph_wire::IOCTL_GET_STRING_LENGTH, &length, 1, &length, 1, &bytes);
        // Output buffers of several sizes, each exactly that size.
        for (DWORD room : {DWORD(1), DWORD(2), DWORD(length), DWORD(length) + 2, DWORD(256)}) {
            std::vector<std::uint8_t> buffer(room ? room : 1);
            buffer[0] = index;
            fuzz_rig::control(h, zeph_wire::IOCTL_GET_STRING, buffer.data(), 1, buffer.data(), room, &bytes);
        }
    }
    std::uint8_t bcd[2];
    fuzz_rig::control(h, zeph_wire::IOCTL_GET_BCD_DEVICE, nullptr, 0, bcd, 2, &bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto model = std::make_shared<simdev::instrument>();
    // Records: descriptor type (1 device, 2 configuration, 3 string, or any other), index, length
    // (two bytes), bytes. Each replaces that descriptor's answer every time.
    std::size_t i = 0;
    while (i + 4 <= size) {
        const std::uint8_t kind = data[i], index = data[i + 1];
        std::size_t n = data[i + 2] | (std::size_t(data[i + 3]) << 8);
        i += 4;
        n = std::min(n, size - i);
        simdev::request_match m;
        m.bRequest = 6;
        m.vendor_only = false;
        m.wValue = std::uint16_t(kind << 8 | index);
        model->faults().replace_reply(m, std::vector<std::uint8_t>(data + i, data + i + n));
        i += n;
    }
    fuzz_rig::plugged dev = fuzz_rig::plug(model);
    HANDLE h = fuzz_rig::open_unit();
    if (h != INVALID_HANDLE_VALUE) {
        query_strings(h);
        DWORD bytes = 0;
        for (std::uint8_t mode : {1, 2, 0}) {
            std::uint8_t select[4] = {mode, 1, 0, 0};
            fuzz_rig::control(h, zeph_wire::IOCTL_SELECT_MODE, select, 4, nullptr, 0, &bytes);
        }
        CloseHandle(h);
    }
    fuzz_rig::unplug(dev);
    dev = {};  // the test's own hold on the instrument goes too
    model.reset();
    fuzz_rig::require_flat();
    return 0;
}
