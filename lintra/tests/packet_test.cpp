// Packet layer: PID coding, CRC, the bytes of tokens, data packets and handshakes, the result codes
// of reading them, and the resynchronisation burst.
#include <gtest/gtest.h>

#include <cstring>

#include "lintra/packet.h"
#include "script_port.h"

using namespace lintra;
using lintra_test::ScriptPort;
using lintra_test::data_packet;
using lintra_test::handshake;

namespace {

struct Fixture : ::testing::Test {
    ScriptPort port;
    PacketEndpoint ep;
    Token token;
    Data data{8};
    Ack ack;

    void SetUp() override {
        ep.port = &port;
        ep.address = 1;
        ep.number = 0x00;
        ep.max_packet = 8;
        token.reset(ep);
        data.reset(ep);
        ack.reset(ep);
    }
};

}  // namespace

TEST(PidCodec, EveryValueRoundTripsAndOnlyComplementaryBytesDecode) {
    for (unsigned v = 0; v < 16; ++v) {
        const BYTE b = pid_encode(BYTE(v));
        EXPECT_EQ(b >> 4, v);
        EXPECT_EQ(b & 0x0F, ~v & 0x0F);
        EXPECT_EQ(pid_decode(b), v);
    }
    int valid = 0;
    for (unsigned b = 0; b < 256; ++b) {
        if (((b >> 4) ^ (b & 0x0F)) == 0x0F) {
            ++valid;
        } else {
            EXPECT_EQ(pid_decode(BYTE(b)), 0) << "byte " << b;
        }
    }
    EXPECT_EQ(valid, 16);
    EXPECT_EQ(pid_decode(0x3D), 0);
    // The bytes the line carries.
    EXPECT_EQ(pid_encode(pid_out), 0x1E);
    EXPECT_EQ(pid_encode(pid_ack), 0x2D);
    EXPECT_EQ(pid_encode(pid_data0), 0x3C);
    EXPECT_EQ(pid_encode(pid_resync), 0x69);
    EXPECT_EQ(pid_encode(pid_in), 0x96);
    EXPECT_EQ(pid_encode(pid_nak), 0xA5);
    EXPECT_EQ(pid_encode(pid_data1), 0xB4);
    EXPECT_EQ(pid_encode(pid_err), 0xC3);
    EXPECT_EQ(pid_encode(pid_setup), 0xD2);
    EXPECT_EQ(pid_encode(pid_stall), 0xE1);
}

TEST(Crc16, CheckValues) {
    const char* check = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const BYTE*>(check), 9), 0xBB3D);
    const BYTE zero_length[2] = {0, 0};
    EXPECT_EQ(crc16(zero_length, 2), 0x0000);
    // Computing in two pieces gives the same as one run.
    const BYTE bytes[5] = {0x05, 0x00, 0xDE, 0xAD, 0xBE};
    EXPECT_EQ(crc16(bytes + 2, 3, crc16(bytes, 2)), crc16(bytes, 5));
    const BYTE one[1] = {0x01};
    EXPECT_EQ(crc16(one, 1), 0xC0C1);
}

TEST_F(Fixture, TokenIsPurgeThenThreeCodedBytes) {
    ep.number = 0x81;
    ASSERT_TRUE(token.send(pid_in));
    ASSERT_EQ(port.calls.size(), 2u);
    EXPECT_EQ(port.calls[0].kind, 'P');
    EXPECT_EQ(port.calls[1].bytes, (std::vector<BYTE>{0x96, 0x1E, 0x1E}));
    ep.number = 0x82;
    token.send(pid_in);
    EXPECT_EQ(port.calls[3].bytes, (std::vector<BYTE>{0x96, 0x1E, 0x2D}));
    ep.number = 0x00;
    token.send(pid_setup);
    EXPECT_EQ(port.calls[5].bytes, (std::vector<BYTE>{0xD2, 0x1E, 0x0F}));
    EXPECT_EQ(ep.last_result, result_done);
    port.fail_writes_after(0);
    EXPECT_FALSE(token.send(pid_out));
    EXPECT_EQ(ep.last_result, result_port_error);
}

TEST_F(Fixture, DataPacketIsFourWritesAndZeroLengthHasZeroCrc) {
    const BYTE payload[3] = {1, 2, 3};
    ASSERT_TRUE(data.send(pid_data1, payload, 3));
    ASSERT_EQ(port.calls.size(), 4u);
    EXPECT_EQ(port.written, data_packet(true, {1, 2, 3}));
    port.calls.clear();
    port.written.clear();
    ASSERT_TRUE(data.send(pid_data0, nullptr, 0));
    ASSERT_EQ(port.calls.size(), 4u);
    EXPECT_TRUE(port.calls[2].bytes.empty());  // the data write happens, for zero bytes
    EXPECT_EQ(port.written, (std::vector<BYTE>{0x3C, 0, 0, 0, 0}));
    port.fail_writes_after(2);
    EXPECT_FALSE(data.send(pid_data0, payload, 3));
    EXPECT_EQ(ep.last_result, result_port_error);
}

