// tavodemo: the flat functions called as a Visual Basic program calls them. It loads tavobridge at
// run time, brings a link up over USB or a COM port, identifies the instrument, reads and writes
// its configuration, reads its state, runs a measurement and checks every byte that comes back,
// then closes. Exit status 0 only when everything matched.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <tavobridge/tavo.h>

#include "tavodemo.h"

namespace {

// Every export, looked up by its undecorated name.
struct tavo_functions {
#define TAVO_MEMBER(name, args) name##_fn name = nullptr;
    TAVO_FUNCTIONS(TAVO_MEMBER)
#undef TAVO_MEMBER

    bool load(HMODULE module, std::string &missing) {
#define TAVO_LOOKUP(name, args)                                                                  \
    name = reinterpret_cast<name##_fn>(reinterpret_cast<void *>(GetProcAddress(module, #name))); \
    if (!name) missing += " " #name;
        TAVO_FUNCTIONS(TAVO_LOOKUP)
#undef TAVO_LOOKUP
        return missing.empty();
    }
};

// The instrument's generated data: byte k is byte k mod 4 of the little-endian number seed + k / 4.
constexpr DWORD measurement_seed = 0x4D000000;
constexpr DWORD flash_seed = 0x46000000;

BYTE pattern_byte(DWORD seed, unsigned long long k) {
    DWORD n = DWORD(seed + k / 4);
    return BYTE(n >> (8 * (k % 4)));
}

// The first wrong byte of data that should start at offset `first`, or -1.
long long first_wrong(DWORD seed, unsigned long long first, const BYTE *data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (data[i] != pattern_byte(seed, first + i)) return (long long)i;
    return -1;
}

struct options {
    bool usb = false;
    DWORD com = 1;
    DWORD baud = 115200;
    DWORD blocks = 200;
    DWORD timeout = 10000;
};

void usage() {
    fprintf(stderr,
            "usage: tavodemo [--usb | --com N] [--baud B] [--blocks N] [--timeout MS]\n"
            "  --usb        link over USB\n"
            "  --com N      link over COM port N (default COM1)\n"
            "  --baud B     line speed of the COM port (default 115200)\n"
            "  --blocks N   measurement blocks to read and check (default 200)\n"
            "  --timeout MS time allowed for the instrument to answer (default 10000)\n");
}

bool parse(int argc, char **argv, options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto number = [&](DWORD &out) {
            if (i + 1 >= argc) return false;
            out = DWORD(strtoul(argv[++i], nullptr, 10));
            return true;
        };
        if (a == "--usb")
            o.usb = true;
        else if (a == "--com") {
            if (!number(o.com)) return false;
            o.usb = false;
        } else if (a == "--baud") {
            if (!number(o.baud)) return false;
        } else if (a == "--blocks") {
            if (!number(o.blocks)) return false;
        } else if (a == "--timeout") {
            if (!number(o.timeout)) return false;
        } else
            return false;
    }
    return true;
}

class demo {
public:
    demo(tavo_functions &f, const options &o) : f_(f), o_(o) {}

    int run() {
        DWORD start = GetTickCount();
        DWORD status =
            o_.usb ? f_.TAVO_initUsbComm(o_.timeout) : f_.TAVO_initSerialComm(o_.timeout, o_.com, o_.baud, 0);
        if (status != 0) return failed("link set-up", status);
        if (o_.usb)
            printf("link: USB, up in %lu ms\n", (unsigned long)(GetTickCount() - start));
        else
            printf("link: COM%lu at %lu baud, up in %lu ms\n", (unsigned long)o_.com, (unsigned long)o_.baud,
                   (unsigned long)(GetTickCount() - start));
        bool good = identify() && configuration() && flash() && measurement() && state();
        DWORD closed = f_.TAVO_closeComm();
        if (closed != 0) return failed("close", closed);
        printf("link closed\n");
        if (!good) return 1;
        printf("result: every byte checked, none lost or corrupt\n");
        return 0;
    }

private:
    int failed(const char *what, DWORD status) {
        fprintf(stderr, "tavodemo: %s failed with status %lu\n", what, (unsigned long)status);
        return 1;
    }
    bool check(const char *what, DWORD status) {
        if (status == 0) return true;
        failed(what, status);
        return false;
    }

    bool identify() {
        DWORD version = 0, number = 0;
        char name[21];
        if (!check("identification", f_.TAVO_getTavoIdent(&version, &number, name, 0))) return false;
        printf("instrument: %s, serial number %lu, version %lu\n", name, (unsigned long)number, (unsigned long)version);
        return true;
    }

