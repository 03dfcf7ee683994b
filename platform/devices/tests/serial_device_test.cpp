// The serial face: the instrument's end of the packet protocol over a byte line.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <future>
#include <random>

#include "serial_host.h"
#include "simdev/instrument.h"
#include "simdev/line.h"
#include "simdev/serial_device.h"
#include "vendor.h"
#include "zephtest/wait.h"

using namespace simdev;
using namespace simdev::test;
using namespace std::chrono_literals;
using kind = line_host::kind;

namespace {

serial_options quick_options() {
    serial_options o;
    o.inter_byte_timeout_ms = 50;
    o.handshake_timeout_ms = 200;
    return o;
}

struct SimSerial : ::testing::Test {
    std::shared_ptr<instrument> model = std::make_shared<instrument>();
    std::pair<std::shared_ptr<byte_stream>, std::shared_ptr<byte_stream>> ends = memory_line::make_pair();
    serial_device dev{model, ends.second, quick_options()};
    line_host host{*ends.first};

    void SetUp() override { dev.start(); }
    void TearDown() override { dev.stop(); }

    void up_and_configured() {
        ASSERT_TRUE(host.bring_up(1));
        ASSERT_TRUE(host.configure(1));
    }
    line_host::ctl_result vendor(bool in, std::uint32_t word, std::uint16_t value, std::vector<std::uint8_t> data) {
        auto s = vendor_setup(in, word, value, static_cast<std::uint16_t>(data.size()));
        return host.control(s, in ? std::vector<std::uint8_t>{} : data);
    }
};

}  // namespace

TEST_F(SimSerial, BringUpAssignsTheAddressAndReadsTheDescriptor) {
    auto d = host.bring_up(3);
    ASSERT_TRUE(d);
    EXPECT_EQ(*d, model->device_descriptor());
    EXPECT_EQ(dev.address(), 3);
    EXPECT_GE(dev.stats().resets, 1u);
    EXPECT_EQ(dev.stats().resync_bytes, 129u);
    // Tokens for another address are not answered.
    host.address = 4;
    host.token(line::pid_in, 0);
    EXPECT_EQ(host.read_packet(8, 150).k, kind::timeout);
    host.address = 3;
    EXPECT_EQ(host.control(setup_packet{0x80, 8, 0, 0, 1}).k, kind::ack);
    EXPECT_GE(dev.stats().foreign_tokens, 1u);
    // A new burst puts the device back to its default state, so a new address can be given.
    ASSERT_TRUE(host.bring_up(5));
    EXPECT_EQ(dev.address(), 5);
    EXPECT_EQ(model->configuration(), 0);
}

TEST_F(SimSerial, ControlReadsComeInPacketsOfEight) {
    ASSERT_TRUE(host.bring_up(1));
    // The configuration descriptor of "Bulk": 39 bytes, five full packets and a short one.
    auto r = host.control(setup_packet{0x80, 6, 0x0200, 0, 255});
    ASSERT_EQ(r.k, kind::ack);
    EXPECT_EQ(r.data, model->configuration_descriptor(0));
    // A reply that ends on a packet boundary below wLength is closed by an empty packet.
    auto s = host.control(setup_packet{0x80, 6, 0x0304, 0x0409, 64});  // "Bulk": 10 bytes
    ASSERT_EQ(s.k, kind::ack);
    EXPECT_EQ(s.data.size(), 10u);
    auto dd = host.control(setup_packet{0x80, 6, 0x0100, 0, 16});
    EXPECT_EQ(dd.data.size(), 16u);
}

