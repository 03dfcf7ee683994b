// The firmware model: descriptors, standard requests, every vendor word, streams and events.
#include <gtest/gtest.h>

#include <string>

#include "simdev/instrument.h"
#include "simdev/usb_device.h"
#include "vendor.h"

using namespace simdev;
using namespace simdev::test;

namespace {

std::string string_text(const std::vector<std::uint8_t>& d) {
    std::string s;
    for (std::size_t i = 2; i + 1 < d.size(); i += 2) s.push_back(static_cast<char>(d[i]));
    return s;
}

setup_packet std_setup(std::uint8_t type, std::uint8_t req, std::uint16_t value, std::uint16_t index, std::uint16_t len) {
    return setup_packet{type, req, value, index, len};
}

// (interface, alt, endpoint address, attributes, max packet) of every endpoint in a configuration.
struct ep_row {
    int iface, alt, addr, attr, maxp;
    bool operator==(const ep_row&) const = default;
};

std::vector<ep_row> parse_endpoints(const std::vector<std::uint8_t>& d) {
    std::vector<ep_row> rows;
    int iface = -1, alt = -1;
    for (std::size_t i = 0; i + 1 < d.size(); i += d[i]) {
        if (d[i] == 0) break;
        if (d[i + 1] == 4) {
            iface = d[i + 2];
            alt = d[i + 3];
        } else if (d[i + 1] == 5) {
            rows.push_back({iface, alt, d[i + 2], d[i + 3], d[i + 4] | (d[i + 5] << 8)});
        }
    }
    return rows;
}

}  // namespace

TEST(SimModelDescriptors, DeviceDescriptorCarriesIdentityAndTwoConfigurations) {
    instrument_config cfg;
    cfg.bcd_device = 0x0123;
    cfg.vendor_id = 0x1234;
    cfg.product_id = 0x5678;
    instrument m(cfg);
    auto d = m.device_descriptor();
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], 1);
    EXPECT_EQ(d[7], 8);  // control endpoint packet size
    EXPECT_EQ(u16(d, 8), 0x1234);
    EXPECT_EQ(u16(d, 10), 0x5678);
    EXPECT_EQ(u16(d, 12), 0x0123);
    EXPECT_EQ(d[14], 1);
    EXPECT_EQ(d[15], 2);
    EXPECT_EQ(d[16], 3);
    EXPECT_EQ(d[17], 2);
}

TEST(SimModelDescriptors, ConfigurationsAreNamedAndShaped) {
    instrument m;
    auto c1 = m.configuration_descriptor(0);
    auto c2 = m.configuration_descriptor(1);
    EXPECT_TRUE(m.configuration_descriptor(2).empty());
    ASSERT_GE(c1.size(), 9u);
    EXPECT_EQ(u16(c1, 2), c1.size());
    EXPECT_EQ(c1[4], 3);  // interfaces
    EXPECT_EQ(c1[5], 1);  // bConfigurationValue
    EXPECT_EQ(c2[5], 2);
    EXPECT_EQ(string_text(*m.string_descriptor(c1[6], 0x0409)), "Bulk");
    EXPECT_EQ(string_text(*m.string_descriptor(c2[6], 0x0409)), "Isochrone");

    std::vector<ep_row> bulk{{0, 0, 0x82, 3, 64}, {1, 0, 0x81, 2, 64}, {2, 0, 0x01, 2, 64}};
    EXPECT_EQ(parse_endpoints(c1), bulk);
    std::vector<ep_row> iso{{0, 0, 0x82, 3, 64}, {1, 0, 0x81, 1, 0},    {1, 1, 0x81, 1, 120},
                            {1, 2, 0x81, 1, 240}, {1, 3, 0x81, 1, 360}, {2, 0, 0x01, 2, 64}};
    EXPECT_EQ(parse_endpoints(c2), iso);
}

