// SerialComPort over the stand-in's COM port on a pseudo-terminal, with the simulated instrument's
// serial face on the other side and the serial host side on top.
#include <gtest/gtest.h>
#include <windows.h>

#include <simdev/faults.h>
#include <simdev/instrument.h>
#include <simdev/serial_device.h>
#include <standin/clock.h>
#include <standin/comm.h>
#include <standin/debug.h>
#include <standin/faults.h>
#include <standin/handles.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "rig.h"
#include "tavobridge/SerialComPort.h"
#include "zephtest/wait.h"

using lintra_test::pattern;
using lintra_test::read_message;
using lintra_test::write_message;
using simdev::line_dir;
using simdev::line_fault;

namespace {

std::string settings_for(int port, int baud) {
    char text[96];
    wsprintfA(text, "%s: baud=%d %s", ("COM" + std::to_string(port)).c_str(), baud, "data=8 stop=1 parity=N");
    return text;
}

// A COM port mapped onto a new pseudo-terminal; the test plays the other end or lets the instrument.
struct Line {
    explicit Line(int number = 5) : com(number) {
        terminal = std::make_unique<simdev::pseudo_terminal>();
        standin::comm::map_port("COM" + std::to_string(com), terminal->path());
    }
    ~Line() {
        emulation.reset();
        if (handle) handle->close();
        if (device) device->stop();
        standin::comm::map_port("COM" + std::to_string(com), "");
    }
    SerialComPort* make_port(int baud, DWORD timeout_ms) {
        port = new SerialComPort(settings_for(com, baud), timeout_ms, false);
        handle = w32cpp::auto_handle<IComPort>(port);
        return port;
    }
    void start_instrument() {
        model = std::make_shared<simdev::instrument>();
        device = std::make_unique<simdev::serial_device>(model, terminal->master());
        device->start();
    }
    bool bring_up() {
        emulation = std::make_unique<lintra::RsUSBEmulation>(handle);
        if (!handle->open()) return false;
        if (!emulation->set_address(1)) return false;
        emulation->set_configuration_value(1);
        return emulation->bring_up(1);
    }
    std::vector<std::uint8_t> peer_read(size_t n) {
        std::vector<std::uint8_t> out(n);
        size_t got = 0;
        zephtest::wait_until([&] {
            const long k = terminal->master()->read(out.data() + got, n - got, 20);
            if (k > 0) got += size_t(k);
            return got == n || k < 0;
        });
        out.resize(got);
        return out;
    }

    int com;
    std::unique_ptr<simdev::pseudo_terminal> terminal;
    std::shared_ptr<simdev::instrument> model;
    std::unique_ptr<simdev::serial_device> device;
    SerialComPort* port = nullptr;
    w32cpp::auto_handle<IComPort> handle;
    std::unique_ptr<lintra::RsUSBEmulation> emulation;
};

struct SerialPort : ::testing::Test {
    void SetUp() override { standin::clock::set_long_wait_scale(0.01); }
    void TearDown() override { standin::clock::reset(); }
};

}  // namespace