TEST_F(SimSerial, EveryVendorWordShapeOverTheLine) {
    up_and_configured();
    // read: state words
    auto st = vendor(true, 0x000004, 1, std::vector<std::uint8_t>(15));
    ASSERT_EQ(st.k, kind::ack);
    EXPECT_EQ(from24(st.data), (std::vector<std::uint32_t>{0, 0, 3, 0, 0}));
    // write of 24 words in 9 packets, then read back
    std::vector<std::uint32_t> prog(24);
    for (std::uint32_t i = 0; i < 24; ++i) prog[i] = 0xABC000 + i;
    ASSERT_EQ(vendor(false, 0x000002, 2, words24(prog)).k, kind::ack);
    auto back = vendor(true, 0x000002, 3, std::vector<std::uint8_t>(72));
    ASSERT_EQ(back.k, kind::ack);
    EXPECT_EQ(from24(back.data), prog);
    // command
    ASSERT_EQ(vendor(false, 0x010003, 0, {}).k, kind::ack);
    EXPECT_EQ(model->dsp_resets(), 1u);
    // a write the firmware refuses is stalled at the status stage
    EXPECT_EQ(vendor(false, 0x000003, 1, words24({1, 2})).k, kind::stall);
    EXPECT_EQ(model->state(), run_state::idle);
    // a read it refuses is stalled in the data stage
    EXPECT_EQ(vendor(true, 0x000004, 9, std::vector<std::uint8_t>(3)).k, kind::stall);
    // pipe words
    ASSERT_EQ(vendor(false, 0x021003, 0, {}).k, kind::ack);
    ASSERT_EQ(vendor(false, 0x021103, 0, {}).k, kind::ack);
    // a command is executed once even when the host repeats the status stage
    std::uint64_t before = model->vendor_requests();
    ASSERT_EQ(host.setup(vendor_setup(false, 0x010003, 0, 0)), kind::ack);
    host.in_toggle[0] = 1;
    auto p = host.in(0, 8, false);  // status packet, not acknowledged
    ASSERT_EQ(p.k, kind::data);
    p = host.in(0, 8);  // the device sends it again
    ASSERT_EQ(p.k, kind::data);
    EXPECT_EQ(model->vendor_requests(), before + 1);
    EXPECT_EQ(model->dsp_resets(), 2u);
}

TEST_F(SimSerial, BulkMessagesAreFramedAtPacketBoundaries) {
    up_and_configured();
    std::vector<std::uint8_t> big(2500);
    fill_pattern(5, 0, big);
    model->queue_bulk_message(big);
    model->queue_bulk_message(std::vector<std::uint8_t>(2048, 7));
    std::vector<std::size_t> sizes;
    auto m = host.read_message(&sizes);
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, big);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 1024, 1024, 452}));
    sizes.clear();
    m = host.read_message(&sizes);
    ASSERT_TRUE(m);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 1024, 1024}));
    // Nothing waiting: NAK.
    EXPECT_EQ(host.in(1, 1024).k, kind::nak);
    // Bulk OUT takes at most 60 bytes per packet.
    std::vector<std::uint8_t> payload(150);
    fill_pattern(6, 0, payload);
    ASSERT_TRUE(host.write_message(payload));
    auto got = model->take_received_messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], payload);
    host.token(line::pid_out, 1);
    host.send_data(host.out_toggle[1] != 0, std::vector<std::uint8_t>(61, 1));
    EXPECT_EQ(host.read_packet(0).k, kind::err);
}

TEST_F(SimSerial, DuplicateOutPacketsAreAcknowledgedAndDropped) {
    up_and_configured();
    std::vector<std::uint8_t> len{4, 0, 0};
    ASSERT_EQ(host.out(1, len), kind::ack);
    std::vector<std::uint8_t> a{1, 2}, b{3, 4};
    ASSERT_EQ(host.out(1, a), kind::ack);
    // The host did not hear the ACK and sends the same packet again, same toggle.
    host.out_toggle[1] ^= 1;
    ASSERT_EQ(host.out(1, a), kind::ack);
    ASSERT_EQ(host.out(1, b), kind::ack);
    auto got = model->take_received_messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(dev.stats().duplicates_ignored, 1u);
}

TEST_F(SimSerial, TogglesStartAgainOnConfigurationClearHaltAndPipeWord) {
    up_and_configured();
    model->queue_bulk_message({1});
    ASSERT_TRUE(host.read_message());  // bulk IN toggle now at DATA0 again after two packets
    model->queue_bulk_message({2, 3});
    ASSERT_EQ(host.in(1, 1024).k, kind::data);  // the length: DATA0, toggle at DATA1 now
    ASSERT_EQ(host.out(1, {0, 0, 0}), kind::ack);
    // A new configuration starts every data endpoint at DATA0 on both ends.
    ASSERT_TRUE(host.configure(1));
    model->queue_bulk_message({4});
    auto p = host.in(1, 1024);
    ASSERT_EQ(p.k, kind::data);
    EXPECT_FALSE(p.data1);
    ASSERT_EQ(host.out(1, {1, 0, 0}), kind::ack);
    ASSERT_EQ(host.out(1, {9}), kind::ack);
    auto got = model->take_received_messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], std::vector<std::uint8_t>{9});
    // A packet still waiting for its ACK is forgotten by the pipe word; the host clears the halt.
    model->queue_bulk_message({7, 7});
    ASSERT_EQ(host.in(1, 1024, false).k, kind::data);
    ASSERT_EQ(vendor(false, 0x021003, 0, {}).k, kind::ack);
    ASSERT_EQ(host.control(setup_packet{0x02, 1, 0, 0x81, 0}).k, kind::ack);
    host.in_toggle[1] = 0;
    EXPECT_EQ(host.in(1, 1024).k, kind::nak);  // nothing left of the dropped messages
    model->queue_bulk_message({8});
    auto m = host.read_message();
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, std::vector<std::uint8_t>{8});
}

