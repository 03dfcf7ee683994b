#include "flat_fakes.h"

#include <stdio.h>
#include <string.h>

namespace fake {

namespace {

std::string hex(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "%06X", v);
    return text;
}

class session : public tavo::session {
public:
    explicit session(world &w) : w_(w) { ++w_.sessions_alive; }
    ~session() override { --w_.sessions_alive; }

    DWORD command(uint32_t word, uint16_t value, DWORD) override {
        w_.log.push_back("cmd " + hex(word) + "/" + std::to_string(value));
        return next().status;
    }
    DWORD set_param(uint32_t word, uint16_t value, const uint32_t *words, uint16_t n, DWORD,
                    DWORD *delivered) override {
        std::string entry = "set " + hex(word) + "/" + std::to_string(value);
        for (uint16_t i = 0; i < n; ++i) entry += " " + hex(words[i] & 0xFFFFFF);
        w_.log.push_back(entry);
        control_reply r = next();
        *delivered = r.delivered < 0 ? 8 + 3 * n : DWORD(r.delivered);
        return r.status;
    }
    DWORD get_param(uint32_t word, uint16_t value, uint16_t n, uint32_t *words, DWORD, DWORD *delivered) override {
        w_.log.push_back("get " + hex(word) + "/" + std::to_string(value) + " n=" + std::to_string(n));
        if (w_.in_get) w_.in_get();
        control_reply r = next();
        for (uint16_t i = 0; i < n && i < r.words.size(); ++i) words[i] = r.words[i];
        *delivered = r.delivered < 0 ? 8 + 3 * DWORD(r.words.size() < n ? r.words.size() : n) : DWORD(r.delivered);
        return r.status;
    }
    DWORD read(uint8_t *buffer, uint32_t size, DWORD, DWORD *delivered) override {
        w_.log.push_back("read " + std::to_string(size));
        read_reply r;
        if (!w_.reads.empty()) {
            r = w_.reads.front();
            w_.reads.pop_front();
        }
        // A transport never delivers more than was asked.
        size_t n = r.bytes.size() < size ? r.bytes.size() : size;
        if (n) memcpy(buffer, r.bytes.data(), n);
        *delivered = DWORD(n);
        return r.status;
    }
    DWORD write(const uint8_t *, uint32_t size, DWORD) override {
        w_.log.push_back("write " + std::to_string(size));
        return w_.write_status;
    }
    DWORD set_mode(uint8_t mode) override {
        w_.log.push_back("mode " + std::to_string(mode));
        return w_.mode_status;
    }
    DWORD reset_device() override {
        w_.log.push_back("reset");
        return w_.reset_status;
    }
    DWORD read_pipe_request() override {
        w_.log.push_back("pipe in");
        return w_.pipe_status;
    }
    DWORD write_pipe_request() override {
        w_.log.push_back("pipe out");
        return w_.pipe_status;
    }
    void cancel() override { w_.log.push_back("cancel"); }
    void on_device_removed() override { w_.log.push_back("session close"); }
    uint16_t bcd_device() override { return w_.bcd; }
    std::string product() override { return w_.product; }
    std::string serial_number() override { return w_.serial; }

private:
    control_reply next() {
        if (w_.controls.empty()) return {};
        control_reply r = w_.controls.front();
        w_.controls.pop_front();
        return r;
    }
    world &w_;
};

class line : public tavo::line {
public:
    line(world &w, std::string name, bool modem) : w_(w), name_(std::move(name)), modem_(modem) {}
    // Not closed here: the serial transport may still hold the port when the flat API lets go of
    // it, so only an explicit close frees the line (and hangs a call up) in time.
    ~line() override {
        if (open_) w_.log.push_back("let go open: " + name_);
    }
    bool open() {
        // Exclusive, as a COM port is: a second open of the same name fails.
        if (w_.open_lines[name_] > 0) return false;
        ++w_.open_lines[name_];
        open_ = true;
        return true;
    }
    void close() override {
        if (!open_) return;
        open_ = false;
        --w_.open_lines[name_];
        w_.log.push_back(modem_ ? "hang up" : "close " + name_);
    }
    bool is_connected() override { return !modem_ || w_.call_up; }
    bool is_open() const { return open_; }

private:
    world &w_;
    std::string name_;
    bool modem_;
    bool open_ = false;
};

class api : public tavo::instrument_api {
public:
    explicit api(world &w) : w_(w) { ++w_.apis_alive; }
    ~api() override { --w_.apis_alive; }

