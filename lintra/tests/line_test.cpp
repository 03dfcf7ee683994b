// The host engines against the simulated instrument over the in-memory line: bring-up, framing at
// packet boundaries, line noise both ways, lost handshakes, NAKs, STALL and clear-halt, resync.
#include <gtest/gtest.h>

#include <simdev/faults.h>

#include <array>

#include "rig.h"

using namespace lintra;
using namespace lintra_test;
using simdev::line_dir;
using simdev::line_fault;

namespace {

// Bytes towards the host for one framed IN message: the header packet (8 bytes), then data packets.
constexpr std::uint64_t header_packet_bytes = 8;

}  // namespace

TEST(Line, BringUpSetsTheAddressReadsTheDescriptorAndConfigures) {
    MemoryLine line;
    EXPECT_FALSE(line.emulation->bring_up(0));
    EXPECT_EQ(line.port->counters.bytes_written.load(), 0u);  // refused before any byte
    ASSERT_TRUE(line.bring_up());
    const std::vector<BYTE> expected = line.model->device_descriptor();
    ASSERT_EQ(expected.size(), 18u);
    EXPECT_EQ(std::vector<BYTE>(line.emulation->device_descriptor(), line.emulation->device_descriptor() + 18),
              expected);
    EXPECT_EQ(line.model->address(), 1);
    EXPECT_EQ(line.model->configuration(), 1);
    EXPECT_EQ(line.device->stats().resync_bytes, 129u);
}

TEST(Line, BulkInFramingAtPacketBoundaries) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    for (size_t n : {1023u, 1024u, 1025u, 2048u, 1u}) {
        const std::vector<BYTE> data = pattern(n, std::uint32_t(n));
        line.model->queue_bulk_message(data);
        auto got = read_message(*line.emulation);
        ASSERT_TRUE(got) << n;
        EXPECT_EQ(*got, data) << n;
    }
}

TEST(Line, BulkOutFramingAtPacketBoundaries) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    for (size_t n : {59u, 60u, 61u, 120u, 1u}) {
        const std::vector<BYTE> data = pattern(n, std::uint32_t(n));
        ASSERT_TRUE(write_message(*line.emulation, data)) << n;
        auto received = line.model->take_received_messages();
        ASSERT_EQ(received.size(), 1u) << n;
        EXPECT_EQ(received[0], data) << n;
    }
}

TEST(Line, NoiseTowardsTheHostIsRepairedByRetries) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    const std::uint64_t first = header_packet_bytes;  // first data packet: PID, length, data, CRC
    struct Case {
        const char* what;
        line_fault fault;
        std::uint64_t byte;
    } cases[] = {
        {"PID bit flip", line_fault::corrupt, first},
        {"length low byte flip", line_fault::corrupt, first + 1},
        {"length high byte flip", line_fault::corrupt, first + 2},
        {"data bit flip", line_fault::corrupt, first + 100},
        {"CRC bit flip", line_fault::corrupt, first + 3 + 1024},
        {"dropped data byte", line_fault::drop, first + 50},
        {"duplicated data byte", line_fault::duplicate, first + 50},
        {"dropped CRC byte", line_fault::drop, first + 3 + 1024 + 1},
        {"header length flip", line_fault::corrupt, 1},
    };
    std::uint32_t seed = 1;
    for (const Case& c : cases) {
        const auto before = line.model->faults().injected();
        line.model->faults().line_at(line_dir::to_host, c.fault, c.byte);
        const std::vector<BYTE> data = pattern(2048, seed++);
        line.model->queue_bulk_message(data);
        auto got = read_message(*line.emulation);
        ASSERT_TRUE(got) << c.what;
        EXPECT_EQ(*got, data) << c.what;
        const auto after = line.model->faults().injected();
        EXPECT_EQ(after.corrupted + after.dropped + after.duplicated,
                  before.corrupted + before.dropped + before.duplicated + 1)
            << c.what;
        line.model->faults().clear();
    }
    EXPECT_GT(line.device->stats().retransmissions, 0u);
}

TEST(Line, NoiseTowardsTheDeviceIsRepairedByRetries) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    // Towards the device for one framed OUT message: token (3), header packet (8), then token and data.
    struct Case {
        const char* what;
        line_fault fault;
        std::uint64_t byte;
    } cases[] = {
        {"token PID flip", line_fault::corrupt, 0},
        {"token endpoint flip", line_fault::corrupt, 2},
        {"data PID flip", line_fault::corrupt, 3},
        {"data length flip", line_fault::corrupt, 4},
        {"data CRC flip", line_fault::corrupt, 10},
        {"dropped data byte", line_fault::drop, 7},
        {"duplicated data byte", line_fault::duplicate, 7},
        {"second packet data flip", line_fault::corrupt, 11 + 3 + 20},
    };
    std::uint32_t seed = 100;
    for (const Case& c : cases) {
        line.model->faults().line_at(line_dir::to_device, c.fault, c.byte);
        const std::vector<BYTE> data = pattern(120, seed++);
        ASSERT_TRUE(write_message(*line.emulation, data)) << c.what;
        auto received = line.model->take_received_messages();
        ASSERT_EQ(received.size(), 1u) << c.what;
        EXPECT_EQ(received[0], data) << c.what;
        line.model->faults().clear();
    }
}