TEST_F(SimSerial, InPacketsAreSentAgainUntilAcknowledged) {
    up_and_configured();
    model->queue_bulk_message({10, 11, 12});
    auto h1 = host.in(1, 1024, false);  // no ACK
    ASSERT_EQ(h1.k, kind::data);
    EXPECT_FALSE(h1.data1);
    // ERR from the host: the same packet again.
    host.token(line::pid_in, 1);
    auto again = host.read_packet();
    ASSERT_EQ(again.k, kind::data);
    EXPECT_EQ(again.data, h1.data);
    EXPECT_EQ(again.data1, h1.data1);
    host.handshake(line::pid_err);
    auto h2 = host.in(1, 1024);  // acknowledged this time
    ASSERT_EQ(h2.k, kind::data);
    EXPECT_EQ(h2.data, h1.data);
    auto body = host.in(1, 1024);
    ASSERT_EQ(body.k, kind::data);
    EXPECT_TRUE(body.data1);
    EXPECT_EQ(body.data, (std::vector<std::uint8_t>{10, 11, 12}));
    EXPECT_EQ(dev.stats().retransmissions, 2u);
    // The host took a packet but its ACK was lost: the device repeats it, the host sees the repeat.
    model->queue_bulk_message({20});
    auto h = host.in(1, 1024, false);
    host.in_toggle[1] ^= 1;  // the host did take it
    ASSERT_EQ(h.k, kind::data);
    auto b = host.in(1, 1024);
    ASSERT_EQ(b.k, kind::data);
    EXPECT_EQ(b.data, std::vector<std::uint8_t>{20});
    EXPECT_EQ(host.repeats_seen, 1u);
}

TEST_F(SimSerial, InterruptPollNaksWithoutEventAndDeliversRecords) {
    up_and_configured();
    EXPECT_EQ(host.in(2, 64).k, kind::nak);
    std::vector<std::uint8_t> data{0xDE, 0xAD};
    model->raise_event(0x0123, data);
    auto p = host.in(2, 64);
    ASSERT_EQ(p.k, kind::data);
    ASSERT_EQ(p.data.size(), 64u);
    EXPECT_EQ(p.data[1] | (p.data[2] << 8), 0x0123);
    EXPECT_EQ(p.data[15], 0xDE);
    EXPECT_EQ(p.data[63], 0);
    EXPECT_EQ(host.in(2, 64).k, kind::nak);
    EXPECT_GE(dev.stats().naks_sent, 2u);
}

TEST_F(SimSerial, UnconfiguredOrHaltedEndpointsStall) {
    ASSERT_TRUE(host.bring_up(1));
    EXPECT_EQ(host.in(1, 1024).k, kind::stall);
    EXPECT_EQ(host.in(2, 64).k, kind::stall);
    EXPECT_EQ(host.out(1, {1}), kind::stall);
    ASSERT_TRUE(host.configure(1));
    ASSERT_EQ(host.control(setup_packet{0x02, 3, 0, 0x81, 0}).k, kind::ack);
    EXPECT_EQ(host.in(1, 1024).k, kind::stall);
    ASSERT_EQ(host.control(setup_packet{0x02, 1, 0, 0x81, 0}).k, kind::ack);
    host.in_toggle[1] = 0;
    model->queue_bulk_message({1});
    EXPECT_EQ(host.in(1, 1024).k, kind::data);
    // A token for an endpoint the device lacks gets no answer.
    host.token(line::pid_in, 5);
    EXPECT_EQ(host.read_packet(64, 200).k, kind::timeout);
}

