#include "flat_api.h"

#include <stdio.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include <w32cpp/lock.h>

#include "flat_convert.h"

namespace tavo {

namespace {

constexpr DWORD ok = 0;
constexpr DWORD not_enough_memory = 8;
constexpr DWORD bad_unit = 20;
constexpr DWORD not_ready = 21;
constexpr DWORD gen_failure = 31;
constexpr DWORD invalid_parameter = 87;
constexpr DWORD device_removed = 1617;
constexpr DWORD refused = 1627;
constexpr DWORD invalid_data = 13;
constexpr BYTE address = 1;
// Bulk replies carry a 2-byte status and a 2-byte count before the data.
constexpr DWORD block_header = 4;
constexpr DWORD mesure_size = 200;
constexpr DWORD mesure_timeout = 30000;
constexpr DWORD reopen_wait = 60000;
// The most words either transport accepts in one vendor request.
constexpr DWORD max_words = 128;

void out_line(const char *text) {
    fputs(text, stdout);
    fflush(stdout);
}

// Debugger and standard output; a line longer than the buffer is cut, never overrun.
void log_both(const char *format, const char *arg) {
    char line[100];
    snprintf(line, sizeof line, format, arg);
    OutputDebugStringA(line);
    out_line(line);
}

void debug_line(std::string line) {
    if (line.size() > 99) line.resize(99);
    OutputDebugStringA(line.c_str());
}

std::string line_settings(DWORD com_port, DWORD baud) {
    char name[16];
    snprintf(name, sizeof name, "COM%d", int(com_port));
    char settings[96];
    snprintf(settings, sizeof settings, "%s: baud=%d %s", name, int(baud), "data=8 stop=1 parity=N");
    return settings;
}

uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }

}  // namespace

flat_api::flat_api(environment &env) : env_(env) {
    InitializeCriticalSection(&lock_);
    InitializeCriticalSection(&calls_lock_);
    no_calls_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
}

flat_api::~flat_api() {
    abandon();
    if (no_calls_) CloseHandle(no_calls_);
    DeleteCriticalSection(&calls_lock_);
    DeleteCriticalSection(&lock_);
}

// ---- calls in progress -------------------------------------------------------------------------

flat_api::call_scope::call_scope(flat_api &api) : api_(api) {
    w32cpp::section_lock hold(api_.calls_lock_);
    // The link is being changed (set up, re-opened or closed): there is none to use meanwhile.
    entered_ = api_.changing_ == 0;
    if (entered_ && api_.calls_++ == 0) ResetEvent(api_.no_calls_);
}

flat_api::call_scope::~call_scope() {
    if (!entered_) return;
    w32cpp::section_lock hold(api_.calls_lock_);
    if (--api_.calls_ == 0) SetEvent(api_.no_calls_);
}

flat_api::link_change::link_change(flat_api &api) : api_(api) {
    w32cpp::section_lock hold(api_.calls_lock_);
    ++api_.changing_;
}

flat_api::link_change::~link_change() {
    w32cpp::section_lock hold(api_.calls_lock_);
    --api_.changing_;
}

void flat_api::link_change::wait_for_calls() {
    // Each call ends within its own time-outs; new ones find no link meanwhile.
    if (api_.no_calls_) WaitForSingleObject(api_.no_calls_, INFINITE);
}

void flat_api::abandon() {
    // Unload runs under the loader lock: calling into the instrument API from here could deadlock,
    // so a link left open is let go without being closed. The port handle alone is released.
    (void)session_.release();
    (void)api_.release();
    port_.reset();
    mode_ = mode_none;
}

// ---- link set-up -------------------------------------------------------------------------------

DWORD flat_api::bind_locked() {
    drop_session();
    std::unique_ptr<instrument_api> api;
    DWORD status = env_.bind(api);
    // A binding without an instance is never used again: it goes at once.
    api_ = status == ok ? std::move(api) : nullptr;
    return status;
}

