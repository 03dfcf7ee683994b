// The instrument's bulk endpoints: framed messages in, message assembly out.
#include "instrument_firmware.h"

namespace simdev {

using namespace fw;

// ---------------------------------------------------------------------------------------------
// Bulk IN

void instrument::produce_locked() {
    state_t& st = *st_;
    if (st.run == run_state::idle || !st.in_msgs.empty()) return;
    if (st.configuration != 1) return;
    std::uint16_t n = cfg_.block_payload;
    std::vector<std::uint8_t> m;
    put16(m, 1);
    put16(m, n);
    m.resize(4 + n);
    fill_pattern(st.run == run_state::measuring ? seed::measurement : seed::calibration, st.run_offset,
                 std::span<std::uint8_t>(m).subspan(4));
    st.run_offset += n;
    ++st.blocks;
    queue_locked(std::move(m));
    if (st.run_limit && st.blocks >= st.run_limit) end_run_locked();
}

std::vector<std::uint8_t> instrument::bulk_in_peek(std::size_t max, std::uint64_t* generation) {
    notify_guard g(st_.get(), mu_);
    state_t& st = *st_;
    if (generation) *generation = st.in_generation;
    if (!st.plugged) return {};
    if (st.in_msgs.empty()) produce_locked();
    if (st.in_msgs.empty()) return {};
    const auto& m = st.in_msgs.front();
    std::size_t end = st.in_offset < 3 ? 3 : m.size();
    std::size_t n = std::min(end - st.in_offset, max);
    auto first = m.begin() + static_cast<std::ptrdiff_t>(st.in_offset);
    return std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(n));
}

void instrument::bulk_in_consume(std::size_t n, std::optional<std::uint64_t> generation) {
    notify_guard g(st_.get(), mu_);
    state_t& st = *st_;
    if (generation && *generation != st.in_generation) return;
    if (st.in_msgs.empty()) return;
    st.in_offset += n;
    if (st.in_offset >= st.in_msgs.front().size()) {
        st.in_msgs.pop_front();
        st.in_offset = 0;
    }
}

void instrument::queue_bulk_message(std::vector<std::uint8_t> data) {
    notify_guard g(st_.get(), mu_);
    queue_locked(std::move(data));
}

void instrument::queue_bulk_frame(std::vector<std::uint8_t> frame) {
    notify_guard g(st_.get(), mu_);
    st_->in_msgs.push_back(std::move(frame));
    st_->want_data_notify = true;
}

std::size_t instrument::bulk_in_pending_messages() {
    std::lock_guard<std::mutex> g(mu_);
    return st_->in_msgs.size();
}

// ---------------------------------------------------------------------------------------------
// Bulk OUT

void instrument::bulk_out_bytes(std::span<const std::uint8_t> bytes) {
    notify_guard g(st_.get(), mu_);
    state_t& st = *st_;
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (!st.out_in_body) {
            st.out_hdr.push_back(bytes[i++]);
            if (st.out_hdr.size() == 3) {
                st.out_expect = st.out_hdr[0] | (st.out_hdr[1] << 8) | (static_cast<std::uint32_t>(st.out_hdr[2]) << 16);
                st.out_hdr.clear();
                st.out_body.clear();
                st.out_in_body = true;
            }
        } else {
            std::size_t take = std::min<std::size_t>(bytes.size() - i, st.out_expect - st.out_body.size());
            st.out_body.insert(st.out_body.end(), bytes.begin() + i, bytes.begin() + i + take);
            i += take;
        }
        if (st.out_in_body && st.out_body.size() == st.out_expect) {
            st.out_in_body = false;
            std::vector<std::uint8_t> msg = std::move(st.out_body);
            st.out_body.clear();
            message_locked(msg);
        }
    }
}

void instrument::message_locked(std::vector<std::uint8_t>& msg) {
    state_t& st = *st_;
    if (st.flash_write) {
        auto [addr, len, fits] = *st.flash_write;
        st.flash_write.reset();
        bool good = fits && msg.size() == len;
        if (good) std::copy(msg.begin(), msg.end(), st.flash.begin() + addr);
        queue_locked(status_message(good ? 1 : 0, 1));
        return;
    }
    st.received.push_back(std::move(msg));
}

std::vector<std::vector<std::uint8_t>> instrument::take_received_messages() {
    std::lock_guard<std::mutex> g(mu_);
    return std::exchange(st_->received, {});
}

}  // namespace simdev