TEST_F(SimSerial, BadPacketsFromTheHostGetErr) {
    ASSERT_TRUE(host.bring_up(1));
    // bad CRC on a SETUP
    host.token(line::pid_setup, 0);
    auto pkt = line::encode_data(false, std::vector<std::uint8_t>{0x80, 8, 0, 0, 0, 0, 1, 0});
    pkt[4] ^= 0x01;
    host.write(pkt);
    EXPECT_EQ(host.read_packet(0).k, kind::err);
    // nine bytes on the control endpoint
    host.token(line::pid_setup, 0);
    host.send_data(false, std::vector<std::uint8_t>(9, 0));
    EXPECT_EQ(host.read_packet(0, 1000).k, kind::err);
    // a packet cut short
    host.token(line::pid_setup, 0);
    auto cut = line::encode_data(false, std::vector<std::uint8_t>{0x80, 8, 0, 0, 0, 0, 1, 0});
    cut.resize(6);
    host.write(cut);
    EXPECT_EQ(host.read_packet(0, 1000).k, kind::err);
    // and the line works again afterwards
    EXPECT_EQ(host.control(setup_packet{0x80, 8, 0, 0, 1}).k, kind::ack);
    EXPECT_EQ(dev.stats().bad_packets, 3u);
}

TEST_F(SimSerial, FaultsOnTheLineDoWhatTheySay) {
    up_and_configured();
    auto& f = model->faults();
    // A corrupted byte towards the host: the host sees a damaged packet, nothing else changes.
    model->queue_bulk_message({1, 2, 3});
    f.line_at(line_dir::to_host, line_fault::corrupt, 4);
    host.token(line::pid_in, 1);
    EXPECT_EQ(host.read_packet().k, kind::bad);
    host.handshake(line::pid_err);
    EXPECT_EQ(f.injected().corrupted, 1u);
    auto h = host.in(1, 1024);
    ASSERT_EQ(h.k, kind::data);
    EXPECT_EQ(h.data, (std::vector<std::uint8_t>{3, 0, 0}));
    // A dropped byte towards the device: the device sees a short packet and answers ERR.
    f.line_at(line_dir::to_device, line_fault::drop, 5);
    host.token(line::pid_out, 1);
    host.send_data(host.out_toggle[1] != 0, {9, 9, 9});
    EXPECT_EQ(host.read_packet(0, 1000).k, kind::err);
    EXPECT_EQ(f.injected().dropped, 1u);
    // A duplicated byte towards the host: the packet does not check.
    f.line_at(line_dir::to_host, line_fault::duplicate, 2);
    host.token(line::pid_in, 1);
    EXPECT_EQ(host.read_packet().k, kind::bad);
    host.handshake(line::pid_err);
    EXPECT_EQ(f.injected().duplicated, 1u);
    auto body = host.in(1, 1024);
    EXPECT_EQ(body.data, (std::vector<std::uint8_t>{1, 2, 3}));
    // Silence: no answer at all, once.
    f.silence(0x82, 1);
    host.token(line::pid_in, 2);
    EXPECT_EQ(host.read_packet(64, 300).k, kind::timeout);
    EXPECT_EQ(host.in(2, 64).k, kind::nak);
    // NAK count on bulk OUT.
    f.nak(0x01, 2);
    EXPECT_EQ(host.out(1, {3, 0, 0}), kind::nak);
    EXPECT_EQ(host.out(1, {3, 0, 0}), kind::nak);
    EXPECT_EQ(host.out(1, {3, 0, 0}), kind::ack);
    // NAKs in the control data stage: the host asks again and gets the whole reply.
    f.nak(0, 2);
    auto nr = vendor(true, 0x000004, 1, std::vector<std::uint8_t>(15));
    EXPECT_EQ(nr.k, kind::ack);
    EXPECT_EQ(nr.data.size(), 15u);
    // A stalled vendor word.
    request_match m;
    m.bRequest = 0;
    m.wValue = 4;
    f.stall_request(m, 1);
    EXPECT_EQ(vendor(true, 0x000004, 1, std::vector<std::uint8_t>(15)).k, kind::stall);
    EXPECT_EQ(vendor(true, 0x000004, 1, std::vector<std::uint8_t>(15)).k, kind::ack);
    // A short reply.
    f.short_reply(request_match{}, 6, 1);
    auto s = vendor(true, 0x000004, 1, std::vector<std::uint8_t>(15));
    EXPECT_EQ(s.k, kind::ack);
    EXPECT_EQ(s.data.size(), 6u);
    auto c = f.injected();
    EXPECT_EQ(c.silences, 1u);
    EXPECT_EQ(c.naks, 4u);
    EXPECT_EQ(c.stalls, 1u);
    EXPECT_EQ(c.shortened, 1u);
    EXPECT_EQ(c.removals, 0u);
}

