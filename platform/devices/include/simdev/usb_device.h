// The simulated instrument's USB face: an endpoint-level device that a simulated bus drives.
//
// Threading contract:
//  - Every method may be called from any thread.
//  - control() is synchronous: it runs the whole setup / data / status exchange and returns.
//  - Transfer completions (submit, submit_iso) are always delivered on the device's own
//    completion thread, never inside submit(), cancel() or any other call. A completion callback
//    may call back into the device (submit again, cancel, clear_halt ...).
//  - Each transfer completes exactly once: with data, with an error, cancelled, or removed.
//  - A completion must not destroy the device (the destructor joins the completion thread).
//  - abort_endpoint(), reset_port(), remove() and set_configuration() wait until the callbacks of
//    the transfers they end have returned, unless they are called on the completion thread
//    itself (then those callbacks run right after the current one returns).
#ifndef SIMDEV_USB_DEVICE_H
#define SIMDEV_USB_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace simdev {

class instrument;

// Outcome of a control request or a transfer, as the bus would see it on the wire.
enum class usb_status : int {
    success = 0,
    stall,           // the device answered STALL (request refused, or endpoint halted)
    cancelled,       // cancelled or aborted by the host (cancel, abort_endpoint, reset, reconfigure)
    removed,         // the device is gone (before or during the transfer)
    not_responding,  // no handshake at all (time-out on the wire)
    data_error,      // the data arrived damaged (CRC)
    babble,          // the device sent a packet larger than the room left in the buffer
    invalid,         // no such endpoint in the current configuration, wrong direction or type
    toggle_mismatch, // IN: a packet came again that the host already had (the device missed its ACK)
};

const char* to_string(usb_status s);

// The 8-byte setup record of a control request.
struct setup_packet {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};

struct control_result {
    usb_status status = usb_status::success;
    std::size_t length = 0;  // bytes moved in the data stage
};

// Endpoint types, as in bmAttributes.
enum class endpoint_type : std::uint8_t { control = 0, isochronous = 1, bulk = 2, interrupt = 3 };

struct endpoint_info {
    std::uint8_t address = 0;      // with direction bit 0x80 for IN
    endpoint_type type = endpoint_type::control;
    std::uint8_t interface_number = 0;
    std::uint8_t alternate_setting = 0;
    std::uint16_t max_packet = 0;
    std::uint8_t interval = 0;
};

// One isochronous packet: the caller sets offset (into the transfer buffer) before submitting,
// the device writes length (0 or the alternate setting's packet size) and status.
struct iso_packet {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    usb_status status = usb_status::success;
};

using transfer_id = std::uint64_t;  // never 0 for a submitted transfer

// (status, bytes transferred)
using transfer_completion = std::function<void(usb_status, std::size_t)>;
// The host controller's side of one bulk data packet and its data toggle (true: DATA1).
// IN: called with the toggle the device sent; true when the host takes the packet (the toggle it
// expects; it then expects the other one), false when the packet repeats the one it took last (the
// device missed the handshake and sent it again): the host drops it and acknowledges it all the same.
// OUT: called as the host sends a packet, with whether the device's handshake reaches the host; returns
// the toggle the packet carries, and the host moves on to the other one once the handshake came. The
// device takes a packet whose toggle it expects and drops one that repeats the last it took.
using packet_check = std::function<bool(bool)>;
// (status of the whole transfer); the per-packet results are in the caller's iso_packet array.
using iso_completion = std::function<void(usb_status)>;

class usb_device {
public:
    explicit usb_device(std::shared_ptr<instrument> model);
    ~usb_device();  // removes the device if still present
    usb_device(const usb_device&) = delete;
    usb_device& operator=(const usb_device&) = delete;

    instrument& model();
    std::shared_ptr<instrument> model_ptr() const;

    // Descriptors as the device returns them to GET_DESCRIPTOR (convenience for enumeration).
    std::vector<std::uint8_t> device_descriptor() const;                     // 18 bytes
    std::vector<std::uint8_t> configuration_descriptor(std::uint8_t index) const;  // full, wTotalLength bytes
    std::vector<std::uint8_t> string_descriptor(std::uint8_t index, std::uint16_t lang = 0x0409) const;