TEST(Line, LostHostAckOnInGivesARepeatThatIsNotTakenTwice) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    // The host's ACK of the header packet never reaches the device.
    line.port->lose_next_write_of(pid_encode(pid_ack));
    const std::vector<BYTE> data = pattern(3000, 7);
    line.model->queue_bulk_message(data);
    auto got = read_message(*line.emulation);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, data);
    EXPECT_GE(line.device->stats().retransmissions, 1u);
    // Nothing is left over or missing: the next message follows cleanly.
    const std::vector<BYTE> next = pattern(100, 8);
    line.model->queue_bulk_message(next);
    got = read_message(*line.emulation);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, next);
}

TEST(Line, LostDeviceAckOnOutIsDeduplicatedByTheDevice) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    line.model->faults().line_at(line_dir::to_host, line_fault::drop, 1);  // the ACK of the first data packet
    const std::vector<BYTE> data = pattern(150, 9);
    ASSERT_TRUE(write_message(*line.emulation, data));
    auto received = line.model->take_received_messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], data);
    EXPECT_GE(line.device->stats().duplicates_ignored, 1u);
}

TEST(Line, NaksOnStatusStagesAndBulkHeader) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    EPControl* control = line.emulation->control();

    // Synchronous status stage: three NAKs fit a limit of three, four do not.
    line.model->faults().nak(0, 3);
    EXPECT_TRUE(control->request(std_request::set_configuration(1), nullptr, 3));
    line.model->faults().nak(0, 4);
    EXPECT_FALSE(control->request(std_request::set_configuration(1), nullptr, 3));
    EXPECT_EQ(control->result(), result_nak);
    line.model->faults().clear();
    ASSERT_TRUE(control->request(std_request::set_configuration(1), nullptr, 3));

    // Queued status stage: the record comes back through the worker until it is answered.
    ASSERT_TRUE(line.emulation->start_worker());
    line.model->faults().nak(0, 2);
    Recorder rec;
    control->set_callback(Recorder::callback);
    ASSERT_TRUE(control->queue_request(std_request::set_configuration(1), nullptr, &rec, true));
    ASSERT_TRUE(rec.wait(1));
    EXPECT_TRUE(result_succeeded(rec.at(0).status));
    EXPECT_EQ(line.model->faults().injected().naks, 2u);

    // A queued control read whose data and status stages are NAKed.
    line.model->faults().nak(0, 3);
    BYTE descriptor[18] = {};
    Recorder read;
    ASSERT_TRUE(control->queue_request(std_request::get_descriptor(1, 0, 0, 18), descriptor, &read, true));
    ASSERT_TRUE(read.wait(1));
    EXPECT_TRUE(result_succeeded(read.at(0).status));
    EXPECT_EQ(read.at(0).total, 18u);
    EXPECT_EQ(std::vector<BYTE>(descriptor, descriptor + 18), line.model->device_descriptor());

    // Bulk header NAKed: the record waits its turn and the message arrives whole.
    line.model->faults().nak(0x81, 3);
    const std::vector<BYTE> data = pattern(1500, 3);
    line.model->queue_bulk_message(data);
    auto got = read_message(*line.emulation);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, data);
    EXPECT_GE(line.device->stats().naks_sent, 3u);
}

TEST(Line, NakedBulkOutRecordKeepsItsPlaceInTheTransfer) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    // One transfer of three packets carrying a whole framed message; its first packet is NAKed once
    // and must not fall behind the two that follow it.
    const std::vector<BYTE> data = pattern(170, 21);
    std::vector<BYTE> stream = {BYTE(data.size()), 0, 0};
    stream.insert(stream.end(), data.begin(), data.end());
    line.model->faults().nak(0x01, 1);
    Transfer t = run_transfer(line.emulation->bulk_out(), kind_out, stream.data(), DWORD(stream.size()), true);
    ASSERT_TRUE(t.completed);
    EXPECT_TRUE(result_succeeded(t.status));
    EXPECT_EQ(t.total, stream.size());
    auto received = line.model->take_received_messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], data);
    EXPECT_EQ(line.model->faults().injected().naks, 1u);
}