TEST_F(SimSerial, RemovalMidTransferSilencesTheLine) {
    up_and_configured();
    model->faults().remove_after_bulk_in(1500);
    model->queue_bulk_message(std::vector<std::uint8_t>(3000, 1));
    EXPECT_EQ(host.in(1, 1024).k, kind::data);  // 3 bytes
    EXPECT_EQ(host.in(1, 1024).k, kind::data);  // 1024
    host.retries = 1;
    EXPECT_EQ(host.in(1, 1024).k, kind::timeout);  // would cross the point: gone
    EXPECT_FALSE(model->plugged());
    host.token(line::pid_in, 2);
    EXPECT_EQ(host.read_packet(64, 200).k, kind::timeout);
    model->replug();
    host.retries = 20;
    EXPECT_EQ(host.in(2, 64).k, kind::stall);  // back unconfigured
}

// Plugged in again, the device has been powered off: when the host's resynchronisation burst went
// out while the line was dead, its bring-up must still find address 0, DATA0 toggles and no
// remains of the message that was cut.
TEST_F(SimSerial, ReplugComesBackPowerCycledEvenWithoutABurst) {
    ASSERT_TRUE(host.bring_up(3));
    ASSERT_TRUE(host.configure(1));
    model->raise_event(0x0100);
    model->faults().remove_after_bulk_in(500);
    model->queue_bulk_message(std::vector<std::uint8_t>(3000, 1));
    ASSERT_EQ(host.in(1, 1024).k, kind::data);  // the header: bulk IN toggle now DATA1
    host.retries = 1;
    EXPECT_EQ(host.in(1, 1024).k, kind::timeout);
    ASSERT_FALSE(model->plugged());
    model->replug();
    host.retries = 20;
    EXPECT_EQ(model->configuration(), 0u);
    EXPECT_EQ(model->bulk_in_pending_messages(), 0u);
    EXPECT_EQ(model->pending_events(), 0u);

    // At address 0 it answers any address; then the rest of a bring-up, with no burst.
    host.address = 5;
    EXPECT_EQ(host.control(setup_packet{0x80, 6, 0x0100, 0, 18}).k, kind::ack);
    host.address = 3;
    ASSERT_EQ(host.control(setup_packet{0x00, 5, 1, 0, 0}).k, kind::ack);
    EXPECT_EQ(dev.address(), 1u);
    host.address = 1;
    ASSERT_TRUE(host.configure(1));
    EXPECT_EQ(host.in(1, 1024).k, kind::nak);
    model->queue_bulk_message(std::vector<std::uint8_t>(100, 7));
    auto h = host.in(1, 1024);
    ASSERT_EQ(h.k, kind::data);
    EXPECT_FALSE(h.data1);
    EXPECT_EQ(h.data, (std::vector<std::uint8_t>{100, 0, 0}));
    auto body = host.in(1, 1024);
    ASSERT_EQ(body.k, kind::data);
    EXPECT_EQ(body.data, std::vector<std::uint8_t>(100, 7));
}

TEST_F(SimSerial, SlowLinePacesTheBytes) {
    up_and_configured();
    model->faults().line_rate(9600);  // about 1 ms a byte
    model->queue_bulk_message(std::vector<std::uint8_t>(100, 1));
    ASSERT_EQ(host.in(1, 1024).k, kind::data);
    auto t0 = std::chrono::steady_clock::now();
    auto p = host.in(1, 1024);
    auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(p.k, kind::data);
    EXPECT_EQ(p.data.size(), 100u);
    EXPECT_GE(took, 100ms);  // 105 bytes cannot arrive sooner at that rate
}

