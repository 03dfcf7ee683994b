// The flat API's functions with arbitrary sizes and counts, on a USB link to the simulated instrument
// (the driver on the kernel stand-in): every caller buffer is a block of exactly the size the
// function's contract states for those arguments, so ASan sees any write past it; sizes the contract
// refuses must be refused (87) before anything is written.
#include <windows.h>

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <standin/clock.h>
#include <tavobridge/tavo.h>

#include "driver_rig.h"
#include "tavo_functions.h"

namespace {

tavo_test::tavo_functions f;

// The functions the inputs reached: a replay of the whole kept corpus must reach all 28.
enum function_index {
#define TAVO_INDEX(name, args) at_##name,
    TAVO_FUNCTIONS(TAVO_INDEX)
#undef TAVO_INDEX
        function_count
};
std::bitset<function_count> reached;
bool whole_corpus = false;

template <int I, class Fn>
struct counted;
template <int I, class R, class... A>
struct counted<I, R(WINAPI*)(A...)> {
    static inline R(WINAPI* real)(A...) = nullptr;
    static R WINAPI call(A... a) {
        reached.set(I);
        return real(a...);
    }
};

void count_calls() {
#define TAVO_COUNT(name, args)                    \
    counted<at_##name, name##_fn>::real = f.name; \
    f.name = &counted<at_##name, name##_fn>::call;
    TAVO_FUNCTIONS(TAVO_COUNT)
#undef TAVO_COUNT
}

constexpr DWORD max24 = 0xFFFFFF;
constexpr DWORD invalid_parameter = 87;

struct reader {
    const std::uint8_t* p;
    std::size_t n, at = 0;
    std::uint8_t byte() { return at < n ? p[at++] : 0; }
    std::uint16_t word() { return std::uint16_t(byte() | (byte() << 8)); }
    DWORD dword() { return DWORD(word()) | (DWORD(word()) << 16); }
    bool more() const { return at < n; }
    // A size: mostly small, sometimes beyond what the contract takes (then the call must refuse it).
    DWORD size(bool* huge) {
        const std::uint16_t v = word();
        *huge = (v & 0x8000) && (v & 0x4000);
        return *huge ? max24 + 1 + (v & 0x3FFF) * 0x10000u : v & 0x1FFF;
    }
    DWORD timeout() {
        static const DWORD t[4] = {0, 1, 20, 200};
        return t[byte() & 3];
    }
    // A short text (a modem name, a phone number), ended by its NUL.
    std::vector<char> text() {
        std::vector<char> t(byte() % 24);
        for (auto& c : t) c = char(byte());
        t.push_back('\0');
        return t;
    }
};

// A caller block of exactly `bytes` bytes (at least one, so a refused call still gets a pointer).
struct block {
    explicit block(std::size_t bytes) : v(bytes ? bytes : 1) {}
    template <class T>
    T* as() { return reinterpret_cast<T*>(v.data()); }
    std::vector<std::uint8_t> v;
};

void refused_if_huge(bool huge, DWORD status) {
    if (huge) fuzz_rig::require(status == invalid_parameter, "a size beyond the contract is refused");
}

bool link_up() { return f.TAVO_initUsbComm(2000) == 0; }

// One of the five set-ups, over the link that is up or over a closed one. The USB link is the only one
// this process has: the serial, TAPI and modem set-ups (on lines that are not there) must fail and
// leave no link; the caller then brings the USB link up again. Arguments are read in order, so an input
// means the same whichever order a compiler evaluates a call's arguments in.
DWORD set_up(reader& r) {
    const std::uint8_t how = r.byte();
    const DWORD timeout = r.timeout();
    if (how & 0x80) f.TAVO_closeComm();
    const int which = (how & 0x7F) % 5;
    switch (which) {
    case 0:
    case 2: {
        const DWORD ignored = r.dword(), port = r.byte(), baud = r.dword(), flow = r.byte() & 1;
        return which == 0 ? f.TAVO_initComm(ignored, timeout, port, baud, flow)
                            : f.TAVO_initSerialComm(timeout, port, baud, flow);
    }
    case 1: return f.TAVO_initUsbComm(timeout);
    case 3: {
        const DWORD size = r.byte();
        block config(size);  // the configuration block, exactly as long as its size says
        for (std::size_t i = 0; i < size; ++i) config.v[i] = r.byte();
        const std::vector<char> phone = r.text();
        const DWORD line = r.byte(), redial = r.byte() & 1, redials = r.byte() % 3;
        return f.TAVO_initTapiComm(timeout, line, config.as<BYTE>(), size, phone.data(), redial, redials);
    }
    default: {
        const std::vector<char> name = r.text(), phone = r.text();
        const DWORD redial = r.byte() & 1, redials = r.byte() % 3;
        return f.TAVO_initModemComm(timeout, name.data(), phone.data(), redial, redials);
    }
    }
}

fuzz_rig::plugged instrument;
HMODULE library = nullptr;
// The libraries a link loads, held for the whole run as a caller holding them would: a closed link
// frees its API objects but no image is unmapped, since libFuzzer keeps reading the coverage counters
// of every module it has seen.
std::vector<HMODULE> held;

}  // namespace