    // Control transfer on endpoint 0. data holds wLength bytes: the source of an OUT data stage or
    // the destination of an IN data stage (null only when wLength is 0, else: invalid). Standard requests
    // (GET_DESCRIPTOR, SET_ADDRESS, SET/GET_CONFIGURATION, SET/GET_INTERFACE, GET_STATUS,
    // CLEAR/SET_FEATURE endpoint halt) and the instrument's vendor requests are answered here.
    control_result control(const setup_packet& setup, std::uint8_t* data);

    // Queue a bulk or interrupt transfer on an endpoint of the current configuration.
    // IN transfers complete when data exists (a packet shorter than max_packet, or a full buffer,
    // ends the transfer; one bulk message's 3-byte length and its data never share a transfer).
    // OUT transfers complete once the device has taken the bytes. The buffer must stay valid until
    // the completion has run. A transfer that cannot run (device removed, endpoint not in the
    // current configuration, wrong type) still gets an id and completes with the reason.
    // A halted endpoint completes its transfers with stall until clear_halt.
    // On a bulk endpoint, `host` is the host controller's toggle of the pipe (see packet_check); without
    // it every packet is taken (a host in step with the device whatever happens).
    transfer_id submit(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t length,
                       transfer_completion done, packet_check host = {});

    // Queue an isochronous IN transfer of count packets on an isochronous endpoint. Packet i may
    // hold up to (packets[i+1].offset - packets[i].offset) bytes (the last: up to buffer_length).
    // Packets go at one per frame, starting after the endpoint's previous transfer.
    transfer_id submit_iso(std::uint8_t endpoint, std::uint8_t* buffer, std::size_t buffer_length,
                           iso_packet* packets, std::uint32_t count, iso_completion done);

    // Cancel one transfer: true when it was still pending; its completion runs with cancelled.
    bool cancel(transfer_id id);
    // Cancel every pending transfer of an endpoint (abort pipe); returns how many.
    std::size_t abort_endpoint(std::uint8_t endpoint);

    // Endpoint halt (the device sets it when it stalls a transfer; CLEAR_FEATURE clears it).
    bool halted(std::uint8_t endpoint) const;
    usb_status clear_halt(std::uint8_t endpoint);  // also resets the endpoint's data toggle

    // Same effect as the standard requests (SET_CONFIGURATION ends every pending transfer with
    // cancelled; value 0 deconfigures).
    usb_status set_configuration(std::uint8_t value);
    usb_status set_interface(std::uint8_t interface_number, std::uint8_t alternate_setting);
    std::uint8_t configuration() const;  // 0 = not configured
    std::uint8_t alternate_setting(std::uint8_t interface_number) const;
    std::uint8_t address() const;
    // The endpoints of the current configuration and alternate settings (endpoint 0 not listed).
    std::vector<endpoint_info> endpoints() const;

    // Port reset: every pending transfer ends with cancelled; address 0, not configured, halts
    // and toggles cleared, partly sent or received bulk messages dropped, a run stopped.
    // The firmware's stored state (flash, periods, configuration words, memory) is kept.
    void reset_port();

    // Unplug: every pending transfer ends with removed, every later call fails with removed.
    void remove();
    bool present() const;
    // How many calls (abort, cancel, reset, removal, reconfiguration) are waiting for the callbacks of
    // transfers they ended; lets a test see such a call blocked.
    std::size_t callers_waiting() const;
    // Called once when the device removes itself (fault injection or instrument::unplug), on the
    // completion thread after the pending transfers have completed with removed; not called for
    // remove(). When this returns, the handler it replaced is not running and will not be called (called
    // from that handler itself, it returns at once).
    void set_removal_handler(std::function<void()> handler);

    // Microseconds per frame for isochronous packets and for NAK retries (default 1000).
    void set_frame_us(std::uint32_t us);

    // The most control transfers that were in progress at once since the last reset (a device has one
    // default pipe: a host that overlaps its requests shows here).
    std::size_t max_concurrent_control() const;
    void reset_control_count();

    struct impl;

private:
    std::unique_ptr<impl> p_;
};

}  // namespace simdev

#endif