TEST_F(SimSerial, StreamSurvivesANoisyLineWithoutLossOrDuplication) {
    up_and_configured();
    auto& f = model->faults();
    f.seed(1234);
    f.line_probability(line_dir::to_host, line_fault::corrupt, 0.002);
    f.line_probability(line_dir::to_host, line_fault::drop, 0.001);
    f.line_probability(line_dir::to_device, line_fault::corrupt, 0.01);
    f.nak_probability(0x81, 0.1);
    ASSERT_EQ(vendor(false, 0x000003, 1, words24({25})).k, kind::ack);
    std::uint64_t off = 0;
    for (int i = 0; i < 25; ++i) {
        auto m = host.read_message();
        ASSERT_TRUE(m) << "block " << i;
        ASSERT_EQ(m->size(), 200u);
        ASSERT_FALSE(check_pattern(seed::measurement, off, std::span<const std::uint8_t>(*m).subspan(4))) << i;
        off += 196;
    }
    // And the other way: the device keeps exactly what was sent.
    std::vector<std::uint8_t> payload(600);
    fill_pattern(77, 0, payload);
    ASSERT_TRUE(host.write_message(payload));
    auto got = model->take_received_messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], payload);
    auto c = f.injected();
    EXPECT_GT(c.corrupted + c.dropped + c.naks, 0u);
}

TEST(SimSerialPty, InstrumentOnAPseudoTerminal) {
    auto model = std::make_shared<instrument>();
    pseudo_terminal pty;
    serial_device dev(model, pty.master(), quick_options());
    dev.start();
    auto tty = open_tty(pty.path(), 115200);
    line_host host(*tty);
    auto d = host.bring_up(1);
    ASSERT_TRUE(d);
    EXPECT_EQ(*d, model->device_descriptor());
    dev.stop();
}

TEST(SimSerialProgram, PrintsItsTerminalAndAnswersOnIt) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const char* argv[] = {ZEPHINSTR_PATH, "--serial", "4321", "--seconds", "60", nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, ZEPHINSTR_PATH, &fa, nullptr, const_cast<char* const*>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    std::string path;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') path.push_back(c);
    close(out[0]);
    ASSERT_FALSE(path.empty());
    {
        auto tty = open_tty(path, 115200);
        line_host host(*tty);
        ASSERT_TRUE(host.bring_up(1));
        auto r = host.control(setup_packet{0x80, 6, 0x0303, 0x0409, 255});
        ASSERT_EQ(r.k, kind::ack);
        std::string serial;
        for (std::size_t i = 2; i < r.data.size(); i += 2) serial.push_back(static_cast<char>(r.data[i]));
        EXPECT_EQ(serial, "4321");
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A host that gives up on a packet the device is still reading (its length was damaged) and
// sends the resynchronisation burst: the device must see the burst, not swallow it as the rest
// of the broken packet.
TEST_F(SimSerial, BurstAfterABrokenPacketStillResetsTheDevice) {
    up_and_configured();
    const auto resets = dev.stats().resets;
    host.token(line::pid_out, 1);
    auto pkt = line::encode_data(false, std::vector<std::uint8_t>(10, 0x55));
    pkt[1] = 60;  // announces 60 bytes: the device takes part of the burst as data
    std::vector<std::uint8_t> stream = pkt;
    stream.insert(stream.end(), 129, 0x69);
    host.write(stream);
    host.address = 1;
    host.in_toggle.clear();
    host.out_toggle.clear();
    EXPECT_EQ(host.control(setup_packet{0x00, 5, 2, 0, 0}).k, kind::ack);
    EXPECT_EQ(dev.stats().resets, resets + 1);
    EXPECT_EQ(model->configuration(), 0);
    EXPECT_EQ(dev.address(), 2);
}

// The line may carry anything: the device survives a long stream of random bytes (biased towards
// protocol bytes, so tokens and packets get parsed deep) and is brought up normally afterwards.
TEST_F(SimSerial, SurvivesAnyByteSequence) {
    up_and_configured();
    std::mt19937 rng(4711);
    const std::uint8_t common[] = {0x96, 0x1E, 0xD2, 0x3C, 0xB4, 0x2D, 0xC3, 0x0F, 0x69, 0x00, 0xFF, 0x08, 0x40};
    auto any = [&] { return static_cast<std::uint8_t>(rng()); };
    auto pick = [&] { return common[rng() % sizeof common]; };
    for (int chunk = 0; chunk < 300; ++chunk) {
        std::vector<std::uint8_t> b;
        for (int k = 0; k < 6; ++k) {
            unsigned w = rng() % 10;
            if (w < 4) {  // a token, mostly for this device
                static const std::uint8_t pids[] = {line::pid_in, line::pid_in, line::pid_out, line::pid_setup};
                auto t = line::encode_token(pids[w], rng() % 3 ? 1 : any(), static_cast<std::uint8_t>(rng() % 4));
                b.insert(b.end(), t.begin(), t.end());
            } else if (w < 7) {  // a data packet: often a plausible setup record, sometimes damaged
                std::vector<std::uint8_t> d(rng() % 3 ? 8 : rng() % 70);
                for (auto& x : d) x = rng() % 2 ? pick() : any();
                if (d.size() == 8 && rng() % 2) {
                    d[0] = rng() % 2 ? 0xC0 : 0x40;
                    d[1] = static_cast<std::uint8_t>(rng() % 3);
                    d[6] = static_cast<std::uint8_t>((rng() % 5) * 3);
                    d[7] = 0;
                }
                auto pkt = line::encode_data(rng() % 2, d);
                if (rng() % 10 == 0) pkt[rng() % pkt.size()] ^= 1;
                b.insert(b.end(), pkt.begin(), pkt.end());
            } else {
                b.push_back(w == 9 ? any() : pick());
            }
        }
        host.write(b);
        if (chunk % 10 == 0) std::this_thread::sleep_for(25ms);  // lets broken packets end
        std::uint8_t sink[2048];
        while (ends.first->read(sink, sizeof sink, 0) > 0) {
        }
    }
    ASSERT_TRUE(dev.running());
    // Answers to the last garbage may still be on their way: like the real host, retry the bring-up.
    bool up = false;
    for (int attempt = 0; attempt < 3 && !up; ++attempt) up = host.bring_up(1).has_value();
    ASSERT_TRUE(up);
    ASSERT_TRUE(host.configure(1));
    auto r = vendor(true, 0x000004, 1, std::vector<std::uint8_t>(15));
    ASSERT_EQ(r.k, kind::ack);
    EXPECT_EQ(r.data.size(), 15u);
    model->queue_bulk_message({1, 2, 3});
    auto m = host.read_message();
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, (std::vector<std::uint8_t>{1, 2, 3}));
}

// A descriptor closed under the stream ends reads instead of spinning on it.
TEST(SimSerialStreams, ReadOnAClosedDescriptorEnds) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    fd_stream s(fds[0], false);
    ::close(fds[0]);
    std::uint8_t b;
    EXPECT_EQ(s.read(&b, 1, 200), -1);
    ::close(fds[1]);
}