void flat_api::drop_session() { session_.reset(); }

void flat_api::drop_port() {
    if (!port_) return;
    if (api_) api_->unregister_port(port_, address);
    port_->close();
    port_.reset();
}

void flat_api::drop_link() {
    if (session_) session_->on_device_removed();
    drop_session();
    drop_port();
}

void flat_api::fail_cleanup() {
    drop_link();
    api_.reset();
}

bool flat_api::wait_listed(DWORD wait, bool *on_usb, bool *on_serial) {
    // An instrument already listed needs no wait. The arrived event is auto-reset and may be left
    // over from an arrival nobody waited for: an early wake-up with nothing listed waits on for the
    // time left.
    // A wait that times out ends it (the platform may shorten long waits, the tick count does not).
    DWORD start = GetTickCount();
    while (!api_->first_bulk(on_usb, on_serial)) {
        DWORD elapsed = GetTickCount() - start;
        if (wait != INFINITE && elapsed >= wait) return false;
        if (!api_->wait_bulk_arrival(wait == INFINITE ? INFINITE : wait - elapsed))
            return api_->first_bulk(on_usb, on_serial);
    }
    return true;
}

DWORD flat_api::open_first_device(DWORD wait, std::unique_ptr<session> &out) {
    bool on_usb = false, on_serial = false;
    if (!wait_listed(wait, &on_usb, &on_serial)) {
        out_line("EMPTY io_interface_list\n");
        return bad_unit;
    }
    if (!on_usb) api_->usb_stop();
    if (!on_serial) api_->serial_disable();
    out = api_->open_first_bulk();
    return out ? ok : bad_unit;
}

DWORD flat_api::set_mode(uint8_t mode) { return session_ ? session_->set_mode(mode) : ok; }

bool flat_api::link_up() {
    switch (mode_) {
    case mode_usb:
    case mode_serial: return true;
    case mode_modem: return port_ && port_->is_connected();
    default: return false;
    }
}

DWORD flat_api::reopen(DWORD wait) {
    if (mode_ == mode_none) return not_ready;
    if (mode_ == mode_usb) return ok;
    if (!api_) return gen_failure;
    api_->flush_port();
    drop_session();
    DWORD mode = mode_;
    mode_ = mode_none;
    DWORD status = open_link(wait, mode);
    // The call stays down: hang it up and leave no port registered behind.
    if (status != ok) drop_link();
    return status;
}

bool flat_api::begin_locked(DWORD *status) {
    *status = bind_locked();
    return *status == ok;
}

void flat_api::register_serial(DWORD timeout, DWORD com_port, DWORD baud, DWORD flow) {
    auto port = api_->serial_line(line_settings(com_port, baud), timeout, flow == 1);
    if (!port) return;
    // A line that cannot be opened shows as no instrument after the wait.
    api_->register_port(port, address);
    port_ = port;
}

DWORD flat_api::open_link(DWORD wait, DWORD mode) {
    std::unique_ptr<session> opened;
    DWORD status = open_first_device(wait, opened);
    if (status != ok) return status;
    session_ = std::move(opened);
    status = set_mode(1);
    if (status == ok) mode_ = mode;
    return status;
}

DWORD flat_api::initComm(DWORD timeout, DWORD com_port, DWORD baud, DWORD flow) {
    w32cpp::section_lock hold(lock_);
    // A link that is up stays as it is.
    if (mode_ != mode_none) return ok;
    link_change change(*this);
    change.wait_for_calls();
    DWORD status;
    if (!begin_locked(&status)) return status;
    api_->usb_start();
    bool on_usb = false, on_serial = false;
    bool listed = api_->first_bulk(&on_usb, &on_serial);
    if (!listed) {
        register_serial(timeout, com_port, baud, flow);
        listed = wait_listed(timeout, &on_usb, &on_serial);
    }
    status = bad_unit;
    if (listed) {
        DWORD mode = mode_none;
        if (!on_usb) {
            api_->usb_stop();
            mode = mode_serial;
        }
        if (!on_serial) {
            api_->serial_disable();
            mode = mode_usb;
        }
        drop_session();
        session_ = api_->open_first_bulk();
        if (session_) {
            status = set_mode(1);
            if (status == ok) mode_ = mode;
        }
    }
    if (mode_ == mode_none) fail_cleanup();
    return status;
}

