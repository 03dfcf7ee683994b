// The host's packet readers (lintra) over a line that carries the input: every data packet or
// handshake read whole must be the bytes the host's own writers make for what it decoded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lintra/packet.h"

namespace {

// The line: reads take from the input and say false when it runs out; writes are kept.
class InputPort : public IComPort {
public:
    InputPort(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool open() override { return true; }
    void close() override {}
    bool flush() override { return true; }
    bool read(BYTE* buffer, DWORD* length) override {
        const std::size_t n = std::min<std::size_t>(*length, size_ - pos_);
        if (n) std::memcpy(buffer, data_ + pos_, n);
        pos_ += n;
        const bool whole = n == *length;
        *length = DWORD(n);
        return whole;
    }
    bool write(const BYTE* buffer, DWORD* length) override {
        written.insert(written.end(), buffer, buffer + *length);
        return true;
    }
    bool purge() override { return true; }
    bool abort_io() override { return true; }
    void name(std::string& out) override { out = "fuzz"; }
    bool is_connected() override { return true; }

    std::size_t pos() const { return pos_; }
    std::size_t left() const { return size_ - pos_; }
    BYTE peek() const { return data_[pos_]; }
    std::vector<BYTE> written;

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // Byte 0: the endpoint's largest packet, the toggle expected first, the reader's room.
    static const LONG maxes[4] = {8, 60, 64, 1024};
    const BYTE setup = data[0];
    const LONG max_packet = maxes[setup & 3];
    const std::uint8_t* line = data + 1;
    InputPort port(line, size - 1);

    lintra::PacketEndpoint ep;
    ep.port = &port;
    ep.max_packet = max_packet;
    ep.toggle = (setup >> 2) & 1;
    lintra::Data reader(max_packet);
    lintra::Ack ack;
    reader.reset(ep);
    ack.reset(ep);

    // The encoders, writing to a port of their own.
    InputPort sink(nullptr, 0);
    lintra::PacketEndpoint out_ep;
    out_ep.port = &sink;
    lintra::Data writer(max_packet);
    writer.reset(out_ep);

    while (port.left()) {
        const std::size_t start = port.pos();
        const BYTE pid = lintra::pid_decode(port.peek());
        if (pid == lintra::pid_data0 || pid == lintra::pid_data1) {
            // Room: the largest packet, half of it, or no buffer at all.
            const unsigned choice = (setup >> 3) % 3;
            const DWORD room = choice == 0 ? DWORD(max_packet) : DWORD(max_packet / 2);
            std::vector<BYTE> buffer(room);  // exact size: ASan sees a copy past the room
            DWORD length = room;
            const bool ok = reader.read(choice == 2 ? nullptr : buffer.data(), choice == 2 ? nullptr : &length);
            const std::size_t used = port.pos() - start;
            if (ok) {
                require(lintra::result_succeeded(ep.last_result));
                require(used >= 5);
                const DWORD n = DWORD(used - 5);
                require(n <= DWORD(max_packet));
                const BYTE* payload = reader.receive_buffer().data();
                if (ep.last_result == lintra::result_done && choice != 2) {
                    require(length == n && n <= room);
                    require(n == 0 || std::memcmp(buffer.data(), payload, n) == 0);
                }
                sink.written.clear();
                require(writer.send(pid, payload, n));
                require(sink.written.size() == used);
                require(std::memcmp(sink.written.data(), line + start, used) == 0);
                if (ep.last_result == lintra::result_done) ep.toggle ^= 1;
            } else {
                require(!lintra::result_succeeded(ep.last_result));
                if (choice != 2) require(length == 0);
            }
        } else {
            const bool ok = ack.read();
            require(port.pos() - start == 1);
            const BYTE got = lintra::pid_decode(line[start]);
            require(ok == (got == lintra::pid_ack));
            // A handshake that decodes re-encodes to the byte read.
            if (got != 0) require(lintra::pid_encode(got) == line[start]);
        }
        require(port.pos() > start);
    }
    return 0;
}
