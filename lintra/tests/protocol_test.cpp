// The serial transport through the device manager: listing, every control code, bulk framing,
// mode selection and info-channel recovery against both firmware toggle rules, cancel, pipe reset,
// unplugging, registration life cycle, two lines at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

#include "lintra/protocol.h"
#include "serial_fixture.h"

using namespace lintra_test;

namespace {

const std::string main_text = "{b8450235-702b-4d26-a97aedf363c41cc4}";

std::vector<BYTE> bytes_of(size_t n, std::uint32_t seed) {
    std::vector<BYTE> out(n);
    simdev::fill_pattern(seed, 0, std::span<std::uint8_t>(out.data(), out.size()));
    return out;
}

// Sends the whole message (length header included) on the instrument's bulk IN.
void offer(SerialInstrument& line, const std::vector<BYTE>& data) { line.model->queue_bulk_message(data); }

// A line whose stop stalls on one chosen thread (the line's own threads disable it too).
struct StallingPort : MemoryComPort {
    StallingPort(std::shared_ptr<simdev::byte_stream> end, const char* name)
        : MemoryComPort(std::move(end), name, 250) {}
    void disable() override {
        DWORD mine = GetCurrentThreadId();
        if (stall_on.compare_exchange_strong(mine, 0)) {
            entered.set();
            go_on.wait();
        }
        MemoryComPort::disable();
    }
    std::atomic<DWORD> stall_on{0};
    zephtest::flag entered, go_on;
};

using lintra_factory = w32cpp::auto_handle<lintra::iapi>* (*)();

lintra_factory factory_of(HMODULE module) {
    return reinterpret_cast<lintra_factory>(reinterpret_cast<void*>(GetProcAddress(module, "lintra_get_instance")));
}

// The state letter of a thread of this process ('S': asleep), '?' when it cannot be read.
char linux_thread_state(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '?';
}

}  // namespace

TEST_F(SerialTransport, ListsTheSerialInstrumentLikeAUsbOneOnlyAfterBringUp) {
    SerialInstrument line("COM1");
    line.model->unplug();  // silent: bring-up cannot succeed
    ASSERT_TRUE(api().register_port(line.port, 1));
    EXPECT_EQ(line.memory_port->counters.opens.load(), 1u);
    // Again: already served, nothing opened.
    EXPECT_TRUE(api().register_port(line.port, 1));
    EXPECT_EQ(line.memory_port->counters.opens.load(), 1u);
    EXPECT_FALSE(api().register_port(line.port, 0));
    // Two bring-up attempts have gone out (each starts with a 129-byte burst).
    ASSERT_TRUE(zephtest::wait_until([&] { return line.memory_port->counters.bytes_written.load() > 2 * 129; }));
    EXPECT_TRUE(listed(wire::device_interface_guid_bulk).empty());

    line.model->replug();
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM11\\"));
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_main, "ZEPHSerial\\COM11\\"));
    auto main = listed(wire::device_interface_guid_main);
    ASSERT_EQ(main.size(), 1u);
    EXPECT_EQ(main.front().name(), "ZEPHSerial\\COM11\\" + main_text);
    karnet::protocol_handle serial;
    api().protocol(serial);
    EXPECT_TRUE(main.front().protocol() == serial);
    EXPECT_EQ(main.front().description().protocol_name, "ZEPHSerial\\COM11");

    // Names are exact: another case opens nothing.
    std::string upper = main.front().name();
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(serial->open(upper), nullptr);
    EXPECT_NE(serial->open(main.front().name()), nullptr);
}

// Two threads register the same line (two port objects of one name) at once: one registration
// serves it, and the port the other opened is closed again, not left holding the line.
TEST_F(SerialTransport, TwoRegistrationsOfOneLineAtOnceLeaveOnePortOpen) {
    struct CountingPort : MemoryComPort {
        CountingPort(std::shared_ptr<simdev::byte_stream> end, std::atomic<int>* arrived)
            : MemoryComPort(std::move(end), "COM27", 250), arrived_(arrived) {}
        bool open() override {
            // Both registrations are past their look at the registry before either opens.
            ++*arrived_;
            zephtest::wait_until([&] { return arrived_->load() >= 2; });
            ++opens;
            return MemoryComPort::open();
        }
        void close() override { ++closes; }
        std::atomic<int>* arrived_;
        std::atomic<int> opens{0}, closes{0};
    };
    SerialInstrument line("COM27");
    std::atomic<int> arrived{0};
    auto* a = new CountingPort(line.host_end, &arrived);
    auto* b = new CountingPort(line.host_end, &arrived);
    w32cpp::auto_handle<IComPort> ha(a), hb(b);
    bool ra = false, rb = false;
    std::thread other([&] { rb = api().register_port(hb, 1); });
    ra = api().register_port(ha, 1);
    zephtest::join(other);
    EXPECT_TRUE(ra);
    EXPECT_TRUE(rb);
    ASSERT_EQ(a->opens.load(), 1);
    ASSERT_EQ(b->opens.load(), 1);
    EXPECT_EQ(a->closes.load() + b->closes.load(), 1);  // the loser's port, and only it
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM271"));
}

// A client that takes the interface straight from the factory and lets it go: its lines stop then,
// on its own thread, not later at library unload (under the loader lock on Windows).
TEST(SerialLibrary, TheLastClientsReleaseStopsTheLines) {
    standin::clock::set_long_wait_scale(0.01);
    SerialInstrument line("COM28");
    HMODULE module = LoadLibraryA("lintra8");
    ASSERT_TRUE(module);
    auto get = factory_of(module);
    ASSERT_TRUE(get);
    {
        w32cpp::auto_handle<lintra::iapi> client = *get();
        ASSERT_TRUE(client->register_port(line.port, 1));
        EXPECT_GT(line.port.use_count(), 1u);  // the line holds the port
    }
    EXPECT_EQ(line.port.use_count(), 1u);  // the line is gone with the last client
    FreeLibrary(module);
    standin::clock::reset();
}