DWORD flat_api::initUsbComm(DWORD wait) {
    w32cpp::section_lock hold(lock_);
    // A link that is up stays as it is.
    if (mode_ != mode_none) return ok;
    link_change change(*this);
    change.wait_for_calls();
    DWORD status;
    if (!begin_locked(&status)) return status;
    api_->usb_start();
    status = open_link(wait, mode_usb);
    if (status == bad_unit) Sleep(2000);
    if (mode_ == mode_none) fail_cleanup();
    return status;
}

DWORD flat_api::initSerialComm(DWORD timeout, DWORD com_port, DWORD baud, DWORD flow) {
    w32cpp::section_lock hold(lock_);
    // A link that is up stays as it is.
    if (mode_ != mode_none) return ok;
    link_change change(*this);
    change.wait_for_calls();
    DWORD status;
    if (!begin_locked(&status)) return status;
    register_serial(timeout, com_port, baud, flow);
    status = open_link(timeout, mode_serial);
    if (mode_ == mode_none) fail_cleanup();
    return status;
}

DWORD flat_api::tapi_locked(DWORD timeout, DWORD device, const std::vector<BYTE> &config, const char *phone,
                            DWORD redial, DWORD max_redials) {
    if (mode_ == mode_modem && link_up()) return ok;
    link_change change(*this);
    change.wait_for_calls();
    if (mode_ == mode_modem) return reopen(reopen_wait);
    // Another link still up is closed first, so its port and session do not linger.
    if (mode_ != mode_none) close_locked();
    DWORD status = bind_locked();
    if (status != ok) return status;
    auto port = api_->modem_line(device, config, phone, timeout, redial == 1, max_redials);
    if (!port) return not_enough_memory;
    if (!api_->register_port(port, address)) {
        api_->unregister_port(port, address);
        port->close();
        return 5;
    }
    port_ = port;
    status = open_link(timeout, mode_modem);
    // The binding stays for a later modem set-up; the call does not.
    if (mode_ == mode_none) drop_link();
    return status;
}

DWORD flat_api::initTapiComm(DWORD timeout, DWORD device, const BYTE *config, DWORD config_size, const char *phone,
                             DWORD redial, DWORD max_redials) {
    if (!phone || (!config && config_size)) return invalid_parameter;
    std::vector<BYTE> block;
    try {
        if (config_size) block.assign(config, config + config_size);
    } catch (const std::bad_alloc &) {
        return not_enough_memory;
    }
    w32cpp::section_lock hold(lock_);
    return tapi_locked(timeout, device, block, phone, redial, max_redials);
}

DWORD flat_api::initModemComm(DWORD timeout, const char *modem, const char *phone, DWORD redial, DWORD max_redials) {
    if (!modem || !phone) return invalid_parameter;
    std::unique_ptr<modem_directory> tapi = env_.modems();
    std::vector<modem_entry> lines;
    if (tapi) lines = tapi->lines();
    bool found = false;
    DWORD id = 0;
    for (const modem_entry &entry : lines) {
        // Names compare as the 255 characters a line's name buffer holds; log lines are cut to 99.
        std::string name = entry.name.substr(0, 255);
        name = name.substr(0, name.find('\0'));
        debug_line("tavobridge DLL: Modem ID " + std::to_string(entry.id) + " Name " + name + "\n");
        if (name == modem) {
            // The last device of that name wins.
            id = entry.id;
            found = true;
            debug_line("tavobridge DLL: Modem ID " + std::to_string(id) + " matchs the used modem !\n");
        }
    }
    if (!found) {
        log_both("tavobridge DLL: Modem %s not found\n", modem);
        return gen_failure;
    }
    log_both("tavobridge DLL: Phone number used : %s\n", phone);
    std::vector<BYTE> config;
    tapi->config(id, config);
    DWORD status;
    {
        w32cpp::section_lock hold(lock_);
        status = tapi_locked(timeout, id, config, phone, redial, max_redials);
    }
    return status;
}

