// The flat functions' environment: the instrument API bound at run time as "morvex", its sessions,
// and the COM-port and modem port objects handed to its serial transport face.
#include "flat_env.h"

#include <string.h>

#include <new>

#include <morvex/morvex.h>
#include <tavobridge/SerialComPort.h>
#ifdef TAVO_HAS_MODEM
#include <tavobridge/TapiComPort.h>
#endif

#include "flat_convert.h"

namespace tavo {

namespace {

using morvex_binding = w32cpp::dynamic_link_instance<morvex::iapi>;

DWORD code_of(const w32cpp::istatus &status) { return status.get_code(); }

DWORD bytes_of(const karnet::io_operation &op) { return op.request() ? op.request()->bytes() : 0; }

class morvex_session : public session {
public:
    explicit morvex_session(const morvex::zeph_session &s) : s_(s) {}
    ~morvex_session() override = default;

    DWORD command(uint32_t word, uint16_t value, DWORD timeout) override {
        morvex::zeph_command request = s_.make_command(word & conv::max24, value);
        return code_of(s_.control_and_wait(request, timeout));
    }
    DWORD set_param(uint32_t word, uint16_t value, const uint32_t *words, uint16_t n, DWORD timeout,
                    DWORD *delivered) override {
        morvex::zeph_set_param request = s_.make_set_param(word & conv::max24, value, n);
        for (uint16_t i = 0; i < n; ++i) request.set_word(i, words[i] & conv::max24);
        DWORD status = code_of(s_.control_and_wait(request, timeout));
        *delivered = bytes_of(request);
        return status;
    }
    DWORD get_param(uint32_t word, uint16_t value, uint16_t n, uint32_t *words, DWORD timeout,
                    DWORD *delivered) override {
        morvex::zeph_get_param request = s_.make_get_param(word & conv::max24, value, n);
        DWORD status = code_of(s_.control_and_wait(request, timeout));
        *delivered = bytes_of(request);
        if (status == 0) {
            // Only the words that arrived; the rest stay as the caller set them.
            uint32_t arrived = *delivered >= 8 ? (*delivered - 8) / 3 : 0;
            for (uint32_t i = 0; i < n && i < arrived; ++i) words[i] = request.word(i);
        }
        return status;
    }
    DWORD read(uint8_t *buffer, uint32_t size, DWORD timeout, DWORD *delivered) override {
        karnet::io_read op = s_.read_of_size(size, true);
        if (op.buffer().size() < size) return 8;
        DWORD status = code_of(s_.read_and_wait(op, timeout));
        DWORD n = bytes_of(op);
        if (n > size) n = size;
        if (status == 0 && n) memcpy(buffer, op.buffer().bytes(), n);
        *delivered = status == 0 ? n : 0;
        return status;
    }
    DWORD write(const uint8_t *data, uint32_t size, DWORD timeout) override {
        karnet::io_write op = s_.write_of_size(size, true);
        if (op.buffer().size() < size) return 8;
        if (size) memcpy(op.buffer().bytes(), data, size);
        return code_of(s_.write_and_wait(op, timeout));
    }
    DWORD set_mode(uint8_t mode) override { return code_of(s_.set_mode(mode, 0, 0)); }
    DWORD reset_device() override { return code_of(s_.reset_device()); }
    DWORD read_pipe_request() override { return code_of(s_.read_pipe_request()); }
    DWORD write_pipe_request() override { return code_of(s_.write_pipe_request()); }
    void cancel() override { s_.cancel(); }
    void on_device_removed() override { s_.on_device_removed(); }
    uint16_t bcd_device() override { return s_.bcd_device(); }
    std::string product() override { return s_.product(); }
    std::string serial_number() override { return s_.serial_number(); }

private:
    morvex::zeph_session s_;
};

// A port object as the serial transport takes it: a counted IComPort.
class com_line : public line {
public:
    explicit com_line(const lintra::port_handle &port) : port_(port) {}
    void close() override { port_->close(); }
    bool is_connected() override { return port_->is_connected(); }
    const lintra::port_handle &port() const { return port_; }

private:
    lintra::port_handle port_;
};

const lintra::port_handle &port_of(const std::shared_ptr<line> &l) { return static_cast<com_line &>(*l).port(); }

class morvex_api : public instrument_api {
public:
    explicit morvex_api(const morvex_binding &binding) : api_(binding) {}

    void usb_start() override { usb().start(); }
    void usb_stop() override { usb().stop(); }