// After a replay the link goes as a caller ends it: closed, the library freed, the instrument
// unplugged and the driver gone with nothing left in its pool.
extern "C" void fuzz_replay_end() {
    std::string missed;
#define TAVO_MISSED(name, args) \
    if (!reached[at_##name]) missed += " " #name;
    TAVO_FUNCTIONS(TAVO_MISSED)
#undef TAVO_MISSED
    if (whole_corpus && !missed.empty()) std::fprintf(stderr, "the kept inputs never call%s\n", missed.c_str());
    fuzz_rig::require(!whole_corpus || missed.empty(), "the kept inputs reach every flat function");
    f.TAVO_closeComm();
    for (auto h = held.rbegin(); h != held.rend(); ++h) FreeLibrary(*h);
    FreeLibrary(library);
    fuzz_rig::unplug(instrument);
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // A replay of a corpus folder (not of single inputs being looked into) checks what it reached.
    for (int i = 1; i < *argc; ++i) whole_corpus = whole_corpus || std::filesystem::is_directory((*argv)[i]);
    // The flat API's fixed 30 s measurement wait, and the transports' long waits, run scaled.
    standin::clock::set_long_wait_scale(0.01);
    instrument = fuzz_rig::plug(std::make_shared<simdev::instrument>());
    library = LoadLibraryA("tavobridge");
    fuzz_rig::require(library && f.load(library), "tavobridge loads with its 28 functions");
    for (const char* name : {"morvex", "karnet8", "ostrel8", "quillon8", "lintra8"}) {
        held.push_back(LoadLibraryA(name));
        fuzz_rig::require(held.back() != nullptr, "the libraries of a link load");
    }
    count_calls();
    fuzz_rig::require(link_up(), "the USB link comes up");
    reached.reset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    reader r{data, size};
    for (int call = 0; call < 8 && r.more(); ++call) {
        bool huge = false;
        DWORD st = 0;
        const std::uint8_t op = r.byte() % 21;
        switch (op) {
        case 0: {
            DWORD version = 0, number = 0;
            block name(21);  // the name cut to 20 characters and its NUL
            st = f.TAVO_getTavoIdent(&version, &number, name.as<char>(), 0);
            break;
        }
        case 1:
        case 2: {
            const bool write = op == 2;
            const DWORD address = r.dword() & 0x1FFFFFF;
            const DWORD length = r.size(&huge);
            block bytes(huge ? 1 : length);
            st = write ? f.TAVO_writeFlash(address, length, bytes.as<BYTE>(), r.timeout())
                       : f.TAVO_dumpFlash(address, length, bytes.as<BYTE>(), r.timeout());
            refused_if_huge(huge, st);
            break;
        }
        case 3:
        case 4: {
            const bool wide = (r.byte() & 1) != 0;
            const DWORD p1 = r.byte() % 5, p2 = r.byte();
            const DWORD count = r.size(&huge);
            bool huge_block = false;
            const DWORD block_size = r.size(&huge_block);
            DWORD received = 0;
            // u32 array: the received bytes' 16-bit values widened (byteCount / 2 of them); u16 array:
            // byteCount bytes.
            block values(huge || huge_block ? 1 : (wide ? count / 2 * 4 : count));
            st = wide ? f.TAVO_litPeriode(p1, p2, count, block_size, values.as<DWORD>(), &received, r.timeout())
                      : f.TAVO_litPeriodeShort(p1, p2, count, block_size, values.as<WORD>(), &received, r.timeout());
            refused_if_huge(huge || huge_block, st);
            fuzz_rig::require(received <= count, "no more received than asked");
            break;
        }
        case 5: st = f.TAVO_effacePeriode(r.byte() % 5, r.byte(), r.timeout()); break;
        case 6: {
            block values(8 * 2), t1(18), t2(18);
            for (auto& b : values.v) b = r.byte();
            for (auto& b : t1.v) b = r.byte();
            st = f.TAVO_setConfigProg(values.as<WORD>(), r.dword(), r.dword(), t1.as<BYTE>(), t2.as<BYTE>(), r.timeout());
            break;
        }
        case 7: {
            block values(8 * 2), t1(18), t2(18);
            DWORD v32 = 0, v16 = 0;
            st = f.TAVO_getConfig(values.as<WORD>(), &v32, &v16, t1.as<BYTE>(), t2.as<BYTE>(), r.timeout());
            break;
        }
        case 8: {
            DWORD s[5];
            st = f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], r.timeout());
            break;
        }
        case 9: st = (r.byte() & 1) ? f.TAVO_startMesure(r.dword(), r.timeout()) : f.TAVO_stopMesure(r.timeout()); break;
        case 10: {
            block values(98 * 2);  // at most 196 bytes, 98 values
            DWORD count = 0;
            st = f.TAVO_getMesure(values.as<WORD>(), &count, 0);
            break;
        }
        case 11:
        case 12: {
            const DWORD count = r.size(&huge);
            DWORD received = 0;
            const bool wide = (r.byte() & 1) != 0;
            block values(huge ? 1 : (wide ? count / 2 * 4 : count));
            st = wide ? f.TAVO_getDataOnBulk(values.as<DWORD>(), count, &received, r.timeout())
                      : f.TAVO_getDataOnBulkShort(values.as<BYTE>(), count, &received, r.timeout());
            refused_if_huge(huge, st);
            fuzz_rig::require(received <= count, "no more received than asked");
            break;
        }
        case 13: {
            const DWORD m1 = r.byte(), m2 = r.byte(), value = r.word();
            const DWORD count = r.word() % 200;  // 1 to 128 are taken, 0 and more refused
            block values(count * 4);
            for (auto& b : values.v) b = r.byte();
            st = (r.byte() & 1) ? f.TAVO_memoryRead(m1, m2, value, count, values.as<DWORD>(), r.timeout())
                                : f.TAVO_memoryWrite(m1, m2, value, count, values.as<DWORD>(), r.timeout());
            if (count == 0 || count > 128) fuzz_rig::require(st == invalid_parameter, "a word count beyond 128 is refused");
            break;
        }
        case 14: st = f.TAVO_memoryPageSelect(r.byte(), r.byte(), r.word(), r.timeout()); break;
        case 15: st = f.TAVO_scan(); break;
        case 16: st = f.TAVO_demandeInfoPeriode(r.timeout()); break;
        case 17:
        case 19: {
            const DWORD parameter = r.dword();
            st = op == 17 ? f.TAVO_startCalibrage(parameter, r.timeout()) : f.TAVO_resetDsp(parameter, r.timeout());
            break;
        }
        case 18: {
            block values(8 * 2);  // the eight words the function reads, no more
            for (auto& b : values.v) b = r.byte();
            const DWORD value32 = r.dword(), value16 = r.dword();
            st = f.TAVO_setConfigNormal(values.as<WORD>(), value32, value16, r.timeout());
            break;
        }
        default: st = set_up(r) == 0 ? 0 : 21; break;
        }
        // A link the call lost is brought up again, as a caller would.
        if (st == 21 || st == 1617) fuzz_rig::require(link_up(), "the link comes up again");
    }
    return 0;
}