// The last client lets go and its line stops on its thread; a new client that takes the interface and
// registers a line of its own meanwhile waits for that stop, then is served: its line is not met by
// the stop meant for the old one.
TEST(SerialLibrary, AClientThatComesWhileTheLastOnesLinesStopKeepsItsOwnLine) {
    standin::clock::set_long_wait_scale(0.01);
    SerialInstrument old_line("COM29"), new_line("COM30");
    auto* stalling = new StallingPort(old_line.host_end, "COM29");
    w32cpp::auto_handle<IComPort> old_port(stalling);
    HMODULE module = LoadLibraryA("lintra8");
    ASSERT_TRUE(module);
    auto get = factory_of(module);
    ASSERT_TRUE(get);
    auto* old_client = new w32cpp::auto_handle<lintra::iapi>(*get());
    ASSERT_TRUE((*old_client)->register_port(old_port, 1));
    std::thread leaving([&] {
        stalling->stall_on = GetCurrentThreadId();
        delete old_client;
    });
    const bool stopping = stalling->entered.wait();
    EXPECT_TRUE(stopping);

    w32cpp::auto_handle<lintra::iapi> new_client = *get();
    bool registered = false;
    zephtest::flag came;
    std::thread coming([&] {
        registered = new_client->register_port(new_line.port, 1);
        came.set();
    });
    // Waits for the stop (or, unsafe, goes ahead meanwhile).
    came.wait(std::chrono::milliseconds(200));
    stalling->go_on.set();
    zephtest::join(leaving);
    zephtest::join(coming);
    EXPECT_TRUE(registered);
    // The old line is gone (the device manager may let go of its device a moment later).
    EXPECT_TRUE(zephtest::wait_until([&] { return old_port.use_count() == 1; }));
    karnet::protocol_handle serial;
    new_client->protocol(serial);
    EXPECT_TRUE(serial);
    EXPECT_GT(new_line.port.use_count(), 1u);  // the new one is served
    serial.reset();
    new_client.reset();
    EXPECT_TRUE(zephtest::wait_until([&] { return new_line.port.use_count() == 1; }));  // and goes with its client
    FreeLibrary(module);
    standin::clock::reset();
}

// A release leaves the library's holder the only use again while the stop for an earlier last client
// runs, so a second stop waits behind it; before that one can begin, a new client comes and registers
// a line. The second stop then finds a client and leaves that line alone. (Its thread is held, by
// suspending it, until the new client is served.)
TEST(SerialLibrary, AStopThatFindsANewClientLeavesItsLine) {
    standin::clock::set_long_wait_scale(0.01);
    SerialInstrument old_line("COM31"), new_line("COM32");
    auto* stalling = new StallingPort(old_line.host_end, "COM31");
    w32cpp::auto_handle<IComPort> old_port(stalling);
    HMODULE module = LoadLibraryA("lintra8");
    ASSERT_TRUE(module);
    auto get = factory_of(module);
    ASSERT_TRUE(get);
    auto* first = new w32cpp::auto_handle<lintra::iapi>(*get());
    ASSERT_TRUE((*first)->register_port(old_port, 1));
    std::thread leaving([&] {
        stalling->stall_on = GetCurrentThreadId();
        delete first;
    });
    const bool first_stopping = stalling->entered.wait();
    EXPECT_TRUE(first_stopping);

    struct releaser {
        w32cpp::auto_handle<lintra::iapi>* client;
        std::atomic<pid_t> tid{0};
        static DWORD WINAPI run(LPVOID p) {
            auto& r = *static_cast<releaser*>(p);
            r.tid = static_cast<pid_t>(syscall(SYS_gettid));
            delete r.client;
            return 0;
        }
    } second{new w32cpp::auto_handle<lintra::iapi>(*get())};
    HANDLE releasing = CreateThread(nullptr, 0, &releaser::run, &second, 0, nullptr);
    ASSERT_NE(releasing, nullptr);
    // Released (the holder alone is left) and asleep: waiting for the first stop to be done.
    const bool second_waits = zephtest::wait_until([&] {
        const pid_t tid = second.tid;
        return tid && (*get()).use_count() == 1 && linux_thread_state(tid) == 'S';
    });
    EXPECT_TRUE(second_waits);
    EXPECT_EQ(SuspendThread(releasing), 0u);

    w32cpp::auto_handle<lintra::iapi> third = *get();
    bool registered = false;
    zephtest::flag came;
    std::thread coming([&] {
        registered = third->register_port(new_line.port, 1);
        came.set();
    });
    stalling->go_on.set();
    zephtest::join(leaving);
    EXPECT_TRUE(came.wait());
    zephtest::join(coming);
    EXPECT_TRUE(registered);

    ResumeThread(releasing);
    EXPECT_EQ(WaitForSingleObject(releasing, zephtest::deadline_ms), WAIT_OBJECT_0);
    CloseHandle(releasing);
    karnet::protocol_handle serial;
    third->protocol(serial);
    EXPECT_TRUE(serial);
    EXPECT_GT(new_line.port.use_count(), 1u);  // still served
    serial.reset();
    third.reset();
    EXPECT_TRUE(zephtest::wait_until([&] { return new_line.port.use_count() == 1; }));
    FreeLibrary(module);
    standin::clock::reset();
}

TEST_F(SerialTransport, DeviceNamesStayDistinctForEveryLineAndAddress) {
    using lintra::io_protocol_lintra;
    EXPECT_EQ(io_protocol_lintra::device_name("COM1", 1), "ZEPHSerial\\COM11");
    EXPECT_EQ(io_protocol_lintra::device_name("COM3", 0xA), "ZEPHSerial\\COM3a");
    EXPECT_NE(io_protocol_lintra::device_name("COM1", 0x11), io_protocol_lintra::device_name("COM11", 1));
    EXPECT_NE(io_protocol_lintra::device_name("COM1", 0x1F), io_protocol_lintra::device_name("COM11", 0xF));
    EXPECT_EQ(lintra::ZephProtocolDevice::guid_text(wire::device_interface_guid_main), main_text);
}

TEST_F(SerialTransport, ASecondAddressOnABusyLineIsRefused) {
    SerialInstrument line("COM2");
    ASSERT_TRUE(api().register_port(line.port, 1));
    EXPECT_FALSE(api().register_port(line.port, 2));
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM21\\"));
    EXPECT_EQ(listed(wire::device_interface_guid_bulk).size(), 1u);
}

