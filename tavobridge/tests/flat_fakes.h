// An instrument API, session and ports in memory for the flat functions' tests: scripted replies,
// a log of what was sent, and the state a real line would have (open, registered, call up).
#ifndef TAVOBRIDGE_TESTS_FLAT_FAKES_H
#define TAVOBRIDGE_TESTS_FLAT_FAKES_H

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "flat_backend.h"

namespace fake {

// One scripted answer to a vendor request; delivered < 0 means the full reply.
struct control_reply {
    control_reply(DWORD s = 0, int d = -1, std::vector<uint32_t> w = {})
        : status(s), delivered(d), words(std::move(w)) {}
    DWORD status;
    int delivered;
    std::vector<uint32_t> words;
};
struct read_reply {
    DWORD status = 0;
    std::vector<uint8_t> bytes;
};

struct world {
    // Binding.
    DWORD bind_status = 0;
    int binds = 0;
    int apis_alive = 0;
    // Instruments listed in the bulk class.
    bool usb_instrument = false;
    bool serial_instrument_answers = true;  // a registered line brings the instrument up
    bool list_after_wait_only = false;
    int stale_arrivals = 0;  // waits that return at once with nothing new
    // Lines: the names open now (a COM port opens exclusively).
    std::map<std::string, int> open_lines;
    std::vector<std::string> settings_made;
    int registered = 0;
    bool register_result = true;
    bool call_up = true;
    DWORD modem_device = 0;
    bool modem_redial = false;
    // Session behaviour.
    std::deque<control_reply> controls;
    std::deque<read_reply> reads;
    DWORD write_status = 0;
    DWORD mode_status = 0;
    DWORD reset_status = 0;
    DWORD pipe_status = 0;
    uint16_t bcd = 0x0105;
    std::string product = "ZEPH-2 Analyser";
    std::string serial = "1001";
    int sessions_alive = 0;
    // Runs inside every get request, on the caller's thread (a test holds the call there).
    std::function<void()> in_get;
    // Main class events for scan.
    bool changed = false, removed = false, arrived = false, main_listed = true;
    // TAPI line devices.
    std::vector<tavo::modem_entry> modems;
    // What happened, in order.
    std::vector<std::string> log;

    bool sent(const std::string &entry) const;
    size_t count(const std::string &prefix) const;
};

class environment : public tavo::environment {
public:
    explicit environment(world &w) : w_(w) {}
    DWORD bind(std::unique_ptr<tavo::instrument_api> &out) override;
    std::unique_ptr<tavo::modem_directory> modems() override;

private:
    world &w_;
};

}  // namespace fake

#endif