    void usb_start() override { w_.log.push_back("usb start"); }
    void usb_stop() override { w_.log.push_back("usb stop"); }
    std::shared_ptr<tavo::line> serial_line(const std::string &settings, DWORD, bool flow) override {
        w_.settings_made.push_back(settings + (flow ? " flow" : ""));
        return std::make_shared<line>(w_, settings.substr(0, settings.find(':')), false);
    }
    std::shared_ptr<tavo::line> modem_line(DWORD device, const std::vector<BYTE> &, const std::string &, DWORD,
                                           bool redial, DWORD) override {
        w_.modem_device = device;
        w_.modem_redial = redial;
        return std::make_shared<line>(w_, "MODEM", true);
    }
    bool register_port(const std::shared_ptr<tavo::line> &port, BYTE address) override {
        w_.log.push_back("register " + std::to_string(address));
        auto *l = static_cast<line *>(port.get());
        if (!w_.register_result || !l->open()) return false;
        ++w_.registered;
        serial_up_ = w_.serial_instrument_answers;
        return true;
    }
    void unregister_port(const std::shared_ptr<tavo::line> &, BYTE address) override {
        w_.log.push_back("unregister " + std::to_string(address));
        if (w_.registered > 0) --w_.registered;
        serial_up_ = false;
    }
    bool flush_port() override {
        w_.log.push_back("flush port");
        return true;
    }
    bool stop_port() override {
        w_.log.push_back("stop port");
        return true;
    }
    void serial_disable() override { w_.log.push_back("serial disable"); }
    bool wait_bulk_arrival(DWORD ms) override {
        w_.log.push_back("wait " + std::to_string(ms));
        waited_ = true;
        if (w_.stale_arrivals > 0) {
            --w_.stale_arrivals;
            return true;
        }
        if (w_.list_after_wait_only) return true;
        // Nothing arrives: the wait times out (the platform may shorten it).
        if (ms < 1000) Sleep(ms);
        return false;
    }
    bool first_bulk(bool *on_usb, bool *on_serial) override {
        bool serial = serial_up_ && w_.registered > 0 && (!w_.list_after_wait_only || waited_);
        if (w_.usb_instrument) {
            *on_usb = true;
            *on_serial = false;
            return true;
        }
        if (serial) {
            *on_usb = false;
            *on_serial = true;
            return true;
        }
        return false;
    }
    std::unique_ptr<tavo::session> open_first_bulk() override {
        bool u = false, s = false;
        if (!first_bulk(&u, &s)) return nullptr;
        w_.log.push_back("open session");
        return std::make_unique<session>(w_);
    }
    bool wait_main_changed(DWORD) override {
        bool c = w_.changed;
        w_.changed = false;
        return c;
    }
    bool poll_main_removed() override {
        bool r = w_.removed;
        w_.removed = false;
        return r;
    }
    bool poll_main_arrived() override {
        bool a = w_.arrived;
        w_.arrived = false;
        return a;
    }
    bool main_listed() override { return w_.main_listed; }

private:
    world &w_;
    bool serial_up_ = false;
    bool waited_ = false;
};

class directory : public tavo::modem_directory {
public:
    explicit directory(world &w) : w_(w) {}
    std::vector<tavo::modem_entry> lines() override { return w_.modems; }
    bool config(DWORD id, std::vector<BYTE> &out) override {
        out.assign(4, BYTE(id));
        return true;
    }

private:
    world &w_;
};

}  // namespace

bool world::sent(const std::string &entry) const {
    for (const auto &e : log)
        if (e == entry) return true;
    return false;
}

size_t world::count(const std::string &prefix) const {
    size_t n = 0;
    for (const auto &e : log)
        if (e.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}

DWORD environment::bind(std::unique_ptr<tavo::instrument_api> &out) {
    ++w_.binds;
    if (w_.bind_status != 0) return w_.bind_status;
    out = std::make_unique<api>(w_);
    return 0;
}

std::unique_ptr<tavo::modem_directory> environment::modems() { return std::make_unique<directory>(w_); }

}  // namespace fake
