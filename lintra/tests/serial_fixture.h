// lintra8 and karnet8 loaded by name, with the simulated instrument's serial face on an in-memory
// line or a pseudo-terminal: what a client of the serial transport sees through the device manager.
#ifndef LINTRA_TESTS_SERIAL_FIXTURE_H
#define LINTRA_TESTS_SERIAL_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <karnet/iapi.h>
#include <morvex/wire.h>
#include <simdev/instrument.h>
#include <simdev/serial_device.h>
#include <standin/clock.h>

#include "lintra/iapi.h"
#include "test_ports.h"
#include "zephtest/wait.h"

namespace lintra_test {

namespace wire = zeph_wire;

// The instrument on one line, with the host's port for it.
struct SerialInstrument {
    // A memory line named name (timeout: the port's read time-out).
    explicit SerialInstrument(std::string name = "MEM1", simdev::instrument_config cfg = {},
                              simdev::serial_options opt = {}, DWORD timeout_ms = 250);
    // A pseudo-terminal line.
    static std::unique_ptr<SerialInstrument> on_pty(simdev::instrument_config cfg = {}, DWORD timeout_ms = 250);
    ~SerialInstrument();

    std::shared_ptr<simdev::instrument> model;
    std::shared_ptr<simdev::byte_stream> host_end, device_end;
    std::unique_ptr<simdev::pseudo_terminal> terminal;
    std::unique_ptr<simdev::serial_device> device;
    MemoryComPort* memory_port = nullptr;
    PtyComPort* pty_port = nullptr;
    w32cpp::auto_handle<IComPort> port;

private:
    struct bare {};
    explicit SerialInstrument(bare) {}
};

class SerialTransport : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    lintra::iapi& api() { return *lintra_->get(); }
    karnet::iapi& manager() { return *manager_->get(); }

    // Interfaces of the class listed now.
    karnet::interface_list listed(const GUID& interface_class);
    // Waits until the class lists (or no longer lists) an interface of the given name prefix.
    bool wait_listed(const GUID& interface_class, const std::string& prefix, bool present = true);
    // A session on the bulk interface of the device whose name starts with prefix.
    karnet::io_session open(const std::string& prefix);
    // Registers the line at address 1, waits until it is listed, opens a session and selects mode 1.
    karnet::io_session ready(SerialInstrument& line, const std::string& prefix);

    enum : DWORD { step_ms = 4000 };
    // The request's status once done; a request still pending after ms is cancelled (a failure).
    DWORD finish(karnet::io_session& s, const karnet::assync_handle& request, DWORD ms);

    struct reply {
        DWORD status;
        DWORD bytes;
    };
    reply control(karnet::io_session& s, DWORD code, void* out, DWORD out_size, const void* in, DWORD in_size,
                  DWORD ms = 20000);
    reply set_mode(karnet::io_session& s, BYTE mode);
    // Vendor requests as the instrument API builds them.
    reply vendor_read(karnet::io_session& s, DWORD word, WORD value, WORD words, std::vector<BYTE>* data = nullptr);
    reply vendor_write(karnet::io_session& s, DWORD word, WORD value, const std::vector<DWORD>& words);
    reply vendor_command(karnet::io_session& s, DWORD word, WORD value);
    reply read(karnet::io_session& s, std::vector<BYTE>& buffer, DWORD ms = 20000);
    reply write(karnet::io_session& s, std::vector<BYTE> data, DWORD ms = 20000);

    std::unique_ptr<w32cpp::dynamic_link_instance<lintra::iapi>> lintra_;
    std::unique_ptr<karnet::karnet_lib> manager_;
};

}  // namespace lintra_test

#endif
