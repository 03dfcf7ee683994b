// Bytes on the serial line: PID coding, tokens, data packets with CRC-16, handshakes and the
// resynchronisation burst. The packet objects only report what happened; retries are the engines'.
#ifndef LINTRA_PACKET_H
#define LINTRA_PACKET_H

#include <windows.h>

#include <vector>

#include "lintra/IComPort.h"

namespace lintra {

// 4-bit PID values; on the line each travels as (v << 4) | (~v & 0x0F).
enum pid_value : BYTE {
    pid_invalid = 0,
    pid_out = 1,
    pid_ack = 2,
    pid_data0 = 3,
    pid_resync = 6,
    pid_in = 9,
    pid_nak = 10,
    pid_data1 = 11,
    pid_err = 12,
    pid_setup = 13,
    pid_stall = 14,
};

constexpr BYTE pid_encode(BYTE value) { return BYTE(((value & 0x0F) << 4) | (~value & 0x0F)); }
// A byte whose nibbles are not complementary decodes as 0, which is no valid PID.
constexpr BYTE pid_decode(BYTE byte) { return ((byte >> 4) ^ (byte & 0x0F)) == 0x0F ? BYTE(byte >> 4) : BYTE(0); }

// Result of the last packet operation of an endpoint.
enum : DWORD {
    result_bad_packet = 0,  // CRC mismatch, short data, or longer than allowed
    result_bad_pid = 1,
    result_port_error = 2,  // read or write of the port failed
    result_nak = 3,
    result_stall = 4,
    result_err = 5,
    result_aborted = 6,  // the emulation's abort event ended the exchange (ERROR_INVALID_HANDLE)
    result_done = 0x80000000u,
    result_repeat = 0x80000001u,  // good data with the previous toggle
};

// Success codes have bit 31 set; 0 to 0x7FFFFFFF are failures.
constexpr bool result_succeeded(DWORD result) { return (result & 0x80000000u) != 0; }

// CRC-16 with the reflected polynomial 0xA001, initial value 0, no final exclusive-or.
WORD crc16(const BYTE* data, size_t length, WORD crc = 0);

constexpr int resync_burst_length = 129;
constexpr DWORD setup_length = 8;

// The per-endpoint state the packet objects work on.
struct PacketEndpoint {
    IComPort* port = nullptr;      // not owned
    DWORD last_result = result_done;
    BYTE number = 0;               // USB form with direction bit
    BYTE address = 0;
    LONG max_packet = 0;
    BYTE toggle = 0;               // 0: DATA0 is next, 1: DATA1 is next
    BYTE stalled = 1;              // cleared by any well-read PID, set by a STALL
};

class StateTransaction {
public:
    virtual ~StateTransaction() {}
    virtual void reset(PacketEndpoint& endpoint) { ep_ = &endpoint; }
    virtual bool read() { return false; }
    virtual bool write() { return false; }

protected:
    // One port call each; they set the endpoint's result to port error on failure.
    bool put(const BYTE* bytes, DWORD length);
    bool get(BYTE* bytes, DWORD length, DWORD* received);
    PacketEndpoint* ep_ = nullptr;
};

class Token : public StateTransaction {
public:
    // Purge, then the 3-byte token for the endpoint's address and number.
    bool send(BYTE pid);
};

class Ack : public StateTransaction {
public:
    // Reads a handshake: ACK gives done, NAK, ERR and STALL their codes, anything else bad PID.
    bool read() override;
    bool send(BYTE pid);
};

class Data : public StateTransaction {
public:
    explicit Data(LONG max_packet);
    // Reads a data packet. *length: room in buffer (ignored when buffer is null); returns the count.
    // True for a good packet or a repeat (see last_result).
    bool read(BYTE* buffer, DWORD* length);
    // Four writes: PID, length, data (also for zero bytes), CRC.
    bool send(BYTE pid, const BYTE* data, DWORD length);
    const std::vector<BYTE>& receive_buffer() const { return buffer_; }

private:
    std::vector<BYTE> buffer_;  // max packet + CRC
};

// 129 times purge and 0x69; stops at the first failed write.
bool send_resync(PacketEndpoint& endpoint);

}  // namespace lintra

#endif
