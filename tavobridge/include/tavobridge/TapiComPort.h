// The flat API's modem line: a SerialComPort whose open dials a data call and runs the serial I/O on
// the call's comm handle; close hangs up, flush redials, and a failed read or write may redial on
// its own up to a limit.
#ifndef TAVOBRIDGE_TAPICOMPORT_H
#define TAVOBRIDGE_TAPICOMPORT_H

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "tavobridge/SerialComPort.h"
#include "tavobridge/TapiSession.h"

class TapiComPort : public SerialComPort {
public:
    // unused: kept for the caller's argument list, not read. redial: failed reads and writes may
    // redial, at most redial_limit times over the port's life (a limit of 0 or below: never).
    TapiComPort(DWORD line_device, const BYTE* config, DWORD config_size, DWORD unused, const std::string& phone_number,
                DWORD base_timeout_ms, HWND window, bool redial, int redial_limit);
    ~TapiComPort() override;

    bool open() override;
    void close() override;
    bool flush() override;
    bool read(BYTE* buffer, DWORD* length) override;
    bool write(const BYTE* buffer, DWORD* length) override;
    bool is_connected() override;
    // Also gives up a call being dialled (on any thread) and stops the redials until enable: a stop
    // of the line ends within its own waits, not after a redial's dialling attempts.
    void disable() override;
    void enable() override;

    int redial_count() const { return redial_count_; }

private:
    bool after_failure();
    // Hangs the call up and lets go of everything the call gave this port.
    bool release_call();
    std::shared_ptr<TapiSession> current_session();

    // The current call's session. A redial on the serial worker replaces it while the application's
    // thread may ask is_connected: each takes its own reference under the lock, and the session
    // goes with the last one.
    std::shared_ptr<TapiSession> session_;
    // The session placing a call now (open), so that a disable on another thread can give it up.
    std::shared_ptr<TapiSession> dialling_;
    CRITICAL_SECTION session_lock_;
    // Set by disable, cleared by enable: no dialling is started or kept while it is set.
    std::atomic<bool> held_{false};
    std::string phone_number_;
    DWORD line_device_;
    std::vector<BYTE> config_;
    bool redial_;
    int redial_limit_;
    int redial_count_ = 0;
    HWND window_;
};

#endif
