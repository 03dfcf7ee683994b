// Noise soak of the serial link, end to end: the flat API (tavobridge, loaded as a caller loads it)
// over a COM port (a pseudo-terminal) to the simulated instrument's serial face, whose line corrupts,
// drops and duplicates bytes in both directions at a set probability each. Bulk messages of a known
// pattern and memory words written and read back: every delivered byte is checked.
//   serial_soak [packets=1000000] [probability=1e-4] [seconds=3600] [seed=1] [port_ms=2000] [call_ms=20000]
// port_ms is the COM port's time-out (TAVO_initSerialComm's, which is also how long the set-up waits
// for the instrument, so it cannot be short): what a lost byte costs; call_ms that of every other call.
// The soak runs on the real clock (no long-wait scaling).
// It stops at the packet count (transactions the instrument answered) or the time, whichever first,
// and prints what it saw. Not part of the test pass.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <simdev/faults.h>
#include <simdev/instrument.h>
#include <simdev/serial_device.h>
#include <standin/comm.h>
#include <tavobridge/tavo.h>

#include "tavo_functions.h"

namespace {

constexpr DWORD com = 9;
constexpr DWORD not_ready = 21, removed = 1617;

std::vector<std::uint8_t> message(std::uint32_t seed, std::size_t n) {
    std::vector<std::uint8_t> m(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : m) {
        x = x * 1664525u + 1013904223u;
        b = std::uint8_t(x >> 24);
    }
    return m;
}

struct tally {
    std::uint64_t calls = 0, failures = 0, recovered = 0, reinits = 0, reinit_failures = 0;
    std::uint64_t bytes_checked = 0, corrupted_bytes = 0, corrupted_calls = 0, messages_dropped = 0;
    std::map<std::pair<std::string, DWORD>, std::uint64_t> by_status;
    bool last_failed = false;
    std::string op;

