// IComPort implementations for tests: one over the in-memory line of the simulated instrument, one
// over a pseudo-terminal through the COM port calls. Both end a blocked read or write at once on disable.
#ifndef LINTRA_TESTS_TEST_PORTS_H
#define LINTRA_TESTS_TEST_PORTS_H

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include <simdev/serial_device.h>

#include "lintra/IComPort.h"
#include "tavobridge/SerialComPort.h"

namespace lintra_test {

// Counters shared by the test ports.
struct PortCounters {
    std::atomic<unsigned> opens{0};
    std::atomic<unsigned> reads_ended_by_disable{0};
    std::atomic<unsigned> read_timeouts{0};
    std::atomic<unsigned> aborts{0};
    std::atomic<unsigned> bytes_read{0};
    std::atomic<unsigned> bytes_written{0};
    // Reads blocked in the port right now (the pty port), so a test can stop while one waits.
    std::atomic<int> reads_in_progress{0};
};

class MemoryComPort : public IComPort {
public:
    MemoryComPort(std::shared_ptr<simdev::byte_stream> host_end, std::string name, DWORD timeout_ms);
    bool open() override;
    void close() override {}
    bool flush() override;
    bool read(BYTE* buffer, DWORD* length) override;
    bool write(const BYTE* buffer, DWORD* length) override;
    bool purge() override;
    bool abort_io() override;
    void name(std::string& out) override { out = name_; }
    bool is_connected() override { return true; }
    void disable() override;

    // Holds every read (as a device that does not answer) until released or the port is disabled.
    void hold_reads(bool on);
    // Signalled when a read starts waiting while held.
    bool wait_read_held(int timeout_ms);

    // The next single-byte write of this value is lost on the way (as a handshake the line ate).
    void lose_next_write_of(BYTE value) { lose_.store(int(value)); }
    // The line's rate, when the device paces its bytes (0: as fast as they come).
    void set_line_rate(unsigned baud) { baud_.store(baud); }

    PortCounters counters;

private:
    std::atomic<int> lose_{-1};
    std::atomic<unsigned> baud_{0};
    std::shared_ptr<simdev::byte_stream> line_;
    std::string name_;
    DWORD timeout_ms_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool hold_ = false;
    bool held_ = false;
};

// The product's COM port (CreateFileA, overlapped ReadFile and WriteFile) on a pseudo-terminal: the
// port maps a COM name of its own to the terminal for its lifetime.
class PtyComPort : public SerialComPort {
public:
    PtyComPort(std::string path, DWORD timeout_ms);
    ~PtyComPort() override;
    bool open() override;
    bool read(BYTE* buffer, DWORD* length) override;
    bool write(const BYTE* buffer, DWORD* length) override;
    bool abort_io() override;

    PortCounters counters;

private:
    PtyComPort(std::string com_name, std::string path, DWORD timeout_ms);
    std::string com_name_;
};

}  // namespace lintra_test

#endif