TEST_F(SerialTransport, EveryControlCodeWithGoodShortAndOversizedBuffers) {
    simdev::instrument_config cfg;
    cfg.product = "Zeph Serial";
    SerialInstrument line("COM4", cfg);
    ASSERT_TRUE(api().register_port(line.port, 1));
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM41"));
    karnet::io_session s = open("ZEPHSerial\\COM41");
    ASSERT_TRUE(s.is_open());

    BYTE index = 0;
    EXPECT_EQ(control(s, wire::IOCTL_GET_PRODUCT_INDEX, &index, 1, nullptr, 0).status, 0u);
    EXPECT_EQ(index, 2);
    BYTE two[2];
    EXPECT_EQ(control(s, wire::IOCTL_GET_PRODUCT_INDEX, two, 2, nullptr, 0).status, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(control(s, wire::IOCTL_GET_BCD_DEVICE, two, 2, nullptr, 0).status, 0u);
    EXPECT_EQ(two[0] | (two[1] << 8), 0x0105);
    EXPECT_EQ(control(s, wire::IOCTL_GET_BCD_DEVICE, two, 1, nullptr, 0).status, DWORD(ERROR_INVALID_PARAMETER));
    BYTE m = 0, n = 0;
    EXPECT_EQ(control(s, wire::IOCTL_GET_MANUFACTURER_INDEX, &m, 1, nullptr, 0).status, 0u);
    EXPECT_EQ(control(s, wire::IOCTL_GET_SERIAL_NUMBER_INDEX, &n, 1, nullptr, 0).status, 0u);
    EXPECT_EQ(m, 1);
    EXPECT_EQ(n, 3);

    // The string in two steps: the whole descriptor length, then the text and a zero character.
    BYTE length = 0;
    reply r = control(s, wire::IOCTL_GET_STRING_LENGTH, &length, 1, &index, 1);
    ASSERT_EQ(r.status, 0u);
    EXPECT_EQ(length, 2 + 2 * cfg.product.size());
    std::vector<BYTE> text(length + 2, 0xEE);
    r = control(s, wire::IOCTL_GET_STRING, text.data(), DWORD(text.size()), &index, 1);
    ASSERT_EQ(r.status, 0u);
    EXPECT_EQ(r.bytes, length);
    std::string ascii;
    for (size_t i = 0; i + 1 < r.bytes && text[i]; i += 2) ascii += char(text[i]);
    EXPECT_EQ(ascii, cfg.product);
    EXPECT_EQ(text[length - 2], 0);
    EXPECT_EQ(text[length - 1], 0);
    // A short buffer gets the head of the text; a wrong input size is refused.
    std::vector<BYTE> shortbuf(6);
    EXPECT_EQ(control(s, wire::IOCTL_GET_STRING, shortbuf.data(), 6, &index, 1).status, 0u);
    EXPECT_EQ(shortbuf[0], 'Z');
    EXPECT_EQ(control(s, wire::IOCTL_GET_STRING, shortbuf.data(), 6, two, 2).status, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(control(s, wire::IOCTL_GET_STRING_LENGTH, two, 2, &index, 1).status, DWORD(ERROR_INVALID_PARAMETER));
    // A string the instrument does not have is stalled.
    BYTE missing = 9;
    EXPECT_EQ(control(s, wire::IOCTL_GET_STRING_LENGTH, &length, 1, &missing, 1).status, DWORD(1117));

    // Modes: 0 and 1, never 2; an empty mode request is refused before anything is sent.
    EXPECT_EQ(set_mode(s, 1).status, 0u);
    EXPECT_EQ(set_mode(s, 2).status, DWORD(ERROR_GEN_FAILURE));
    EXPECT_EQ(control(s, wire::IOCTL_SELECT_MODE, nullptr, 0, nullptr, 0).status, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(line.model->configuration(), 1);

    // Vendor requests: write, read back, command; bytes count the header.
    std::vector<DWORD> words(12);
    for (size_t i = 0; i < words.size(); ++i) words[i] = DWORD(0x100000 + i * 0x1111);
    r = vendor_write(s, 0x000002, 1, words);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.bytes, 8u + 36u);
    std::vector<std::uint32_t> stored = line.model->normal_config();
    ASSERT_EQ(stored.size(), 12u);
    for (size_t i = 0; i < words.size(); ++i) EXPECT_EQ(stored[i], words[i]);
    std::vector<BYTE> data;
    r = vendor_read(s, 0x000002, 3, 24, &data);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.bytes, 8u + 72u);
    EXPECT_EQ(wire::get24(data.data() + 3), words[1]);
    EXPECT_EQ(vendor_command(s, 0x000003, 3).status, 0u);

    // Oversized and short: refused with 87 before any byte reaches the instrument.
    const auto before = line.model->vendor_requests();
    std::vector<BYTE> big(8 + 387);
    wire::header_view{big.data()}.write(0x000002, 3, 129);
    EXPECT_EQ(control(s, wire::IOCTL_VENDOR_READ, big.data(), DWORD(big.size()), big.data(), 8).status,
              DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(control(s, wire::IOCTL_VENDOR_WRITE, nullptr, 0, big.data(), DWORD(big.size())).status,
              DWORD(ERROR_INVALID_PARAMETER));
    // The reply must fit the output, not the 8-byte input view.
    std::vector<BYTE> small(8 + 12);
    wire::header_view{small.data()}.write(0x000004, 1, 5);
    EXPECT_EQ(control(s, wire::IOCTL_VENDOR_READ, small.data(), DWORD(small.size()), small.data(), 8).status,
              DWORD(ERROR_INVALID_PARAMETER));
    // A write whose data are not all in the input.
    wire::header_view{small.data()}.write(0x000002, 1, 12);
    EXPECT_EQ(control(s, wire::IOCTL_VENDOR_WRITE, nullptr, 0, small.data(), DWORD(small.size())).status,
              DWORD(ERROR_INVALID_PARAMETER));
    // A command with data, short headers.
    EXPECT_EQ(control(s, wire::IOCTL_VENDOR_COMMAND, nullptr, 0, small.data(), 8).status,
              DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(control(s, wire::IOCTL_VENDOR_READ, small.data(), DWORD(small.size()), small.data(), 3).status,
              DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(control(s, wire::IOCTL_VENDOR_COMMAND, nullptr, 0, nullptr, 0).status, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(line.model->vendor_requests(), before);

    // Unknown shapes the instrument refuses come back as 1117; unsupported codes as 50.
    EXPECT_EQ(vendor_command(s, 0x000077, 0).status, DWORD(1117));
    EXPECT_EQ(control(s, wire::IOCTL_UNSUPPORTED, nullptr, 0, nullptr, 0).status, DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(control(s, wire::IOCTL_GET_FIXED_INDEX, &index, 1, nullptr, 0).status, DWORD(ERROR_NOT_SUPPORTED));

    // A reset brings the device up again; it stays listed.
    EXPECT_EQ(control(s, wire::IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0).status, 0u);
    EXPECT_EQ(set_mode(s, 1).status, 0u);
    EXPECT_EQ(vendor_read(s, 0x000004, 1, 5, &data).status, 0u);
}

TEST_F(SerialTransport, BulkFramingAtPacketEdgesBothWays) {
    SerialInstrument line("COM5");
    ASSERT_TRUE(api().register_port(line.port, 1));
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM51"));
    karnet::io_session s = open("ZEPHSerial\\COM51");
    // Before a configuration is selected, bulk requests fail.
    std::vector<BYTE> buffer(16);
    EXPECT_EQ(read(s, buffer).status, DWORD(ERROR_GEN_FAILURE));
    EXPECT_EQ(write(s, bytes_of(4, 1)).status, DWORD(ERROR_GEN_FAILURE));
    ASSERT_EQ(set_mode(s, 1).status, 0u);

    for (size_t n : {size_t(0), size_t(1), size_t(59), size_t(60), size_t(61), size_t(1023), size_t(1024), size_t(1025),
                     size_t(1) << 20}) {
        SCOPED_TRACE(n);
        const auto data = bytes_of(n, std::uint32_t(n));
        reply w = write(s, data, 120000);
        ASSERT_EQ(w.status, 0u);
        EXPECT_EQ(w.bytes, n);
        auto got = line.model->take_received_messages();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], data);

        offer(line, data);
        std::vector<BYTE> in(n + 7, 0xEE);
        reply r = read(s, in, 120000);
        ASSERT_EQ(r.status, 0u);
        ASSERT_EQ(r.bytes, n);
        in.resize(n);
        EXPECT_EQ(in, data);
    }
}

// A frame too long for the caller is drained so that the next read starts on a frame boundary; a
// frame shorter than its header announces ends the drain at the short packet that ends it.
TEST_F(SerialTransport, AReplyLongerThanTheBufferIsDrainedAndTheNextReadIsGood) {
    SerialInstrument line("COM6");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM61");
    ASSERT_FALSE(HasFailure());
    for (bool short_frame : {false, true}) {
        SCOPED_TRACE(short_frame ? "a frame shorter than announced" : "a whole frame");
        if (short_frame) {
            std::vector<BYTE> frame = {0x88, 0x13, 0x00};  // announces 5000 bytes
            const auto body = bytes_of(200, 7);            // but carries 200
            frame.insert(frame.end(), body.begin(), body.end());
            line.model->queue_bulk_frame(frame);
        } else {
            offer(line, bytes_of(5000, 7));
        }
        offer(line, bytes_of(300, 8));
        std::vector<BYTE> small(100);
        EXPECT_EQ(read(s, small).status, DWORD(8309));
        std::vector<BYTE> good(300);
        reply r = read(s, good);
        ASSERT_EQ(r.status, 0u);
        EXPECT_EQ(r.bytes, 300u);
        EXPECT_EQ(good, bytes_of(300, 8));
    }
}

TEST_F(SerialTransport, ABlockTheLengthHeaderCannotCarryIsRefused) {
    SerialInstrument line("COM7");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM71");
    ASSERT_FALSE(HasFailure());
    const auto outs = line.device->stats().outs;
    std::vector<BYTE> huge(size_t(1) << 24);
    EXPECT_EQ(write(s, huge).status, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(line.device->stats().outs, outs);
    EXPECT_TRUE(line.model->take_received_messages().empty());
}

TEST_F(SerialTransport, StallOnABulkReadIsADeviceErrorNotACancel) {
    SerialInstrument line("COM8");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM81");
    ASSERT_FALSE(HasFailure());
    line.model->set_halt(0x81, true);
    std::vector<BYTE> buffer(64);
    EXPECT_EQ(read(s, buffer).status, DWORD(1117));
    line.model->set_halt(0x01, true);
    EXPECT_EQ(write(s, bytes_of(10, 1)).status, DWORD(1117));
}

TEST_F(SerialTransport, CancelAndPipeResetEndPendingReads) {
    SerialInstrument line("COM9");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM91");
    ASSERT_FALSE(HasFailure());

    std::vector<BYTE> a(64), b(64);
    karnet::io_read first = s.read_on_memory(a.data(), 64, false);
    karnet::io_read second = s.read_on_memory(b.data(), 64, false);
    ASSERT_TRUE(s.submit_read(first));
    ASSERT_TRUE(s.submit_read(second));
    EXPECT_EQ(first.request()->wait_for(100).get_code(), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(s.cancel().get_code(), 0u);
    EXPECT_EQ(finish(s, first.request(), 20000), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(finish(s, second.request(), 20000), DWORD(ERROR_OPERATION_ABORTED));

    // A pipe reset aborts the waiting read and drops what the instrument held back.
    karnet::io_read third = s.read_on_memory(a.data(), 64, false);
    ASSERT_TRUE(s.submit_read(third));
    EXPECT_EQ(vendor_command(s, wire::WORD_READ_PIPE_RESET, 0).status, 0u);
    EXPECT_EQ(finish(s, third.request(), 20000), DWORD(ERROR_OPERATION_ABORTED));
    // A pipe reset queued behind another request starts from that request's completion on the
    // emulation worker; its exchanges run elsewhere, so the worker never waits for itself.
    std::vector<BYTE> state(8 + 15);
    wire::header_view{state.data()}.write(0x000004, 1, 5);
    karnet::io_control before = s.control_on_memory(wire::IOCTL_VENDOR_READ, state.data(), 23, state.data(), 8);
    BYTE header[8] = {};
    wire::header_view{header}.write(wire::WORD_WRITE_PIPE_RESET, 0, 0);
    karnet::io_control reset = s.control_on_memory(wire::IOCTL_VENDOR_COMMAND, nullptr, 0, header, 8);
    ASSERT_TRUE(s.submit_control(before));
    ASSERT_TRUE(s.submit_control(reset));
    EXPECT_EQ(finish(s, before.request(), 20000), 0u);
    EXPECT_EQ(finish(s, reset.request(), 4000), 0u);
    EXPECT_EQ(reset.request()->bytes(), 8u);
    offer(line, bytes_of(40, 3));
    reply r = read(s, a);
    ASSERT_EQ(r.status, 0u);
    EXPECT_EQ(std::vector<BYTE>(a.begin(), a.begin() + 40), bytes_of(40, 3));
    ASSERT_EQ(write(s, bytes_of(70, 4)).status, 0u);
    auto got = line.model->take_received_messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], bytes_of(70, 4));

    // Its exchanges never run on the submitting thread either: submitted while the worker's
    // exchange is held in a read (holding the line), a pipe reset is queued and the call returns.
    line.memory_port->hold_reads(true);
    karnet::io_read held = s.read_on_memory(b.data(), 64, false);
    ASSERT_TRUE(s.submit_read(held));
    ASSERT_TRUE(line.memory_port->wait_read_held(20000));
    wire::header_view{header}.write(wire::WORD_READ_PIPE_RESET, 0, 0);
    karnet::io_control again = s.control_on_memory(wire::IOCTL_VENDOR_COMMAND, nullptr, 0, header, 8);
    zephtest::flag submitted;
    std::thread submitter([&] {
        s.submit_control(again);
        submitted.set();
    });
    const bool returned = submitted.wait(std::chrono::milliseconds(2000));
    line.memory_port->hold_reads(false);
    zephtest::join(submitter);
    EXPECT_TRUE(returned) << "the pipe reset's submission waited for the line";
    EXPECT_EQ(finish(s, again.request(), 20000), 0u);
    EXPECT_EQ(finish(s, held.request(), 20000), DWORD(ERROR_OPERATION_ABORTED));
}

// One request cancelled by itself (the instrument API's stops take back their own reads so): the
// queued one and then the running one end with 995; the others run on.
TEST_F(SerialTransport, CancellingOneRequestLeavesTheOthersRunning) {
    SerialInstrument line("COM4");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM41");
    ASSERT_FALSE(HasFailure());
    karnet::protocol_handle protocol = s.protocol();
    karnet::device_handle handle = s.handle();
    ASSERT_TRUE(protocol);

    std::vector<BYTE> a(64), b(64);
    karnet::io_read first = s.read_on_memory(a.data(), 64, false);
    karnet::io_read second = s.read_on_memory(b.data(), 64, false);
    ASSERT_TRUE(s.submit_read(first));
    ASSERT_TRUE(s.submit_read(second));
    EXPECT_EQ(karnet::cancel_request(*protocol, &handle, *second.request()).get_code(), 0u);
    EXPECT_EQ(finish(s, second.request(), 20000), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(first.request()->wait_for(100).get_code(), DWORD(WAIT_TIMEOUT));
    // A control request on another thread meanwhile is not touched either.
    std::thread other([&] {
        karnet::io_control bcd = s.control_of_size(wire::IOCTL_GET_BCD_DEVICE, 2, 0);
        EXPECT_EQ(s.control_and_wait(bcd, 20000).get_code(), 0u);
    });
    zephtest::join(other);
    EXPECT_EQ(karnet::cancel_request(*protocol, &handle, *first.request()).get_code(), 0u);
    EXPECT_EQ(finish(s, first.request(), 20000), DWORD(ERROR_OPERATION_ABORTED));
    // Done already: nothing happens.
    EXPECT_EQ(karnet::cancel_request(*protocol, &handle, *first.request()).get_code(), 0u);

    EXPECT_EQ(vendor_command(s, wire::WORD_READ_PIPE_RESET, 0).status, 0u);
    offer(line, bytes_of(40, 5));
    reply r = read(s, a);
    ASSERT_EQ(r.status, 0u);
    EXPECT_EQ(std::vector<BYTE>(a.begin(), a.begin() + 40), bytes_of(40, 5));
}

// A read cancelled while a data packet of its frame is on the line: the packet lands in the
// caller's buffer when it ends, so the read may report 995 only after that, never before.
TEST_F(SerialTransport, ACancelledReadLetsGoOfItsBufferOnlyWhenItsPacketHasLanded) {
    SerialInstrument line("COM10", {}, {}, 5000);
    karnet::io_session s = ready(line, "ZEPHSerial\\COM101");
    ASSERT_FALSE(HasFailure());
    const std::vector<BYTE> frame = bytes_of(2000, 9);
    offer(line, frame);
    // A data packet of 1024 bytes takes about two seconds at this rate.
    line.model->faults().line_rate(4800);
    std::vector<BYTE> buffer(4096, 0);
    karnet::io_read pending = s.read_on_memory(buffer.data(), DWORD(buffer.size()), false);
    ASSERT_TRUE(s.submit_read(pending));
    // The header has been taken: the data stage's first packet is asked for next.
    const std::vector<BYTE> head(frame.begin(), frame.begin() + 3);
    ASSERT_TRUE(zephtest::wait_until([&] { return line.model->bulk_in_peek(3) == head; }));
    EXPECT_EQ(s.cancel().get_code(), 0u);
    EXPECT_EQ(finish(s, pending.request(), 20000), DWORD(ERROR_OPERATION_ABORTED));
    // The caller takes its buffer back.
    std::fill(buffer.begin(), buffer.end(), BYTE(0xEE));
    // The pipe reset runs behind whatever the worker was doing on the line.
    EXPECT_EQ(vendor_command(s, wire::WORD_READ_PIPE_RESET, 0).status, 0u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), BYTE(0xEE)), std::ptrdiff_t(buffer.size()));
    line.model->faults().line_rate(0);
    offer(line, bytes_of(50, 10));
    std::vector<BYTE> next(64);
    reply r = read(s, next);
    ASSERT_EQ(r.status, 0u);
    next.resize(r.bytes);
    EXPECT_EQ(next, bytes_of(50, 10));
}

// A pipe reset cancelled while it waits behind a device reset resets nothing later: reads that the
// client starts after the cancel are not aborted by it.
TEST_F(SerialTransport, ACancelledPipeResetLeavesLaterReadsAlone) {
    SerialInstrument line("COM5");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM51");
    ASSERT_FALSE(HasFailure());
    // The reset's bring-up is held in its first read; the idle worker reads nothing meanwhile.
    line.memory_port->hold_reads(true);
    karnet::io_control reset = s.control_on_memory(wire::IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0);
    ASSERT_TRUE(s.submit_control(reset));
    ASSERT_TRUE(line.memory_port->wait_read_held(20000));
    BYTE header[8] = {};
    wire::header_view{header}.write(wire::WORD_READ_PIPE_RESET, 0, 0);
    karnet::io_control pipe = s.control_on_memory(wire::IOCTL_VENDOR_COMMAND, nullptr, 0, header, 8);
    ASSERT_TRUE(s.submit_control(pipe));
    EXPECT_EQ(s.cancel().get_code(), 0u);
    EXPECT_EQ(finish(s, pipe.request(), 20000), DWORD(ERROR_OPERATION_ABORTED));
    std::vector<BYTE> buffer(64);
    karnet::io_read later = s.read_on_memory(buffer.data(), 64, false);
    ASSERT_TRUE(s.submit_read(later));
    line.memory_port->hold_reads(false);
    EXPECT_EQ(finish(s, reset.request(), 20000), 0u);
    offer(line, bytes_of(30, 4));
    ASSERT_EQ(finish(s, later.request(), 20000), 0u);
    EXPECT_EQ(later.request()->bytes(), 30u);
    buffer.resize(30);
    EXPECT_EQ(buffer, bytes_of(30, 4));
}

// Whether the firmware starts its toggles again on SET_CONFIGURATION and SET_INTERFACE.
struct FirmwareRule {
    bool resets_toggles;
};

class SerialFirmware : public SerialTransport, public ::testing::WithParamInterface<FirmwareRule> {
protected:
    simdev::instrument_config config() const {
        simdev::instrument_config cfg;
        cfg.set_configuration_resets_toggles = GetParam().resets_toggles;
        cfg.set_interface_resets_toggles = GetParam().resets_toggles;
        return cfg;
    }
    // Three packets a message each way (header, a full packet, the rest), three messages: both
    // data toggles are left at DATA1, where a firmware that keeps them differs from the host's reset.
    void traffic(SerialInstrument& line, karnet::io_session& s, std::uint32_t seed) {
        for (std::uint32_t i = 0; i < 3; ++i) {
            const auto out = bytes_of(70 + i, seed + i);
            ASSERT_EQ(write(s, out).status, 0u);
            auto got = line.model->take_received_messages();
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0], out);
            const auto in = bytes_of(1025 + i, seed + 100 + i);
            offer(line, in);
            std::vector<BYTE> buffer(2048);
            reply r = read(s, buffer);
            ASSERT_EQ(r.status, 0u);
            buffer.resize(r.bytes);
            EXPECT_EQ(buffer, in);
        }
    }
};

TEST_P(SerialFirmware, ModeOneSelectedTwiceWithBulkTrafficBetween) {
    SerialInstrument line("COM12", config());
    karnet::io_session s = ready(line, "ZEPHSerial\\COM121");
    ASSERT_FALSE(HasFailure());
    traffic(line, s, 1000);
    ASSERT_EQ(set_mode(s, 1).status, 0u);
    traffic(line, s, 2000);
    ASSERT_EQ(set_mode(s, 0).status, 0u);
    std::vector<BYTE> buffer(8);
    EXPECT_EQ(read(s, buffer).status, DWORD(ERROR_GEN_FAILURE));
    ASSERT_EQ(set_mode(s, 1).status, 0u);
    traffic(line, s, 3000);
}

TEST_P(SerialFirmware, InfoChannelRecoveryThenBulkTrafficLosesNothing) {
    SerialInstrument line("COM13", config());
    karnet::io_session s = ready(line, "ZEPHSerial\\COM131");
    ASSERT_FALSE(HasFailure());
    traffic(line, s, 10);

    // A notification arrives by the interrupt poll.
    std::vector<BYTE> record(64);
    karnet::io_control info = s.control_on_memory(wire::IOCTL_READ_NOTIFICATION, record.data(), 64, nullptr, 0);
    line.model->raise_event(0x0100);
    ASSERT_EQ(finish(s, s.submit_control(info), 20000), 0u);
    EXPECT_EQ(wire::notify_code(record.data()), 0x0100);

    // The instrument stops answering: the waiting notification reports it and the device goes.
    karnet::io_control lost = s.control_on_memory(wire::IOCTL_READ_NOTIFICATION, record.data(), 64, nullptr, 0);
    ASSERT_TRUE(s.submit_control(lost));
    line.model->unplug();
    EXPECT_EQ(finish(s, lost.request(), 30000), DWORD(ERROR_SEM_TIMEOUT));
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM131", false));
    EXPECT_FALSE(s.is_open());

    // Back on the line: brought up again and listed; a new session streams without loss.
    line.model->replug();
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM131"));
    karnet::io_session again = open("ZEPHSerial\\COM131");
    ASSERT_TRUE(again.is_open());
    ASSERT_EQ(set_mode(again, 1).status, 0u);
    traffic(line, again, 20);
}

INSTANTIATE_TEST_SUITE_P(Rules, SerialFirmware, ::testing::Values(FirmwareRule{true}, FirmwareRule{false}),
                         [](const auto& info) { return info.param.resets_toggles ? "ResetsToggles" : "KeepsToggles"; });

TEST_F(SerialTransport, UnpluggedInstrumentFailsEveryOperationWithoutHanging) {
    SerialInstrument line("COM14");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM141");
    ASSERT_FALSE(HasFailure());
    // The instrument goes in the middle of a frame's data.
    line.model->faults().remove_after_bulk_in(5000);
    offer(line, bytes_of(20000, 1));
    std::vector<BYTE> buffer(20000);
    EXPECT_EQ(read(s, buffer).status, DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_FALSE(line.model->plugged());
    EXPECT_EQ(read(s, buffer).status, DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(write(s, bytes_of(100, 2)).status, DWORD(ERROR_SEM_TIMEOUT));
    std::vector<BYTE> data;
    EXPECT_EQ(vendor_read(s, 0x000004, 1, 5, &data).status, DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(vendor_command(s, 0x000003, 3).status, DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(set_mode(s, 1).status, DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(vendor_command(s, wire::WORD_READ_PIPE_RESET, 0).status, DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(control(s, wire::IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0).status, DWORD(ERROR_GEN_FAILURE));
    // The failed reset left the device down; it comes back by itself once the instrument answers.
    line.model->replug();
    ASSERT_TRUE(zephtest::wait_until([&] { return vendor_read(s, 0x000004, 1, 5, &data).status == 0; }));
    offer(line, bytes_of(100, 5));
    std::vector<BYTE> in(100);
    ASSERT_EQ(read(s, in).status, 0u);
    EXPECT_EQ(in, bytes_of(100, 5));
}

TEST_F(SerialTransport, RegisterUnregisterAndRegisterAgainEvenMidBringUp) {
    SerialInstrument line("COM15");
    // Unregistering while the device task is in the middle of a bring-up exchange.
    line.memory_port->hold_reads(true);
    ASSERT_TRUE(api().register_port(line.port, 1));
    ASSERT_TRUE(line.memory_port->wait_read_held(10000));
    api().unregister_port(line.port, 1);
    line.memory_port->hold_reads(false);
    EXPECT_TRUE(listed(wire::device_interface_guid_bulk).empty());

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(api().register_port(line.port, 1));
        ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM151"));
        karnet::io_session s = open("ZEPHSerial\\COM151");
        ASSERT_EQ(set_mode(s, 1).status, 0u);
        EXPECT_EQ(write(s, bytes_of(33, round)).status, 0u);
        api().unregister_port(line.port, 1);
        ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM151", false));
        EXPECT_FALSE(s.is_open());
    }
    EXPECT_EQ(line.memory_port->counters.opens.load(), 4u);
    // flush and stop act on a registered device only.
    EXPECT_FALSE(api().flush_port());
    EXPECT_FALSE(api().stop_port());
}

TEST_F(SerialTransport, SerialDisableLetsTheLinesGoAndALaterRegistrationStartsAfresh) {
    SerialInstrument line("COM16");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM161");
    ASSERT_FALSE(HasFailure());
    // Two notifications: the second waits behind the first.
    std::vector<BYTE> r1(64), r2(64);
    karnet::io_control first = s.control_on_memory(wire::IOCTL_READ_NOTIFICATION, r1.data(), 64, nullptr, 0);
    karnet::io_control second = s.control_on_memory(wire::IOCTL_READ_NOTIFICATION, r2.data(), 64, nullptr, 0);
    ASSERT_TRUE(s.submit_control(first));
    ASSERT_TRUE(s.submit_control(second));
    line.model->raise_event(0x0200);
    EXPECT_EQ(finish(s, first.request(), 20000), 0u);
    EXPECT_EQ(wire::notify_code(r1.data()), 0x0200);
    EXPECT_FALSE(second.request()->done());
    line.model->raise_event(0x0400);
    EXPECT_EQ(finish(s, second.request(), 20000), 0u);
    EXPECT_EQ(wire::notify_code(r2.data()), 0x0400);

    karnet::io_control waiting = s.control_on_memory(wire::IOCTL_READ_NOTIFICATION, r1.data(), 64, nullptr, 0);
    ASSERT_TRUE(s.submit_control(waiting));
    api().serial_disable();
    EXPECT_EQ(finish(s, waiting.request(), 20000), DWORD(ERROR_OPERATION_ABORTED));
    karnet::protocol_handle serial;
    api().protocol(serial);
    EXPECT_FALSE(serial);
    EXPECT_TRUE(listed(wire::device_interface_guid_bulk).empty());
    EXPECT_FALSE(s.is_open());
    EXPECT_FALSE(api().flush_port());

    karnet::io_session again = ready(line, "ZEPHSerial\\COM161");
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(line.memory_port->counters.opens.load(), 2u);
    EXPECT_EQ(write(again, bytes_of(64, 9)).status, 0u);
}

TEST_F(SerialTransport, TwoLinesAtOnce) {
    SerialInstrument a("COM21"), b("COM22");
    ASSERT_TRUE(api().register_port(a.port, 1));
    ASSERT_TRUE(api().register_port(b.port, 1));
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM211"));
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, "ZEPHSerial\\COM221"));
    karnet::io_session sa = open("ZEPHSerial\\COM211");
    karnet::io_session sb = open("ZEPHSerial\\COM221");
    ASSERT_EQ(set_mode(sa, 1).status, 0u);
    ASSERT_EQ(set_mode(sb, 1).status, 0u);
    std::thread other([&] {
        for (int i = 0; i < 20; ++i) {
            offer(b, bytes_of(500, 50 + i));
            std::vector<BYTE> in(500);
            reply r = read(sb, in);
            EXPECT_EQ(r.status, 0u);
            EXPECT_EQ(in, bytes_of(500, 50 + i));
        }
    });
    for (int i = 0; i < 20; ++i) {
        offer(a, bytes_of(700, 10 + i));
        std::vector<BYTE> in(700);
        reply r = read(sa, in);
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(in, bytes_of(700, 10 + i));
    }
    zephtest::join(other);
    EXPECT_TRUE(api().flush_port());
    EXPECT_TRUE(api().stop_port());
}

// stop_port right after an interrupt poll: the abort leaves the interrupt endpoint idle at once, so
// the stop takes its fixed sleep and no more; it does not wait for the next poll a period later.
TEST_F(SerialTransport, StopPortTakesItsSleepNotAnotherPollPeriod) {
    standin::clock::set_long_wait_scale(0.2);  // the poll period and the stop's sleep: 1000 ms
    SerialInstrument line("COM25");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM251");
    ASSERT_FALSE(HasFailure());
    std::vector<BYTE> record(64);
    karnet::io_control info = s.control_on_memory(wire::IOCTL_READ_NOTIFICATION, record.data(), 64, nullptr, 0);
    line.model->raise_event(0x0100);
    ASSERT_EQ(finish(s, s.submit_control(info), 20000), 0u);  // a poll has just run
    const DWORD start = GetTickCount();
    EXPECT_TRUE(api().stop_port());
    const DWORD took = GetTickCount() - start;
    EXPECT_GE(took, standin::clock::scaled(5000) - 50);
    EXPECT_LE(took, standin::clock::scaled(5000) + 300);
}

TEST_F(SerialTransport, LineNoiseBothWaysNeverDeliversCorruptedData) {
    SerialInstrument line("COM23");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM231");
    ASSERT_FALSE(HasFailure());
    // A measurement: blocks of 1 u16, 196 u16, 196 pattern bytes.
    ASSERT_EQ(vendor_write(s, 0x000003, 1, {0}).status, 0u);
    line.model->faults().seed(7);
    line.model->faults().line_probability(simdev::line_dir::to_host, simdev::line_fault::corrupt, 0.01);
    line.model->faults().line_probability(simdev::line_dir::to_device, simdev::line_fault::corrupt, 0.01);
    unsigned good = 0, failed = 0;
    for (int i = 0; i < 150 && good < 60; ++i) {
        std::vector<BYTE> block(200);
        reply r = read(s, block, 15000);
        if (r.status != 0) {
            ++failed;
            // The frame may be cut: start the stream on a frame boundary again.
            vendor_command(s, wire::WORD_READ_PIPE_RESET, 0);
            continue;
        }
        ++good;
        ASSERT_EQ(r.bytes, 200u);
        ASSERT_EQ(block[0] | (block[1] << 8), 1);
        ASSERT_EQ(block[2] | (block[3] << 8), 196);
        const std::uint32_t k = wire::get24(block.data() + 4) | (std::uint32_t(block[7]) << 24);
        const std::uint64_t offset = std::uint64_t(k - simdev::seed::measurement) * 4;
        EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, offset,
                                           std::span<const std::uint8_t>(block.data() + 4, 196)))
            << "block " << i;
    }
    EXPECT_GE(good, 20u);
    line.model->faults().clear();
}

TEST_F(SerialTransport, LateBytesOnASlowLineNeverReadAsAnAnswer) {
    SerialInstrument line("COM24");
    karnet::io_session s = ready(line, "ZEPHSerial\\COM241");
    ASSERT_FALSE(HasFailure());
    // A 1024-byte packet takes about a second at 9600 baud, longer than the port waits: the host
    // gives up, purges and asks again while the rest of the old answer is still arriving.
    line.model->faults().line_rate(9600);
    const auto big = bytes_of(2000, 41);
    offer(line, big);
    std::vector<BYTE> in(4096);
    reply r = read(s, in, 60000);
    if (r.status == 0) {
        ASSERT_EQ(r.bytes, big.size());
        in.resize(r.bytes);
        EXPECT_EQ(in, big);
    }
    line.model->faults().clear();
    // Exchanges fail (never succeed on stray bytes) until the old answer has drained; then a pipe
    // reset puts the stream back on a frame boundary and the next answer is the next message, whole.
    ASSERT_TRUE(zephtest::wait_until([&] { return vendor_command(s, wire::WORD_READ_PIPE_RESET, 0).status == 0; }));
    const auto small = bytes_of(100, 42);
    offer(line, small);
    std::vector<BYTE> again(256);
    r = read(s, again);
    ASSERT_EQ(r.status, 0u);
    again.resize(r.bytes);
    EXPECT_EQ(again, small);
}

TEST_F(SerialTransport, SessionOverAPseudoTerminalRunsRequestsAndStreams) {
    auto line = SerialInstrument::on_pty();
    ASSERT_TRUE(api().register_port(line->port, 1));
    std::string name;
    line->port->name(name);
    const std::string device = "ZEPHSerial\\" + name + "1";
    ASSERT_TRUE(wait_listed(wire::device_interface_guid_bulk, device));
    karnet::io_session s = open(device);
    ASSERT_TRUE(s.is_open());
    ASSERT_EQ(set_mode(s, 1).status, 0u);
    std::vector<BYTE> state;
    ASSERT_EQ(vendor_read(s, 0x000004, 1, 5, &state).status, 0u);
    EXPECT_EQ(wire::get24(state.data()), 0u);  // idle
    // A measurement of 30 blocks, read through and checked.
    ASSERT_EQ(vendor_write(s, 0x000003, 1, {30}).status, 0u);
    std::uint64_t offset = 0;
    for (int i = 0; i < 30; ++i) {
        std::vector<BYTE> block(200);
        reply r = read(s, block);
        ASSERT_EQ(r.status, 0u);
        ASSERT_EQ(r.bytes, 200u);
        EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, offset,
                                           std::span<const std::uint8_t>(block.data() + 4, 196)));
        offset += 196;
    }
    std::vector<BYTE> record(64);
    EXPECT_EQ(control(s, wire::IOCTL_READ_NOTIFICATION, record.data(), 64, nullptr, 0).status, 0u);
    EXPECT_EQ(wire::notify_code(record.data()), simdev::event::run_started);
}

// A session thread may reach a device just as it is unregistered: what it hands over then still
// completes, a pipe reset and whatever queued behind it included.
TEST_F(SerialTransport, RequestsReachingAShutDownDeviceAllComplete) {
    SerialInstrument line("COM4");
    w32cpp::auto_handle<lintra::RsUSBEmulation> emulation(new lintra::RsUSBEmulation(line.port));
    lintra::ZephProtocolDevice device(nullptr, emulation, 1, "ZEPHSerial\\COM41");
    ASSERT_TRUE(emulation->set_address(1));
    emulation->set_configuration_value(1);
    device.shutdown();
    BYTE reset[8] = {}, command[8] = {}, data[16] = {};
    wire::header_view{reset}.write(wire::WORD_READ_PIPE_RESET, 0, 0);
    wire::header_view{command}.write(0x000003, 3, 0);
    auto packet = [](DWORD code, void* out, DWORD out_size, void* in, DWORD in_size) {
        return lintra::packet_handle(
            new lintra::TransferPacket(code, out ? ostrel::mem_block(out, out_size, false) : ostrel::mem_block(),
                                       in ? ostrel::mem_block(in, in_size, false) : ostrel::mem_block()));
    };
    std::vector<lintra::packet_handle> sent = {
        packet(wire::IOCTL_VENDOR_COMMAND, nullptr, 0, reset, 8),
        packet(wire::IOCTL_VENDOR_COMMAND, nullptr, 0, command, 8),
        packet(wire::IOCTL_READ_NOTIFICATION, data, 16, nullptr, 0),
    };
    for (auto& p : sent) device.submit(p);
    lintra::packet_handle read = packet(0, data, 16, nullptr, 0);
    lintra::packet_handle write = packet(0, data, 16, nullptr, 0);
    device.submit_read(read);
    device.submit_write(write);
    sent.push_back(read);
    sent.push_back(write);
    for (size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(sent[i]->done());
        EXPECT_EQ(sent[i]->result(false).get_code(), DWORD(ERROR_DEVICE_REMOVED));
    }
    // Past the router's look at the device just before the shut-down: the pipe reset finds the
    // device task gone, and the request queued behind it still runs.
    lintra::packet_handle late_reset = packet(wire::IOCTL_VENDOR_COMMAND, nullptr, 0, reset, 8);
    lintra::packet_handle behind = packet(wire::IOCTL_VENDOR_COMMAND, nullptr, 0, command, 8);
    device.ZephProtocolFilter::submit(late_reset);
    device.ZephProtocolFilter::submit(behind);
    ASSERT_TRUE(late_reset->done());
    EXPECT_EQ(late_reset->result(false).get_code(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(behind->done());
}
