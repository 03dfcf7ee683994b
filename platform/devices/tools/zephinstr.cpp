// zephinstr: runs a simulated instrument on the serial line, on a new pseudo-terminal (its path is
// printed on the first line of standard output) or on a given terminal device.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "simdev/instrument.h"
#include "simdev/serial_device.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

void usage() {
    std::fprintf(stderr,
                 "usage: zephinstr [options]\n"
                 "  --tty PATH          run on this terminal instead of a new pseudo-terminal\n"
                 "  --baud N            line speed of --tty (default 9600)\n"
                 "  --serial TEXT       serial number string (default 1001)\n"
                 "  --product TEXT      product string\n"
                 "  --manufacturer TEXT manufacturer string\n"
                 "  --bcd HEX           bcdDevice (default 0105)\n"
                 "  --seed N            seed of the fault injector\n"
                 "  --corrupt P         corrupt bytes sent to the host with probability P\n"
                 "  --drop P            drop bytes sent to the host with probability P\n"
                 "  --duplicate P       duplicate bytes sent to the host with probability P\n"
                 "  --nak P             NAK data-endpoint transactions with probability P\n"
                 "  --line-rate BAUD    pace the bytes the instrument sends as on a BAUD line\n"
                 "  --byte-delay US     extra delay per byte sent, in microseconds\n"
                 "  --event-every MS    raise a test event (code 0x0100) every MS milliseconds\n"
                 "  --seconds N         stop after N seconds (default: until SIGINT or SIGTERM)\n");
}

}  // namespace

int main(int argc, char** argv) {
    simdev::instrument_config cfg;
    std::string tty;
    unsigned baud = 9600;
    std::uint64_t seed = 1;
    double corrupt = 0, drop = 0, dup = 0, nak = 0;
    unsigned line_rate = 0, byte_delay = 0, event_every = 0, seconds = 0;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--tty") tty = value();
        else if (a == "--baud") baud = static_cast<unsigned>(std::strtoul(value(), nullptr, 10));
        else if (a == "--serial") cfg.serial_number = value();
        else if (a == "--product") cfg.product = value();
        else if (a == "--manufacturer") cfg.manufacturer = value();
        else if (a == "--bcd") cfg.bcd_device = static_cast<std::uint16_t>(std::strtoul(value(), nullptr, 16));
        else if (a == "--seed") seed = std::strtoull(value(), nullptr, 10);
        else if (a == "--corrupt") corrupt = std::strtod(value(), nullptr);
        else if (a == "--drop") drop = std::strtod(value(), nullptr);
        else if (a == "--duplicate") dup = std::strtod(value(), nullptr);
        else if (a == "--nak") nak = std::strtod(value(), nullptr);
        else if (a == "--line-rate") line_rate = static_cast<unsigned>(std::strtoul(value(), nullptr, 10));
        else if (a == "--byte-delay") byte_delay = static_cast<unsigned>(std::strtoul(value(), nullptr, 10));
        else if (a == "--event-every") event_every = static_cast<unsigned>(std::strtoul(value(), nullptr, 10));
        else if (a == "--seconds") seconds = static_cast<unsigned>(std::strtoul(value(), nullptr, 10));
        else if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else {
            std::fprintf(stderr, "zephinstr: unknown option %s\n", a.c_str());
            usage();
            return 2;
        }
    }

    auto model = std::make_shared<simdev::instrument>(cfg);
    auto& f = model->faults();
    f.seed(seed);
    if (corrupt > 0) f.line_probability(simdev::line_dir::to_host, simdev::line_fault::corrupt, corrupt);
    if (drop > 0) f.line_probability(simdev::line_dir::to_host, simdev::line_fault::drop, drop);
    if (dup > 0) f.line_probability(simdev::line_dir::to_host, simdev::line_fault::duplicate, dup);
    if (nak > 0) {
        f.nak_probability(0x81, nak);
        f.nak_probability(0x01, nak);
    }
    if (line_rate) f.line_rate(line_rate);
    if (byte_delay) f.byte_delay_us(byte_delay);

    std::unique_ptr<simdev::pseudo_terminal> pty;
    std::shared_ptr<simdev::byte_stream> stream;
    try {
        if (tty.empty()) {
            pty = std::make_unique<simdev::pseudo_terminal>();
            stream = pty->master();
            std::printf("%s\n", pty->path().c_str());
        } else {
            stream = simdev::open_tty(tty, baud);
            std::printf("%s\n", tty.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zephinstr: %s\n", e.what());
        return 1;
    }
    std::fflush(stdout);

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    simdev::serial_device dev(model, stream);
    dev.start();
    unsigned elapsed_ms = 0, since_event = 0;
    while (!g_stop && (seconds == 0 || elapsed_ms < seconds * 1000)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        elapsed_ms += 50;
        since_event += 50;
        if (event_every && since_event >= event_every) {
            since_event = 0;
            model->raise_event(0x0100);
        }
    }
    dev.stop();
    auto s = dev.stats();
    std::fprintf(stderr,
                 "zephinstr: tokens %llu (setup %llu, in %llu, out %llu), ack %llu, nak %llu, stall %llu, "
                 "err %llu, duplicates %llu, retransmissions %llu, bad packets %llu, resets %llu\n",
                 static_cast<unsigned long long>(s.tokens), static_cast<unsigned long long>(s.setups),
                 static_cast<unsigned long long>(s.ins), static_cast<unsigned long long>(s.outs),
                 static_cast<unsigned long long>(s.acks_sent), static_cast<unsigned long long>(s.naks_sent),
                 static_cast<unsigned long long>(s.stalls_sent), static_cast<unsigned long long>(s.errs_sent),
                 static_cast<unsigned long long>(s.duplicates_ignored),
                 static_cast<unsigned long long>(s.retransmissions), static_cast<unsigned long long>(s.bad_packets),
                 static_cast<unsigned long long>(s.resets));
    return 0;
}
