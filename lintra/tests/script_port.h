// A port that plays a scripted device: each token written releases the next scripted reply.
// Records every call so tests can check the exact bytes and the purge before each piece.
#ifndef LINTRA_TESTS_SCRIPT_PORT_H
#define LINTRA_TESTS_SCRIPT_PORT_H

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "lintra/IComPort.h"
#include "lintra/packet.h"

namespace lintra_test {

class ScriptPort : public IComPort {
public:
    struct call {
        char kind;  // 'P' purge, 'W' write, 'R' read
        std::vector<BYTE> bytes;
    };

    // The reply the device gives to the next token (empty: silence).
    void reply(std::vector<BYTE> bytes) { replies_.push_back(std::move(bytes)); }
    // Makes bytes readable now, without a token.
    void feed(const std::vector<BYTE>& bytes) { readable_.insert(readable_.end(), bytes.begin(), bytes.end()); }
    void fail_writes_after(int n) { writes_left_ = n; }
    // The next read returns fewer bytes than asked and still says true.
    void short_read_lies() { lie_ = true; }

    bool open() override { return true; }
    void close() override {}
    bool flush() override { readable_.clear(); return true; }
    bool read(BYTE* buffer, DWORD* length) override {
        const DWORD want = *length;
        DWORD n = 0;
        while (n < want && !readable_.empty()) {
            buffer[n++] = readable_.front();
            readable_.pop_front();
        }
        *length = n;
        calls.push_back({'R', std::vector<BYTE>(buffer, buffer + n)});
        if (lie_ && n < want) {
            lie_ = false;
            return true;
        }
        return n == want;
    }
    bool write(const BYTE* buffer, DWORD* length) override {
        if (writes_left_ == 0) {
            *length = 0;
            return false;
        }
        if (writes_left_ > 0) --writes_left_;
        std::vector<BYTE> bytes(buffer, buffer + *length);
        calls.push_back({'W', bytes});
        written.insert(written.end(), bytes.begin(), bytes.end());
        if (bytes.size() == 3) {
            const BYTE pid = lintra::pid_decode(bytes[0]);
            if (pid == lintra::pid_in || pid == lintra::pid_out || pid == lintra::pid_setup) {
                ++tokens;
                if (!replies_.empty()) {
                    feed(replies_.front());
                    replies_.pop_front();
                }
            }
        }
        return true;
    }
    bool purge() override {
        readable_.clear();
        calls.push_back({'P', {}});
        return true;
    }
    bool abort_io() override {
        ++aborts;
        return true;
    }
    void name(std::string& out) override { out = "SCRIPT"; }
    bool is_connected() override { return true; }

    // Handshakes (single-byte writes that are not resync bytes) in the order written.
    std::vector<BYTE> handshakes() const {
        std::vector<BYTE> out;
        for (size_t i = 0; i < calls.size(); ++i) {
            const call& c = calls[i];
            if (c.kind != 'W' || c.bytes.size() != 1) continue;
            const BYTE pid = lintra::pid_decode(c.bytes[0]);
            // a data packet's PID is followed by its length write
            if (pid == lintra::pid_data0 || pid == lintra::pid_data1) continue;
            if (pid == lintra::pid_resync) continue;
            out.push_back(c.bytes[0]);
        }
        return out;
    }

    std::vector<call> calls;
    std::vector<BYTE> written;
    int tokens = 0;
    int aborts = 0;

private:
    std::deque<std::vector<BYTE>> replies_;
    std::deque<BYTE> readable_;
    int writes_left_ = -1;
    bool lie_ = false;
};

// A data packet as the device sends it.
inline std::vector<BYTE> data_packet(bool data1, const std::vector<BYTE>& data) {
    std::vector<BYTE> out;
    out.push_back(lintra::pid_encode(data1 ? lintra::pid_data1 : lintra::pid_data0));
    const BYTE len[2] = {BYTE(data.size() & 0xFF), BYTE(data.size() >> 8)};
    out.push_back(len[0]);
    out.push_back(len[1]);
    out.insert(out.end(), data.begin(), data.end());
    WORD crc = lintra::crc16(len, 2);
    crc = lintra::crc16(data.data(), data.size(), crc);
    out.push_back(BYTE(crc & 0xFF));
    out.push_back(BYTE(crc >> 8));
    return out;
}

inline std::vector<BYTE> handshake(BYTE pid) { return {lintra::pid_encode(pid)}; }

}  // namespace lintra_test

#endif
