// The modem layer (TapiSession) reading TAPI's variable-size structures: device capabilities, address
// capabilities and status, call status, the device configuration and the call's comm identifier, each
// rewritten by the input (sizes, offsets and bytes pointing anywhere) on its way back from the
// telephony stand-in, through listing, configuring, placing and dropping a call.
#include <windows.h>

#include <tapi.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <simdev/instrument.h>
#include <simdev/modem.h>
#include <standin/clock.h>
#include <standin/tapi.h>

#include "tavobridge/TapiSession.h"

namespace {

// The input, taken a piece at a time by the hook.
struct input_cursor {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0, pos = 0;
    bool take(std::uint8_t& b) {
        if (pos >= size) return false;
        b = data[pos++];
        return true;
    }
    std::uint32_t word() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            std::uint8_t b = 0;
            take(b);
            v |= std::uint32_t(b) << (8 * i);
        }
        return v;
    }
};

std::mutex input_mu;
input_cursor input;

// Per structure: a count of edits, each a DWORD slot (within the block) and its new value; a count
// of plain bytes written at one offset; then whether the function fails instead.
LONG rewrite(const char*, void* structure, DWORD total, LONG result) {
    std::lock_guard<std::mutex> g(input_mu);
    auto* bytes = static_cast<std::uint8_t*>(structure);
    std::uint8_t edits = 0;
    if (!input.take(edits)) return result;
    for (unsigned i = 0; i < (edits & 7u); ++i) {
        std::uint8_t slot = 0;
        input.take(slot);
        const DWORD value = input.word();
        const std::size_t at = std::size_t(slot) * 4;
        if (at + 4 <= total) std::memcpy(bytes + at, &value, 4);
    }
    if (edits & 0x08) {
        std::uint8_t at = 0, n = 0;
        input.take(at);
        input.take(n);
        for (unsigned i = 0; i < n; ++i) {
            std::uint8_t b = 0;
            input.take(b);
            if (std::size_t(at) + i < total) bytes[at + i] = b;
        }
    }
    if (edits & 0x80) return LONG(LINEERR_OPERATIONFAILED);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Reply waits of 12 s become 12 ms, the connection wait 120 ms.
    standin::clock::set_long_wait_scale(0.001);
    static auto model = std::make_shared<simdev::instrument>();
    simdev::clear_line_devices();
    simdev::add_line_device(std::make_shared<simdev::modem>(model, simdev::modem_config{}));
    standin::tapi::set_structure_hook(rewrite);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::lock_guard<std::mutex> g(input_mu);
        input = input_cursor{data, size, 0};
    }
    {
        TapiSession session;
        session.set_phone_number("5551234");
        if (session.InitializeTapi()) {
            std::vector<std::string> names;
            std::vector<DWORD> ids;
            session.enumerate_line_devices(names, ids);
            for (const std::string& n : names) (void)std::strlen(n.c_str());
            session.PreConfigureDevice(0);
            if (session.PlaceCall()) session.IsCallConnected();
            session.HangupCall();
            session.ShutdownTapi();
        }
    }
    return 0;
}
