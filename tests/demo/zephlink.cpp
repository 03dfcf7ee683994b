// zephlink: the host end of a serial instrument link, run against an instrument on a terminal.
// It brings the emulated USB device up over the line, reads its identity, runs a measurement of N
// blocks over the bulk IN endpoint and checks that every byte arrived once and in order.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <simdev/instrument.h>

#include "lintra/emulation.h"
#include "rig.h"
#include "test_ports.h"

namespace {

using lintra::SetupRecord;
namespace std_request = lintra::std_request;

constexpr BYTE vendor_out = 0x40;
constexpr BYTE vendor_in = 0xC0;

// A vendor request carries its 24-bit word as bRequest (top byte) and wValue (low 16 bits).
SetupRecord vendor(BYTE type, DWORD word, WORD value, WORD length) {
    return SetupRecord{type, BYTE(word >> 16), WORD(word & 0xFFFF), value, length};
}

std::string string_descriptor(lintra::RsUSBEmulation& link, BYTE index) {
    BYTE buf[255] = {};
    DWORD got = 0;
    if (!link.control()->request(std_request::get_descriptor(3, index, 0x0409, sizeof buf), buf, 100, &got) ||
        got < 2)
        return "?";
    std::string out;
    for (DWORD i = 2; i + 1 < got && i < buf[0]; i += 2) out += char(buf[i]);
    return out;
}

int fail(const char* what) {
    std::fprintf(stderr, "zephlink: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zephlink TERMINAL [BLOCKS]\n");
        return 2;
    }
    const std::string path = argv[1];
    const unsigned blocks = argc > 2 ? unsigned(std::strtoul(argv[2], nullptr, 10)) : 100;

    auto* port = new lintra_test::PtyComPort(path, 250);
    w32cpp::auto_handle<IComPort> handle(port);
    if (!handle->open()) return fail("cannot open the terminal");
    int rc = 0;
    {
        lintra::RsUSBEmulation link(handle);
        link.set_address(1);
        link.set_configuration_value(1);
        if (!link.bring_up(1)) {
            handle->close();
            return fail("the instrument did not come up");
        }
        const BYTE* d = link.device_descriptor();
        std::printf("device up at address 1: vendor %04X product %04X release %04X, configuration \"%s\"\n",
                    d[8] | (d[9] << 8), d[10] | (d[11] << 8), d[12] | (d[13] << 8),
                    string_descriptor(link, 4).c_str());
        std::printf("instrument: %s by %s, serial number %s\n", string_descriptor(link, 2).c_str(),
                    string_descriptor(link, 1).c_str(), string_descriptor(link, 3).c_str());

        BYTE count[3] = {BYTE(blocks), BYTE(blocks >> 8), BYTE(blocks >> 16)};
        if (!link.control()->request(vendor(vendor_out, 0x000003, 1, 3), count, 100))
            rc = fail("the measurement did not start");

        std::uint64_t offset = 0;
        unsigned received = 0;
        while (rc == 0 && received < blocks) {
            DWORD status = 0;
            auto message = lintra_test::read_message(link, &status);
            if (!message || message->size() < 4) {
                rc = fail("a data block was lost");
                break;
            }
            const std::vector<BYTE>& m = *message;
            const size_t n = size_t(m[2] | (m[3] << 8));
            if (m.size() != n + 4) {
                rc = fail("a data block has the wrong length");
                break;
            }
            std::span<const std::uint8_t> data(m.data() + 4, n);
            if (auto bad = simdev::check_pattern(simdev::seed::measurement, offset, data)) {
                std::fprintf(stderr, "zephlink: block %u corrupt at byte %zu\n", received, *bad);
                rc = 1;
                break;
            }
            offset += n;
            ++received;
        }

        BYTE words[15] = {};
        DWORD got = 0;
        if (rc == 0 && link.control()->request(vendor(vendor_in, 0x000004, 1, sizeof words), words, 100, &got) &&
            got == sizeof words) {
            auto word = [&](int i) { return words[3 * i] | (words[3 * i + 1] << 8) | (words[3 * i + 2] << 16); };
            std::printf("state: run %d, blocks sent %d\n", word(0), word(1));
        }
        if (rc == 0)
            std::printf("measurement: %u blocks, %llu data bytes received in order, none lost or corrupt\n", received,
                        static_cast<unsigned long long>(offset));
        link.stop(true);
    }
    handle->close();
    return rc;
}
