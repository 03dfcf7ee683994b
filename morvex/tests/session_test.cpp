// Requests and session operations against the fake instrument.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

#include <thread>

#include "fixture.h"
#include "zephtest/wait.h"

namespace morvex_test {
namespace {

using zeph_wire::get16;
using zeph_wire::get24;

TEST(Word24, KeepsTwentyFourBitsAndRefusesMore) {
    morvex::__word24 w;
    w = 0xFFFFFFu;
    EXPECT_EQ(uint32_t(w), 0xFFFFFFu);
    EXPECT_THROW(w = 0x12345678u, morvex::__word24::out_of_range);
    EXPECT_EQ(uint32_t(w), 0xFFFFFFu);
}

TEST_F(InstrumentTest, RequestLayouts) {
    morvex::zeph_command c = session.make_command(0x021003, 0x1234);
    ASSERT_FALSE(c.refused());
    EXPECT_EQ(c.code(), zeph_wire::IOCTL_VENDOR_COMMAND);
    EXPECT_EQ(c.input().size(), 8u);
    EXPECT_TRUE(c.output().empty());
    const uint8_t* h = c.input().bytes();
    EXPECT_EQ(h[0], 0x03);
    EXPECT_EQ(h[1], 0x10);
    EXPECT_EQ(h[2], 0x02);
    EXPECT_EQ(get16(h + 4), 0x1234);
    EXPECT_EQ(get16(h + 6), 0);

    morvex::zeph_get_param g = session.make_get_param(0x010203, 7, 5);
    EXPECT_EQ(g.code(), zeph_wire::IOCTL_VENDOR_READ);
    EXPECT_EQ(g.input().size(), 8u);
    EXPECT_EQ(g.output().size(), 23u);
    EXPECT_EQ(g.input().data(), g.output().data());
    EXPECT_EQ(get16(g.input().bytes() + 6), 15);

    morvex::zeph_set_param s = session.make_set_param(0x010203, 0, 128);
    EXPECT_EQ(s.input().size(), 392u);
    EXPECT_EQ(get16(s.input().bytes() + 6), 384);
}

TEST_F(InstrumentTest, ParameterRoundTripsAtOneAndMostWords) {
    for (uint16_t n : {uint16_t(1), uint16_t(128)}) {
        std::vector<uint8_t> data(3 * n);
        for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + n);
        morvex::zeph_set_param set = session.make_set_param_data(0x030000 + n, 1, n, data.data());
        ASSERT_EQ(session.control_and_wait(set, zephtest::deadline_ms).get_code(), 0u) << n;
        morvex::zeph_get_param get = session.make_get_param(0x030000 + n, 1, n);
        ASSERT_EQ(session.control_and_wait(get, zephtest::deadline_ms).get_code(), 0u) << n;
        ASSERT_EQ(get.data().size(), data.size());
        EXPECT_EQ(0, std::memcmp(get.data().data(), data.data(), data.size())) << n;
        EXPECT_EQ(get.word(n - 1), get24(&data[3 * (n - 1)]));
    }
    // The writer fills the words itself, and from a parameter block.
    morvex::zeph_set_param set = session.make_set_param(0x040000, 0, 2);
    EXPECT_TRUE(set.set_word(0, 0xABCDEF));
    EXPECT_TRUE(set.set_word(1, 0x000001));
    EXPECT_FALSE(set.set_word(2, 1));
    EXPECT_FALSE(set.set_word(0, 0x1000000));
    ASSERT_EQ(session.control_and_wait(set, zephtest::deadline_ms).get_code(), 0u);
    morvex::param_block block{0x040001, 0, 2, set.data().block()};
    block.data = session.allocate(6, false);
    std::memcpy(block.data.data(), set.input().bytes() + 8, 6);
    morvex::zeph_set_param from_block = session.make_set_param_block(block);
    ASSERT_EQ(session.control_and_wait(from_block, zephtest::deadline_ms).get_code(), 0u);
    morvex::zeph_get_param get = session.make_get_param(0x040001, 0, 2);
    ASSERT_EQ(session.control_and_wait(get, zephtest::deadline_ms).get_code(), 0u);
    EXPECT_EQ(get.word(0), 0xABCDEFu);
    EXPECT_EQ(get.word(1), 1u);
}

// Too many words, a length that would wrap, a word above 24 bits, a source too small: refused
// before anything is sent.
TEST_F(InstrumentTest, RequestsThatCannotBeSentAreRefused) {
    const size_t before = device->sent(zeph_wire::IOCTL_VENDOR_WRITE).size();
    std::vector<uint8_t> data(3 * 21846);
    morvex::zeph_set_param over = session.make_set_param(0x010000, 0, 129);
    morvex::zeph_set_param wraps = session.make_set_param_data(0x010000, 0, 21846, data.data());
    morvex::zeph_set_param null_source = session.make_set_param_data(0x010000, 0, 2, nullptr);
    morvex::param_block small{0x010000, 0, 4, session.allocate(6, false)};
    morvex::zeph_set_param from_small = session.make_set_param_block(small);
    morvex::zeph_command wide = session.make_command(0x1021003, 0);
    morvex::zeph_get_param wide_get = session.make_get_param(0xFF000001, 0, 1);
    for (karnet::io_control* op :
         std::initializer_list<karnet::io_control*>{&over, &wraps, &null_source, &from_small, &wide, &wide_get}) {
        EXPECT_EQ(session.control_and_wait(*op, zephtest::deadline_ms).get_code(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_FALSE(session.submit_control(*op));
    }
    EXPECT_EQ(device->sent(zeph_wire::IOCTL_VENDOR_WRITE).size(), before);
    EXPECT_EQ(device->sent(zeph_wire::IOCTL_VENDOR_COMMAND).size(), 0u);
}

TEST_F(InstrumentTest, ShortRepliesAreErrors) {
    morvex::zeph_set_param set = session.make_set_param(0x050000, 0, 3);
    for (uint32_t i = 0; i < 3; ++i) set.set_word(i, 0x111111 * (i + 1));
    ASSERT_EQ(session.control_and_wait(set, zephtest::deadline_ms).get_code(), 0u);
    device->short_code = zeph_wire::IOCTL_VENDOR_READ;
    morvex::zeph_get_param get = session.make_get_param(0x050000, 0, 3);
    EXPECT_EQ(session.control_and_wait(get, zephtest::deadline_ms).get_code(), DWORD(ERROR_INVALID_DATA));
    device->short_code = zeph_wire::IOCTL_GET_BCD_DEVICE;
    EXPECT_EQ(session.bcd_device(), 0xFFFF);
    EXPECT_EQ(session.bcd_device(), 0x0123);
    device->short_code = zeph_wire::IOCTL_GET_PRODUCT_INDEX;
    EXPECT_EQ(session.product(), "");
    device->short_code = zeph_wire::IOCTL_GET_STRING_LENGTH;
    EXPECT_EQ(session.string_descriptor(2), "");
}

TEST_F(InstrumentTest, SetModeSendsItsParametersOnlyForMode2) {
    ASSERT_EQ(session.set_mode(1, 7, 9).get_code(), 0u);
    ASSERT_EQ(session.set_mode(2, 7, 9).get_code(), 0u);
    ASSERT_EQ(session.set_mode(0, 7, 9).get_code(), 0u);
    auto sent = device->sent(zeph_wire::IOCTL_SELECT_MODE);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(sent[1], (std::vector<uint8_t>{2, 7, 9, 0}));
    EXPECT_EQ(sent[2], (std::vector<uint8_t>{0, 0, 0, 0}));
}

struct counter {
    void hit() { ++n; }
    std::atomic<int> n{0};
};

TEST_F(InstrumentTest, ModeListenersAndFailedIdleRestartsThem) {
    counter started, stopping;
    auto s = w32cpp::make_member_callback<counter>(&started, &counter::hit);
    auto p = w32cpp::make_member_callback<counter>(&stopping, &counter::hit);
    session.started_listeners().add(s);
    session.stopping_listeners().add(p);
    ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    EXPECT_EQ(started.n.load(), 1);
    device->fail_code = zeph_wire::IOCTL_SELECT_MODE;
    EXPECT_EQ(session.set_mode(0, 0, 0).get_code(), DWORD(ERROR_GEN_FAILURE));
    // Stopped before the request, started again since the instrument still runs in mode 1.
    EXPECT_EQ(stopping.n.load(), 1);
    EXPECT_EQ(started.n.load(), 2);
    EXPECT_EQ(device->mode(), 1);
    // Still in mode 1: the pipe requests are sent.
    EXPECT_EQ(session.read_pipe_request().get_code(), 0u);
    EXPECT_EQ(device->sent(zeph_wire::IOCTL_VENDOR_COMMAND).size(), 1u);
    // A failed idle request from idle restarts nothing.
    ASSERT_EQ(session.set_mode(0, 0, 0).get_code(), 0u);
    device->fail_code = zeph_wire::IOCTL_SELECT_MODE;
    session.set_mode(0, 0, 0);
    EXPECT_EQ(started.n.load(), 2);
    session.started_listeners().remove(s);
    session.stopping_listeners().remove(p);
}

TEST_F(InstrumentTest, PipeRequestsOnlyInBulkMode) {
    EXPECT_EQ(session.read_pipe_request().get_code(), 0u);
    ASSERT_EQ(session.set_mode(2, 1, 1).get_code(), 0u);
    EXPECT_EQ(session.write_pipe_request().get_code(), 0u);
    EXPECT_TRUE(device->sent(zeph_wire::IOCTL_VENDOR_COMMAND).empty());
    ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    EXPECT_EQ(session.read_pipe_request().get_code(), 0u);
    EXPECT_EQ(session.write_pipe_request().get_code(), 0u);
    auto sent = device->sent(zeph_wire::IOCTL_VENDOR_COMMAND);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(get24(sent[0].data()), 0x021003u);
    EXPECT_EQ(get24(sent[1].data()), 0x021103u);
}

TEST_F(InstrumentTest, DescriptorsWithEitherLengthAnswer) {
    for (bool serial : {false, true}) {
        device->serial_string_length = serial;
        EXPECT_EQ(session.manufacturer(), "Fasko");
        EXPECT_EQ(session.product(), "Zeph 8");
        EXPECT_EQ(session.serial_number(), "SN0042");
        EXPECT_EQ(session.bcd_device(), 0x0123);
    }
    EXPECT_EQ(session.string_descriptor(9), "");
}

// bLength 0 or 1 makes the length answer wrap to 254/255: only what arrived is read, however the
// buffer's unreceived bytes look.
TEST_F(InstrumentTest, BrokenDescriptorLengthsReadOnlyWhatArrived) {
    device->strings[4] = std::u16string(u"AB");
    for (uint8_t b_length : {uint8_t(0), uint8_t(1)}) {
        device->forced_length_ = b_length;
        EXPECT_EQ(session.string_descriptor(4), "AB");
    }
    device->forced_length_ = 0;
    // Text without room for its NUL: bounded by the reply.
    device->strings[5] = std::u16string(u"XYZ");
    device->forced_length_ = 6;  // USB answer 4: room for two units and the NUL
    EXPECT_EQ(session.string_descriptor(5), "XYZ");
    device->forced_length_ = 0;
    // A unit without a single-byte form becomes 0xFF.
    device->strings[6] = std::u16string(u"A\u4e2d");
    EXPECT_EQ(session.string_descriptor(6), std::string("A\xFF"));
}

TEST_F(InstrumentTest, RemovedDeviceGivesEmptyValues) {
    device->remove("inst1");
    EXPECT_FALSE(session.is_open());
    EXPECT_EQ(session.bcd_device(), 0xFFFF);
    EXPECT_EQ(session.product(), "");
    morvex::zeph_command c = session.make_command(1, 0);
    EXPECT_NE(session.control_and_wait(c, zephtest::deadline_ms).get_code(), 0u);
}

// The device goes while each kind of request waits for its answer.
TEST_F(InstrumentTest, RemovalDuringARequestEndsItWithDeviceRemoved) {
    device->hold_controls = true;
    std::atomic<DWORD> get_status{0}, mode_status{0};
    std::atomic<int> bcd{0};
    std::string product = "unset";
    std::thread a([&] {
        morvex::zeph_get_param g = session.make_get_param(0x010000, 0, 2);
        get_status = session.control_and_wait(g, zephtest::deadline_ms).get_code();
    });
    std::thread b([&] { mode_status = session.set_mode(1, 0, 0).get_code(); });
    std::thread c([&] { bcd = session.bcd_device(); });
    std::thread d([&] { product = session.product(); });
    ASSERT_TRUE(zephtest::wait_until([&] { return device->held_controls() == 4; }));
    device->remove("inst1");
    zephtest::join(a);
    zephtest::join(b);
    zephtest::join(c);
    zephtest::join(d);
    EXPECT_EQ(get_status.load(), DWORD(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(mode_status.load(), DWORD(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(bcd.load(), 0xFFFF);
    EXPECT_EQ(product, "");
}

TEST_F(InstrumentTest, EmptyProxyAnswersWithoutASession) {
    morvex::zeph_session copy(session);
    copy.on_device_removed();
    for (morvex::zeph_session* s : {&copy, new morvex::zeph_session()}) {
        EXPECT_FALSE(s->is_open());
        EXPECT_EQ(s->set_mode(1, 0, 0).get_code(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(s->reset_device().get_code(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(s->read_pipe_request().get_code(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(s->bcd_device(), 0xFFFF);
        EXPECT_EQ(s->serial_number(), "");
        morvex::zeph_get_param g = s->make_get_param(1, 0, 1);
        EXPECT_TRUE(g.refused());
        EXPECT_EQ(s->control_and_wait(g, zephtest::deadline_ms).get_code(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(s->stream().start(64, 1));
        recorder r(0, true);
        s->add_observer(&r);
        s->remove_observer(&r);
        EXPECT_EQ(s->started_listeners().size(), 0u);
        if (s != &copy) delete s;
    }
    // A proxy closed by a removal notice closes the session it held.
    EXPECT_FALSE(session.is_open());
    EXPECT_EQ(session.bcd_device(), 0xFFFF);
}

TEST_F(InstrumentTest, ResetRunsTheListenersWhateverItsStatus) {
    counter started, stopping;
    auto s = w32cpp::make_member_callback<counter>(&started, &counter::hit);
    auto p = w32cpp::make_member_callback<counter>(&stopping, &counter::hit);
    session.started_listeners().add(s);
    session.stopping_listeners().add(p);
    EXPECT_EQ(session.reset_device().get_code(), 0u);
    device->fail_code = zeph_wire::IOCTL_RESET_DEVICE;
    EXPECT_EQ(session.reset_device().get_code(), DWORD(ERROR_GEN_FAILURE));
    EXPECT_EQ(started.n.load(), 2);
    EXPECT_EQ(stopping.n.load(), 2);
    session.started_listeners().remove(s);
    session.stopping_listeners().remove(p);
}

}  // namespace
}  // namespace morvex_test