TEST_F(SerialPort, NameSettingsAndOpenFailures) {
    std::string name;
    SerialComPort twelve("COM12: baud=19200 data=8 stop=1 parity=N", 2000, false);
    twelve.name(name);
    EXPECT_EQ(name, "COM12");
    SerialComPort one(settings_for(1, 9600), 2000, false);
    one.name(name);
    EXPECT_EQ(name, "COM1");
    EXPECT_EQ(one.settings(), "COM1: baud=9600 data=8 stop=1 parity=N");

    SerialComPort empty("", 2000, false);
    SetLastError(12345);
    EXPECT_FALSE(empty.open());
    EXPECT_EQ(GetLastError(), 12345u);  // the platform was not called

    SerialComPort missing(settings_for(9, 9600), 2000, false);
    EXPECT_FALSE(missing.open());
    EXPECT_FALSE(missing.is_open());

    Line line;
    SerialComPort first(settings_for(line.com, 115200), 2000, false);
    SerialComPort second(settings_for(line.com, 115200), 2000, false);
    ASSERT_TRUE(first.open());
    EXPECT_EQ(first.baud_rate(), 115200u);
    EXPECT_EQ(first.bytes_per_second(), 11520u);
    EXPECT_FALSE(second.open());  // busy
    // A second open of the same object closes the old handle first.
    ASSERT_TRUE(first.open());
    first.close();
    EXPECT_TRUE(second.open());
    second.close();
    // Hardware handshake on: CTS and DSR watched, DTR and RTS raised, no XON/XOFF.
    SerialComPort flow(settings_for(line.com, 19200), 2000, true);
    ASSERT_TRUE(flow.open());
    DCB dcb{};
    ASSERT_TRUE(GetCommState(flow.handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutX + dcb.fInX, 0u);
}

TEST_F(SerialPort, OpenWithoutItsEventLetsThePortGo) {
    Line line;
    SerialComPort port(settings_for(line.com, 9600), 2000, false);
    standin::faults::rule no_event;
    no_event.where = standin::faults::site::create_event;
    no_event.this_thread_only = true;
    standin::faults::add(no_event);
    EXPECT_FALSE(port.open());
    standin::faults::clear();
    EXPECT_FALSE(port.is_open());
    SerialComPort other(settings_for(line.com, 9600), 2000, false);
    EXPECT_TRUE(other.open());  // not held busy by the failed one
}

TEST_F(SerialPort, TimeoutsFollowTheLineRateWithoutWrapping) {
    Line line;
    SerialComPort port(settings_for(line.com, 9600), 2000, false);
    EXPECT_EQ(port.timeout_for(64), 2000u);  // no rate before the open
    ASSERT_TRUE(port.open());
    EXPECT_EQ(port.timeout_for(64), 3066u);
    SerialComPort huge(settings_for(line.com + 1, 9600), 0xFFFFF000u, false);
    EXPECT_EQ(huge.timeout_for(1), 0xFFFFF000u);

    SerialComPort zero(settings_for(line.com, 9600), 0, false);
    standin::debug::clear();
    BYTE b[4];
    DWORD n = 4;
    EXPECT_FALSE(zero.read(b, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_NE(standin::debug::text().find("SerialComPort::Read : WAIT_TIMEOUT general loop\n"), std::string::npos);
    n = 4;
    EXPECT_FALSE(zero.write(b, &n));
    EXPECT_NE(standin::debug::text().find("SerialComPort::Write : WAIT_TIMEOUT general loop\n"), std::string::npos);
}

TEST_F(SerialPort, TimeoutOfTwoToTheThirtyFirstIsALongWaitNotAnInstantFailure) {
    Line line;
    SerialComPort* port = line.make_port(115200, 0x80000000u);
    ASSERT_TRUE(port->open());
    std::thread peer([&] {
        Sleep(30);  // a slow peer
        const std::uint8_t four[4] = {1, 2, 3, 4};
        line.terminal->master()->write(four, 4);
    });
    BYTE buf[4] = {};
    DWORD n = 4;
    EXPECT_TRUE(port->read(buf, &n));
    zephtest::join(peer);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(buf[3], 4);
    BYTE zero_len = 0;
    n = 0;
    EXPECT_TRUE(port->read(&zero_len, &n));
}

TEST_F(SerialPort, TimeoutsAnotherProgramLeftOnThePortAreCleared) {
    Line line;
    HANDLE raw = CreateFileA(("COM" + std::to_string(line.com)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS polling{MAXDWORD, 0, 0, 0, 1};  // reads return at once, writes give up after 1 ms
    ASSERT_TRUE(SetCommTimeouts(raw, &polling));
    CloseHandle(raw);
    SerialComPort* port = line.make_port(115200, 2000);
    ASSERT_TRUE(port->open());
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(port->handle(), &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);  // a read waits for its bytes instead of spinning
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    const auto data = pattern(8, 5);
    ASSERT_TRUE(line.terminal->master()->write(data.data(), data.size()));
    BYTE buf[8] = {};
    DWORD n = 8;
    ASSERT_TRUE(port->read(buf, &n));
    EXPECT_EQ(std::vector<BYTE>(buf, buf + 8), data);
}

TEST_F(SerialPort, ATimedOutReadNoLongerTakesBytes) {
    Line line;
    SerialComPort* port = line.make_port(115200, 50);
    ASSERT_TRUE(port->open());
    BYTE first[10] = {};
    DWORD n = 10;
    EXPECT_FALSE(port->read(first, &n));  // silent peer
    EXPECT_EQ(n, 0u);
    const auto data = pattern(10, 7);
    ASSERT_TRUE(line.terminal->master()->write(data.data(), data.size()));
    BYTE second[10] = {};
    n = 10;
    ASSERT_TRUE(port->read(second, &n));
    EXPECT_EQ(std::vector<BYTE>(second, second + 10), data);
    EXPECT_EQ(std::vector<BYTE>(first, first + 10), std::vector<BYTE>(10, 0));
    // A short answer: the bytes that came are reported with the failure.
    n = 10;
    ASSERT_TRUE(line.terminal->master()->write(data.data(), 3));
    EXPECT_FALSE(port->read(second, &n));
    EXPECT_EQ(n, 3u);
}

TEST_F(SerialPort, DisableEndsAWaitingReadAndTheNextReadWorks) {
    Line line;
    SerialComPort* port = line.make_port(115200, 600000);
    ASSERT_TRUE(port->open());
    const std::uint8_t three[3] = {5, 6, 7};
    ASSERT_TRUE(line.terminal->master()->write(three, 3));
    auto queued = [&] {
        COMSTAT st{};
        return ClearCommError(port->handle(), nullptr, &st) ? st.cbInQue : 99u;
    };
    ASSERT_TRUE(zephtest::wait_until([&] { return queued() == 3; }));  // the bytes reached the port
    std::atomic<bool> result{true};
    std::atomic<DWORD> count{99};
    zephtest::flag ended;
    BYTE buf[8] = {};
    std::thread reader([&] {
        DWORD n = 8;
        result = port->read(buf, &n);
        count = n;
        ended.set();
    });
    // The read waits once it has taken the three bytes out of the port's queue.
    ASSERT_TRUE(zephtest::wait_until([&] { return queued() == 0; }));
    port->disable();
    ASSERT_TRUE(ended.wait());
    zephtest::join(reader);
    EXPECT_FALSE(result.load());
    EXPECT_EQ(count.load(), 3u);
    port->enable();
    ASSERT_TRUE(line.terminal->master()->write(three, 3));
    BYTE again[3] = {};
    DWORD n = 3;
    ASSERT_TRUE(port->read(again, &n));
    EXPECT_EQ(again[2], 7);
    EXPECT_TRUE(port->is_connected());
}

// A disable on another thread (the device task's bring-up retry, a stop's nudge) while the port is
// closed and opened again (a redial lets the old call's handles go): no call may name a handle value
// the other thread has just closed, which on Windows may already stand for another object.
TEST_F(SerialPort, DisableWhileThePortClosesNeverUsesAClosedHandle) {
    Line line(14);
    SerialComPort* p = line.make_port(115200, 100);
    ASSERT_TRUE(p->open());
    const std::uint64_t closed_before = standin::handles::closed_uses();
    std::atomic<bool> done{false};
    std::atomic<unsigned> disables{0};
    std::thread retry([&] {
        while (!done.load()) {
            p->disable();
            ++disables;
        }
    });
    unsigned reopened = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
        p->close();
        if (p->open()) ++reopened;
    }
    done = true;
    zephtest::join(retry);
    EXPECT_GT(reopened, 10u);
    EXPECT_GT(disables.load(), 10u);
    EXPECT_EQ(standin::handles::closed_uses(), closed_before);
}

// is_connected of a COM port is its flush: both purges and the 500 ms pause.
TEST_F(SerialPort, IsConnectedTakesTheFlushsPause) {
    Line line(15);
    SerialComPort* p = line.make_port(115200, 100);
    ASSERT_TRUE(p->open());
    const DWORD start = GetTickCount();
    EXPECT_TRUE(p->is_connected());
    EXPECT_GE(GetTickCount() - start, 500u);
}

TEST_F(SerialPort, PurgeBeforeATokenKeepsTheHandshakeJustWritten) {
    Line line;
    SerialComPort* port = line.make_port(9600, 2000);  // 960 bytes a second: the bytes wait to go out
    ASSERT_TRUE(port->open());
    const auto data = pattern(50, 3);
    DWORD n = 50;
    ASSERT_TRUE(port->write(data.data(), &n));
    ASSERT_TRUE(port->purge());
    EXPECT_EQ(line.peer_read(50), data);
}

TEST_F(SerialPort, BringUpOnASlowLineWithALateInstrument) {
    Line line;
    line.start_instrument();
    line.model->faults().line_rate(9600);
    line.model->faults().byte_delay_us(200);
    line.make_port(9600, 2000);
    ASSERT_TRUE(line.bring_up());
    EXPECT_EQ(line.model->address(), 1);
    const auto stats = line.device->stats();
    EXPECT_EQ(stats.retransmissions, 0u);  // no handshake of the host was lost
    line.model->queue_bulk_message(pattern(300, 9));
    auto got = read_message(*line.emulation);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, pattern(300, 9));
}

// About one packet in a hundred is damaged, both ways: a byte in 50000 of the instrument's long data
// packets, a byte in 1000 of the host's short tokens and handshakes.
TEST_F(SerialPort, LongBulkStreamWithOnePercentNoise) {
    Line line;
    line.start_instrument();
    line.make_port(921600, 100);  // a lost token costs the whole read time-out
    ASSERT_TRUE(line.bring_up());
    line.model->faults().seed(14);
    line.model->faults().line_probability(line_dir::to_host, line_fault::corrupt, 0.00002);
    line.model->faults().line_probability(line_dir::to_device, line_fault::corrupt, 0.001);
    for (std::uint32_t i = 0; i < 64; ++i) {
        const size_t n = 4000 + i * 37;
        line.model->queue_bulk_message(pattern(n, 0x1000 + i));
        DWORD status = 0;
        auto got = read_message(*line.emulation, &status);
        ASSERT_TRUE(got) << i << " status " << status;
        ASSERT_EQ(*got, pattern(n, 0x1000 + i)) << i;
    }
    ASSERT_TRUE(write_message(*line.emulation, pattern(500, 77)));
    auto received = line.model->take_received_messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], pattern(500, 77));
    EXPECT_GT(line.model->faults().injected().corrupted, 0u);
}

TEST_F(SerialPort, LineUnpluggedMidRead) {
    Line line;
    SerialComPort* port = line.make_port(115200, 300);
    ASSERT_TRUE(port->open());
    std::atomic<bool> result{true};
    zephtest::flag ended;
    std::thread reader([&] {
        BYTE buf[16];
        DWORD n = 16;
        result = port->read(buf, &n);
        ended.set();
    });
    line.terminal.reset();  // the other end goes away
    ASSERT_TRUE(ended.wait());
    zephtest::join(reader);
    EXPECT_FALSE(result.load());
    BYTE b = 0;
    DWORD n = 1;
    EXPECT_FALSE(port->read(&b, &n));
    port->close();
    EXPECT_FALSE(port->is_open());
}
