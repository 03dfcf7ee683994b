// Byte coding of the serial packet protocol.
#include <gtest/gtest.h>

#include <string>

#include "simdev/line.h"

using namespace simdev::line;

TEST(SimLineCrc, CheckValueAndZeroLengthPacket) {
    const std::string s = "123456789";
    EXPECT_EQ(crc16({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}), 0xBB3D);
    const std::uint8_t zero[2] = {0, 0};
    EXPECT_EQ(crc16(zero), 0x0000);
    // Continuing a CRC over two pieces gives the CRC of the whole.
    auto whole = crc16({reinterpret_cast<const std::uint8_t*>(s.data()), 9});
    auto part = crc16({reinterpret_cast<const std::uint8_t*>(s.data()), 4});
    EXPECT_EQ(crc16({reinterpret_cast<const std::uint8_t*>(s.data()) + 4, 5}, part), whole);
}

TEST(SimLinePid, NibbleCodingOfEveryPid) {
    struct row { std::uint8_t v, byte; };
    const row rows[] = {{pid_out, 0x1E},  {pid_ack, 0x2D}, {pid_data0, 0x3C}, {pid_resync, 0x69},
                        {pid_in, 0x96},   {pid_nak, 0xA5}, {pid_data1, 0xB4}, {pid_err, 0xC3},
                        {pid_setup, 0xD2}, {pid_stall, 0xE1}};
    for (auto r : rows) {
        EXPECT_EQ(encode_nibble(r.v), r.byte);
        EXPECT_EQ(decode_nibble(r.byte), r.v);
    }
    EXPECT_EQ(decode_nibble(0x3D), 0);  // nibbles not complementary
    EXPECT_EQ(decode_nibble(0x00), 0);
    // Tokens carry only the low four bits of address and endpoint.
    EXPECT_EQ(encode_token(pid_in, 1, 0x81), (std::vector<std::uint8_t>{0x96, 0x1E, 0x1E}));
    EXPECT_EQ(encode_token(pid_out, 1, 0x01), (std::vector<std::uint8_t>{0x1E, 0x1E, 0x1E}));
    EXPECT_EQ(encode_token(pid_setup, 1, 0), (std::vector<std::uint8_t>{0xD2, 0x1E, 0x0F}));
    EXPECT_EQ(encode_token(pid_in, 1, 0x82), (std::vector<std::uint8_t>{0x96, 0x1E, 0x2D}));
}

TEST(SimLineData, EncodeDecodeRoundTrips) {
    for (std::size_t n : {0u, 1u, 8u, 60u, 64u, 1024u}) {
        std::vector<std::uint8_t> data(n);
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + n);
        for (bool d1 : {false, true}) {
            auto pkt = encode_data(d1, data);
            ASSERT_EQ(pkt.size(), n + 5);
            EXPECT_EQ(pkt[0], d1 ? 0xB4 : 0x3C);
            EXPECT_EQ(pkt[1] | (pkt[2] << 8), static_cast<int>(n));
            decoded_data out;
            ASSERT_EQ(decode_data(pkt, 1024, out), decode_error::none);
            EXPECT_EQ(out.data1, d1);
            EXPECT_EQ(out.data, data);
        }
    }
    EXPECT_EQ(encode_data(false, {}), (std::vector<std::uint8_t>{0x3C, 0, 0, 0, 0}));
}

TEST(SimLineData, DecodeRefusesDamage) {
    std::vector<std::uint8_t> data{1, 2, 3, 4, 5, 6, 7, 8, 9};
    auto pkt = encode_data(true, data);
    decoded_data out;
    EXPECT_EQ(decode_data(pkt, 8, out), decode_error::too_long);  // 9 bytes on the control endpoint
    auto bad = pkt;
    bad[5] ^= 1;
    EXPECT_EQ(decode_data(bad, 1024, out), decode_error::bad_crc);
    bad = pkt;
    bad[pkt.size() - 1] ^= 0x80;
    EXPECT_EQ(decode_data(bad, 1024, out), decode_error::bad_crc);
    bad = pkt;
    bad.pop_back();
    EXPECT_EQ(decode_data(bad, 1024, out), decode_error::too_short);
    bad = pkt;
    bad[0] = 0x3D;
    EXPECT_EQ(decode_data(bad, 1024, out), decode_error::bad_pid);
    bad = pkt;
    bad[0] = 0x2D;  // ACK is no data PID
    EXPECT_EQ(decode_data(bad, 1024, out), decode_error::bad_pid);
}
