// A serial line to the simulated instrument: the model, its serial face on a byte line, the host's
// port and the emulation on top. Helpers move framed bulk messages and notifications through the
// queued endpoints the way the request layer does.
#ifndef LINTRA_TESTS_RIG_H
#define LINTRA_TESTS_RIG_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <simdev/instrument.h>
#include <simdev/serial_device.h>

#include "lintra/emulation.h"
#include "recorder.h"
#include "test_ports.h"

namespace lintra_test {

struct Transfer {
    DWORD status = 0;
    DWORD total = 0;
    bool completed = false;
};

// Queues one transfer and waits for its callback.
Transfer run_transfer(lintra::EndPointInOutTransfer* ep, BYTE kind, BYTE* buffer, DWORD length, bool short_is_status,
                      int timeout_ms = 30000);

// Reads one framed bulk message (3-byte length, then the data); nullopt when a stage failed.
std::optional<std::vector<BYTE>> read_message(lintra::RsUSBEmulation& emulation, DWORD* failed_status = nullptr);
// Writes one framed bulk message.
bool write_message(lintra::RsUSBEmulation& emulation, const std::vector<BYTE>& data);

std::vector<BYTE> pattern(size_t n, std::uint32_t seed = 0x11223344);

class MemoryLine {
public:
    explicit MemoryLine(std::string name = "MEM1", DWORD port_timeout_ms = 250, simdev::serial_options opt = {});
    ~MemoryLine();
    MemoryLine(const MemoryLine&) = delete;
    MemoryLine& operator=(const MemoryLine&) = delete;

    // Builds the endpoints for address 1, selects configuration 1 (unless 0) and brings the device up.
    bool bring_up(BYTE configuration = 1);

    std::shared_ptr<simdev::instrument> model;
    std::shared_ptr<simdev::byte_stream> host_end, device_end;
    std::unique_ptr<simdev::serial_device> device;
    MemoryComPort* port;  // owned by handle
    w32cpp::auto_handle<IComPort> handle;
    std::unique_ptr<lintra::RsUSBEmulation> emulation;
};

class PtyLine {
public:
    explicit PtyLine(DWORD port_timeout_ms = 250, simdev::serial_options opt = {});
    ~PtyLine();
    bool bring_up(BYTE configuration = 1);

    std::shared_ptr<simdev::instrument> model;
    std::unique_ptr<simdev::pseudo_terminal> terminal;
    std::unique_ptr<simdev::serial_device> device;
    PtyComPort* port;
    w32cpp::auto_handle<IComPort> handle;
    std::unique_ptr<lintra::RsUSBEmulation> emulation;
};

}  // namespace lintra_test

#endif
