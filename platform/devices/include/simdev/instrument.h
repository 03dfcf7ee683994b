// The simulated instrument's firmware model, shared by its USB face (usb_device.h) and its
// serial-line face (serial_device.h). The meaning of every vendor word is documented in
// platform/devices/README.md.
#ifndef SIMDEV_INSTRUMENT_H
#define SIMDEV_INSTRUMENT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "simdev/faults.h"

namespace simdev {

struct instrument_config {
    std::uint16_t vendor_id = 0x1a2b;
    std::uint16_t product_id = 0x0100;
    std::uint16_t bcd_device = 0x0105;
    std::string manufacturer = "Ondrel Fasko";
    std::string product = "Zeph Instrument";
    std::string serial_number = "1001";
    // Full-speed USB packet sizes of the data endpoints.
    std::uint16_t usb_bulk_max_packet = 64;
    std::uint16_t interrupt_max_packet = 64;
    std::uint8_t interrupt_interval = 10;
    // Isochronous packet size of interface 1 at alternate settings 1, 2, 3 (index 0 = setting 1).
    std::vector<std::uint16_t> iso_packet_sizes{120, 240, 360};
    // Measurement and calibration data blocks: payload bytes per block (4-byte header comes first).
    std::uint16_t block_payload = 196;
    std::size_t flash_size = 64 * 1024;
    // Stored periods present at power-up: (number, byte length).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> periods{{1, 1000}, {2, 4096}, {3, 100}};
    std::uint32_t memory_page_words = 256;  // 24-bit words per memory page
    // 2: "Bulk" (value 1) and "Isochrone" (value 2); 1: "Bulk" alone.
    std::uint8_t configurations = 2;
    // With both: the descriptors list "Isochrone" first (index 0 carries value 2, index 1 value 1), so
    // that configuration values are not index + 1.
    bool isochrone_listed_first = false;
    // Firmware choices left open to the instrument: whether SET_CONFIGURATION and SET_INTERFACE
    // start the affected endpoints' data toggles again at DATA0 (a cleared halt always does).
    bool set_configuration_resets_toggles = true;
    bool set_interface_resets_toggles = true;
    // What the bulk IN pipe word (0x021003) does to the data waiting: drop it (a partly sent message
    // too), or keep it and send a partly sent message again from its length.
    bool pipe_reset_drops_waiting_data = true;
};

// Event codes raised by the model itself (a test may raise any code with raise_event).
namespace event {
inline constexpr std::uint16_t run_started = 0x0001;
inline constexpr std::uint16_t run_ended = 0x0002;
inline constexpr std::uint16_t period_info = 0x0004;
inline constexpr std::uint16_t dsp_reset = 0x0010;
}  // namespace event

// Size of a notification record on the interrupt endpoint (USB); the serial face pads to 64.
inline constexpr std::size_t notification_record_size = 63;

// Run states (state word 0).
enum class run_state : std::uint8_t { idle = 0, measuring = 1, calibrating = 2 };

// Result of a control request at firmware level.
struct control_reply {
    bool stall = false;
    std::vector<std::uint8_t> data;  // IN data stage (at most wLength bytes)
};

struct setup_packet;

// Deterministic data pattern: byte k of a stream with seed s. Every 4 bytes hold a 32-bit
// little-endian sequence number (k / 4) mixed with the seed, so a reader can check that nothing
// was lost, duplicated, reordered or corrupted, and find where a fault happened.
std::uint8_t pattern_byte(std::uint32_t seed, std::uint64_t k);
void fill_pattern(std::uint32_t seed, std::uint64_t first, std::span<std::uint8_t> out);
// Index of the first byte that differs from the pattern, or nullopt when all match.
std::optional<std::size_t> check_pattern(std::uint32_t seed, std::uint64_t first,
                                         std::span<const std::uint8_t> data);

// Pattern seeds of the model's streams.
namespace seed {
inline constexpr std::uint32_t measurement = 0x4d000000;
inline constexpr std::uint32_t calibration = 0x43000000;
inline constexpr std::uint32_t iso = 0x49000000;
inline constexpr std::uint32_t flash = 0x46000000;
inline std::uint32_t period(std::uint32_t number) { return 0x50000000u ^ (number * 0x9e3779b9u); }
}  // namespace seed

class instrument : public std::enable_shared_from_this<instrument> {
public:
    explicit instrument(instrument_config cfg = {});
    ~instrument();
    instrument(const instrument&) = delete;
    instrument& operator=(const instrument&) = delete;

    const instrument_config& config() const { return cfg_; }
    fault_injector& faults() { return faults_; }

    // --- descriptors ---
    std::vector<std::uint8_t> device_descriptor() const;
    std::vector<std::uint8_t> configuration_descriptor(std::uint8_t index) const;
    std::optional<std::vector<std::uint8_t>> string_descriptor(std::uint8_t index, std::uint16_t lang) const;
    std::uint8_t configuration_count() const { return cfg_.configurations == 1 ? 1 : 2; }