DWORD flat_api::close_locked() {
    // From here calls on other threads find no link; those in progress go on with the line stopped
    // and the instrument idle, and leave before the port, the session and the binding go (the
    // binding's release unloads the instrument API and the transports).
    link_change change(*this);
    DWORD status = ok;
    if (mode_ != mode_none) {
        if ((mode_ == mode_serial || mode_ == mode_modem) && api_) api_->stop_port();
        if (mode_ != mode_modem) status = set_mode(0);
    }
    change.wait_for_calls();
    // The port is unregistered and closed whatever the mode, so the same COM port opens again and
    // a modem call is hung up.
    drop_port();
    if (session_) session_->on_device_removed();
    mode_ = mode_none;
    drop_session();
    api_.reset();
    return status;
}

DWORD flat_api::closeComm() {
    w32cpp::section_lock hold(lock_);
    return close_locked();
}

// ---- recovery ----------------------------------------------------------------------------------

bool flat_api::no_link() const { return mode_ == mode_none || !session_; }

DWORD flat_api::reset_device() { return session_->reset_device() != ok ? gen_failure : ok; }

DWORD flat_api::recover_pipe(bool out) {
    DWORD status = out ? session_->write_pipe_request() : session_->read_pipe_request();
    if (status != ok && session_->reset_device() != ok) return gen_failure;
    return ok;
}

DWORD flat_api::recover(bool out) {
    if (!link_up()) {
        session_->cancel();
        return device_removed;
    }
    return recover_pipe(out);
}

DWORD flat_api::after_control(DWORD status) {
    if (status == ok) return ok;
    DWORD reset = reset_device();
    return reset != ok ? reset : status;
}

DWORD flat_api::control_set(uint32_t word, uint16_t value, const uint32_t *words, uint16_t n, DWORD timeout) {
    DWORD delivered = 0;
    return after_control(session_->set_param(word, value, words, n, timeout, &delivered));
}

DWORD flat_api::control_get(uint32_t word, uint16_t value, uint16_t n, uint32_t *words, DWORD timeout) {
    DWORD delivered = 0;
    DWORD status = session_->get_param(word, value, n, words, timeout, &delivered);
    if (status != ok) return after_control(status);
    if (!conv::word_count_ok(delivered, n)) return reset_device() != ok ? gen_failure : invalid_data;
    return ok;
}

DWORD flat_api::bulk_read(uint8_t *buffer, uint32_t size, DWORD timeout, DWORD *delivered) {
    *delivered = 0;
    DWORD status = session_->read(buffer, size, timeout, delivered);
    if (*delivered > size) *delivered = size;
    if (status == ok) return ok;
    DWORD recovered = recover(false);
    return recovered != ok ? recovered : status;
}

// ---- instrument functions ----------------------------------------------------------------------

DWORD flat_api::getTavoIdent(DWORD *version, DWORD *number, char *name) {
    const call_scope call(*this);
    if (!call || !session_) {
        out_line("TAVOAPI, getTavoIdent: pzephSessionG = NULL !\n");
        return not_ready;
    }
    if (mode_ == mode_none) {
        out_line("TAVOAPI, getTavoIdent: initDoneG = 0 !\n");
        return not_ready;
    }
    if (!version || !number || !name) return invalid_parameter;
    DWORD serial = DWORD(conv::leading_int(session_->serial_number()));
    std::string product = session_->product();
    DWORD bcd = conv::ident_version(session_->bcd_device());
    *version = bcd;
    *number = serial;
    conv::ident_name(product, name);
    return ok;
}