// The device's end of a line, counting the bytes the device has read.
class counted_stream : public byte_stream {
public:
    explicit counted_stream(std::shared_ptr<byte_stream> inner) : inner_(std::move(inner)) {}
    long read(std::uint8_t* buf, std::size_t n, int timeout_ms) override {
        const long r = inner_->read(buf, n, timeout_ms);
        if (r > 0) taken += static_cast<std::uint64_t>(r);
        return r;
    }
    bool write(const std::uint8_t* buf, std::size_t n) override { return inner_->write(buf, n); }
    void purge() override { inner_->purge(); }
    void close() override { inner_->close(); }
    std::atomic<std::uint64_t> taken{0};

private:
    std::shared_ptr<byte_stream> inner_;
};

// stop() returns even while the rest of a broken packet never stops arriving.
TEST_F(SimSerial, StopsWhileTheLineNeverFallsQuiet) {
    auto ends2 = memory_line::make_pair();
    auto counted = std::make_shared<counted_stream>(ends2.second);
    serial_device noisy(model, counted, quick_options());
    noisy.start();
    line_host noisy_host{*ends2.first};
    std::atomic<bool> quit{false};
    std::thread noise([&] {
        noisy_host.write({line::encode_nibble(line::pid_data0), 0xFF, 0xFF});  // longer than any packet
        while (!quit) {
            noisy_host.write({0x00});
            std::this_thread::sleep_for(2ms);  // a slow trickle, never a pause long enough to end the packet
        }
    });
    // The device is inside the endless packet once it has read its header and some of the rest.
    EXPECT_TRUE(zephtest::wait_until([&] { return counted->taken.load() >= 3 + 16; }));
    auto stopped = std::async(std::launch::async, [&] { noisy.stop(); });
    bool in_time = stopped.wait_for(5s) == std::future_status::ready;
    quit = true;
    zephtest::join(noise);
    if (stopped.wait_for(zephtest::default_deadline) != std::future_status::ready) zephtest::give_up("stop()");
    EXPECT_TRUE(in_time);
}