TEST(SimModelDescriptors, StringsPerInstanceAndLanguage) {
    instrument_config a, b;
    a.serial_number = "1001";
    b.serial_number = "2002";
    b.product = std::string(200, 'P');  // longer than a descriptor can hold
    instrument ma(a), mb(b);
    EXPECT_EQ(string_text(*ma.string_descriptor(3, 0x0409)), "1001");
    EXPECT_EQ(string_text(*mb.string_descriptor(3, 0x0409)), "2002");
    EXPECT_EQ(string_text(*ma.string_descriptor(1, 0x0409)), a.manufacturer);
    auto p = *mb.string_descriptor(2, 0x0409);
    EXPECT_EQ(p[0], 2 + 2 * 126);
    EXPECT_EQ(p.size(), p[0]);
    auto langs = *ma.string_descriptor(0, 0);
    EXPECT_EQ(langs, (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    EXPECT_FALSE(ma.string_descriptor(2, 0x0407));
    EXPECT_FALSE(ma.string_descriptor(9, 0x0409));
}

TEST(SimModelStandard, GetDescriptorIsCutToWLength) {
    instrument m;
    auto r = m.control(std_setup(0x80, 6, 0x0100, 0, 8), {});
    EXPECT_FALSE(r.stall);
    EXPECT_EQ(r.data.size(), 8u);
    r = m.control(std_setup(0x80, 6, 0x0302, 0x0409, 2), {});
    ASSERT_EQ(r.data.size(), 2u);
    EXPECT_EQ(r.data[0], 2 + 2 * m.config().product.size());
    EXPECT_TRUE(m.control(std_setup(0x80, 6, 0x0700, 0, 8), {}).stall);
}

TEST(SimModelStandard, AddressConfigurationAndInterfaces) {
    instrument m;
    EXPECT_FALSE(m.control(std_setup(0x00, 5, 7, 0, 0), {}).stall);
    EXPECT_EQ(m.address(), 7);
    EXPECT_TRUE(m.control(std_setup(0x00, 9, 3, 0, 0), {}).stall);
    EXPECT_TRUE(m.control(std_setup(0x01, 11, 0, 1, 0), {}).stall);  // not configured yet
    EXPECT_FALSE(m.endpoint_active(0x81));
    EXPECT_FALSE(m.control(std_setup(0x00, 9, 1, 0, 0), {}).stall);
    EXPECT_EQ(m.control(std_setup(0x80, 8, 0, 0, 1), {}).data, std::vector<std::uint8_t>{1});
    EXPECT_EQ(m.endpoint_shape(0x81)->first, 2);
    EXPECT_TRUE(m.control(std_setup(0x01, 11, 1, 1, 0), {}).stall);  // "Bulk" has setting 0 only
    EXPECT_FALSE(m.control(std_setup(0x00, 9, 2, 0, 0), {}).stall);
    EXPECT_EQ(m.endpoint_shape(0x81)->first, 1);
    EXPECT_EQ(m.iso_packet_size(), 0);
    EXPECT_FALSE(m.control(std_setup(0x01, 11, 2, 1, 0), {}).stall);
    EXPECT_EQ(m.iso_packet_size(), 240);
    EXPECT_EQ(m.control(std_setup(0x81, 10, 0, 1, 1), {}).data, std::vector<std::uint8_t>{2});
    EXPECT_TRUE(m.control(std_setup(0x01, 11, 4, 1, 0), {}).stall);
    EXPECT_TRUE(m.control(std_setup(0x01, 11, 1, 2, 0), {}).stall);
}

TEST(SimModelStandard, HaltFeatureAndToggleEpochs) {
    instrument m;
    m.control(std_setup(0x00, 9, 1, 0, 0), {});
    auto e81 = m.reset_epoch(0x81), e01 = m.reset_epoch(0x01);
    EXPECT_FALSE(m.control(std_setup(0x02, 3, 0, 0x81, 0), {}).stall);
    EXPECT_TRUE(m.halted(0x81));
    EXPECT_EQ(m.control(std_setup(0x82, 0, 0, 0x81, 2), {}).data, (std::vector<std::uint8_t>{1, 0}));
    EXPECT_FALSE(m.control(std_setup(0x02, 1, 0, 0x81, 0), {}).stall);
    EXPECT_FALSE(m.halted(0x81));
    EXPECT_EQ(m.reset_epoch(0x81), e81 + 1);
    EXPECT_EQ(m.reset_epoch(0x01), e01);  // only the named endpoint starts again
    EXPECT_TRUE(m.control(std_setup(0x02, 1, 0, 0x05, 0), {}).stall);
    m.control(std_setup(0x00, 9, 1, 0, 0), {});
    EXPECT_GT(m.reset_epoch(0x01), e01);
}

TEST(SimModelVendor, UnknownOrMisshapenRequestsStall) {
    instrument m;
    EXPECT_TRUE(command(m, 0x000009, 0).stall);
    EXPECT_TRUE(command(m, 0x000001, 9).stall);
    EXPECT_TRUE(command(m, 0x050000, 0).stall);
    EXPECT_TRUE(get_words(m, 0x000004, 1, 129).stall);    // above 384 bytes
    EXPECT_TRUE(set_words(m, 0x000003, 1, {1, 2}).stall);  // start takes one word
    EXPECT_TRUE(m.control(vendor_setup(true, 0x000003, 3, 3), {}).stall);  // stop is no read
    EXPECT_TRUE(get_words(m, 0x000002, 1, 12).stall);      // normal configuration is write-only
    EXPECT_EQ(m.vendor_requests(), 7u);
}

TEST(SimModelVendor, StateWordsFollowTheFirmware) {
    instrument m;
    auto r = get_words(m, 0x000004, 1, 5);
    ASSERT_FALSE(r.stall);
    EXPECT_EQ(from24(r.data), (std::vector<std::uint32_t>{0, 0, 3, 0, 0}));
    // A longer request gets the five words only (a short reply).
    EXPECT_EQ(get_words(m, 0x000004, 1, 6).data.size(), 15u);
    EXPECT_EQ(get_words(m, 0x000004, 1, 4).data.size(), 12u);
    m.control(std_setup(0x00, 9, 1, 0, 0), {});
    set_words(m, 0x000003, 1, {0});
    take_message(m);
    take_message(m);
    command(m, 0x010003, 0);
    set_words(m, 0x000002, 2, std::vector<std::uint32_t>(24, 5));
    EXPECT_EQ(from24(get_words(m, 0x000004, 1, 5).data), (std::vector<std::uint32_t>{0, 2, 3, 2, 1}));
}

TEST(SimModelVendor, ConfigurationNormalProgrammedAndReadBack) {
    instrument m;
    std::vector<std::uint32_t> normal{1, 2, 3, 4, 5, 6, 7, 8, 0x345678, 0xFFFF80, 0x12, 0x34};
    std::vector<std::uint32_t> prog(24);
    for (std::uint32_t i = 0; i < 24; ++i) prog[i] = 0x100000 + i;
    ASSERT_FALSE(set_words(m, 0x000002, 2, prog).stall);
    EXPECT_EQ(from24(get_words(m, 0x000002, 3, 24).data), prog);
    ASSERT_FALSE(set_words(m, 0x000002, 1, normal).stall);
    auto back = from24(get_words(m, 0x000002, 3, 24).data);
    EXPECT_EQ(std::vector<std::uint32_t>(back.begin(), back.begin() + 12), normal);
    EXPECT_EQ(std::vector<std::uint32_t>(back.begin() + 12, back.end()), std::vector<std::uint32_t>(12, 0));
    EXPECT_TRUE(set_words(m, 0x000002, 1, prog).stall);  // 24 words are not a normal configuration
}

TEST(SimModelVendor, FlashDumpFramesStatusAndData) {
    instrument m;
    ASSERT_FALSE(set_words(m, 0x000001, 3, {0x100, 16}).stall);
    auto msg = take_message(m);
    ASSERT_TRUE(msg);
    ASSERT_EQ(msg->size(), 18u);
    EXPECT_EQ(u16(*msg, 0), 1);
    EXPECT_EQ(std::vector<std::uint8_t>(msg->begin() + 2, msg->end()), m.flash(0x100, 16));
    EXPECT_FALSE(check_pattern(seed::flash, 0x100, std::span<const std::uint8_t>(*msg).subspan(2)));
    // Past the end of the flash: refused with a zero status word.
    set_words(m, 0x000001, 3, {static_cast<std::uint32_t>(m.config().flash_size) - 4, 16});
    msg = take_message(m);
    ASSERT_TRUE(msg);
    EXPECT_EQ(*msg, (std::vector<std::uint8_t>{0, 0}));
}

TEST(SimModelVendor, FlashWriteTakesTheNextBulkMessage) {
    instrument m;
    std::vector<std::uint8_t> data(40);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
    ASSERT_FALSE(set_words(m, 0x000001, 4, {0x20, 40}).stall);
    auto f = framed(data);
    m.bulk_out_bytes(std::span<const std::uint8_t>(f).subspan(0, 2));  // split anywhere
    m.bulk_out_bytes(std::span<const std::uint8_t>(f).subspan(2, 30));
    EXPECT_EQ(m.bulk_in_pending_messages(), 0u);
    m.bulk_out_bytes(std::span<const std::uint8_t>(f).subspan(32));
    EXPECT_EQ(m.flash(0x20, 40), data);
    EXPECT_EQ(take_message(m), (std::vector<std::uint8_t>{1, 0, 0}));
    // A message of the wrong length is refused and leaves the flash alone.
    set_words(m, 0x000001, 4, {0x80, 8});
    auto before = m.flash(0x80, 8);
    auto wrong = framed(std::vector<std::uint8_t>(7, 0xEE));
    m.bulk_out_bytes(wrong);
    EXPECT_EQ(take_message(m), (std::vector<std::uint8_t>{0, 0, 0}));
    EXPECT_EQ(m.flash(0x80, 8), before);
    // Without a flash write waiting, messages are kept for the test to read.
    auto other = framed({1, 2, 3});
    m.bulk_out_bytes(other);
    auto got = m.take_received_messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (std::vector<std::uint8_t>{1, 2, 3}));
    // An empty write has no data to wait for: the answer comes at once, and the next message is
    // not taken for flash data.
    ASSERT_FALSE(set_words(m, 0x000001, 4, {0x10, 0}).stall);
    EXPECT_EQ(take_message(m), (std::vector<std::uint8_t>{1, 0, 0}));
    auto later = framed({4, 5});
    m.bulk_out_bytes(later);
    EXPECT_EQ(m.take_received_messages().size(), 1u);
    EXPECT_EQ(m.bulk_in_pending_messages(), 0u);
}

TEST(SimModelVendor, PeriodReadInBlocks) {
    instrument m;  // periods 1 (1000 bytes), 2 (4096), 3 (100)
    ASSERT_FALSE(set_words(m, 0x000001, 5, {1, 0, 1000, 256}).stall);
    std::vector<std::uint16_t> sizes;
    std::uint64_t off = 0;
    while (auto msg = take_message(m)) {
        ASSERT_GE(msg->size(), 4u);
        EXPECT_EQ(u16(*msg, 0), 1);
        sizes.push_back(u16(*msg, 2));
        ASSERT_EQ(msg->size(), 4u + u16(*msg, 2));
        EXPECT_FALSE(check_pattern(seed::period(1), off, std::span<const std::uint8_t>(*msg).subspan(4)));
        off += u16(*msg, 2);
    }
    EXPECT_EQ(sizes, (std::vector<std::uint16_t>{256, 256, 256, 232}));

    // Asking past the end gives a short block; an exact multiple is ended by an empty block.
    set_words(m, 0x000001, 5, {3, 0, 512, 256});
    EXPECT_EQ(u16(*take_message(m), 2), 100);
    EXPECT_FALSE(take_message(m));
    set_words(m, 0x000001, 5, {2, 4000, 200, 48});
    sizes.clear();
    while (auto msg = take_message(m)) sizes.push_back(u16(*msg, 2));
    EXPECT_EQ(sizes, (std::vector<std::uint16_t>{48, 48, 0}));
    // A missing period or a zero block size is refused.
    set_words(m, 0x000001, 5, {9, 0, 100, 10});
    EXPECT_EQ(take_message(m), (std::vector<std::uint8_t>{0, 0, 0, 0}));
    set_words(m, 0x000001, 5, {1, 0, 100, 0});
    EXPECT_EQ(take_message(m), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(SimModelVendor, PeriodEraseAndInfo) {
    instrument m;
    ASSERT_FALSE(set_words(m, 0x000001, 6, {2, 3}).stall);
    EXPECT_EQ(m.stored_periods(), std::vector<std::uint32_t>{1});
    ASSERT_FALSE(command(m, 0x000001, 2).stall);
    auto ev = m.take_event();
    ASSERT_TRUE(ev);
    EXPECT_EQ((*ev)[1] | ((*ev)[2] << 8), event::period_info);
    EXPECT_EQ((*ev)[15], 1);  // count
    EXPECT_EQ((*ev)[17], 1);  // first number
    EXPECT_EQ((*ev)[19] | ((*ev)[20] << 8), 1000);
    set_words(m, 0x000001, 6, {1, 0});  // last below first: just the first
    EXPECT_TRUE(m.stored_periods().empty());
}

TEST(SimModelVendor, MeasurementRunDeliversNumberedBlocksAndEnds) {
    instrument m;
    m.control(std_setup(0x00, 9, 1, 0, 0), {});
    ASSERT_FALSE(set_words(m, 0x000003, 1, {3}).stall);
    EXPECT_EQ(m.state(), run_state::measuring);
    std::uint64_t off = 0;
    for (int i = 0; i < 3; ++i) {
        auto msg = take_message(m);
        ASSERT_TRUE(msg);
        ASSERT_EQ(msg->size(), 200u);
        EXPECT_EQ(u16(*msg, 0), 1);
        EXPECT_EQ(u16(*msg, 2), 196);
        EXPECT_FALSE(check_pattern(seed::measurement, off, std::span<const std::uint8_t>(*msg).subspan(4)));
        off += 196;
    }
    EXPECT_FALSE(take_message(m));
    EXPECT_EQ(m.state(), run_state::idle);
    auto started = m.take_event();
    auto ended = m.take_event();
    ASSERT_TRUE(started && ended);
    EXPECT_EQ((*started)[1], event::run_started);
    EXPECT_EQ((*ended)[1], event::run_ended);
    EXPECT_EQ((*ended)[15], 3);  // blocks of the run
}

TEST(SimModelVendor, CalibrationUntilStopped) {
    instrument m;
    m.control(std_setup(0x00, 9, 1, 0, 0), {});
    ASSERT_FALSE(set_words(m, 0x000003, 2, {0}).stall);
    EXPECT_EQ(m.state(), run_state::calibrating);
    for (int i = 0; i < 10; ++i) {
        auto msg = take_message(m);
        ASSERT_TRUE(msg);
        EXPECT_FALSE(check_pattern(seed::calibration, 196u * i, std::span<const std::uint8_t>(*msg).subspan(4)));
    }
    ASSERT_FALSE(command(m, 0x000003, 3).stall);
    EXPECT_EQ(m.state(), run_state::idle);
    EXPECT_FALSE(take_message(m));
    EXPECT_EQ(m.blocks_sent(), 10u);
}

TEST(SimModelVendor, DspResetEndsRunAndCounts) {
    instrument m;
    m.control(std_setup(0x00, 9, 1, 0, 0), {});
    set_words(m, 0x000003, 1, {0});
    ASSERT_FALSE(command(m, 0x010003, 0).stall);  // DSP 0
    ASSERT_FALSE(command(m, 0x010503, 0).stall);  // DSP 5
    EXPECT_EQ(m.dsp_resets(), 2u);
    EXPECT_EQ(m.state(), run_state::idle);
    EXPECT_TRUE(command(m, 0x030003, 0).stall);   // DSP number beyond one byte
    EXPECT_TRUE(command(m, 0x010004, 0).stall);   // no such operation
}

TEST(SimModelVendor, MemoryPagesReadAndWrite) {
    instrument m;
    // bank 0, area 2: page select word 0x010030, read 0x010031, write 0x010032
    ASSERT_FALSE(command(m, 0x010030, 7).stall);
    EXPECT_EQ(m.selected_page(0, 2), 7);
    auto r = get_words(m, 0x010031, 10, 4);
    ASSERT_FALSE(r.stall);
    auto w = from24(r.data);
    for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(w[i], m.memory_word(0, 2, 7, 10 + i));
    ASSERT_FALSE(set_words(m, 0x010032, 10, {0xABCDEF, 0x000001}).stall);
    EXPECT_EQ(m.memory_word(0, 2, 7, 10), 0xABCDEFu);
    EXPECT_EQ(from24(get_words(m, 0x010031, 10, 2).data), (std::vector<std::uint32_t>{0xABCDEF, 1}));
    // Other pages and banks are untouched.
    command(m, 0x010030, 8);
    EXPECT_NE(from24(get_words(m, 0x010031, 10, 1).data)[0], 0xABCDEFu);
    EXPECT_NE(m.memory_word(1, 2, 7, 10), 0xABCDEFu);
    // Past the end of a page.
    EXPECT_TRUE(get_words(m, 0x010031, 255, 2).stall);
    EXPECT_TRUE(set_words(m, 0x010032, 256, {1}).stall);
}

TEST(SimModelVendor, PipeWordsDropTheirStreams) {
    instrument m;
    set_words(m, 0x000001, 3, {0, 8});
    set_words(m, 0x000001, 3, {0, 8});
    m.bulk_in_consume(3);  // a message partly sent
    auto e81 = m.reset_epoch(0x81);
    ASSERT_FALSE(command(m, 0x021003, 0).stall);
    EXPECT_EQ(m.bulk_in_pending_messages(), 0u);
    EXPECT_GT(m.reset_epoch(0x81), e81);

    set_words(m, 0x000001, 4, {0, 4});
    std::vector<std::uint8_t> half{4, 0, 0, 9};
    m.bulk_out_bytes(half);
    ASSERT_FALSE(command(m, 0x021103, 0).stall);
    auto whole = framed({1, 2, 3, 4});
    m.bulk_out_bytes(whole);  // taken as a fresh message: the flash write gets it
    EXPECT_EQ(m.flash(0, 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));

    m.raise_event(0x40);
    ASSERT_FALSE(command(m, 0x020303, 0).stall);
    EXPECT_EQ(m.pending_events(), 0u);
    EXPECT_TRUE(command(m, 0x029999, 0).stall);
}

// The other firmware choice: the messages stay, and the one partly sent starts again from its length.
TEST(SimModelVendor, ReadPipeWordCanKeepTheWaitingMessages) {
    instrument_config cfg;
    cfg.pipe_reset_drops_waiting_data = false;
    instrument m(cfg);
    set_words(m, 0x000001, 3, {0, 8});
    set_words(m, 0x000001, 3, {0, 8});
    const std::vector<std::uint8_t> first = m.bulk_in_peek(3);
    m.bulk_in_consume(3);
    m.bulk_in_consume(4);  // a message partly sent
    auto e81 = m.reset_epoch(0x81);
    ASSERT_FALSE(command(m, 0x021003, 0).stall);
    EXPECT_EQ(m.bulk_in_pending_messages(), 2u);
    EXPECT_GT(m.reset_epoch(0x81), e81);
    EXPECT_EQ(m.bulk_in_peek(3), first);
}

TEST(SimModelEvents, RecordLayoutAndLimit) {
    instrument m;
    std::vector<std::uint8_t> data(60, 0x5A);  // only 48 fit
    m.raise_event(0x1234, data);
    auto r = m.take_event();
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)[1], 0x34);
    EXPECT_EQ((*r)[2], 0x12);
    EXPECT_EQ((*r)[15], 0x5A);
    EXPECT_EQ((*r)[62], 0x5A);
    for (int i = 0; i < 100; ++i) m.raise_event(1);
    EXPECT_EQ(m.pending_events(), 64u);
    auto first = m.take_event();
    auto second = m.take_event();
    EXPECT_EQ(static_cast<std::uint8_t>((*first)[0] + 1), (*second)[0]);  // sequence numbers
}

TEST(SimModelIso, PacketsAreZeroOrFull) {
    instrument m;
    std::vector<std::uint8_t> buf(400);
    EXPECT_EQ(m.iso_frame(buf), 0u);
    m.control(std_setup(0x00, 9, 2, 0, 0), {});
    m.control(std_setup(0x01, 11, 1, 1, 0), {});
    EXPECT_EQ(m.iso_frame(buf), 0u);  // no run
    set_words(m, 0x000003, 1, {2});
    EXPECT_EQ(m.iso_frame(buf), 120u);
    EXPECT_FALSE(check_pattern(seed::measurement, 0, std::span<const std::uint8_t>(buf).subspan(0, 120)));
    EXPECT_EQ(m.iso_frame(buf), 120u);
    EXPECT_FALSE(check_pattern(seed::measurement, 120, std::span<const std::uint8_t>(buf).subspan(0, 120)));
    EXPECT_EQ(m.iso_frame(buf), 0u);  // the run was two packets
}

TEST(SimModelBulk, SegmentsKeepLengthAndDataApart) {
    instrument m;
    m.queue_bulk_message({9, 8, 7});
    m.queue_bulk_message({});
    auto s = m.bulk_in_peek();
    EXPECT_EQ(std::vector<std::uint8_t>(s.begin(), s.end()), (std::vector<std::uint8_t>{3, 0, 0}));
    m.bulk_in_consume(1);
    s = m.bulk_in_peek();
    EXPECT_EQ(s.size(), 2u);
    m.bulk_in_consume(2);
    s = m.bulk_in_peek();
    EXPECT_EQ(std::vector<std::uint8_t>(s.begin(), s.end()), (std::vector<std::uint8_t>{9, 8, 7}));
    m.bulk_in_consume(3);
    s = m.bulk_in_peek();
    EXPECT_EQ(std::vector<std::uint8_t>(s.begin(), s.end()), (std::vector<std::uint8_t>{0, 0, 0}));
    m.bulk_in_consume(3);
    EXPECT_TRUE(m.bulk_in_peek().empty());
}

TEST(SimModelPattern, DetectsLossDuplicationAndCorruption) {
    std::vector<std::uint8_t> d(64);
    fill_pattern(7, 100, d);
    EXPECT_FALSE(check_pattern(7, 100, d));
    EXPECT_EQ(check_pattern(8, 100, d), std::optional<std::size_t>(0));
    auto lost = d;
    lost.erase(lost.begin() + 20);
    EXPECT_TRUE(check_pattern(7, 100, lost));
    auto dup = d;
    dup.insert(dup.begin() + 30, dup[30]);
    EXPECT_TRUE(check_pattern(7, 100, dup));
    auto bad = d;
    bad[40] ^= 0x10;
    EXPECT_EQ(check_pattern(7, 100, bad), std::optional<std::size_t>(40));
    // Every four bytes carry a sequence number.
    EXPECT_EQ(d[4] | (d[5] << 8) | (d[6] << 16) | (d[7] << 24), 7 + 100 / 4 + 1);
}

TEST(SimModelBusReset, KeepsStoredStateDropsUsbState) {
    instrument m;
    m.control(std_setup(0x00, 5, 3, 0, 0), {});
    m.control(std_setup(0x00, 9, 1, 0, 0), {});
    set_words(m, 0x000003, 1, {0});
    set_words(m, 0x000002, 2, std::vector<std::uint32_t>(24, 9));
    m.bus_reset();
    EXPECT_EQ(m.address(), 0);
    EXPECT_EQ(m.configuration(), 0);
    EXPECT_EQ(m.state(), run_state::idle);
    EXPECT_EQ(m.bulk_in_pending_messages(), 0u);
    EXPECT_EQ(m.programmed_config()[0], 9u);
}

TEST(SimModelBulk, ConsumeAfterADropIsIgnored) {
    instrument m;
    m.queue_bulk_message({1, 2, 3, 4});
    std::uint64_t gen = 0;
    auto hdr = m.bulk_in_peek(SIZE_MAX, &gen);
    ASSERT_EQ(hdr.size(), 3u);
    ASSERT_FALSE(command(m, 0x021003, 0).stall);  // the pipe word drops it meanwhile
    m.queue_bulk_message({9});
    m.bulk_in_consume(3, gen);  // late: must not eat the new message's length
    EXPECT_EQ(m.bulk_in_peek(), (std::vector<std::uint8_t>{1, 0, 0}));
    EXPECT_EQ(m.bulk_in_peek(2).size(), 2u);  // at most max bytes
}