DWORD flat_api::dumpFlash(DWORD address_, DWORD length, BYTE *buffer, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    // An address or length cut to 24 bits would read another part of the flash.
    if (!buffer || address_ > conv::max24 || length > conv::max24 - 2) return invalid_parameter;
    uint32_t words[2] = {address_, length};
    DWORD status = control_set(1, 3, words, 2, timeout);
    if (status != ok) return status;
    std::vector<uint8_t> reply;
    try {
        reply.assign(size_t(length) + 2, 0);
    } catch (const std::bad_alloc &) {
        return not_enough_memory;
    }
    DWORD delivered = 0;
    status = bulk_read(reply.data(), length + 2, timeout, &delivered);
    if (status != ok) return status;
    status = conv::check_flash(reply.data(), delivered, length);
    if (status != ok) return status;
    if (length) memcpy(buffer, reply.data() + 2, length);
    return ok;
}

DWORD flat_api::writeFlash(DWORD address_, DWORD length, const BYTE *data, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    // Cut to 24 bits, the address would overwrite another part of the flash.
    if (!data || address_ > conv::max24 || length > conv::max24) return invalid_parameter;
    uint32_t words[2] = {address_, length};
    DWORD status = control_set(1, 4, words, 2, timeout);
    if (status != ok) return status;
    status = session_->write(data, length, timeout);
    if (status != ok) {
        DWORD recovered = recover(true);
        return recovered != ok ? recovered : status;
    }
    uint8_t ack[3] = {0, 0, 0};
    DWORD delivered = 0;
    status = bulk_read(ack, sizeof ack, timeout, &delivered);
    if (status != ok) return status;
    if (delivered < 2) return invalid_data;
    return le16(ack) == 0 ? refused : ok;
}

DWORD flat_api::read_blocks(DWORD p1, DWORD p2, DWORD byte_count, DWORD block_size, uint8_t *bytes, DWORD *received,
                            DWORD timeout) {
    *received = 0;
    uint32_t words[4] = {p1, p2, byte_count, block_size};
    DWORD status = control_set(1, 5, words, 4, timeout);
    if (status != ok || block_size == 0) return status;
    DWORD blocks = byte_count / block_size + (byte_count % block_size != 0);
    std::vector<uint8_t> block;
    try {
        block.resize(size_t(block_size) + block_header);
    } catch (const std::bad_alloc &) {
        return not_enough_memory;
    }
    for (DWORD b = 0; b < blocks; ++b) {
        std::fill(block.begin(), block.end(), 0);
        DWORD delivered = 0;
        status = bulk_read(block.data(), block_size + block_header, timeout, &delivered);
        if (status != ok) return status;
        conv::block_reply reply = conv::check_block(block.data(), delivered);
        if (reply.result != ok) return reply.result;
        // Byte offsets, bounded by the caller's byte count: an odd block size or a last block
        // longer than what is left never writes past the array.
        DWORD room = byte_count - *received;
        DWORD copy = reply.count < room ? reply.count : room;
        if (copy) memcpy(bytes + *received, block.data() + block_header, copy);
        *received += copy;
        if (reply.count != block_size) break;
    }
    return ok;
}

DWORD flat_api::litPeriodeShort(DWORD p1, DWORD p2, DWORD byte_count, DWORD block_size, WORD *values, DWORD *received,
                                DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    if (!values || !received || byte_count > conv::max24 || block_size > conv::max24 - block_header)
        return invalid_parameter;
    return read_blocks(p1, p2, byte_count, block_size, reinterpret_cast<uint8_t *>(values), received, timeout);
}

