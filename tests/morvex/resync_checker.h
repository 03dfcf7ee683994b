// A stream receiver that checks the blocks of a measurement run wherever the stream starts; shared by
// the end-to-end tests and the USB soak in bench/.
#ifndef TESTS_MORVEX_RESYNC_CHECKER_H
#define TESTS_MORVEX_RESYNC_CHECKER_H

#include <cstdint>
#include <mutex>
#include <span>

#include <morvex/morvex.h>
#include <simdev/instrument.h>

namespace morvex_test {

// The blocks of a measurement run wherever the stream starts: each good block must be whole, carry the
// run's pattern at its own place and come after the last one (nothing duplicated, shifted or out of
// order); a block missing from the sequence must have been reported lost before the next good one.
struct resync_checker : morvex::zeph_stream_receiver {
    void completed(DWORD status, const ostrel::mem_block& buffer, uint32_t bytes) override {
        std::lock_guard<std::mutex> g(m);
        if (status != 0) {
            ++failures;
            reported = true;
            return;
        }
        const uint8_t* b = buffer.bytes();
        if (bytes != 200 || b[0] != 1 || b[1] != 0 || b[2] != 196 || b[3] != 0) {
            ++bad;
            return;
        }
        const uint32_t number = b[4] | b[5] << 8 | b[6] << 16 | uint32_t(b[7]) << 24;
        const uint32_t words = number - simdev::seed::measurement;  // 4-byte sequence number of the payload
        const int64_t block = words / 49;
        if (words % 49 != 0 || block <= last ||
            simdev::check_pattern(simdev::seed::measurement, uint64_t(block) * 196,
                                  std::span<const uint8_t>(b + 4, 196))) {
            ++bad;
            return;
        }
        if (block != last + 1) {
            lost += block - last - 1;
            if (!reported) ++unreported_gaps;
        }
        last = block;
        reported = false;
        ++good;
    }
    template <class F>
    auto locked(F f) {
        std::lock_guard<std::mutex> g(m);
        return f();
    }
    std::mutex m;
    int64_t last = -1;
    bool reported = false;
    int good = 0, bad = 0, failures = 0, unreported_gaps = 0;
    int64_t lost = 0;
};

}  // namespace morvex_test

#endif
