// Shared by the driver's fuzz targets: the driver installed for the instrument's hardware id, one
// instrument plugged per input, and the end of every input: unplugged, the driver unloaded, no pool
// block of the driver left, no rule of the kernel stand-in broken (a broken rule aborts at once).
#ifndef FUZZ_DRIVER_RIG_H
#define FUZZ_DRIVER_RIG_H

#include <windows.h>

#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <morvex/wire.h>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>

#include "zephtest/wait.h"

// The sanitizers' count of heap bytes in use; absent without a sanitizer.
extern "C" __attribute__((weak)) std::size_t __sanitizer_get_current_allocated_bytes();

namespace fuzz_rig {

// "Wdm " as the pool counts it.
constexpr std::uint32_t pool_tag = 'W' | ('d' << 8) | ('m' << 16) | (' ' << 24);

inline void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void install_once() {
    static bool done = [] {
        standin::kernel::set_violation_handler([](const std::string& v) {
            std::fprintf(stderr, "kernel rule broken: %s\n", v.c_str());
            std::abort();
        });
        standin::usbbus::set_asynchronous_completion(false);
        // The driver's image stays mapped while the kernel loads and unloads the driver for each
        // input: libFuzzer keeps reading the coverage counters of every module it has seen.
        require(dlopen(VANTREL_PATH, RTLD_NOW | RTLD_NODELETE) != nullptr, "driver image maps");
        standin::pnp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
        return true;
    }();
    (void)done;
}

struct plugged {
    std::shared_ptr<simdev::instrument> model;
    std::shared_ptr<simdev::usb_device> usb;
    std::string instance;
};

inline plugged plug(std::shared_ptr<simdev::instrument> model) {
    install_once();
    plugged p;
    p.model = std::move(model);
    p.usb = std::make_shared<simdev::usb_device>(p.model);
    p.instance = standin::usbbus::plug(p.usb);
    require(standin::pnp::settle(), "plug settles");
    return p;
}

inline std::size_t threads_now() {
    std::size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

inline std::size_t heap_bytes_now() {
    if (__sanitizer_get_current_allocated_bytes) return __sanitizer_get_current_allocated_bytes();
    return mallinfo2().uordblks;
}

// Memory and threads stay flat from input to input: an input's instrument, its thread and what the bus
// kept of it go once it is unplugged. Over each window of inputs after the first ones (which load and
// warm up the process), the heap in use may grow by a little per input (the registry keeps a key for
// each instrument seen, the fuzzer its corpus) and the threads by the odd worker the kernel stand-in's
// pool adds at a new peak, no more: a plug that leaves a thread or its instrument model behind fails
// within one window. Every window's figures go to stderr.
inline void require_flat() {
    constexpr std::size_t warm_up = 10, window = 40, bytes_per_input = 32 * 1024, threads_per_window = 2;
    static std::size_t inputs = 0, threads_then = 0, bytes_then = 0;
    ++inputs;
    if (inputs < warm_up || (inputs - warm_up) % window != 0) return;
    const std::size_t threads = threads_now(), bytes = heap_bytes_now();
    std::fprintf(stderr, "driver rig: %zu inputs, %zu threads, %zu KiB of heap in use\n", inputs, threads,
                 bytes / 1024);
    if (inputs > warm_up) {
        require(threads <= threads_then + threads_per_window, "threads stay flat over a window of inputs");
        require(bytes <= bytes_then + window * bytes_per_input, "memory stays flat over a window of inputs");
    }
    threads_then = threads;
    bytes_then = bytes;
}

inline void unplug(plugged& p) {
    if (standin::pnp::device_state(p.instance) != "absent") standin::usbbus::unplug(p.instance);
    require(standin::pnp::settle(), "unplug settles");
    require(zephtest::wait_until([] { return !standin::pnp::driver_loaded("vantrel"); }), "driver unloaded");
    require(standin::kernel::pool_blocks(pool_tag) == 0, "no pool block of the driver left");
    require(standin::kernel::take_violations().empty(), "no kernel rule broken");
}

inline HANDLE open_unit(int unit = 0) {
    const std::string path = "\\\\.\\VANTRELDevice" + std::to_string(unit);
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

// One overlapped device-control request; one still pending after a moment is cancelled, and must end
// within the deadline. Returns the Win32 error (0: done) and the bytes.
inline DWORD control(HANDLE h, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* bytes) {
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    *bytes = 0;
    DWORD error = 0;
    if (!DeviceIoControl(h, code, in, in_size, out, out_size, nullptr, &o)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(o.hEvent, 20) != WAIT_OBJECT_0) {
                CancelIo(h);
                require(WaitForSingleObject(o.hEvent, zephtest::deadline_ms) == WAIT_OBJECT_0, "cancelled request ends");
            }
            error = GetOverlappedResult(h, &o, bytes, FALSE) ? 0 : GetLastError();
        }
    } else {
        GetOverlappedResult(h, &o, bytes, FALSE);
    }
    CloseHandle(o.hEvent);
    require(*bytes <= out_size, "no more bytes reported than the output buffer holds");
    return error;
}

}  // namespace fuzz_rig

#endif
