#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "morvex/wire.h"

using namespace zeph_wire;

TEST(Wire, CodesFollowTheControlCodeRule) {
    EXPECT_EQ(ctl_code(0x810), IOCTL_GET_STRING_LENGTH);
    EXPECT_EQ(ctl_code(0x811), IOCTL_GET_STRING);
    EXPECT_EQ(ctl_code(0x815), IOCTL_GET_BCD_DEVICE);
    EXPECT_EQ(ctl_code(0x819), IOCTL_GET_FIXED_INDEX);
    EXPECT_EQ(ctl_code(0x820), IOCTL_VENDOR_COMMAND);
    EXPECT_EQ(ctl_code(0x822), IOCTL_VENDOR_READ);
    EXPECT_EQ(ctl_code(0x830), IOCTL_READ_NOTIFICATION);
    EXPECT_EQ(ctl_code(0x8F0), IOCTL_RESET_DEVICE);
    EXPECT_EQ(ctl_code(0x8F1), IOCTL_UNSUPPORTED);
}

TEST(Wire, HeaderLayoutAndReservedByteKept) {
    uint8_t b[8 + 15];
    std::memset(b, 0xEE, sizeof b);
    header_view h{b};
    h.write(0x021003, 0x1234, 5);
    EXPECT_EQ(b[0], 0x03);
    EXPECT_EQ(b[1], 0x10);
    EXPECT_EQ(b[2], 0x02);
    EXPECT_EQ(b[3], 0xEE);  // reserved byte left as it was
    EXPECT_EQ(h.w_value(), 0x1003);
    EXPECT_EQ(h.request(), 0x02);
    EXPECT_EQ(h.value(), 0x1234);
    EXPECT_EQ(h.length(), 15);
    EXPECT_EQ(h.word(), 0x021003u);
    h.write(0x12345678, 0, MAX_WORDS);
    EXPECT_EQ(h.word(), 0x345678u);  // low 24 bits only
    EXPECT_EQ(h.length(), 384);
}

TEST(Wire, WordsAndNotificationCode) {
    uint8_t w[3];
    put24(w, 0xABCDEF);
    EXPECT_EQ(w[0], 0xEF);
    EXPECT_EQ(w[2], 0xAB);
    EXPECT_EQ(get24(w), 0xABCDEFu);
    uint8_t rec[NOTIFY_SIZE] = {};
    rec[1] = 0x34;
    rec[2] = 0x12;
    EXPECT_EQ(notify_code(rec), 0x1234);
    EXPECT_EQ(NOTIFY_DATA_OFFSET + NOTIFY_DATA_SIZE, 63u);
}

TEST(Wire, InterfaceGuids) {
    EXPECT_EQ(device_interface_guid_main.Data1, 0xB8450235u);
    EXPECT_EQ(device_interface_guid_bulk.Data4[7], 0x99);
    EXPECT_EQ(device_interface_guid_iso.Data2, 0x5D13);
}
