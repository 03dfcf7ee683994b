#include "rig.h"

#include <simdev/faults.h>

namespace lintra_test {

using namespace lintra;

Transfer run_transfer(EndPointInOutTransfer* ep, BYTE kind, BYTE* buffer, DWORD length, bool short_is_status,
                      int timeout_ms) {
    auto rec = std::make_unique<Recorder>();
    Transfer t;
    ep->set_callback(Recorder::callback);
    const ULONGLONG n = ep->queue(kind, buffer, length, rec.get(), short_is_status, true);
    if (n == ~0ull) return t;
    if (!rec->wait(1, timeout_ms)) {
        // A record may still be on its way; its recorder must outlive it.
        ep->purge(n);
        rec.release();
        return t;
    }
    const Completion c = rec->at(0);
    t.completed = true;
    t.status = c.status;
    t.total = c.total;
    return t;
}

std::optional<std::vector<BYTE>> read_message(RsUSBEmulation& emulation, DWORD* failed_status) {
    BYTE header[3] = {};
    Transfer t = run_transfer(emulation.bulk_in(), kind_in, header, 3, false);
    if (!t.completed || !result_succeeded(t.status) || t.total != 3) {
        if (failed_status) *failed_status = t.completed ? t.status : 0xFFFFFFFF;
        return std::nullopt;
    }
    const DWORD n = DWORD(header[0]) | (DWORD(header[1]) << 8) | (DWORD(header[2]) << 16);
    std::vector<BYTE> data(n);
    if (n == 0) return data;
    t = run_transfer(emulation.bulk_in(), kind_in, data.data(), n, true);
    if (!t.completed || !result_succeeded(t.status)) {
        if (failed_status) *failed_status = t.completed ? t.status : 0xFFFFFFFF;
        return std::nullopt;
    }
    data.resize(t.total);
    return data;
}

bool write_message(RsUSBEmulation& emulation, const std::vector<BYTE>& data) {
    const DWORD n = DWORD(data.size());
    BYTE header[3] = {BYTE(n & 0xFF), BYTE((n >> 8) & 0xFF), BYTE((n >> 16) & 0xFF)};
    Transfer t = run_transfer(emulation.bulk_out(), kind_out, header, 3, false);
    if (!t.completed || !result_succeeded(t.status)) return false;
    std::vector<BYTE> copy = data;
    t = run_transfer(emulation.bulk_out(), kind_out, copy.data(), n, true);
    return t.completed && result_succeeded(t.status) && t.total == n;
}

std::vector<BYTE> pattern(size_t n, std::uint32_t seed) {
    std::vector<BYTE> out(n);
    simdev::fill_pattern(seed, 0, std::span<std::uint8_t>(out.data(), out.size()));
    return out;
}

MemoryLine::MemoryLine(std::string name, DWORD port_timeout_ms, simdev::serial_options opt)
    : model(std::make_shared<simdev::instrument>()) {
    auto ends = simdev::memory_line::make_pair();
    host_end = ends.first;
    device_end = ends.second;
    device = std::make_unique<simdev::serial_device>(model, device_end, opt);
    device->start();
    port = new MemoryComPort(host_end, std::move(name), port_timeout_ms);
    handle = w32cpp::auto_handle<IComPort>(port);
    emulation = std::make_unique<RsUSBEmulation>(handle);
}

MemoryLine::~MemoryLine() {
    emulation.reset();
    device->stop();
    host_end->close();
}

bool MemoryLine::bring_up(BYTE configuration) {
    if (!emulation->set_address(1)) return false;
    emulation->set_configuration_value(configuration);
    return emulation->bring_up(1);
}

PtyLine::PtyLine(DWORD port_timeout_ms, simdev::serial_options opt)
    : model(std::make_shared<simdev::instrument>()), terminal(std::make_unique<simdev::pseudo_terminal>()) {
    device = std::make_unique<simdev::serial_device>(model, terminal->master(), opt);
    device->start();
    port = new PtyComPort(terminal->path(), port_timeout_ms);
    handle = w32cpp::auto_handle<IComPort>(port);
    emulation = std::make_unique<RsUSBEmulation>(handle);
}

PtyLine::~PtyLine() {
    emulation.reset();
    handle->close();
    device->stop();
}

bool PtyLine::bring_up(BYTE configuration) {
    if (!handle->open()) return false;
    if (!emulation->set_address(1)) return false;
    emulation->set_configuration_value(configuration);
    return emulation->bring_up(1);
}

}  // namespace lintra_test
