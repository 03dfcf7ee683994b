// The instrument's vendor words: commands, run control, flash, memory and configuration.
#include "instrument_firmware.h"

namespace simdev {

using namespace fw;

void instrument::queue_locked(std::vector<std::uint8_t> data) {
    std::vector<std::uint8_t> m;
    m.reserve(data.size() + 3);
    std::uint32_t n = static_cast<std::uint32_t>(data.size()) & 0xFFFFFFu;
    m.push_back(static_cast<std::uint8_t>(n));
    m.push_back(static_cast<std::uint8_t>(n >> 8));
    m.push_back(static_cast<std::uint8_t>(n >> 16));
    m.insert(m.end(), data.begin(), data.end());
    st_->in_msgs.push_back(std::move(m));
    st_->want_data_notify = true;
}

void instrument::event_locked(std::uint16_t code, std::span<const std::uint8_t> data) {
    state_t& st = *st_;
    if (st.events.size() >= max_pending_events) return;
    std::array<std::uint8_t, notification_record_size> r{};
    std::uint32_t seq = st.event_seq++;
    r[0] = static_cast<std::uint8_t>(seq);
    r[1] = static_cast<std::uint8_t>(code);
    r[2] = static_cast<std::uint8_t>(code >> 8);
    for (int i = 0; i < 4; ++i) r[3 + i] = static_cast<std::uint8_t>(seq >> (8 * i));
    std::copy_n(data.begin(), std::min<std::size_t>(data.size(), 48), r.begin() + 15);
    st.events.push_back(r);
    st.want_data_notify = true;
}

void instrument::end_run_locked() {
    state_t& st = *st_;
    if (st.run == run_state::idle) return;
    st.run = run_state::idle;
    std::vector<std::uint8_t> d;
    put32(d, st.blocks);
    event_locked(event::run_ended, d);
}

control_reply instrument::vendor_locked(const setup_packet& s, std::span<const std::uint8_t> out) {
    state_t& st = *st_;
    const bool in = (s.bmRequestType & 0x80) != 0;
    if ((s.bmRequestType & 0x1F) != 0 || s.wLength > max_vendor_data) return stall();
    // Shape checks: a command has no data, a write carries exactly `words` words, a read asks for them.
    auto command = [&] { return !in && s.wLength == 0; };
    auto write_of = [&](std::size_t words) { return !in && s.wLength == 3 * words && out.size() == 3 * words; };
    auto write_any = [&] { return !in && s.wLength != 0 && s.wLength % 3 == 0 && out.size() == s.wLength; };
    auto read_any = [&] { return in && s.wLength != 0 && s.wLength % 3 == 0; };

    switch (s.bRequest) {
    case 0:
        switch (s.wValue) {
        case 1:  // stored periods and flash
            switch (s.wIndex) {
            case 2: {  // period information: an event listing the stored periods
                if (!command()) return stall();
                std::vector<std::uint8_t> d;
                put16(d, static_cast<std::uint16_t>(st.periods.size()));
                std::size_t n = 0;
                for (auto& [num, len] : st.periods) {
                    if (n++ == 7) break;
                    put16(d, static_cast<std::uint16_t>(num));
                    put32(d, len);
                }
                event_locked(event::period_info, d);
                return ok();
            }
            case 3: {  // flash dump (address, length)
                if (!write_of(2)) return stall();
                std::uint32_t addr = word24(out, 0), len = word24(out, 1);
                if (static_cast<std::uint64_t>(addr) + len > st.flash.size()) {
                    queue_locked(status_message(0, 0));
                } else {
                    auto m = status_message(1, 0);
                    m.insert(m.end(), st.flash.begin() + addr, st.flash.begin() + addr + len);
                    queue_locked(std::move(m));
                }
                return ok();
            }
            case 4: {  // flash write (address, length): the data follows on bulk OUT
                if (!write_of(2)) return stall();
                std::uint32_t addr = word24(out, 0), len = word24(out, 1);
                bool fits = static_cast<std::uint64_t>(addr) + len <= st.flash.size();
                if (len == 0) {
                    // No data will follow: a host does not send an empty write, so answer now.
                    st.flash_write.reset();
                    queue_locked(status_message(fits ? 1 : 0, 1));
                    return ok();
                }
                st.flash_write = std::make_tuple(addr, len, fits);
                return ok();
            }
            case 5: {  // period read (number, start offset, byte count, block size)
                if (!write_of(4)) return stall();
                std::uint32_t num = word24(out, 0), from = word24(out, 1), count = word24(out, 2),
                              block = word24(out, 3);
                auto it = st.periods.find(num);
                if (it == st.periods.end() || block == 0 || block > 0xFFFF) {
                    queue_locked(status_message(0, 2));
                    return ok();
                }
                std::uint32_t avail = from < it->second ? it->second - from : 0;
                std::uint32_t total = std::min(count, avail);
                std::uint32_t done = 0;
                while (done < total) {
                    std::uint32_t n = std::min(block, total - done);
                    auto m = status_message(1, 0);
                    put16(m, static_cast<std::uint16_t>(n));
                    std::size_t at = m.size();
                    m.resize(at + n);
                    fill_pattern(seed::period(num), from + done, std::span<std::uint8_t>(m).subspan(at));
                    queue_locked(std::move(m));
                    done += n;
                }
                // A reader that asked for more sees the end as a short (here: empty) block.
                if (total < count && total % block == 0) {
                    auto m = status_message(1, 0);
                    put16(m, 0);
                    queue_locked(std::move(m));
                }
                return ok();
            }
            case 6: {  // erase periods first..last
                if (!write_of(2)) return stall();
                std::uint32_t first = word24(out, 0), last = std::max(first, word24(out, 1));
                for (auto it = st.periods.lower_bound(first); it != st.periods.end() && it->first <= last;)
                    it = st.periods.erase(it);
                return ok();
            }
            default: return stall();
            }
        case 2:  // configuration
            switch (s.wIndex) {
            case 1:  // normal: 12 words; the programmed tables are cleared
                if (!write_of(12)) return stall();
                for (std::size_t i = 0; i < 24; ++i) st.config_words[i] = i < 12 ? word24(out, i) : 0;
                st.config_kind = 1;
                return ok();
            case 2:  // programmed: 24 words
                if (!write_of(24)) return stall();
                for (std::size_t i = 0; i < 24; ++i) st.config_words[i] = word24(out, i);
                st.config_kind = 2;
                return ok();
            case 3: {  // read back 24 words
                if (!read_any()) return stall();
                std::vector<std::uint8_t> d;
                for (auto w : st.config_words) put_word24(d, w);
                return ok(std::move(d));
            }
            default: return stall();
            }
        case 3:  // runs
            switch (s.wIndex) {
            case 1:
            case 2: {  // start measurement / calibration (block count, 0 = until stopped)
                if (!write_of(1)) return stall();
                end_run_locked();
                st.run = s.wIndex == 1 ? run_state::measuring : run_state::calibrating;
                st.run_limit = word24(out, 0);
                st.blocks = 0;
                st.run_offset = 0;
                std::vector<std::uint8_t> d{static_cast<std::uint8_t>(st.run)};
                put32(d, st.run_limit);
                event_locked(event::run_started, d);
                return ok();
            }
            case 3:  // stop
                if (!command()) return stall();
                end_run_locked();
                return ok();
            default: return stall();
            }
        case 4:  // state words
            if (s.wIndex != 1 || !read_any()) return stall();
            {
                std::vector<std::uint8_t> d;
                put_word24(d, static_cast<std::uint32_t>(st.run));
                put_word24(d, st.blocks & 0xFFFFFF);
                put_word24(d, static_cast<std::uint32_t>(st.periods.size()));
                put_word24(d, st.config_kind);
                put_word24(d, st.dsp_resets & 0xFFFFFF);
                return ok(std::move(d));
            }
        default: return stall();
        }
    case 1: {  // memory and DSP: wValue = bank << 8 | (area + 1) << 4 | operation
        std::uint8_t bank = static_cast<std::uint8_t>(s.wValue >> 8);
        std::uint8_t area1 = (s.wValue >> 4) & 0x0F;
        std::uint8_t op = s.wValue & 0x0F;
        if (area1 == 0) {
            if (op != 3 || !command()) return stall();
            // DSP reset: ends a run and counts the reset.
            end_run_locked();
            ++st.dsp_resets;
            std::vector<std::uint8_t> d{bank};
            event_locked(event::dsp_reset, d);
            return ok();
        }
        std::uint8_t area = static_cast<std::uint8_t>(area1 - 1);
        auto key_pa = std::make_pair(bank, area);
        std::uint16_t pg = st.page.count(key_pa) ? st.page[key_pa] : 0;
        auto page_words = [&]() -> std::vector<std::uint32_t>& {
            auto key = std::make_tuple(bank, area, pg);
            auto it = st.memory.find(key);
            if (it == st.memory.end()) {
                std::vector<std::uint32_t> w(cfg_.memory_page_words);
                for (std::uint32_t i = 0; i < w.size(); ++i) w[i] = power_on_word(bank, area, pg, i);
                it = st.memory.emplace(key, std::move(w)).first;
            }
            return it->second;
        };
        switch (op) {
        case 0:  // page select
            if (!command()) return stall();
            st.page[key_pa] = s.wIndex;
            return ok();
        case 1: {  // read words at offset wIndex of the selected page
            if (!read_any()) return stall();
            std::size_t n = s.wLength / 3;
            if (s.wIndex + n > cfg_.memory_page_words) return stall();
            auto& w = page_words();
            std::vector<std::uint8_t> d;
            for (std::size_t i = 0; i < n; ++i) put_word24(d, w[s.wIndex + i]);
            return ok(std::move(d));
        }
        case 2: {  // write words at offset wIndex of the selected page
            if (!write_any()) return stall();
            std::size_t n = s.wLength / 3;
            if (s.wIndex + n > cfg_.memory_page_words) return stall();
            auto& w = page_words();
            for (std::size_t i = 0; i < n; ++i) w[s.wIndex + i] = word24(out, i);
            return ok();
        }
        default: return stall();
        }
    }
    case 2:  // pipe words
        if (!command() || s.wIndex != 0) return stall();
        switch (s.wValue) {
        case 0x1003:  // bulk IN: drop what was waiting, or start the message in progress again
            if (cfg_.pipe_reset_drops_waiting_data) st.in_msgs.clear();
            st.in_offset = 0;
            ++st.in_generation;
            ++st.epoch[ep_bulk_in];
            st.want_data_notify = true;
            return ok();
        case 0x1103:  // bulk OUT: drop a partly received message
            st.out_hdr.clear();
            st.out_body.clear();
            st.out_in_body = false;
            ++st.epoch[ep_bulk_out];
            return ok();
        case 0x0303:  // notifications: drop what was waiting
            st.events.clear();
            return ok();
        default: return stall();
        }
    default:
        return stall();
    }
}

}  // namespace simdev