DWORD flat_api::litPeriode(DWORD p1, DWORD p2, DWORD byte_count, DWORD block_size, DWORD *values, DWORD *received,
                           DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    if (!values || !received || byte_count > conv::max24 || block_size > conv::max24 - block_header)
        return invalid_parameter;
    std::vector<uint8_t> bytes;
    try {
        bytes.assign(byte_count, 0);
    } catch (const std::bad_alloc &) {
        return not_enough_memory;
    }
    DWORD status = read_blocks(p1, p2, byte_count, block_size, bytes.data(), received, timeout);
    if (status == ok) conv::widen16(bytes.data(), *received / 2, values);
    return status;
}

DWORD flat_api::demandeInfoPeriode(DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    return after_control(session_->command(1, 2, timeout));
}

DWORD flat_api::effacePeriode(DWORD p1, DWORD p2, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    uint32_t words[2] = {p1, p2};
    DWORD delivered = 0;
    DWORD status = session_->set_param(1, 6, words, 2, timeout, &delivered);
    if (status == ok) return ok;
    // Still pending: the erase is not confirmed, and resetting the instrument now would break it off.
    if (status == 996 || status == 997) return status;
    reset_device();
    return status;
}

DWORD flat_api::setConfigNormal(const WORD *values, DWORD value32, DWORD value16, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    if (!values) return invalid_parameter;
    uint32_t words[12];
    conv::config_words(values, value32, value16, words);
    return control_set(2, 1, words, 12, timeout);
}

DWORD flat_api::setConfigProg(const WORD *values, DWORD value32, DWORD value16, const BYTE *table1, const BYTE *table2,
                              DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    if (!values || !table1 || !table2) return invalid_parameter;
    uint32_t words[24];
    conv::config_words(values, value32, value16, words);
    conv::words_from_table(table1, 6, words + 12);
    conv::words_from_table(table2, 6, words + 18);
    return control_set(2, 2, words, 24, timeout);
}

DWORD flat_api::getConfig(WORD *values, DWORD *value32, DWORD *value16, BYTE *table1, BYTE *table2, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    if (!values || !value32 || !value16 || !table1 || !table2) return invalid_parameter;
    uint32_t words[24] = {};
    DWORD status = control_get(2, 3, 24, words, timeout);
    if (status != ok) return status;
    uint32_t v32 = 0, v16 = 0;
    conv::config_from_words(words, values, &v32, &v16);
    *value32 = v32;
    *value16 = v16;
    conv::table_from_words(words + 12, 6, table1);
    conv::table_from_words(words + 18, 6, table2);
    return ok;
}

DWORD flat_api::getEtat(DWORD *s0, DWORD *s1, DWORD *s2, DWORD *s3, DWORD *s4, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    DWORD *out[5] = {s0, s1, s2, s3, s4};
    for (DWORD *p : out)
        if (!p) return invalid_parameter;
    uint32_t words[5] = {};
    DWORD status = control_get(4, 1, 5, words, timeout);
    if (status != ok) return status;
    for (int i = 0; i < 5; ++i) *out[i] = words[i] & conv::max24;
    return ok;
}

DWORD flat_api::startMesure(DWORD parameter, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    uint32_t word = parameter;
    return control_set(3, 1, &word, 1, timeout);
}

DWORD flat_api::startCalibrage(DWORD parameter, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    uint32_t word = parameter;
    return control_set(3, 2, &word, 1, timeout);
}

DWORD flat_api::stopMesure(DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    return after_control(session_->command(3, 3, timeout));
}

DWORD flat_api::getMesure(WORD *values, DWORD *count) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    if (!values || !count) return invalid_parameter;
    uint8_t reply[mesure_size] = {};
    DWORD delivered = 0;
    DWORD status = bulk_read(reply, mesure_size, mesure_timeout, &delivered);
    if (status != ok) return status;
    conv::block_reply block = conv::check_block(reply, delivered);
    if (block.result == refused) return refused;
    if (block.result != ok) {
        *count = delivered >= block_header ? delivered - block_header : 0;
        return block.result;
    }
    *count = block.count / 2;
    memcpy(values, reply + block_header, 2 * (block.count / 2));
    return ok;
}