TEST_F(Fixture, DataReadClassifiesByToggleAndPid) {
    BYTE buf[8];
    DWORD len = sizeof buf;
    port.feed(data_packet(false, {9, 8, 7}));
    EXPECT_TRUE(data.read(buf, &len));
    EXPECT_EQ(ep.last_result, result_done);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(buf[0], 9);

    ep.toggle = 1;
    len = sizeof buf;
    port.feed(data_packet(false, {1}));
    EXPECT_TRUE(data.read(buf, &len));
    EXPECT_EQ(ep.last_result, result_repeat);

    const std::pair<BYTE, DWORD> others[] = {
        {0xA5, result_nak}, {0xC3, result_err}, {0x3D, result_bad_pid}, {0x2D, result_bad_pid}};
    for (auto [byte, result] : others) {
        len = sizeof buf;
        port.feed({byte});
        EXPECT_FALSE(data.read(buf, &len));
        EXPECT_EQ(ep.last_result, result) << int(byte);
    }
}

TEST_F(Fixture, StallSetsAndAnyWellReadPidClearsTheStalledFlag) {
    BYTE buf[8];
    DWORD len = sizeof buf;
    ep.stalled = 0;
    port.feed({0xE1});
    EXPECT_FALSE(data.read(buf, &len));
    EXPECT_EQ(ep.last_result, result_stall);
    EXPECT_EQ(ep.stalled, 1);
    port.feed({0xA5});
    EXPECT_FALSE(ack.read());
    EXPECT_EQ(ep.last_result, result_nak);
    EXPECT_EQ(ep.stalled, 0);
    port.feed({0xE1});
    EXPECT_FALSE(ack.read());
    EXPECT_EQ(ep.stalled, 1);
    port.feed({0x2D});
    EXPECT_TRUE(ack.read());
    EXPECT_EQ(ep.stalled, 0);
}

TEST_F(Fixture, BadPacketsGiveResultZero) {
    BYTE buf[8];
    DWORD len;
    // Length above the maximum: nothing more is read.
    std::vector<BYTE> nine = data_packet(false, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    port.feed(nine);
    len = sizeof buf;
    EXPECT_FALSE(data.read(buf, &len));
    EXPECT_EQ(ep.last_result, result_bad_packet);
    EXPECT_EQ(port.calls.back().bytes.size(), 2u);  // the length was the last read
    port.purge();

    // CRC damaged.
    std::vector<BYTE> p = data_packet(false, {1, 2, 3});
    p.back() ^= 0x01;
    port.feed(p);
    len = sizeof buf;
    EXPECT_FALSE(data.read(buf, &len));
    EXPECT_EQ(ep.last_result, result_bad_packet);

    // A read that returns fewer bytes than announced while saying true.
    p = data_packet(false, {1, 2, 3});
    p.resize(p.size() - 2);
    port.feed(p);
    port.short_read_lies();
    len = sizeof buf;
    EXPECT_FALSE(data.read(buf, &len));
    EXPECT_EQ(ep.last_result, result_bad_packet);

    // Truncated by the port's time-out: a port error.
    p = data_packet(false, {1, 2, 3});
    p.resize(4);
    port.feed(p);
    len = sizeof buf;
    EXPECT_FALSE(data.read(buf, &len));
    EXPECT_EQ(ep.last_result, result_port_error);

    // Nothing at all.
    len = sizeof buf;
    EXPECT_FALSE(data.read(buf, &len));
    EXPECT_EQ(ep.last_result, result_port_error);
}

TEST_F(Fixture, MoreDataThanTheCallerAskedForIsABadPacket) {
    BYTE buf[8];
    std::memset(buf, 0xEE, sizeof buf);
    DWORD len = 2;
    port.feed(data_packet(false, {1, 2, 3, 4}));
    EXPECT_FALSE(data.read(buf, &len));
    EXPECT_EQ(ep.last_result, result_bad_packet);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(buf[0], 0xEE);
    // A repeat is not judged by the room: its data was taken before.
    ep.toggle = 1;
    len = 2;
    port.feed(data_packet(false, {1, 2, 3, 4}));
    EXPECT_TRUE(data.read(buf, &len));
    EXPECT_EQ(ep.last_result, result_repeat);
    EXPECT_EQ(len, 0u);
}

TEST_F(Fixture, HandshakeReadAndWrite) {
    const std::pair<BYTE, DWORD> cases[] = {{0x2D, result_done}, {0xA5, result_nak}, {0xC3, result_err},
                                            {0xE1, result_stall}, {0x3C, result_bad_pid}, {0x00, result_bad_pid}};
    for (auto [byte, result] : cases) {
        port.feed({byte});
        EXPECT_EQ(ack.read(), result == result_done);
        EXPECT_EQ(ep.last_result, result);
    }
    EXPECT_FALSE(ack.read());
    EXPECT_EQ(ep.last_result, result_port_error);
    ASSERT_TRUE(ack.send(pid_err));
    EXPECT_EQ(port.written.back(), 0xC3);
}

TEST_F(Fixture, ResyncBurstIs129BytesEachAfterAPurge) {
    ASSERT_TRUE(send_resync(ep));
    ASSERT_EQ(port.calls.size(), 2u * 129);
    for (size_t i = 0; i < port.calls.size(); i += 2) {
        EXPECT_EQ(port.calls[i].kind, 'P');
        EXPECT_EQ(port.calls[i + 1].bytes, std::vector<BYTE>{0x69});
    }
    EXPECT_EQ(port.written.size(), 129u);

    ScriptPort failing;
    ep.port = &failing;
    failing.fail_writes_after(10);
    EXPECT_FALSE(send_resync(ep));
    EXPECT_EQ(ep.last_result, result_port_error);
    EXPECT_EQ(failing.written.size(), 10u);  // stops at the first failed write
}
