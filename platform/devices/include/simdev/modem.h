// A simulated data modem as a telephony line device. A connected call joins the modem's data line
// (a pseudo-terminal that the telephony stand-in opens as the call's "comm/datamodem" handle) to a
// simulated instrument's serial face. Fault switches cover what a real line does to a dialling
// program: busy, no answer, no dial tone, dial modifiers the provider refuses although its
// capabilities claim them, a call dropped mid-session and a slow connect.
#ifndef SIMDEV_MODEM_H
#define SIMDEV_MODEM_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <simdev/serial_device.h>

namespace simdev {

class instrument;

struct modem_config {
    // A small block standing for a provider's modem settings.
    static std::vector<std::uint8_t> default_config() { return {0x5A, 0x45, 0x50, 0x48, 0x01, 0x00, 0x80, 0x25, 0x00, 0x00}; }

    std::string name = "Zeph Simulated Modem";
    // The name as the device reports it ends with its terminating zero (false: the last byte is a
    // character, as some providers report it).
    bool name_terminated = true;
    // Dial modifiers the device claims to handle (LINEDEVCAPFLAGS_: 0x40 "$", 0x80 "@", 0x100 "W"/"w").
    std::uint32_t dev_cap_flags = 0x40 | 0x80 | 0x100;
    bool partial_dial = true;  // LINEADDRCAPFLAGS_PARTIALDIAL
    bool data_modem = true;    // passthrough bearer, data-modem media, can make calls
    std::vector<std::uint8_t> dev_config = default_config();
    std::uint32_t baud = 115200;  // the data line's rate
    // The provider answers a connected call's "comm/datamodem" request without a handle in it.
    bool comm_id_without_handle = false;
    serial_options serial;        // the instrument's serial face
};

class modem {
public:
    explicit modem(std::shared_ptr<instrument> model, modem_config cfg = {});
    ~modem();
    modem(const modem&) = delete;
    modem& operator=(const modem&) = delete;

    const modem_config& config() const { return cfg_; }
    std::shared_ptr<instrument> model() const { return model_; }

    // ---- fault switches (each holds until changed) ----
    void set_busy(bool on);
    void set_no_answer(bool on);
    void set_no_dial_tone(bool on);
    // Dialled strings holding one of these characters are refused with the error that names it.
    void refuse_modifiers(const std::string& chars);
    // How long a call rings before it connects.
    void set_connect_delay_ms(std::uint32_t ms);
    // The remote end hangs up the call that is connected now: the call goes disconnected and the data
    // line falls silent. False when no call is connected.
    bool drop_call();

    // ---- what happened ----
    std::vector<std::string> dialled() const;        // every string given to make-call or dial, in order
    unsigned calls_connected() const;
    std::vector<std::uint8_t> applied_config() const;  // the last configuration set on the device
    serial_stats line_stats() const;                 // the current (or last) call's serial face

    // ---- used by the telephony stand-in ----
    struct switches {
        bool busy = false, no_answer = false, no_dial_tone = false;
        std::string refused;
        std::uint32_t connect_delay_ms = 20;
    };
    switches current_switches() const;
    void record_dial(const std::string& text);
    void set_applied_config(const std::vector<std::uint8_t>& bytes);
    // Starts the instrument on a new data line; returns the line's terminal path.
    std::string connect_line();
    // Stops the instrument's face (the line falls silent); the terminal stays until release_line.
    void silence_line();
    // The connected call's data line (its terminal path); empty without one.
    std::string data_line_path() const;
    void release_line();
    // The telephony stand-in learns of a drop through this (called without the modem's lock).
    void set_drop_listener(std::function<void()> fn);

private:
    std::shared_ptr<instrument> model_;
    modem_config cfg_;
    mutable std::mutex mu_;
    switches sw_;
    std::vector<std::string> dialled_;
    std::vector<std::uint8_t> applied_;
    unsigned connected_ = 0;
    std::unique_ptr<pseudo_terminal> terminal_;
    std::unique_ptr<serial_device> device_;
    serial_stats last_stats_;
    std::function<void()> drop_listener_;
};

// The line devices the telephony stand-in offers, in device-identifier order. Adding one while
// line applications are initialised sends them LINE_CREATE.
void add_line_device(std::shared_ptr<modem> device);
void clear_line_devices();
std::vector<std::shared_ptr<modem>> line_devices();
// The telephony stand-in listens here for new devices (their identifier).
void set_line_device_listener(std::function<void(std::uint32_t)> fn);

}  // namespace simdev

#endif
