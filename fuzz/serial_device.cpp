// The simulated instrument's serial face reading the input as its line: tokens, setup and data
// packets, handshakes, resynchronisation bytes, all in any order. What it answers is decoded back
// with the line's own coder: every data packet it sends is whole and re-encodes to its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>
#include <algorithm>
#include <span>

#include <simdev/instrument.h>
#include <simdev/line.h>
#include <simdev/serial_device.h>

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

// The host's end as the input: read once through, then the line is closed.
class input_stream : public simdev::byte_stream {
public:
    input_stream(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    long read(std::uint8_t* buf, std::size_t n, int) override {
        std::lock_guard<std::mutex> g(m_);
        if (pos_ == size_) return -1;
        // A few bytes at a time, so packets straddle reads as they do on a real line.
        const std::size_t k = std::min<std::size_t>({n, size_ - pos_, std::size_t(1 + pos_ % 7)});
        std::memcpy(buf, data_ + pos_, k);
        pos_ += k;
        return long(k);
    }
    bool write(const std::uint8_t* buf, std::size_t n) override {
        std::lock_guard<std::mutex> g(m_);
        sent.insert(sent.end(), buf, buf + n);
        return true;
    }
    void purge() override {}
    void close() override {}
    std::vector<std::uint8_t> sent;

private:
    std::mutex m_;
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Every reply byte is a handshake or starts a data packet that decodes and re-encodes whole.
void check_replies(const std::vector<std::uint8_t>& sent, std::size_t max_len) {
    using namespace simdev::line;
    std::size_t i = 0;
    while (i < sent.size()) {
        const std::uint8_t v = decode_nibble(sent[i]);
        if (v == pid_data0 || v == pid_data1) {
            require(i + 3 <= sent.size());
            const std::size_t n = sent[i + 1] | (std::size_t(sent[i + 2]) << 8);
            require(n <= max_len && i + n + 5 <= sent.size());
            std::span<const std::uint8_t> packet(sent.data() + i, n + 5);
            decoded_data d;
            require(decode_data(packet, max_len, d) == decode_error::none);
            const std::vector<std::uint8_t> again = encode_data(d.data1, d.data);
            require(again.size() == packet.size() && std::equal(again.begin(), again.end(), packet.begin()));
            i += n + 5;
        } else {
            require(v == pid_ack || v == pid_nak || v == pid_stall || v == pid_err);
            ++i;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Byte 0 picks the line's packet sizes and the decoder's bounds; the rest is the line.
    if (size < 1) return 0;
    simdev::serial_options opt;
    opt.inter_byte_timeout_ms = 5;
    opt.handshake_timeout_ms = 5;
    if (data[0] & 1) opt.bulk_in_max = 64;
    if (data[0] & 2) opt.control_max = 64;
    // Any packet straight through the decoder too, against every bound.
    {
        using namespace simdev::line;
        std::span<const std::uint8_t> all(data + 1, size - 1);
        decoded_data d;
        if (decode_data(all, std::size_t(data[0]) * 4, d) == decode_error::none) {
            const std::vector<std::uint8_t> again = encode_data(d.data1, d.data);
            require(again.size() == all.size() && std::equal(again.begin(), again.end(), all.begin()));
        }
    }
    auto model = std::make_shared<simdev::instrument>();
    auto line = std::make_shared<input_stream>(data + 1, size - 1);
    {
        simdev::serial_device device(model, line, opt);
        device.start();
        // The device's thread ends at the closed line; stop() joins it.
        while (device.running()) std::this_thread::yield();
        device.stop();
    }
    check_replies(line->sent, std::max<std::size_t>({opt.control_max, opt.bulk_in_max, opt.bulk_out_max,
                                                     opt.interrupt_max}));
    return 0;
}
