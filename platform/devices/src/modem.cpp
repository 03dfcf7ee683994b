#include "simdev/modem.h"

#include "simdev/instrument.h"

namespace simdev {

modem::modem(std::shared_ptr<instrument> model, modem_config cfg) : model_(std::move(model)), cfg_(std::move(cfg)) {
    applied_ = cfg_.dev_config;
}

modem::~modem() { release_line(); }

void modem::set_busy(bool on) {
    std::lock_guard<std::mutex> l(mu_);
    sw_.busy = on;
}

void modem::set_no_answer(bool on) {
    std::lock_guard<std::mutex> l(mu_);
    sw_.no_answer = on;
}

void modem::set_no_dial_tone(bool on) {
    std::lock_guard<std::mutex> l(mu_);
    sw_.no_dial_tone = on;
}

void modem::refuse_modifiers(const std::string& chars) {
    std::lock_guard<std::mutex> l(mu_);
    sw_.refused = chars;
}

void modem::set_connect_delay_ms(std::uint32_t ms) {
    std::lock_guard<std::mutex> l(mu_);
    sw_.connect_delay_ms = ms;
}

bool modem::drop_call() {
    std::function<void()> fn;
    {
        std::lock_guard<std::mutex> l(mu_);
        if (!device_) return false;
        fn = drop_listener_;
    }
    silence_line();
    if (fn) fn();
    return true;
}

std::vector<std::string> modem::dialled() const {
    std::lock_guard<std::mutex> l(mu_);
    return dialled_;
}

unsigned modem::calls_connected() const {
    std::lock_guard<std::mutex> l(mu_);
    return connected_;
}

std::vector<std::uint8_t> modem::applied_config() const {
    std::lock_guard<std::mutex> l(mu_);
    return applied_;
}

serial_stats modem::line_stats() const {
    std::lock_guard<std::mutex> l(mu_);
    return device_ ? device_->stats() : last_stats_;
}

modem::switches modem::current_switches() const {
    std::lock_guard<std::mutex> l(mu_);
    return sw_;
}

void modem::record_dial(const std::string& text) {
    std::lock_guard<std::mutex> l(mu_);
    dialled_.push_back(text);
}

void modem::set_applied_config(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard<std::mutex> l(mu_);
    applied_ = bytes;
}

std::string modem::connect_line() {
    release_line();
    auto terminal = std::make_unique<pseudo_terminal>();
    auto device = std::make_unique<serial_device>(model_, terminal->master(), cfg_.serial);
    device->start();
    std::lock_guard<std::mutex> l(mu_);
    ++connected_;
    const std::string path = terminal->path();
    terminal_ = std::move(terminal);
    device_ = std::move(device);
    return path;
}

std::string modem::data_line_path() const {
    std::lock_guard<std::mutex> l(mu_);
    return terminal_ && device_ ? terminal_->path() : std::string();
}

void modem::silence_line() {
    std::unique_ptr<serial_device> device;
    {
        std::lock_guard<std::mutex> l(mu_);
        device = std::move(device_);
        if (device) last_stats_ = device->stats();
    }
    if (device) device->stop();
}

void modem::release_line() {
    silence_line();
    std::unique_ptr<pseudo_terminal> terminal;
    {
        std::lock_guard<std::mutex> l(mu_);
        terminal = std::move(terminal_);
    }
}

void modem::set_drop_listener(std::function<void()> fn) {
    std::lock_guard<std::mutex> l(mu_);
    drop_listener_ = std::move(fn);
}

namespace {

struct device_list {
    std::mutex mu;
    std::vector<std::shared_ptr<modem>> devices;
    std::function<void(std::uint32_t)> listener;
};

device_list& devices() {
    static auto* d = new device_list;
    return *d;
}

}  // namespace

void add_line_device(std::shared_ptr<modem> device) {
    std::function<void(std::uint32_t)> fn;
    std::uint32_t id;
    {
        std::lock_guard<std::mutex> l(devices().mu);
        id = std::uint32_t(devices().devices.size());
        devices().devices.push_back(std::move(device));
        fn = devices().listener;
    }
    if (fn) fn(id);
}

void clear_line_devices() {
    std::vector<std::shared_ptr<modem>> old;
    std::lock_guard<std::mutex> l(devices().mu);
    old.swap(devices().devices);
}

std::vector<std::shared_ptr<modem>> line_devices() {
    std::lock_guard<std::mutex> l(devices().mu);
    return devices().devices;
}

void set_line_device_listener(std::function<void(std::uint32_t)> fn) {
    std::lock_guard<std::mutex> l(devices().mu);
    devices().listener = std::move(fn);
}

}  // namespace simdev