    bool configuration() {
        WORD values[8] = {100, 200, 300, 400, 500, 600, 700, 800};
        DWORD value32 = 0x12345678, value16 = 0xBEEF;
        BYTE table1[18], table2[18];
        for (int i = 0; i < 18; ++i) {
            table1[i] = BYTE(i * 3);
            table2[i] = BYTE(0xFF - i);
        }
        if (!check("configuration write", f_.TAVO_setConfigProg(values, value32, value16, table1, table2, o_.timeout)))
            return false;
        WORD back[8] = {};
        DWORD back32 = 0, back16 = 0;
        BYTE back1[18] = {}, back2[18] = {};
        if (!check("configuration read", f_.TAVO_getConfig(back, &back32, &back16, back1, back2, o_.timeout)))
            return false;
        if (memcmp(back, values, sizeof values) != 0 || back32 != value32 || back16 != value16 ||
            memcmp(back1, table1, 18) != 0 || memcmp(back2, table2, 18) != 0) {
            fprintf(stderr, "tavodemo: the configuration read back differs from the one written\n");
            return false;
        }
        printf("configuration: programmed, read back the same (value32 0x%08lX, value16 0x%04lX)\n",
               (unsigned long)back32, (unsigned long)back16);
        return true;
    }

    bool flash() {
        BYTE data[256];
        const DWORD address = 0x100;
        if (!check("flash dump", f_.TAVO_dumpFlash(address, sizeof data, data, o_.timeout))) return false;
        long long wrong = first_wrong(flash_seed, address, data, sizeof data);
        if (wrong >= 0) {
            fprintf(stderr, "tavodemo: flash byte at 0x%llX is wrong\n", (unsigned long long)(address + wrong));
            return false;
        }
        printf("flash: %u bytes at 0x%lX read and checked\n", unsigned(sizeof data), (unsigned long)address);
        return true;
    }

    bool measurement() {
        if (!check("measurement start", f_.TAVO_startMesure(o_.blocks, o_.timeout))) return false;
        printf("measurement: %lu blocks\n", (unsigned long)o_.blocks);
        unsigned long long offset = 0;
        DWORD start = GetTickCount();
        for (DWORD b = 0; b < o_.blocks; ++b) {
            WORD values[98];
            DWORD count = 0;
            if (!check("measurement read", f_.TAVO_getMesure(values, &count, 0))) return false;
            long long wrong =
                first_wrong(measurement_seed, offset, reinterpret_cast<const BYTE *>(values), 2 * size_t(count));
            if (wrong >= 0) {
                fprintf(stderr, "tavodemo: measurement byte %llu is wrong\n", offset + wrong);
                return false;
            }
            if (count == 0) {
                fprintf(stderr, "tavodemo: block %lu came back empty\n", (unsigned long)b);
                return false;
            }
            offset += 2 * count;
            if ((b + 1) % 50 == 0 || b + 1 == o_.blocks)
                printf("  %lu/%lu blocks, %llu bytes\n", (unsigned long)(b + 1), (unsigned long)o_.blocks, offset);
            fflush(stdout);
        }
        DWORD ms = GetTickCount() - start;
        printf("measurement: %llu bytes in %lu ms (%.1f kB/s), all in order\n", offset, (unsigned long)ms,
               ms ? double(offset) / ms : 0.0);
        measured_ = o_.blocks;
        return true;
    }

    bool state() {
        DWORD s[5] = {};
        if (!check("state", f_.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], o_.timeout))) return false;
        printf("state: run %lu, blocks sent %lu, stored periods %lu, configuration kind %lu, DSP resets %lu\n",
               (unsigned long)s[0], (unsigned long)s[1], (unsigned long)s[2], (unsigned long)s[3], (unsigned long)s[4]);
        if (s[1] != measured_ || s[3] != 2) {
            fprintf(stderr, "tavodemo: the instrument reports %lu blocks and configuration kind %lu\n",
                    (unsigned long)s[1], (unsigned long)s[3]);
            return false;
        }
        return true;
    }

    tavo_functions &f_;
    options o_;
    DWORD measured_ = 0;
};

}  // namespace

int tavodemo_main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 2;
    }
    HMODULE module = LoadLibraryA("tavobridge");
    if (!module) {
        fprintf(stderr, "tavodemo: cannot load tavobridge (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    tavo_functions f;
    std::string missing;
    if (!f.load(module, missing)) {
        fprintf(stderr, "tavodemo: tavobridge lacks%s\n", missing.c_str());
        return 1;
    }
    int rc = demo(f, o).run();
    FreeLibrary(module);
    return rc;
}
