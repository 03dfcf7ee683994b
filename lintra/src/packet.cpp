#include "lintra/packet.h"

#include <algorithm>
#include <cstring>

namespace lintra {

namespace {

struct crc_table {
    WORD entries[256];
    constexpr crc_table() : entries{} {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned v = i;
            for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? (v >> 1) ^ 0xA001u : v >> 1;
            entries[i] = WORD(v);
        }
    }
};

constexpr crc_table table;

}  // namespace

WORD crc16(const BYTE* data, size_t length, WORD crc) {
    for (size_t i = 0; i < length; ++i) crc = WORD((crc >> 8) ^ table.entries[(crc ^ data[i]) & 0xFF]);
    return crc;
}

bool StateTransaction::put(const BYTE* bytes, DWORD length) {
    DWORD n = length;
    if (!ep_->port->write(bytes, &n) || n != length) {
        ep_->last_result = result_port_error;
        return false;
    }
    return true;
}

bool StateTransaction::get(BYTE* bytes, DWORD length, DWORD* received) {
    DWORD n = length;
    bool ok = ep_->port->read(bytes, &n);
    *received = std::min(n, length);
    if (!ok) {
        ep_->last_result = result_port_error;
        return false;
    }
    return true;
}

bool Token::send(BYTE pid) {
    ep_->port->purge();
    const BYTE token[3] = {pid_encode(pid), pid_encode(ep_->address), pid_encode(ep_->number)};
    if (!put(token, sizeof token)) return false;
    ep_->last_result = result_done;
    return true;
}

bool Ack::read() {
    BYTE b = 0;
    DWORD got = 0;
    if (!get(&b, 1, &got)) return false;
    if (got != 1) {  // a short read is a failed exchange even when the port said yes
        ep_->last_result = result_port_error;
        return false;
    }
    ep_->stalled = 0;
    switch (pid_decode(b)) {
    case pid_ack: ep_->last_result = result_done; return true;
    case pid_nak: ep_->last_result = result_nak; break;
    case pid_err: ep_->last_result = result_err; break;
    case pid_stall:
        ep_->stalled = 1;
        ep_->last_result = result_stall;
        break;
    default: ep_->last_result = result_bad_pid; break;
    }
    return false;
}

bool Ack::send(BYTE pid) {
    const BYTE b = pid_encode(pid);
    if (!put(&b, 1)) return false;
    ep_->last_result = result_done;
    return true;
}

Data::Data(LONG max_packet) : buffer_(size_t(std::max<LONG>(max_packet, 0)) + 2, 0) {}

bool Data::read(BYTE* buffer, DWORD* length) {
    const DWORD room = length ? *length : 0;
    if (length) *length = 0;
    BYTE pid = 0;
    DWORD got = 0;
    if (!get(&pid, 1, &got)) return false;
    if (got != 1) {
        ep_->last_result = result_port_error;
        return false;
    }
    ep_->stalled = 0;
    DWORD classified;
    switch (pid_decode(pid)) {
    case pid_data0: classified = ep_->toggle == 0 ? result_done : result_repeat; break;
    case pid_data1: classified = ep_->toggle == 1 ? result_done : result_repeat; break;
    case pid_nak: ep_->last_result = result_nak; return false;
    case pid_err: ep_->last_result = result_err; return false;
    case pid_stall:
        ep_->stalled = 1;
        ep_->last_result = result_stall;
        return false;
    default: ep_->last_result = result_bad_pid; return false;
    }

    BYTE len_bytes[2] = {0, 0};
    if (!get(len_bytes, 2, &got)) return false;
    if (got != 2) {
        ep_->last_result = result_port_error;
        return false;
    }
    const DWORD n = DWORD(len_bytes[0]) | (DWORD(len_bytes[1]) << 8);
    if (n > DWORD(ep_->max_packet)) {  // the rest stays unread; the next token's purge drops it
        ep_->last_result = result_bad_packet;
        return false;
    }
    if (!get(buffer_.data(), n + 2, &got)) return false;
    if (got < n + 2) {
        ep_->last_result = result_bad_packet;
        return false;
    }
    WORD crc = crc16(len_bytes, 2);
    crc = crc16(buffer_.data(), n, crc);
    const WORD received_crc = WORD(buffer_[n] | (buffer_[n + 1] << 8));
    if (crc != received_crc) {
        ep_->last_result = result_bad_packet;
        return false;
    }
    ep_->last_result = classified;
    // A repeat carries data already taken; it may be longer than the room left for the next packet.
    if (classified == result_repeat) return true;
    // More than the caller asked for is a bad packet, not data to cut short.
    if (buffer && n > room) {
        ep_->last_result = result_bad_packet;
        return false;
    }
    if (buffer && n) std::memcpy(buffer, buffer_.data(), n);
    if (length) *length = buffer ? n : 0;
    return true;
}

bool Data::send(BYTE pid, const BYTE* data, DWORD length) {
    const BYTE p = pid_encode(pid);
    const BYTE len_bytes[2] = {BYTE(length & 0xFF), BYTE((length >> 8) & 0xFF)};
    WORD crc = crc16(len_bytes, 2);
    crc = crc16(data, length, crc);
    const BYTE crc_bytes[2] = {BYTE(crc & 0xFF), BYTE(crc >> 8)};
    static const BYTE none = 0;
    if (!put(&p, 1) || !put(len_bytes, 2) || !put(length ? data : &none, length) || !put(crc_bytes, 2)) return false;
    ep_->last_result = result_done;
    return true;
}

bool send_resync(PacketEndpoint& endpoint) {
    const BYTE b = pid_encode(pid_resync);
    for (int i = 0; i < resync_burst_length; ++i) {
        endpoint.port->purge();
        DWORD n = 1;
        if (!endpoint.port->write(&b, &n) || n != 1) {
            endpoint.last_result = result_port_error;
            return false;
        }
    }
    endpoint.last_result = result_done;
    return true;
}

}  // namespace lintra
