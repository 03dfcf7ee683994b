// The simulated instrument's serial-line face: the instrument's end of the RS-232 packet protocol,
// run on its own thread over a byte stream (an in-memory line or a terminal's file descriptor).
#ifndef SIMDEV_SERIAL_DEVICE_H
#define SIMDEV_SERIAL_DEVICE_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace simdev {

class instrument;

// One end of a full-duplex byte line.
class byte_stream {
public:
    virtual ~byte_stream() = default;
    // Reads up to n bytes. Waits at most timeout_ms (-1: no limit) for the first byte, then
    // returns what is there. Returns the count, 0 on time-out, -1 once the line is closed.
    virtual long read(std::uint8_t* buf, std::size_t n, int timeout_ms) = 0;
    // Writes n bytes; false when the line is closed or broken.
    virtual bool write(const std::uint8_t* buf, std::size_t n) = 0;
    // Discards input received and not yet read.
    virtual void purge() = 0;
    // Closes this end: blocked and later reads return -1 on both ends of a memory line.
    virtual void close() = 0;
};

// An in-memory full-duplex line with two ends, host() and device().
class memory_line {
public:
    memory_line();
    ~memory_line();
    memory_line(const memory_line&) = delete;
    memory_line& operator=(const memory_line&) = delete;
    byte_stream& host();
    byte_stream& device();
    // Both ends as shared pointers that keep the line alive.
    static std::pair<std::shared_ptr<byte_stream>, std::shared_ptr<byte_stream>> make_pair();

    struct impl;

private:
    std::shared_ptr<impl> p_;
};

// A byte stream over a file descriptor (a terminal, a pseudo-terminal's master side, a pipe).
class fd_stream : public byte_stream {
public:
    // owns: close the descriptor in the destructor.
    fd_stream(int fd, bool owns);
    ~fd_stream() override;
    long read(std::uint8_t* buf, std::size_t n, int timeout_ms) override;
    bool write(const std::uint8_t* buf, std::size_t n) override;
    void purge() override;
    void close() override;
    int fd() const { return fd_; }

private:
    int fd_;
    bool owns_;
    int wake_[2] = {-1, -1};  // self-pipe that close() uses to wake a blocked read
    std::atomic<bool> closed_{false};
};

// A new pseudo-terminal: the instrument talks on the master side, the host opens path().
class pseudo_terminal {
public:
    // Opens a master, grants and unlocks it, sets raw mode. Throws std::system_error on failure.
    pseudo_terminal();
    ~pseudo_terminal();
    const std::string& path() const { return path_; }
    std::shared_ptr<fd_stream> master() const { return master_; }

private:
    std::string path_;
    std::shared_ptr<fd_stream> master_;
    int hold_ = -1;  // keeps the slave side open so the master reads no hang-up between host opens
};

// Opens a terminal device (a serial port or a pseudo-terminal slave) in raw mode at a baud rate.
std::shared_ptr<fd_stream> open_tty(const std::string& path, unsigned baud);

struct serial_options {
    // Largest data packet accepted or sent per endpoint.
    std::uint16_t control_max = 8;
    std::uint16_t bulk_in_max = 1024;
    std::uint16_t bulk_out_max = 60;
    std::uint16_t interrupt_max = 64;
    // Bytes of a notification record on the line (the 63-byte record, padded with zeros).
    std::uint16_t record_size = 64;
    // A packet that stops arriving for this long is dropped.
    int inter_byte_timeout_ms = 100;
    // How long the device waits for the host's handshake after sending data.
    int handshake_timeout_ms = 500;
    // A run of this many resynchronisation bytes at a packet start resets the device (address 0,
    // not configured, toggles DATA0), as a bus reset would.
    unsigned resync_reset_run = 8;
};

// Counters of what the serial face saw and did, for tests and the program's summary.
struct serial_stats {
    std::uint64_t tokens = 0, setups = 0, ins = 0, outs = 0;
    std::uint64_t naks_sent = 0, stalls_sent = 0, errs_sent = 0, acks_sent = 0;
    std::uint64_t duplicates_ignored = 0, retransmissions = 0, bad_packets = 0;
    std::uint64_t resync_bytes = 0, resets = 0, garbage_bytes = 0, foreign_tokens = 0;
};

class serial_device {
public:
    serial_device(std::shared_ptr<instrument> model, std::shared_ptr<byte_stream> line,
                  serial_options opt = {});
    ~serial_device();  // stops the thread
    serial_device(const serial_device&) = delete;
    serial_device& operator=(const serial_device&) = delete;

    void start();
    // Stops the thread (within a fraction of a second); the line stays open.
    void stop();
    bool running() const;

    std::uint8_t address() const;  // 0 until SET_ADDRESS completes
    serial_stats stats() const;

    struct impl;

private:
    std::unique_ptr<impl> p_;
};

}  // namespace simdev

#endif