    void result(DWORD st) {
        ++calls;
        if (st == 0) {
            if (last_failed) ++recovered;
            last_failed = false;
            return;
        }
        ++failures;
        ++by_status[{op, st}];
        last_failed = true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t packets = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const double p = argc > 2 ? std::strtod(argv[2], nullptr) : 1e-4;
    const double seconds = argc > 3 ? std::strtod(argv[3], nullptr) : 3600;
    const std::uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
    const DWORD port_timeout = argc > 5 ? DWORD(std::strtoul(argv[5], nullptr, 10)) : 2000;
    const DWORD call_timeout = argc > 6 ? DWORD(std::strtoul(argv[6], nullptr, 10)) : 20000;

    auto model = std::make_shared<simdev::instrument>();
    simdev::pseudo_terminal pty;
    simdev::serial_device device(model, pty.master());
    device.start();
    standin::comm::map_port("COM" + std::to_string(com), pty.path());

    HMODULE library = LoadLibraryA("tavobridge");
    tavo_test::tavo_functions f;
    if (!library || !f.load(library)) {
        std::fprintf(stderr, "tavobridge did not load\n");
        return 2;
    }
    // The link comes up on a clean line; the noise starts after.
    // The set-up waits for the instrument to be listed (the transport tries bring-up every second).
    auto link_up = [&] {
        DWORD st = 0;
        for (int i = 0; i < 50; ++i)
            if ((st = f.TAVO_initSerialComm(port_timeout, com, 115200, 0)) == 0) break;
        return st;
    };
    if (DWORD st = link_up()) {
        std::fprintf(stderr, "link set-up failed: %lu\n", static_cast<unsigned long>(st));
        return 2;
    }
    simdev::fault_injector& faults = model->faults();
    faults.seed(seed);
    for (auto d : {simdev::line_dir::to_host, simdev::line_dir::to_device})
        for (auto kind : {simdev::line_fault::corrupt, simdev::line_fault::drop, simdev::line_fault::duplicate})
            faults.line_probability(d, kind, p);

    tally t;
    std::mt19937 rng{static_cast<std::uint32_t>(seed)};
    std::deque<std::pair<std::uint32_t, std::size_t>> expected;  // messages queued, not yet delivered
    std::uint32_t next_seed = 1;
    std::vector<std::uint8_t> buffer(4096);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    auto answered = [&] { return device.stats().tokens; };

    while (answered() < packets && elapsed() < seconds) {
        DWORD st = 0;
        if (rng() % 4 != 0) {
            // A bulk message: what arrives must be whole and be the oldest one still waiting (the
            // recovery may drop waiting ones; the instrument says how many are left).
            t.op = "getDataOnBulkShort";
            const std::size_t n = 1 + rng() % 3000;
            model->queue_bulk_message(message(next_seed, n));
            expected.emplace_back(next_seed++, n);
            DWORD received = 0;
            st = f.TAVO_getDataOnBulkShort(buffer.data(), DWORD(buffer.size()), &received, call_timeout);
            if (st == 0) {
                bool matched = false;
                while (!expected.empty() && !matched) {
                    auto [s, len] = expected.front();
                    expected.pop_front();
                    const std::vector<std::uint8_t> want = message(s, len);
                    if (received == len && std::equal(want.begin(), want.end(), buffer.begin())) {
                        matched = true;
                    } else {
                        ++t.messages_dropped;
                    }
                }
                t.bytes_checked += received;
                if (!matched) {
                    ++t.corrupted_calls;
                    t.corrupted_bytes += received;
                }
            }
            while (expected.size() > model->bulk_in_pending_messages()) {
                expected.pop_front();
                ++t.messages_dropped;
            }
        } else {
            // Memory words written and read back: a read after a good write must return them.
            std::vector<DWORD> words(1 + rng() % 64), back(words.size());
            for (auto& w : words) w = rng() & 0xFFFFFF;
            const DWORD page = rng() % 4;
            t.op = "memoryWrite";
            st = f.TAVO_memoryWrite(0, 0, page, DWORD(words.size()), words.data(), call_timeout);
            if (st == 0) {
                t.result(st);
                t.op = "memoryRead";
                st = f.TAVO_memoryRead(0, 0, page, DWORD(words.size()), back.data(), call_timeout);
                if (st == 0) {
                    t.bytes_checked += 3 * words.size();
                    for (std::size_t i = 0; i < words.size(); ++i)
                        if (back[i] != words[i]) {
                            t.corrupted_bytes += 3;
                            ++t.corrupted_calls;
                        }
                }
            }
        }
        t.result(st);
        // A link the call lost is brought up again, as a caller would.
        if (st == not_ready || st == removed) {
            ++t.reinits;
            if (link_up() != 0) ++t.reinit_failures;
        }
    }

    const double secs = elapsed();
    const simdev::serial_stats s = device.stats();
    f.TAVO_closeComm();
    for (auto d : {simdev::line_dir::to_host, simdev::line_dir::to_device})
        for (auto kind : {simdev::line_fault::corrupt, simdev::line_fault::drop, simdev::line_fault::duplicate})
            faults.line_probability(d, kind, 0);
    device.stop();

    std::printf("serial soak: p=%g per byte each of corruption, loss, duplication (both directions), seed %llu, "
                "port time-out %lu ms, call time-out %lu ms\n",
                p, static_cast<unsigned long long>(seed), static_cast<unsigned long>(port_timeout),
                static_cast<unsigned long>(call_timeout));
    std::printf("packets (transactions answered) %llu in %.0f s; bad packets seen by the instrument %llu, "
                "retransmissions %llu, resets %llu\n",
                static_cast<unsigned long long>(s.tokens), secs, static_cast<unsigned long long>(s.bad_packets),
                static_cast<unsigned long long>(s.retransmissions), static_cast<unsigned long long>(s.resets));
    const auto c = faults.injected();
    std::printf("line faults injected: %llu corrupted, %llu dropped, %llu duplicated bytes\n",
                static_cast<unsigned long long>(c.corrupted), static_cast<unsigned long long>(c.dropped),
                static_cast<unsigned long long>(c.duplicated));
    std::printf("flat calls %llu, failures %llu, recovered (next call good) %llu, link re-inits %llu (%llu failed)\n",
                static_cast<unsigned long long>(t.calls), static_cast<unsigned long long>(t.failures),
                static_cast<unsigned long long>(t.recovered), static_cast<unsigned long long>(t.reinits),
                static_cast<unsigned long long>(t.reinit_failures));
    for (auto& [key, n] : t.by_status)
        std::printf("  %s status %lu: %llu\n", key.first.c_str(), static_cast<unsigned long>(key.second),
                    static_cast<unsigned long long>(n));
    std::printf("bytes delivered and checked %llu, corrupted bytes delivered %llu (%llu calls), messages dropped by "
                "recovery %llu\n",
                static_cast<unsigned long long>(t.bytes_checked), static_cast<unsigned long long>(t.corrupted_bytes),
                static_cast<unsigned long long>(t.corrupted_calls), static_cast<unsigned long long>(t.messages_dropped));
    return t.corrupted_bytes == 0 ? 0 : 1;
}