    std::shared_ptr<line> serial_line(const std::string &settings, DWORD timeout, bool flow) override {
        return std::make_shared<com_line>(lintra::port_handle(new SerialComPort(settings, timeout, flow)));
    }
#ifdef TAVO_HAS_MODEM
    std::shared_ptr<line> modem_line(DWORD device, const std::vector<BYTE> &config, const std::string &phone,
                                     DWORD timeout, bool redial, DWORD max_redials) override {
        // The port keeps its own copy of the configuration block for later re-dials.
        return std::make_shared<com_line>(lintra::port_handle(new TapiComPort(
            device, config.data(), DWORD(config.size()), 0, phone, timeout, nullptr, redial, int(max_redials))));
    }
#else
    std::shared_ptr<line> modem_line(DWORD, const std::vector<BYTE> &, const std::string &, DWORD, bool,
                                     DWORD) override {
        return nullptr;
    }
#endif
    bool register_port(const std::shared_ptr<line> &port, BYTE address) override {
        return serial().register_port(port_of(port), address);
    }
    void unregister_port(const std::shared_ptr<line> &port, BYTE address) override {
        serial().unregister_port(port_of(port), address);
    }
    bool flush_port() override { return serial().flush_port(); }
    bool stop_port() override { return serial().stop_port(); }
    void serial_disable() override { serial().serial_disable(); }

    bool wait_bulk_arrival(DWORD ms) override {
        return api_->bulk_interface_class().arrived().wait(ms, FALSE).get_code() == WAIT_OBJECT_0;
    }

    bool first_bulk(bool *on_usb, bool *on_serial) override {
        karnet::interface_list list = listed(api_->bulk_interface_class());
        if (list.empty()) return false;
        karnet::protocol_handle protocol = list.front().protocol();
        karnet::protocol_handle usb_protocol = usb().protocol();
        karnet::protocol_handle serial_protocol;
        serial().protocol(serial_protocol);
        *on_usb = protocol && protocol == usb_protocol;
        *on_serial = protocol && protocol == serial_protocol;
        return true;
    }

    std::unique_ptr<session> open_first_bulk() override {
        // From the set-up on, so that the device-change poll misses nothing.
        watch_main();
        karnet::interface_list list = listed(api_->bulk_interface_class());
        if (list.empty()) return nullptr;
        karnet::io_device_interface &first = list.front();
        karnet::io_session opened = first.library()->create_session(first);
        if (!opened.is_open()) return nullptr;
        morvex::zeph_session s = api_->open_session(opened);
        if (!s.is_open()) return nullptr;
        return std::make_unique<morvex_session>(s);
    }

    bool wait_main_changed(DWORD ms) override {
        watch_main();
        return api_->control_interface_class().changed().wait(ms, TRUE).get_code() == WAIT_OBJECT_0;
    }
    bool poll_main_removed() override {
        return api_->control_interface_class().removed().wait(0, FALSE).get_code() == WAIT_OBJECT_0;
    }
    bool poll_main_arrived() override {
        return api_->control_interface_class().arrived().wait(0, FALSE).get_code() == WAIT_OBJECT_0;
    }
    bool main_listed() override { return !listed(api_->control_interface_class()).empty(); }

private:
    // The transports report arrivals and removals only for a class that has been listed once.
    void watch_main() {
        if (!watching_main_) listed(api_->control_interface_class());
        watching_main_ = true;
    }
    fileio::iapi &usb() { return *api_.get(); }
    lintra::iapi &serial() { return *api_.get(); }
    karnet::interface_list listed(morvex::io_device_interface_class &c) {
        return api_->device_manager()->device_interfaces(karnet::guid(c.interface_class()));
    }

    morvex_binding api_;
    bool watching_main_ = false;
};

#ifdef TAVO_HAS_MODEM
// The TAPI line devices through one TAPI session, for the modem set-up by name.
class tapi_directory : public modem_directory {
public:
    // A failed initialisation shows as an empty enumeration.
    tapi_directory() { tapi_.InitializeTapi(); }
    std::vector<modem_entry> lines() override {
        std::vector<std::string> names;
        std::vector<DWORD> ids;
        std::vector<modem_entry> out;
        if (!tapi_.enumerate_line_devices(names, ids)) return out;
        for (size_t i = 0; i < names.size() && i < ids.size(); ++i) out.push_back({ids[i], names[i]});
        return out;
    }
    bool config(DWORD id, std::vector<BYTE> &out) override {
        tapi_.PreConfigureDevice(id);
        const BYTE *block = tapi_.device_configuration();
        out.assign(block, block + (block ? tapi_.device_configuration_size() : 0));
        return block != nullptr;
    }

private:
    TapiSession tapi_;
};
#endif

class morvex_environment_imp : public environment {
public:
    DWORD bind(std::unique_ptr<instrument_api> &out) override {
        morvex_binding binding("morvex", "morvex_get_instance");
        if (!binding) return 5;
        try {
            out = std::make_unique<morvex_api>(binding);
        } catch (const std::bad_alloc &) {
            return 8;
        }
        return 0;
    }
#ifdef TAVO_HAS_MODEM
    std::unique_ptr<modem_directory> modems() override { return std::make_unique<tapi_directory>(); }
#else
    std::unique_ptr<modem_directory> modems() override { return nullptr; }
#endif
};

}  // namespace

environment &morvex_environment() {
    static morvex_environment_imp env;
    return env;
}

}  // namespace tavo
