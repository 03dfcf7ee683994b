// The fault injector: each fault does what it says, only to what it names, reproducibly.
#include <gtest/gtest.h>

#include "simdev/faults.h"
#include "simdev/instrument.h"
#include "simdev/usb_device.h"
#include "vendor.h"

using namespace simdev;
using namespace simdev::test;

TEST(SimFaults, StallOnlyTheMatchingRequestsAndOnlyAsOftenAsAsked) {
    instrument m;
    request_match state_words;
    state_words.bRequest = 0;
    state_words.wValue = 4;
    m.faults().stall_request(state_words, 2);
    EXPECT_FALSE(get_words(m, 0x000002, 3, 24).stall);  // another word
    EXPECT_TRUE(get_words(m, 0x000004, 1, 5).stall);
    EXPECT_TRUE(get_words(m, 0x000004, 1, 5).stall);
    EXPECT_FALSE(get_words(m, 0x000004, 1, 5).stall);
    EXPECT_EQ(m.faults().injected().stalls, 2u);
    // Standard requests are left alone unless the match says otherwise.
    request_match any;
    m.faults().stall_request(any);
    EXPECT_FALSE(m.control(setup_packet{0x80, 6, 0x0100, 0, 18}, {}).stall);
    EXPECT_TRUE(command(m, 0x000003, 3).stall);
    EXPECT_TRUE(command(m, 0x000003, 3).stall);  // "always"
    any.vendor_only = false;
    m.faults().clear();
    m.faults().stall_request(any, 1);
    EXPECT_TRUE(m.control(setup_packet{0x80, 6, 0x0100, 0, 18}, {}).stall);
    EXPECT_FALSE(m.control(setup_packet{0x80, 6, 0x0100, 0, 18}, {}).stall);
}

TEST(SimFaults, StalledRequestHasNoEffect) {
    instrument m;
    request_match start;
    start.bRequest = 0;
    start.wValue = 3;
    start.wIndex = 1;
    m.faults().stall_request(start, 1);
    EXPECT_TRUE(set_words(m, 0x000003, 1, {1}).stall);
    EXPECT_EQ(m.state(), run_state::idle);
}

TEST(SimFaults, ShortReplyCutsOnlyReads) {
    instrument m;
    request_match mm;
    m.faults().short_reply(mm, 4, 1);
    EXPECT_FALSE(set_words(m, 0x000002, 2, std::vector<std::uint32_t>(24, 1)).stall);  // a write: untouched
    EXPECT_EQ(m.faults().injected().shortened, 0u);
    EXPECT_EQ(get_words(m, 0x000004, 1, 5).data.size(), 4u);
    EXPECT_EQ(get_words(m, 0x000004, 1, 5).data.size(), 15u);
    EXPECT_EQ(m.faults().injected().shortened, 1u);
}