    // --- USB device state shared by both faces ---
    // Runs a control request (standard or vendor). out_data is the OUT data stage.
    control_reply control(const setup_packet& setup, std::span<const std::uint8_t> out_data);
    std::uint8_t address() const;
    std::uint8_t configuration() const;
    std::uint8_t alternate_setting(std::uint8_t iface) const;
    bool halted(std::uint8_t endpoint) const;
    void set_halt(std::uint8_t endpoint, bool on);
    bool endpoint_active(std::uint8_t endpoint) const;  // present in the current configuration
    // Type and packet size of an active endpoint (endpoint 0 included).
    std::optional<std::pair<std::uint8_t, std::uint16_t>> endpoint_shape(std::uint8_t endpoint) const;
    // Grows whenever the endpoint's data toggle must start again at DATA0 (clear halt,
    // configuration or interface selection, bus reset).
    std::uint32_t reset_epoch(std::uint8_t endpoint) const;
    // Bus reset: address 0, not configured, halts cleared, bulk streams dropped, run stopped.
    void bus_reset();

    // --- bulk IN (0x81): framed messages, 3-byte little-endian length then the data ---
    // A copy of (at most max bytes of) the next segment to send: the 3-byte length of the next
    // message, or the rest of its data. Empty when nothing is waiting (a run produces its next
    // block on demand). generation identifies the stream's state for bulk_in_consume.
    std::vector<std::uint8_t> bulk_in_peek(std::size_t max = SIZE_MAX, std::uint64_t* generation = nullptr);
    // Marks n bytes as delivered; ignored when the stream was dropped (pipe word, bus reset) since
    // the peek that returned generation.
    void bulk_in_consume(std::size_t n, std::optional<std::uint64_t> generation = std::nullopt);
    void queue_bulk_message(std::vector<std::uint8_t> data);
    // Queues bytes as one frame as they stand, the 3-byte length header included: a faulty frame
    // (shorter or longer than its header says) for fault tests.
    void queue_bulk_frame(std::vector<std::uint8_t> frame);
    std::size_t bulk_in_pending_messages();

    // --- bulk OUT (0x01): same framing; complete messages go to the firmware ---
    void bulk_out_bytes(std::span<const std::uint8_t> bytes);
    // Complete bulk OUT messages that no flash write was waiting for (data only, oldest first).
    std::vector<std::vector<std::uint8_t>> take_received_messages();

    // --- interrupt IN (0x82): notification records ---
    void raise_event(std::uint16_t code, std::span<const std::uint8_t> data = {});
    std::optional<std::array<std::uint8_t, notification_record_size>> take_event();
    std::size_t pending_events();

    // --- isochronous IN (0x81 in configuration 2): packet payload for one frame ---
    // Returns 0 or the packet size of the current alternate setting, after writing that many bytes.
    std::size_t iso_frame(std::span<std::uint8_t> out);
    std::uint16_t iso_packet_size() const;  // 0 when interface 1 is at setting 0 or not configured

    // --- firmware state, for tests ---
    run_state state() const;
    std::uint32_t blocks_sent() const;
    std::vector<std::uint8_t> flash(std::size_t addr, std::size_t len) const;
    std::vector<std::uint32_t> normal_config() const;      // 12 words
    std::vector<std::uint32_t> programmed_config() const;  // 24 words
    std::uint32_t memory_word(std::uint8_t bank, std::uint8_t area, std::uint16_t page, std::uint32_t offset) const;
    std::uint16_t selected_page(std::uint8_t bank, std::uint8_t area) const;
    std::uint32_t dsp_resets() const;
    std::vector<std::uint32_t> stored_periods() const;
    std::uint64_t vendor_requests() const;  // vendor requests answered (STALLs included)

    // Removes the device from whatever face carries it (the USB face reports removal; the serial
    // face goes silent). Faces subscribe with on_unplug.
    void unplug();
    bool plugged() const;
    // Plugs an unplugged device in again. It comes back power-cycled: address 0, not configured,
    // toggles at DATA0, halts cleared, bulk streams and pending events gone, run stopped. Its
    // stored data (flash, periods, configuration words, memory) stay.
    void replug();
    // Grows at every replug of an unplugged device; a face drops its own link state when it changes.
    std::uint32_t power_ups() const;

    // Notified (without the model's lock) when bulk IN data or an event becomes available, and
    // when the device is unplugged. Returns a token for unsubscribe.
    int subscribe(std::function<void()> data_ready, std::function<void()> unplugged);
    void unsubscribe(int token);

    struct state_t;

private:
    control_reply standard_locked(const setup_packet& s, std::span<const std::uint8_t> out);
    control_reply vendor_locked(const setup_packet& s, std::span<const std::uint8_t> out);
    void queue_locked(std::vector<std::uint8_t> data);
    void event_locked(std::uint16_t code, std::span<const std::uint8_t> data);
    void end_run_locked();
    void produce_locked();
    void message_locked(std::vector<std::uint8_t>& msg);

    instrument_config cfg_;
    fault_injector faults_;
    mutable std::mutex mu_;
    std::unique_ptr<state_t> st_;
};

}  // namespace simdev

#endif
