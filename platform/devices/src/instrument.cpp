// The instrument's firmware: data pattern, construction, state for tests, plugging and listeners.
#include "instrument_firmware.h"

namespace simdev {

using namespace fw;

// ---------------------------------------------------------------------------------------------
// Data pattern

std::uint8_t pattern_byte(std::uint32_t seed, std::uint64_t k) {
    std::uint32_t v = seed + static_cast<std::uint32_t>(k / 4);
    return static_cast<std::uint8_t>(v >> (8 * (k % 4)));
}

void fill_pattern(std::uint32_t seed, std::uint64_t first, std::span<std::uint8_t> out) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = pattern_byte(seed, first + i);
}

std::optional<std::size_t> check_pattern(std::uint32_t seed, std::uint64_t first,
                                         std::span<const std::uint8_t> data) {
    for (std::size_t i = 0; i < data.size(); ++i)
        if (data[i] != pattern_byte(seed, first + i)) return i;
    return std::nullopt;
}

instrument::instrument(instrument_config cfg) : cfg_(std::move(cfg)), st_(std::make_unique<state_t>()) {
    st_->flash.resize(cfg_.flash_size);
    fill_pattern(seed::flash, 0, st_->flash);
    for (auto& [n, len] : cfg_.periods) st_->periods[n] = len;
}

instrument::~instrument() = default;

// ---------------------------------------------------------------------------------------------
// Firmware state for tests

run_state instrument::state() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->run;
}

std::uint32_t instrument::blocks_sent() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->blocks;
}

std::vector<std::uint8_t> instrument::flash(std::size_t addr, std::size_t len) const {
    std::lock_guard<std::mutex> g(mu_);
    if (addr > st_->flash.size()) return {};
    len = std::min(len, st_->flash.size() - addr);
    return {st_->flash.begin() + static_cast<std::ptrdiff_t>(addr),
            st_->flash.begin() + static_cast<std::ptrdiff_t>(addr + len)};
}

std::vector<std::uint32_t> instrument::normal_config() const {
    std::lock_guard<std::mutex> g(mu_);
    return {st_->config_words.begin(), st_->config_words.begin() + 12};
}

std::vector<std::uint32_t> instrument::programmed_config() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->config_words;
}

std::uint32_t instrument::memory_word(std::uint8_t bank, std::uint8_t area, std::uint16_t page, std::uint32_t offset) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = st_->memory.find(std::make_tuple(bank, area, page));
    if (it == st_->memory.end() || offset >= it->second.size()) return power_on_word(bank, area, page, offset);
    return it->second[offset];
}

std::uint16_t instrument::selected_page(std::uint8_t bank, std::uint8_t area) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = st_->page.find({bank, area});
    return it == st_->page.end() ? 0 : it->second;
}

std::uint32_t instrument::dsp_resets() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->dsp_resets;
}

std::vector<std::uint32_t> instrument::stored_periods() const {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<std::uint32_t> v;
    for (auto& [n, len] : st_->periods) v.push_back(n);
    return v;
}

std::uint64_t instrument::vendor_requests() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->vendor_count;
}

// ---------------------------------------------------------------------------------------------
// Plugging and listeners

void instrument::unplug() {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!st_->plugged) return;
        st_->plugged = false;
    }
    std::lock_guard<std::mutex> g(st_->listeners_mu);
    for (auto& [tok, l] : st_->listeners)
        if (l.second) l.second();
}

bool instrument::plugged() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->plugged;
}

void instrument::replug() {
    notify_guard g(st_.get(), mu_);
    if (st_->plugged) return;
    // A device plugged in again has been powered off: nothing of its link or buffers survives.
    reset_link(*st_);
    st_->events.clear();
    ++st_->power_ups;
    st_->plugged = true;
    st_->want_data_notify = true;
}

std::uint32_t instrument::power_ups() const {
    std::lock_guard<std::mutex> g(mu_);
    return st_->power_ups;
}

int instrument::subscribe(std::function<void()> data_ready, std::function<void()> unplugged) {
    std::lock_guard<std::mutex> g(st_->listeners_mu);
    int tok = st_->next_token++;
    st_->listeners.emplace(tok, std::make_pair(std::move(data_ready), std::move(unplugged)));
    return tok;
}

void instrument::unsubscribe(int token) {
    std::lock_guard<std::mutex> g(st_->listeners_mu);
    st_->listeners.erase(token);
}

}  // namespace simdev