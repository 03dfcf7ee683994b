// What the flat functions need of the instrument API, its session and the port objects. The real
// implementation binds "morvex" at run time (flat_morvex.cpp); tests put their own behind it.
#ifndef TAVOBRIDGE_FLAT_BACKEND_H
#define TAVOBRIDGE_FLAT_BACKEND_H

#include <windows.h>

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace tavo {

// One open instrument session. Every call waits on the calling thread; `timeout` is in ms.
// `delivered` receives the bytes the operation reported (0 when it has none).
class session {
public:
    virtual ~session() {}
    virtual DWORD command(uint32_t word, uint16_t value, DWORD timeout) = 0;
    // Sends n words (low 24 bits of each).
    virtual DWORD set_param(uint32_t word, uint16_t value, const uint32_t *words, uint16_t n, DWORD timeout,
                            DWORD *delivered) = 0;
    // Asks for n words; the words that arrived land in `words`, the rest stay 0.
    virtual DWORD get_param(uint32_t word, uint16_t value, uint16_t n, uint32_t *words, DWORD timeout,
                            DWORD *delivered) = 0;
    // Bulk IN read of at most `size` bytes into `buffer` (the bytes that arrived).
    virtual DWORD read(uint8_t *buffer, uint32_t size, DWORD timeout, DWORD *delivered) = 0;
    virtual DWORD write(const uint8_t *data, uint32_t size, DWORD timeout) = 0;
    virtual DWORD set_mode(uint8_t mode) = 0;
    virtual DWORD reset_device() = 0;
    virtual DWORD read_pipe_request() = 0;
    virtual DWORD write_pipe_request() = 0;
    virtual void cancel() = 0;
    // Closes the session; its device goes out of use.
    virtual void on_device_removed() = 0;
    virtual uint16_t bcd_device() = 0;
    virtual std::string product() = 0;
    virtual std::string serial_number() = 0;
};

// A serial line or modem call made for the link.
class line {
public:
    virtual ~line() {}
    // Closes the port; a modem call is hung up.
    virtual void close() = 0;
    virtual bool is_connected() = 0;
};

// The bound instrument API.
class instrument_api {
public:
    virtual ~instrument_api() {}
    virtual void usb_start() = 0;
    virtual void usb_stop() = 0;
    virtual std::shared_ptr<line> serial_line(const std::string &settings, DWORD timeout, bool flow) = 0;
    virtual std::shared_ptr<line> modem_line(DWORD device, const std::vector<BYTE> &config, const std::string &phone,
                                             DWORD timeout, bool redial, DWORD max_redials) = 0;
    virtual bool register_port(const std::shared_ptr<line> &port, BYTE address) = 0;
    virtual void unregister_port(const std::shared_ptr<line> &port, BYTE address) = 0;
    virtual bool flush_port() = 0;
    virtual bool stop_port() = 0;
    virtual void serial_disable() = 0;
    // One wait, not alertable, on the bulk class's arrived event; false when it timed out.
    virtual bool wait_bulk_arrival(DWORD ms) = 0;
    // The first listed bulk-class instrument: false when none is listed; else whether it is
    // reached through the USB transport and whether through the serial transport.
    virtual bool first_bulk(bool *on_usb, bool *on_serial) = 0;
    // Opens a session on the first listed bulk-class instrument; null when none.
    virtual std::unique_ptr<session> open_first_bulk() = 0;
    // The main class's events (auto-reset): wait for a change, then poll removal and arrival.
    virtual bool wait_main_changed(DWORD ms) = 0;
    virtual bool poll_main_removed() = 0;
    virtual bool poll_main_arrived() = 0;
    // Whether an instrument is listed in the main class now.
    virtual bool main_listed() = 0;
};

// The TAPI line devices.
struct modem_entry {
    DWORD id;
    std::string name;
};
class modem_directory {
public:
    virtual ~modem_directory() {}
    virtual std::vector<modem_entry> lines() = 0;
    // The line's data-modem configuration block (no dialog); false when it cannot be read.
    virtual bool config(DWORD id, std::vector<BYTE> &out) = 0;
};

// Where the flat functions get their API binding and the TAPI line list.
class environment {
public:
    virtual ~environment() {}
    // 0 with a bound API; 8 when the binding could not be made; 5 when it found no instance.
    virtual DWORD bind(std::unique_ptr<instrument_api> &out) = 0;
    virtual std::unique_ptr<modem_directory> modems() = 0;
};

}  // namespace tavo

#endif