DWORD flat_api::read_data(DWORD byte_count, DWORD *received, DWORD timeout, std::vector<uint8_t> &data) {
    *received = 0;
    try {
        data.assign(byte_count, 0);
    } catch (const std::bad_alloc &) {
        return not_enough_memory;
    }
    DWORD delivered = 0;
    DWORD status = bulk_read(data.data(), byte_count, timeout, &delivered);
    if (status == ok) *received = delivered;
    return status;
}

DWORD flat_api::getDataOnBulkShort(BYTE *buffer, DWORD byte_count, DWORD *received, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    if (!buffer || !received || byte_count > conv::max24) return invalid_parameter;
    std::vector<uint8_t> data;
    DWORD status = read_data(byte_count, received, timeout, data);
    if (status == ok && *received) memcpy(buffer, data.data(), *received);
    return status;
}

DWORD flat_api::getDataOnBulk(DWORD *values, DWORD byte_count, DWORD *received, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    if (!values || !received || byte_count > conv::max24) return invalid_parameter;
    std::vector<uint8_t> data;
    DWORD status = read_data(byte_count, received, timeout, data);
    if (status == ok) conv::widen16(data.data(), *received / 2, values);
    return status;
}

DWORD flat_api::resetDsp(DWORD parameter, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    DWORD status = set_mode(1);
    if (status != ok) return status;
    return after_control(session_->command(conv::reset_dsp_word(parameter), 0, timeout));
}

DWORD flat_api::memoryPageSelect(DWORD m1, DWORD m2, DWORD value, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    return after_control(session_->command(conv::memory_word(m1, m2, 0), uint16_t(value), timeout));
}

DWORD flat_api::memoryRead(DWORD m1, DWORD m2, DWORD value, DWORD count, DWORD *values, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    // Neither transport takes a read of no words or of more than 128.
    if (!values || count == 0 || count > max_words) return invalid_parameter;
    uint32_t words[max_words] = {};
    DWORD status = control_get(conv::memory_word(m1, m2, 1), uint16_t(value), uint16_t(count), words, timeout);
    if (status != ok) return status;
    for (DWORD i = 0; i < count; ++i) values[i] = words[i] & conv::max24;
    return ok;
}

DWORD flat_api::memoryWrite(DWORD m1, DWORD m2, DWORD value, DWORD count, const DWORD *values, DWORD timeout) {
    const call_scope call(*this);
    if (!call || no_link()) return not_ready;
    if (!values || count == 0 || count > max_words) return invalid_parameter;
    uint32_t words[max_words];
    for (DWORD i = 0; i < count; ++i) words[i] = values[i] & conv::max24;
    DWORD delivered = 0;
    DWORD status =
        session_->set_param(conv::memory_word(m1, m2, 2), uint16_t(value), words, uint16_t(count), timeout, &delivered);
    if (status != ok) return after_control(status);
    // The serial transport reports the header and the words it sent; the driver reports no more than
    // the request's output, which a write has none of. Only a count that is there is checked.
    if (delivered != 0 && !conv::word_count_ok(delivered, count))
        return reset_device() != ok ? gen_failure : invalid_data;
    return ok;
}

DWORD flat_api::scan() {
    constexpr DWORD arrival = 0x8000, removal = 0x8004;
    const call_scope call(*this);
    if (!call || !api_) return ok;
    if (mode_ == mode_none) api_->usb_start();
    if (pending_scan_) {
        DWORD code = pending_scan_;
        pending_scan_ = 0;
        return code;
    }
    if (!api_->wait_main_changed(50)) return ok;
    bool removed = api_->poll_main_removed();
    bool arrived = api_->poll_main_arrived();
    if (arrived && removed) {
        // Both in one call (the events are auto-reset): report both, the one that matches what is
        // present now last.
        bool present = api_->main_listed();
        pending_scan_ = present ? arrival : removal;
        return present ? removal : arrival;
    }
    if (arrived) return arrival;
    return removed ? removal : ok;
}

}  // namespace tavo