// Any answer for a standard request too: descriptors of any bytes, cut to wLength, as many times as asked.
TEST(SimFaults, ReplaceReplyAnswersAnyBytes) {
    instrument m;
    request_match device_descriptor;
    device_descriptor.bRequest = 6;
    device_descriptor.wValue = 0x0100;
    device_descriptor.vendor_only = false;
    m.faults().replace_reply(device_descriptor, {1, 2, 3, 4, 5}, 2);
    setup_packet get{0x80, 6, 0x0100, 0, 4};
    EXPECT_EQ(m.control(get, {}).data, (std::vector<std::uint8_t>{1, 2, 3, 4}));
    get.wLength = 64;
    EXPECT_EQ(m.control(get, {}).data, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(m.control(get, {}).data, m.device_descriptor());  // used up
    // A request the instrument refuses (a string it does not have) answers too.
    setup_packet missing{0x80, 6, 0x0309, 0x0409, 255};
    EXPECT_TRUE(m.control(missing, {}).stall);
    request_match string9;
    string9.wValue = 0x0309;
    string9.vendor_only = false;
    m.faults().replace_reply(string9, {4, 3, 'A', 0});
    control_reply r = m.control(missing, {});
    EXPECT_FALSE(r.stall);
    EXPECT_EQ(r.data, (std::vector<std::uint8_t>{4, 3, 'A', 0}));
    // A write is left alone.
    request_match vendor;
    m.faults().replace_reply(vendor, {9});
    EXPECT_FALSE(set_words(m, 0x000002, 2, std::vector<std::uint32_t>(24, 1)).stall);
    EXPECT_EQ(get_words(m, 0x000004, 1, 5).data, std::vector<std::uint8_t>{9});
}

TEST(SimFaults, NakAndSilenceCountPerEndpoint) {
    fault_injector f;
    f.nak(0x81, 2);
    f.silence(0x82, 1);
    EXPECT_FALSE(f.take_nak(0x01));
    EXPECT_TRUE(f.take_nak(0x81));
    EXPECT_TRUE(f.take_nak(0x81));
    EXPECT_FALSE(f.take_nak(0x81));
    EXPECT_FALSE(f.take_silence(0x81));
    EXPECT_TRUE(f.take_silence(0x82));
    EXPECT_FALSE(f.take_silence(0x82));
    f.silence(any_endpoint, 1);
    EXPECT_TRUE(f.take_silence(0x00));
    auto c = f.injected();
    EXPECT_EQ(c.naks, 2u);
    EXPECT_EQ(c.silences, 2u);
    EXPECT_EQ(c.stalls + c.corrupted + c.dropped + c.duplicated + c.removals, 0u);
}

TEST(SimFaults, LineFaultsAtGivenBytesOnlyInTheirDirection) {
    fault_injector f;
    f.line_at(line_dir::to_host, line_fault::corrupt, 2);
    f.line_at(line_dir::to_host, line_fault::drop, 4);
    f.line_at(line_dir::to_host, line_fault::duplicate, 5);
    std::vector<fault_injector::byte_action> got;
    std::vector<std::uint8_t> bytes;
    for (std::uint8_t i = 0; i < 8; ++i) {
        std::uint8_t b = 0x40 + i;
        std::uint8_t to_dev = b;
        EXPECT_EQ(f.line_byte(line_dir::to_device, to_dev), fault_injector::byte_action::pass);
        EXPECT_EQ(to_dev, b);
        got.push_back(f.line_byte(line_dir::to_host, b));
        bytes.push_back(b);
    }
    using A = fault_injector::byte_action;
    EXPECT_EQ(got, (std::vector<A>{A::pass, A::pass, A::corrupt, A::pass, A::drop, A::duplicate, A::pass, A::pass}));
    EXPECT_NE(bytes[2], 0x42);
    for (std::uint8_t i : {0, 1, 3, 4, 5, 6, 7}) EXPECT_EQ(bytes[i], 0x40 + i);
    auto c = f.injected();
    EXPECT_EQ(c.corrupted, 1u);
    EXPECT_EQ(c.dropped, 1u);
    EXPECT_EQ(c.duplicated, 1u);
}

TEST(SimFaults, ProbabilitiesAreReproducibleBySeed) {
    auto run = [](std::uint64_t seed) {
        fault_injector f;
        f.seed(seed);
        f.line_probability(line_dir::to_host, line_fault::corrupt, 0.1);
        f.line_probability(line_dir::to_host, line_fault::drop, 0.05);
        f.nak_probability(0x81, 0.3);
        f.usb_error_probability(0x81, usb_status::data_error, 0.02);
        std::vector<int> trace;
        for (int i = 0; i < 2000; ++i) {
            std::uint8_t b = static_cast<std::uint8_t>(i);
            trace.push_back(static_cast<int>(f.line_byte(line_dir::to_host, b)) * 256 + b);
            trace.push_back(f.take_nak(0x81));
            auto e = f.take_usb_error(0x81);
            trace.push_back(e ? static_cast<int>(*e) : -1);
            if (e) {
                EXPECT_EQ(*e, usb_status::data_error);
            }
            EXPECT_FALSE(f.take_usb_error(0x01));  // only the endpoint named
        }
        return std::make_pair(trace, f.injected());
    };
    auto a = run(42), b = run(42), c = run(43);
    EXPECT_EQ(a.first, b.first);
    EXPECT_NE(a.first, c.first);
    // Rough rates: 2000 draws at 10 % and 5 %, and 30 % NAKs.
    EXPECT_GT(a.second.corrupted, 100u);
    EXPECT_LT(a.second.corrupted, 320u);
    EXPECT_GT(a.second.dropped, 30u);
    EXPECT_LT(a.second.dropped, 200u);
    EXPECT_GT(a.second.naks, 450u);
    EXPECT_LT(a.second.naks, 750u);
    EXPECT_GT(a.second.usb_errors, 15u);  // 2 % of 2000
    EXPECT_LT(a.second.usb_errors, 70u);
    EXPECT_EQ(a.second.duplicated, 0u);
}

TEST(SimFaults, RemovalPointAndLineRate) {
    fault_injector f;
    EXPECT_EQ(f.bulk_in_allowance(100), 100u);
    f.remove_after_bulk_in(150);
    EXPECT_EQ(f.bulk_in_allowance(100), 100u);
    EXPECT_FALSE(f.removal_due());
    EXPECT_EQ(f.bulk_in_allowance(100), 50u);
    EXPECT_TRUE(f.removal_due());
    EXPECT_FALSE(f.removal_due());
    EXPECT_EQ(f.bulk_in_allowance(100), 100u);
    EXPECT_EQ(f.injected().removals, 1u);
    EXPECT_EQ(f.byte_time_ns(), 0u);
    f.line_rate(9600);
    EXPECT_EQ(f.byte_time_ns(), 1041667u);
    f.byte_delay_us(100);
    EXPECT_EQ(f.byte_time_ns(), 1141667u);
    f.byte_delay_us(0);
    // Not rounded to whole microseconds (86 us would run the line 0.9% fast).
    f.line_rate(115200);
    EXPECT_EQ(f.byte_time_ns(), 86806u);
    f.clear();
    EXPECT_EQ(f.byte_time_ns(), 0u);
}