TEST(Line, StallAndClearHalt) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    line.model->queue_bulk_message(pattern(10, 1));
    ASSERT_TRUE(read_message(*line.emulation));  // bulk IN toggle is now away from DATA0

    line.model->set_halt(0x81, true);
    line.model->queue_bulk_message(pattern(10, 2));
    DWORD status = 0;
    EXPECT_FALSE(read_message(*line.emulation, &status));
    EXPECT_EQ(status, DWORD(result_stall));
    EXPECT_TRUE(line.emulation->bulk_in()->is_stalled());

    ASSERT_TRUE(line.emulation->control()->request(std_request::clear_halt(0x81), nullptr, 5000));
    EXPECT_FALSE(line.model->halted(0x81));
    EXPECT_FALSE(line.emulation->bulk_in()->is_stalled());
    EXPECT_EQ(line.emulation->bulk_in()->toggle, 0);
    auto got = read_message(*line.emulation);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, pattern(10, 2));
}

TEST(Line, ResyncBurstFreesAnInstrumentStuckMidPacket) {
    simdev::serial_options opt;
    opt.inter_byte_timeout_ms = 60000;  // only the burst can end the broken packet
    MemoryLine line("MEM1", 250, opt);
    // A data packet that announces 60 bytes and stops after 10.
    std::vector<BYTE> broken = {pid_encode(pid_data0), 60, 0};
    for (int i = 0; i < 10; ++i) broken.push_back(BYTE(i));
    line.host_end->write(broken.data(), broken.size());
    ASSERT_TRUE(line.bring_up());
    EXPECT_EQ(line.model->address(), 1);
    EXPECT_EQ(line.model->configuration(), 1);
    line.model->queue_bulk_message(pattern(1100, 5));
    auto got = read_message(*line.emulation);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, pattern(1100, 5));
}

TEST(Line, BringUpAgainResetsToggles) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    line.model->queue_bulk_message(pattern(5, 1));
    ASSERT_TRUE(read_message(*line.emulation));
    ASSERT_TRUE(write_message(*line.emulation, pattern(5, 2)));
    line.model->take_received_messages();
    ASSERT_TRUE(line.emulation->bring_up(1));
    EXPECT_EQ(line.device->stats().resync_bytes, 2u * 129);
    line.model->queue_bulk_message(pattern(2000, 3));
    auto got = read_message(*line.emulation);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, pattern(2000, 3));
    ASSERT_TRUE(write_message(*line.emulation, pattern(70, 4)));
    auto received = line.model->take_received_messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], pattern(70, 4));
}

TEST(Line, SynchronousRequestsBesideQueuedOnesOnTheControlEndpoint) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    EPControl* control = line.emulation->control();
    Recorder rec;
    control->set_callback(Recorder::callback);
    constexpr int rounds = 40;
    std::vector<std::array<BYTE, 2>> replies(rounds);
    for (int i = 0; i < rounds; ++i)
        ASSERT_TRUE(control->queue_request(std_request::get_status(0, 0), replies[i].data(), &rec, true));
    int sync_ok = 0;
    for (int i = 0; i < rounds; ++i) {
        BYTE value = 0;
        if (control->request(std_request::get_configuration(), &value, 100) && value == 1) ++sync_ok;
    }
    // A synchronous request may land between a queued one's stages and spoil it; each queued one
    // is still called back exactly once, and the endpoint keeps working.
    ASSERT_TRUE(rec.wait(rounds));
    EXPECT_EQ(rec.count(), size_t(rounds));
    EXPECT_GT(sync_ok, 0);
    BYTE value = 0;
    ASSERT_TRUE(control->request(std_request::get_configuration(), &value, 100));
    EXPECT_EQ(value, 1);
}

// A device-to-host request without a data stage is executed when its status is asked for with an
// IN token. The synchronous form used to send OUT there, which the instrument acknowledged without
// running the request: a request it refuses was reported as done.
TEST(Line, InRequestWithoutDataIsExecutedWaitedForOrQueued) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    EPControl* control = line.emulation->control();
    // The instrument counts every vendor request it runs and refuses one that asks for no data.
    const SetupRecord refused{0xC0, 0, 1, 2, 0};
    const SetupRecord accepted = {0x80, 0, 0, 0, 0};  // GET_STATUS of the device, no data asked
    const std::uint64_t before = line.model->vendor_requests();
    EXPECT_FALSE(control->request(refused, nullptr, 100));
    EXPECT_EQ(control->result(), result_stall);
    EXPECT_EQ(line.model->vendor_requests(), before + 1);
    EXPECT_TRUE(control->request(accepted, nullptr, 100));

    ASSERT_TRUE(line.emulation->start_worker());
    Recorder rec;
    control->set_callback(Recorder::callback);
    ASSERT_TRUE(control->queue_request(refused, nullptr, &rec, true));
    ASSERT_TRUE(rec.wait(1));
    EXPECT_EQ(rec.at(0).status, DWORD(result_stall));
    EXPECT_EQ(line.model->vendor_requests(), before + 2);
    ASSERT_TRUE(control->queue_request(accepted, nullptr, &rec, true));
    ASSERT_TRUE(rec.wait(2));
    EXPECT_TRUE(result_succeeded(rec.at(1).status));
}
