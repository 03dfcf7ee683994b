// Fault injection for the simulated instrument. Seeded and reproducible: the same seed and the
// same traffic give the same faults. Count-based faults are exact; probability-based faults draw
// from one seeded generator in the order the traffic reaches them.
#ifndef SIMDEV_FAULTS_H
#define SIMDEV_FAULTS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <vector>

namespace simdev {

struct setup_packet;
enum class usb_status : int;

// Which way a byte travels on the serial line.
enum class line_dir : std::uint8_t { to_host = 0, to_device = 1 };

enum class line_fault : std::uint8_t { corrupt = 0, drop = 1, duplicate = 2 };

// Matches control requests; an empty field matches anything.
struct request_match {
    std::optional<std::uint8_t> bRequest;
    std::optional<std::uint16_t> wValue;
    std::optional<std::uint16_t> wIndex;
    bool vendor_only = true;  // match only vendor requests (bmRequestType type bits = 2)
    bool matches(const setup_packet& s) const;
};

// Any endpoint, for nak() and silence().
inline constexpr std::uint8_t any_endpoint = 0xFF;
inline constexpr unsigned always = 0;  // "times" value: every match, without end

class fault_injector {
public:
    fault_injector();

    void seed(std::uint64_t s);
    // Removes every fault and zeroes the counters (the seed stays).
    void clear();

    // STALL matching control requests, `times` times (always = every one).
    void stall_request(request_match m, unsigned times = always);
    // Cut the IN data stage of matching requests to `keep` bytes.
    void short_reply(request_match m, std::size_t keep, unsigned times = always);
    // NAK the next `count` transactions of an endpoint (serial: NAK handshake; USB: the transfer
    // waits one frame per NAK). Endpoint 0 NAKs data and status stages, never SETUP.
    void nak(std::uint8_t endpoint, unsigned count);
    void nak_probability(std::uint8_t endpoint, double p);
    // The device does not answer the next `count` transactions (serial: no byte at all for that
    // token; USB: the transfer or control request ends with not_responding).
    void silence(std::uint8_t endpoint, unsigned count);
    // Serial line bytes, by probability per byte or at given byte numbers (counted from 0, per
    // direction, from the moment the fault is set).
    void line_probability(line_dir d, line_fault f, double p);
    void line_at(line_dir d, line_fault f, std::uint64_t byte_number);
    // USB face only: the next `count` transfers (or control requests, endpoint 0) of an endpoint
    // end with `status` (data_error for a CRC error, babble, stall, not_responding ...) and
    // move no data.
    // `after`: that many transfers of the endpoint go through first.
    void usb_error(std::uint8_t endpoint, usb_status status, unsigned count, unsigned after = 0);
    // USB face only: how an injected error meets an OUT transfer. false (default): the data packet was
    // lost, the device has nothing of it. true: only the device's handshake was lost, so the device took
    // the data while the host learns the error and no byte count.
    void lost_handshakes(bool on);
    bool handshakes_lost() const;
    // USB face only: an injected error on a bulk IN transfer comes after up to `packets` whole packets of
    // its data arrived (the host has them and counts them; the device keeps the rest). Default 0.
    void usb_error_after_packets(std::size_t packets);
    std::size_t packets_before_usb_error() const;
    // USB face only: each transfer of an endpoint ends with `status`, moving no data, with probability p.
    void usb_error_probability(std::uint8_t endpoint, usb_status status, double p);
    // USB face only: the next `count` isochronous packets of an endpoint that carry data carry only
    // their first `keep` bytes (a short packet; the stream goes on after the whole packet).
    void short_iso_packets(std::uint8_t endpoint, std::size_t keep, unsigned count);
    // USB face only: the next `count` isochronous packets of an endpoint that carry data are flagged with
    // `status` by the controller (the data still arrives).
    void iso_packet_errors(std::uint8_t endpoint, usb_status status, unsigned count);
    // USB face only: each control transfer takes this long on the wire (0: none), so that requests that
    // overlap show it (usb_device::max_concurrent_control).
    void control_duration_us(std::uint32_t us);
    // Unplug the instrument after `bytes` more bulk IN data bytes have been delivered
    // (mid-transfer when the number falls inside a transfer).
    void remove_after_bulk_in(std::uint64_t bytes);
    // Runs `fn` once, on the device's side, when a matching control request arrives and before it is
    // answered, so a test can act at a chosen point of the host's sequence.
    void on_request(request_match m, std::function<void()> fn);
    // Slow serial line: bytes go out at baud / 10 per second, plus an extra delay per byte.
    void line_rate(std::uint32_t baud);
    void byte_delay_us(std::uint32_t us);

    struct counters {
        std::uint64_t stalls = 0, shortened = 0, naks = 0, silences = 0;
        std::uint64_t corrupted = 0, dropped = 0, duplicated = 0, removals = 0, usb_errors = 0;
    };
    counters injected() const;

    // --- queried by the faces and the model ---
    bool take_stall(const setup_packet& s);
    std::function<void()> take_request_hook(const setup_packet& s);
    std::optional<std::size_t> take_short(const setup_packet& s);
    bool take_nak(std::uint8_t endpoint);
    bool take_silence(std::uint8_t endpoint);
    std::optional<usb_status> take_usb_error(std::uint8_t endpoint);
    std::optional<std::size_t> take_short_iso(std::uint8_t endpoint);
    std::optional<usb_status> take_iso_packet_error(std::uint8_t endpoint);
    std::uint32_t control_duration() const;
    // What happens to one line byte; `b` is changed in place when corrupted.
    enum class byte_action { pass, corrupt, drop, duplicate };
    byte_action line_byte(line_dir d, std::uint8_t& b);
    // Accounts bulk IN bytes about to go out; returns how many may go before the removal point
    // (n when no removal is due), and arms the removal when the point is reached.
    std::size_t bulk_in_allowance(std::size_t n);
    bool removal_due();  // true once, when the removal point was reached
    // Nanoseconds one byte takes on the line (0 = as fast as the stream goes): whole microseconds
    // would run a 115200-baud line about 1% fast.
    std::uint64_t byte_time_ns() const;

private:
    struct req_rule { request_match m; unsigned left; bool forever; std::size_t keep; };
    struct ep_count { std::uint8_t ep; unsigned left; };
    bool take_rule(std::vector<req_rule>& v, const setup_packet& s, std::size_t* keep);
    bool take_count(std::vector<ep_count>& v, std::uint8_t ep);

    mutable std::mutex mu_;
    std::mt19937_64 rng_;
    std::vector<req_rule> stalls_, shorts_;
    std::vector<std::pair<request_match, std::function<void()>>> hooks_;
    std::vector<ep_count> naks_, silences_;
    struct usb_err { ep_count c; usb_status status; unsigned after; };
    std::vector<usb_err> usb_errors_;
    std::vector<std::pair<ep_count, std::size_t>> short_iso_;
    std::vector<std::pair<ep_count, usb_status>> iso_errors_;
    std::uint32_t control_us_ = 0;
    std::vector<std::pair<std::uint8_t, double>> nak_p_;
    struct usb_error_p { std::uint8_t ep; usb_status status; double p; };
    std::vector<usb_error_p> usb_error_p_;
    double line_p_[2][3] = {};
    std::set<std::uint64_t> line_at_[2][3];
    std::uint64_t line_count_[2] = {};
    std::optional<std::uint64_t> remove_left_;
    bool removal_armed_ = false;
    std::uint32_t baud_ = 0, byte_delay_ = 0;
    bool handshakes_lost_ = false;
    std::size_t packets_before_error_ = 0;
    counters c_;
};

}  // namespace simdev

#endif
