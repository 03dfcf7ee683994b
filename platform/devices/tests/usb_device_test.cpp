// The USB face: control requests, queued transfers with asynchronous completion, stalls, removal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "simdev/instrument.h"
#include "simdev/usb_device.h"
#include "vendor.h"
#include "zephtest/wait.h"

using namespace simdev;
using namespace simdev::test;
using namespace std::chrono_literals;

namespace {

// Collects completions and lets the test wait for them. The callbacks hold the state, not the
// collector, so a transfer that completes after a failed test body has left does no harm.
struct collector {
    struct state {
        std::mutex mu;
        std::condition_variable cv;
        std::vector<std::pair<usb_status, std::size_t>> done;
    };
    std::shared_ptr<state> st = std::make_shared<state>();

    transfer_completion cb() {
        return [s = st](usb_status status, std::size_t n) {
            std::lock_guard<std::mutex> g(s->mu);
            s->done.emplace_back(status, n);
            s->cv.notify_all();
        };
    }
    // Generous: the bound only matters when something is broken.
    bool wait(std::size_t count, std::chrono::milliseconds t = 30000ms) {
        std::unique_lock<std::mutex> lk(st->mu);
        return st->cv.wait_for(lk, t, [&] { return st->done.size() >= count; });
    }
    std::size_t size() {
        std::lock_guard<std::mutex> g(st->mu);
        return st->done.size();
    }
    std::pair<usb_status, std::size_t> at(std::size_t i) {
        std::lock_guard<std::mutex> g(st->mu);
        return st->done.at(i);
    }
};

struct SimUsb : ::testing::Test {
    std::shared_ptr<instrument> model = std::make_shared<instrument>();
    usb_device dev{model};

    void SetUp() override { dev.set_frame_us(100); }

    control_result vendor(bool in, std::uint32_t word, std::uint16_t value, std::vector<std::uint8_t>& data) {
        auto s = vendor_setup(in, word, value, static_cast<std::uint16_t>(data.size()));
        return dev.control(s, data.empty() ? nullptr : data.data());
    }
    void set(std::uint32_t word, std::uint16_t value, const std::vector<std::uint32_t>& w) {
        auto d = words24(w);
        ASSERT_EQ(vendor(false, word, value, d).status, usb_status::success);
    }

    // One synchronous transfer; `host` keeps the pipe's toggle as a host controller.
    std::pair<usb_status, std::size_t> xfer(std::uint8_t ep, std::uint8_t* buf, std::size_t len,
                                            packet_check host = {}) {
        collector c;
        transfer_id id = dev.submit(ep, buf, len, c.cb(), std::move(host));
        if (!c.wait(1)) {
            ADD_FAILURE() << "transfer on endpoint " << int(ep) << " did not complete";
            dev.cancel(id);  // the buffer belongs to the caller: end the transfer before it goes
            dev.abort_endpoint(ep);
            return {usb_status::invalid, 0};
        }
        return c.at(0);
    }

    // Reads one framed bulk message the way the driver does: 3 bytes, then the data in chunks.
    std::vector<std::uint8_t> read_message(std::size_t chunk = 4096) {
        std::uint8_t hdr[3];
        auto r = xfer(0x81, hdr, 3);
        EXPECT_EQ(r.first, usb_status::success);
        EXPECT_EQ(r.second, 3u);
        std::size_t n = hdr[0] | (hdr[1] << 8) | (hdr[2] << 16);
        std::vector<std::uint8_t> data(n);
        std::size_t got = 0;
        while (got < n) {
            auto rr = xfer(0x81, data.data() + got, std::min(chunk, n - got));
            EXPECT_EQ(rr.first, usb_status::success);
            if (rr.first != usb_status::success || rr.second == 0) break;
            got += rr.second;
        }
        return data;
    }
};

}  // namespace

TEST_F(SimUsb, ControlStandardAndVendorRequests) {
    std::uint8_t buf[64] = {};
    auto r = dev.control(setup_packet{0x80, 6, 0x0100, 0, 18}, buf);
    EXPECT_EQ(r.status, usb_status::success);
    EXPECT_EQ(r.length, 18u);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 18), dev.device_descriptor());
    EXPECT_TRUE(dev.endpoints().empty());
    EXPECT_EQ(dev.set_configuration(1), usb_status::success);
    auto eps = dev.endpoints();
    ASSERT_EQ(eps.size(), 3u);
    EXPECT_EQ(eps[0].address, 0x82);
    EXPECT_EQ(eps[0].type, endpoint_type::interrupt);
    EXPECT_EQ(eps[1].type, endpoint_type::bulk);
    EXPECT_EQ(eps[2].address, 0x01);
    std::vector<std::uint8_t> words(15);
    EXPECT_EQ(vendor(true, 0x000004, 1, words).status, usb_status::success);
    EXPECT_EQ(from24(words)[2], 3u);
    std::vector<std::uint8_t> none;
    EXPECT_EQ(vendor(false, 0x000077, 0, none).status, usb_status::stall);
    EXPECT_EQ(dev.set_configuration(3), usb_status::stall);
    // A data stage without a buffer is refused before the firmware sees it.
    const auto asked = model->vendor_requests();
    EXPECT_EQ(dev.control(vendor_setup(true, 0x000004, 1, 15), nullptr).status, usb_status::invalid);
    EXPECT_EQ(model->vendor_requests(), asked);
}

TEST_F(SimUsb, InTransferWaitsUntilDataExists) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    collector in;
    std::uint8_t hdr[3];
    dev.submit(0x81, hdr, 3, in.cb());
    // An OUT transfer queued after it completes; the IN is still waiting for data.
    std::uint8_t out[3] = {0, 0, 0};
    EXPECT_EQ(xfer(0x01, out, 3).first, usb_status::success);
    EXPECT_EQ(in.size(), 0u);
    model->queue_bulk_message({1, 2, 3, 4, 5});
    ASSERT_TRUE(in.wait(1));
    EXPECT_EQ(in.at(0), std::make_pair(usb_status::success, std::size_t{3}));
    EXPECT_EQ(hdr[0], 5);
    std::uint8_t body[64];
    EXPECT_EQ(xfer(0x81, body, 64), std::make_pair(usb_status::success, std::size_t{5}));
    EXPECT_EQ(body[4], 5);
}

TEST_F(SimUsb, FramingAtPacketBoundaries) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    std::vector<std::uint8_t> a(150), b(128);
    fill_pattern(1, 0, a);
    fill_pattern(2, 0, b);
    model->queue_bulk_message(a);
    model->queue_bulk_message(b);
    model->queue_bulk_message({});
    // The length and the data never share a transfer, even with room for both.
    std::uint8_t big[4096];
    EXPECT_EQ(xfer(0x81, big, sizeof big).second, 3u);
    // A buffer that is not a whole number of packets and smaller than the data: babble after
    // the packets that fit; the rest stays for the next transfer.
    auto r = xfer(0x81, big, 100);
    EXPECT_EQ(r, std::make_pair(usb_status::babble, std::size_t{64}));
    r = xfer(0x81, big + 64, 4096 - 64);
    EXPECT_EQ(r, std::make_pair(usb_status::success, std::size_t{86}));
    EXPECT_FALSE(check_pattern(1, 0, std::span<const std::uint8_t>(big, 150)));
    // A message of whole packets ends at its end.
    EXPECT_EQ(read_message(), b);
    EXPECT_TRUE(read_message().empty());
}

TEST_F(SimUsb, MeasurementStreamAndNotificationsEndToEnd) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    set(0x000003, 1, {20});
    std::uint64_t off = 0;
    for (int i = 0; i < 20; ++i) {
        auto m = read_message(64);  // the smallest chunk: every packet its own transfer
        ASSERT_EQ(m.size(), 200u);
        EXPECT_EQ(u16(m, 2), 196);
        ASSERT_FALSE(check_pattern(seed::measurement, off, std::span<const std::uint8_t>(m).subspan(4))) << i;
        off += 196;
    }
    std::uint8_t rec[63];
    EXPECT_EQ(xfer(0x82, rec, 63), std::make_pair(usb_status::success, std::size_t{63}));
    EXPECT_EQ(rec[1] | (rec[2] << 8), event::run_started);
    EXPECT_EQ(xfer(0x82, rec, 63).second, 63u);
    EXPECT_EQ(rec[1] | (rec[2] << 8), event::run_ended);
    // A record does not fit a smaller buffer.
    model->raise_event(0x0200);
    EXPECT_EQ(xfer(0x82, rec, 32).first, usb_status::babble);
}

TEST_F(SimUsb, CompletionMayResubmit) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    set(0x000003, 1, {50});
    std::vector<std::uint8_t> stream;
    std::mutex mu;
    std::condition_variable cv;
    int left = 100;  // 50 messages, header and body each
    std::vector<std::uint8_t> buf(256);
    std::function<void(usb_status, std::size_t)> again = [&](usb_status s, std::size_t n) {
        std::lock_guard<std::mutex> g(mu);
        ASSERT_EQ(s, usb_status::success);
        stream.insert(stream.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
        if (--left > 0) dev.submit(0x81, buf.data(), buf.size(), again);
        cv.notify_all();
    };
    dev.submit(0x81, buf.data(), buf.size(), again);
    std::unique_lock<std::mutex> lk(mu);
    const bool all = cv.wait_for(lk, 30s, [&] { return left == 0; });
    lk.unlock();
    if (!all) {
        dev.remove();  // no callback may reach the locals after the test has left
        FAIL() << left << " transfers missing";
    }
    ASSERT_EQ(stream.size(), 50u * 203);
    for (int i = 0; i < 50; ++i) {
        auto at = stream.begin() + i * 203;
        EXPECT_EQ(at[0] | (at[1] << 8), 200);
        ASSERT_FALSE(check_pattern(seed::measurement, 196u * i,
                                   std::span<const std::uint8_t>(&*(at + 7), 196)));
    }
}

TEST_F(SimUsb, CancelAndAbort) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    collector c;
    std::uint8_t b1[3], b2[3], b3[63];
    auto id1 = dev.submit(0x81, b1, 3, c.cb());
    dev.submit(0x81, b2, 3, c.cb());
    dev.submit(0x82, b3, 63, c.cb());
    EXPECT_TRUE(dev.cancel(id1));
    ASSERT_TRUE(c.wait(1));
    EXPECT_EQ(c.at(0).first, usb_status::cancelled);
    EXPECT_FALSE(dev.cancel(id1));
    // abort_endpoint returns only after the completions have run.
    EXPECT_EQ(dev.abort_endpoint(0x81), 1u);
    EXPECT_EQ(c.size(), 2u);
    EXPECT_EQ(c.at(1).first, usb_status::cancelled);
    EXPECT_EQ(dev.abort_endpoint(0x81), 0u);
    // The interrupt transfer was left alone.
    model->raise_event(7);
    ASSERT_TRUE(c.wait(3));
    EXPECT_EQ(c.at(2), std::make_pair(usb_status::success, std::size_t{63}));
}

TEST_F(SimUsb, RemovalEndsEverything) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    collector c;
    std::uint8_t b[64];
    dev.submit(0x81, b, 3, c.cb());
    dev.submit(0x82, b, 63, c.cb());
    dev.remove();
    EXPECT_EQ(c.size(), 2u);
    EXPECT_EQ(c.at(0).first, usb_status::removed);
    EXPECT_EQ(c.at(1).first, usb_status::removed);
    EXPECT_FALSE(dev.present());
    dev.submit(0x01, b, 3, c.cb());
    ASSERT_TRUE(c.wait(3));
    EXPECT_EQ(c.at(2).first, usb_status::removed);
    EXPECT_EQ(dev.control(setup_packet{0x80, 6, 0x0100, 0, 18}, b).status, usb_status::removed);
}

// A control request that meets the instrument while it leaves (the model already gone, the face not yet
// told) fails as removed, never as a stall the host would take for a refused request.
TEST(SimUsbLeaving, ControlDuringSelfRemovalIsRemovedNotStall) {
    auto model = std::make_shared<instrument>();
    usb_device* face = nullptr;
    std::vector<usb_status> seen;
    // Subscribed before the face, so it runs first when the instrument unplugs itself.
    int token = model->subscribe(nullptr, [&] {
        std::uint8_t b[15];
        seen.push_back(face->control(vendor_setup(true, 0x000004, 1, 15), b).status);
        seen.push_back(face->control(setup_packet{0x80, 6, 0x0100, 0, 15}, b).status);
    });
    {
        usb_device dev(model);
        face = &dev;
        ASSERT_EQ(dev.set_configuration(1), usb_status::success);
        model->unplug();
        EXPECT_EQ(seen, (std::vector<usb_status>{usb_status::removed, usb_status::removed}));
        model->unsubscribe(token);
    }
    // A stall from a present instrument stays a stall.
    model->replug();
    usb_device again(model);
    std::uint8_t b[3];
    EXPECT_EQ(again.control(vendor_setup(false, 0x7F0000, 0, 0), b).status, usb_status::stall);
}

TEST_F(SimUsb, RemovalMidTransferByFault) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    std::mutex mu;
    std::condition_variable cv;
    bool told = false;
    dev.set_removal_handler([&] {
        std::lock_guard<std::mutex> g(mu);
        told = true;
        cv.notify_all();
    });
    model->faults().remove_after_bulk_in(100);
    model->queue_bulk_message(std::vector<std::uint8_t>(200, 0x33));
    collector pending;
    std::uint8_t rec[63];
    dev.submit(0x82, rec, 63, pending.cb());
    std::uint8_t buf[256];
    EXPECT_EQ(xfer(0x81, buf, 3).second, 3u);
    auto r = xfer(0x81, buf, 256);
    EXPECT_EQ(r, std::make_pair(usb_status::removed, std::size_t{97}));
    std::unique_lock<std::mutex> lk(mu);
    const bool heard = cv.wait_for(lk, 30s, [&] { return told; });
    lk.unlock();
    if (!heard) {
        dev.set_removal_handler(nullptr);
        dev.remove();
        FAIL() << "no removal handler call";
    }
    EXPECT_FALSE(dev.present());
    ASSERT_TRUE(pending.wait(1));
    EXPECT_EQ(pending.at(0).first, usb_status::removed);
    EXPECT_EQ(model->faults().injected().removals, 1u);
}

// Taking the removal handler away waits for one that is running, so whatever it uses may go right after.
TEST_F(SimUsb, TakingTheRemovalHandlerAwayWaitsForARunningOne) {
    zephtest::flag entered, release;
    std::atomic<bool> returned{false};
    dev.set_removal_handler([&] {
        entered.set();
        release.wait();
        returned = true;
    });
    model->unplug();
    ASSERT_TRUE(entered.wait());
    std::atomic<bool> taken{false};
    std::thread t([&] {
        dev.set_removal_handler(nullptr);
        taken = true;
    });
    EXPECT_FALSE(zephtest::wait_until([&] { return taken.load(); }, 200ms));
    release.set();
    zephtest::join(t);
    EXPECT_TRUE(returned);
}

TEST_F(SimUsb, HaltStallsUntilCleared) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    model->queue_bulk_message({1});
    ASSERT_EQ(dev.control(setup_packet{0x02, 3, 0, 0x81, 0}, nullptr).status, usb_status::success);
    EXPECT_TRUE(dev.halted(0x81));
    std::uint8_t b[64];
    EXPECT_EQ(xfer(0x81, b, 3).first, usb_status::stall);
    EXPECT_EQ(dev.clear_halt(0x81), usb_status::success);
    EXPECT_EQ(xfer(0x81, b, 3), std::make_pair(usb_status::success, std::size_t{3}));
    EXPECT_EQ(dev.clear_halt(0x05), usb_status::stall);
}

// A request hook runs once, for the matching request only, before the request is answered, and may call
// back into the device (here: the halt it is about to clear is still set).
TEST_F(SimUsb, RequestHookRunsOnceBeforeTheMatchingRequest) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    ASSERT_EQ(dev.control(setup_packet{0x02, 3, 0, 0x81, 0}, nullptr).status, usb_status::success);
    ASSERT_EQ(dev.control(setup_packet{0x02, 3, 0, 0x01, 0}, nullptr).status, usb_status::success);
    int runs = 0;
    bool halted_then = false;
    model->faults().on_request(request_match{1, 0, 0x81, false}, [&] {
        ++runs;
        halted_then = dev.halted(0x81);
    });
    EXPECT_EQ(dev.clear_halt(0x01), usb_status::success);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(dev.clear_halt(0x81), usb_status::success);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(halted_then);
    ASSERT_EQ(dev.control(setup_packet{0x02, 3, 0, 0x81, 0}, nullptr).status, usb_status::success);
    EXPECT_EQ(dev.clear_halt(0x81), usb_status::success);
    EXPECT_EQ(runs, 1);
}

TEST_F(SimUsb, ConfigurationChangesEndTransfersAndCheckEndpoints) {
    std::uint8_t b[64];
    EXPECT_EQ(xfer(0x81, b, 3).first, usb_status::invalid);  // not configured
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    collector c;
    dev.submit(0x81, b, 3, c.cb());
    ASSERT_EQ(dev.set_configuration(2), usb_status::success);
    EXPECT_EQ(c.size(), 1u);
    EXPECT_EQ(c.at(0).first, usb_status::cancelled);
    EXPECT_EQ(xfer(0x81, b, 3).first, usb_status::invalid);  // isochronous now
    EXPECT_EQ(xfer(0x01, b, 3).first, usb_status::success);
    EXPECT_EQ(xfer(0x02, b, 3).first, usb_status::invalid);
}

TEST_F(SimUsb, IsochronousPacketsAreZeroOrFull) {
    ASSERT_EQ(dev.set_configuration(2), usb_status::success);
    ASSERT_EQ(dev.set_interface(1, 2), usb_status::success);
    auto eps = dev.endpoints();
    ASSERT_EQ(eps.size(), 3u);
    EXPECT_EQ(eps[1].type, endpoint_type::isochronous);
    EXPECT_EQ(eps[1].max_packet, 240);
    auto run_iso = [&](std::vector<std::uint8_t>& buf, std::vector<iso_packet>& pk) {
        std::mutex mu;
        std::condition_variable cv;
        std::optional<usb_status> st;
        for (std::uint32_t i = 0; i < pk.size(); ++i) pk[i].offset = i * 240;
        dev.submit_iso(0x81, buf.data(), buf.size(), pk.data(), static_cast<std::uint32_t>(pk.size()),
                       [&](usb_status s) {
                           std::lock_guard<std::mutex> g(mu);
                           st = s;
                           cv.notify_all();
                       });
        std::unique_lock<std::mutex> lk(mu);
        const bool done = cv.wait_for(lk, 30s, [&] { return st.has_value(); });
        EXPECT_TRUE(done);
        auto result = st.value_or(usb_status::invalid);
        lk.unlock();
        if (!done) dev.abort_endpoint(0x81);  // its callback uses the locals above
        return result;
    };
    std::vector<std::uint8_t> buf(17 * 240);
    std::vector<iso_packet> pk(17);
    EXPECT_EQ(run_iso(buf, pk), usb_status::success);
    for (auto& p : pk) EXPECT_EQ(p.length, 0u);  // no run: empty packets
    set(0x000003, 1, {20});
    EXPECT_EQ(run_iso(buf, pk), usb_status::success);
    for (auto& p : pk) EXPECT_EQ(p.length, 240u);
    EXPECT_FALSE(check_pattern(seed::measurement, 0, buf));
    EXPECT_EQ(run_iso(buf, pk), usb_status::success);
    for (std::size_t i = 0; i < pk.size(); ++i) EXPECT_EQ(pk[i].length, i < 3 ? 240u : 0u);
    EXPECT_FALSE(check_pattern(seed::measurement, 17 * 240, std::span<const std::uint8_t>(buf).subspan(0, 720)));
}

TEST_F(SimUsb, AFlaggedIsochronousPacketStillCarriesItsData) {
    ASSERT_EQ(dev.set_configuration(2), usb_status::success);
    ASSERT_EQ(dev.set_interface(1, 2), usb_status::success);
    set(0x000003, 1, {4});
    model->faults().iso_packet_errors(0x81, usb_status::data_error, 1);
    std::vector<std::uint8_t> buf(4 * 240);
    std::vector<iso_packet> pk(4);
    for (std::uint32_t i = 0; i < pk.size(); ++i) pk[i].offset = i * 240;
    // The callback's state outlives the test body: it may still be returning from set().
    auto done = std::make_shared<zephtest::flag>();
    auto status = std::make_shared<std::atomic<int>>(-1);
    dev.submit_iso(0x81, buf.data(), buf.size(), pk.data(), 4, [done, status](usb_status st) {
        *status = static_cast<int>(st);
        done->set();
    });
    if (!done->wait()) {
        dev.abort_endpoint(0x81);  // its callback uses the locals above
        FAIL() << "the isochronous transfer did not complete";
    }
    EXPECT_EQ(status->load(), static_cast<int>(usb_status::success));
    EXPECT_EQ(pk[0].status, usb_status::data_error);
    EXPECT_EQ(pk[1].status, usb_status::success);
    for (auto& p : pk) EXPECT_EQ(p.length, 240u);
    EXPECT_FALSE(check_pattern(seed::measurement, 0, buf));
}

TEST_F(SimUsb, OverlappingControlTransfersAreCounted) {
    model->faults().control_duration_us(1000);
    auto status_read = [&] {
        std::vector<std::uint8_t> words(15);
        EXPECT_EQ(vendor(true, 0x000004, 1, words).status, usb_status::success);
    };
    status_read();
    status_read();
    EXPECT_EQ(dev.max_concurrent_control(), 1u);
    // The first of two requests waits inside its transfer until the second is in its own.
    model->faults().on_request(request_match{0x00, 0x0004, 1},
                               [&] { EXPECT_TRUE(zephtest::wait_until([&] { return dev.max_concurrent_control() == 2; })); });
    std::thread a(status_read), b(status_read);
    zephtest::join(a);
    zephtest::join(b);
    EXPECT_EQ(dev.max_concurrent_control(), 2u);
    dev.reset_control_count();
    EXPECT_EQ(dev.max_concurrent_control(), 0u);
}

TEST(SimUsbDescriptors, ConfigurationsListedIsochroneFirst) {
    instrument_config c;
    c.isochrone_listed_first = true;
    instrument m(c);
    auto first = m.configuration_descriptor(0), second = m.configuration_descriptor(1);
    ASSERT_GE(first.size(), 9u);
    ASSERT_GE(second.size(), 9u);
    EXPECT_EQ(first[5], 2);  // bConfigurationValue
    EXPECT_EQ(second[5], 1);
    // The strings follow the values: "Isochrone" names value 2, "Bulk" value 1.
    auto text = [&](std::uint8_t index) {
        auto d = m.string_descriptor(index, 0x0409).value_or(std::vector<std::uint8_t>{});
        std::string t;
        for (std::size_t i = 2; i + 1 < d.size(); i += 2) t.push_back(static_cast<char>(d[i]));
        return t;
    };
    EXPECT_EQ(text(first[6]), "Isochrone");
    EXPECT_EQ(text(second[6]), "Bulk");
    EXPECT_EQ(instrument().configuration_descriptor(0)[5], 1);
}

TEST_F(SimUsb, PortResetCancelsAndForgetsUsbState) {
    ASSERT_EQ(dev.control(setup_packet{0x00, 5, 4, 0, 0}, nullptr).status, usb_status::success);
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    collector c;
    std::uint8_t b[64];
    dev.submit(0x82, b, 63, c.cb());
    dev.reset_port();
    EXPECT_EQ(c.size(), 1u);
    EXPECT_EQ(c.at(0).first, usb_status::cancelled);
    EXPECT_EQ(dev.address(), 0);
    EXPECT_EQ(dev.configuration(), 0);
    EXPECT_TRUE(dev.present());
}

TEST_F(SimUsb, NakDelaysAndSilenceFails) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    model->faults().nak(0x01, 3);
    std::uint8_t b[3] = {0, 0, 0};
    EXPECT_EQ(xfer(0x01, b, 3), std::make_pair(usb_status::success, std::size_t{3}));
    EXPECT_EQ(model->faults().injected().naks, 3u);
    model->faults().silence(0x01, 1);
    EXPECT_EQ(xfer(0x01, b, 3).first, usb_status::not_responding);
    EXPECT_EQ(xfer(0x01, b, 3).first, usb_status::success);
    model->faults().silence(0, 1);
    EXPECT_EQ(dev.control(setup_packet{0x80, 8, 0, 0, 1}, b).status, usb_status::not_responding);
    EXPECT_EQ(dev.control(setup_packet{0x80, 8, 0, 0, 1}, b).status, usb_status::success);
}

TEST_F(SimUsb, InjectedTransferErrorsMoveNoData) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    model->queue_bulk_message({5, 6});
    model->faults().usb_error(0x81, usb_status::data_error, 1);
    model->faults().usb_error(0, usb_status::stall, 1);
    std::uint8_t b[64];
    EXPECT_EQ(xfer(0x81, b, 3), std::make_pair(usb_status::data_error, std::size_t{0}));
    EXPECT_EQ(xfer(0x81, b, 3), std::make_pair(usb_status::success, std::size_t{3}));  // nothing was lost
    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(dev.control(setup_packet{0x80, 8, 0, 0, 1}, b).status, usb_status::stall);
    EXPECT_EQ(dev.control(setup_packet{0x80, 8, 0, 0, 1}, b).status, usb_status::success);
    EXPECT_EQ(model->faults().injected().usb_errors, 2u);
    EXPECT_FALSE(dev.halted(0x81));
}

// An error on an OUT transfer: by default the data packet was lost; with lost handshakes the device took
// the data and only the host saw the error. The host learns no byte count either way.
TEST_F(SimUsb, OutErrorsLoseTheDataOrOnlyTheHandshake) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    for (bool handshake : {false, true}) {
        model->faults().clear();
        model->faults().lost_handshakes(handshake);
        EXPECT_EQ(model->faults().handshakes_lost(), handshake);
        std::uint8_t word[3] = {2, 0, 0};
        std::uint8_t data[2] = {7, 8};
        ASSERT_EQ(xfer(0x01, word, 3).first, usb_status::success);
        model->faults().usb_error(0x01, usb_status::data_error, 1);
        EXPECT_EQ(xfer(0x01, data, 2), std::make_pair(usb_status::data_error, std::size_t{0})) << handshake;
        EXPECT_EQ(model->take_received_messages().size(), handshake ? 1u : 0u) << handshake;
        if (!handshake) {
            ASSERT_EQ(xfer(0x01, data, 2).first, usb_status::success);
            auto got = model->take_received_messages();
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0], std::vector<std::uint8_t>({7, 8}));
        }
    }
    model->faults().clear();
    EXPECT_FALSE(model->faults().handshakes_lost());
}

// An error on a bulk IN transfer after some whole packets: the host has those, the device keeps the rest
// (and never counts a transfer that got all it asked for as failed).
TEST_F(SimUsb, InErrorsMayComeAfterWholePackets) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    std::vector<std::uint8_t> msg(300);
    for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<std::uint8_t>(i * 7);
    model->queue_bulk_message(msg);
    model->faults().usb_error_after_packets(2);
    EXPECT_EQ(model->faults().packets_before_usb_error(), 2u);
    model->faults().usb_error(0x81, usb_status::data_error, 2);
    std::uint8_t word[3];
    EXPECT_EQ(xfer(0x81, word, 3), std::make_pair(usb_status::data_error, std::size_t{0}));  // below a packet
    ASSERT_EQ(xfer(0x81, word, 3).first, usb_status::data_error);
    std::vector<std::uint8_t> got(512);
    EXPECT_EQ(xfer(0x81, word, 3), std::make_pair(usb_status::success, std::size_t{3}));
    model->faults().usb_error(0x81, usb_status::data_error, 1);
    EXPECT_EQ(xfer(0x81, got.data(), 300), std::make_pair(usb_status::data_error, std::size_t{128}));
    EXPECT_EQ(xfer(0x81, got.data() + 128, 172), std::make_pair(usb_status::success, std::size_t{172}));
    got.resize(300);
    EXPECT_EQ(got, msg);
    // A transfer asking exactly for whole packets that are there never fails after all of them.
    model->queue_bulk_message(std::vector<std::uint8_t>(128, 1));
    ASSERT_EQ(xfer(0x81, word, 3).first, usb_status::success);
    model->faults().usb_error(0x81, usb_status::data_error, 1);
    EXPECT_EQ(xfer(0x81, got.data(), 128), std::make_pair(usb_status::data_error, std::size_t{64}));
    EXPECT_EQ(xfer(0x81, got.data(), 128), std::make_pair(usb_status::success, std::size_t{64}));  // the rest
    // A toggle mismatch: the host has the packets, the device still holds the last of them; an error set
    // to come after one transfer lets that one through.
    model->faults().clear();
    model->faults().usb_error_after_packets(2);
    model->queue_bulk_message(msg);
    model->faults().usb_error(0x81, usb_status::toggle_mismatch, 1, 1);
    EXPECT_EQ(xfer(0x81, word, 3), std::make_pair(usb_status::success, std::size_t{3}));
    got.assign(300, 0);
    EXPECT_EQ(xfer(0x81, got.data(), 300), std::make_pair(usb_status::toggle_mismatch, std::size_t{128}));
    EXPECT_EQ(xfer(0x81, got.data() + 64, 236), std::make_pair(usb_status::success, std::size_t{236}));
    EXPECT_EQ(got, msg);
    model->faults().clear();
    EXPECT_EQ(model->faults().packets_before_usb_error(), 0u);
}

// A host controller's toggle of one IN pipe: takes a packet with the toggle it expects, drops a repeat.
struct host_toggle {
    std::shared_ptr<bool> expected = std::make_shared<bool>(false);
    std::shared_ptr<int> dropped = std::make_shared<int>(0);
    packet_check check() {
        return [e = expected, d = dropped](bool data1) {
            if (data1 != *e) return ++*d, false;
            *e = !*e;
            return true;
        };
    }
};

// A lost ACK on an IN packet: the device sends the packet again with the same toggle. A host that checks
// toggles drops the repeat and gets the message once; one that does not takes the packet twice.
TEST_F(SimUsb, PacketsSentAgainAfterALostAckAreRepeatsOfTheSameToggle) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    std::vector<std::uint8_t> msg(300);
    for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<std::uint8_t>(i * 7);
    model->faults().lost_in_handshake_probability(0x81, 1.0);  // every packet sent again (a few times)
    host_toggle host;
    model->queue_bulk_message(msg);
    std::uint8_t word[3];
    ASSERT_EQ(xfer(0x81, word, 3, host.check()), std::make_pair(usb_status::success, std::size_t{3}));
    std::vector<std::uint8_t> got(300);
    ASSERT_EQ(xfer(0x81, got.data(), 300, host.check()), std::make_pair(usb_status::success, std::size_t{300}));
    EXPECT_EQ(got, msg);
    EXPECT_GT(*host.dropped, 4);
    // The last packet's ACK was lost too: the device still holds it, and the repeat comes first on the
    // next transfer, where the host drops it as well.
    EXPECT_EQ(model->bulk_in_pending_messages(), 1u);
    model->queue_bulk_message(msg);
    ASSERT_EQ(xfer(0x81, word, 3, host.check()), std::make_pair(usb_status::success, std::size_t{3}));
    EXPECT_EQ(word[0] | word[1] << 8, 300);
    // Without the check the repeats are taken: what arrives is not the message.
    got.assign(300, 0);
    auto r = xfer(0x81, got.data(), 300);
    EXPECT_FALSE(r == std::make_pair(usb_status::success, std::size_t{300}) && got == msg);
    EXPECT_EQ(got[0], word[0]);  // the length word, sent again, taken as data
}

// With lost handshakes an error after whole packets leaves the device holding the last of them, which
// the host already has: the next transfer on the same pipe gets it again, and the host drops it.
TEST_F(SimUsb, AnErrorAfterALostAckLeavesThePacketAtTheDevice) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    std::vector<std::uint8_t> msg(300);
    for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<std::uint8_t>(i * 11);
    model->queue_bulk_message(msg);
    host_toggle host;
    std::uint8_t word[3];
    ASSERT_EQ(xfer(0x81, word, 3, host.check()).first, usb_status::success);
    model->faults().lost_handshakes(true);
    model->faults().usb_error_after_packets(2);
    model->faults().usb_error(0x81, usb_status::data_error, 1);
    std::vector<std::uint8_t> got(300);
    EXPECT_EQ(xfer(0x81, got.data(), 300, host.check()), std::make_pair(usb_status::data_error, std::size_t{128}));
    EXPECT_EQ(xfer(0x81, got.data() + 128, 172, host.check()), std::make_pair(usb_status::success, std::size_t{172}));
    EXPECT_EQ(got, msg);
    EXPECT_EQ(*host.dropped, 1);
}

// Bulk OUT packets carry the host's toggle: the device takes the one it expects and drops a repeat of
// the last it took. A handshake the host missed leaves it one toggle behind, so the first packet of its
// next transfer is dropped (a host would send that packet again); a pipe reset on both sides ends it.
TEST_F(SimUsb, BulkOutPacketsRepeatingTheLastToggleAreDropped) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    auto next = std::make_shared<bool>(false);
    packet_check host = [next](bool acknowledged) {
        const bool carried = *next;
        if (acknowledged) *next = !*next;
        return carried;
    };
    std::vector<std::uint8_t> msg(100);
    for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<std::uint8_t>(i * 5 + 1);
    std::uint8_t word[3] = {100, 0, 0};
    auto send = [&] {
        EXPECT_EQ(xfer(0x01, word, 3, host), std::make_pair(usb_status::success, std::size_t{3}));
        EXPECT_EQ(xfer(0x01, msg.data(), msg.size(), host), std::make_pair(usb_status::success, std::size_t{100}));
    };
    send();  // three packets: both ends at DATA1
    EXPECT_TRUE(*next);
    ASSERT_EQ(model->take_received_messages(), std::vector<std::vector<std::uint8_t>>{msg});
    model->faults().lost_handshakes(true);
    model->faults().usb_error(0x01, usb_status::data_error, 1);
    EXPECT_EQ(xfer(0x01, word, 3, host).first, usb_status::data_error);  // taken; the host still at DATA1
    model->faults().clear();
    EXPECT_TRUE(*next);
    EXPECT_EQ(xfer(0x01, msg.data(), 64, host).first, usb_status::success);  // a repeat: dropped
    EXPECT_EQ(xfer(0x01, msg.data(), msg.size(), host).first, usb_status::success);
    EXPECT_EQ(model->take_received_messages(), std::vector<std::vector<std::uint8_t>>{msg});
    send();
    EXPECT_EQ(model->take_received_messages(), std::vector<std::vector<std::uint8_t>>{msg});
    // The device alone starting again at DATA0 (its pipe word) drops the host's next packet, and the
    // message is misframed.
    ASSERT_TRUE(*next);
    std::vector<std::uint8_t> none;
    ASSERT_EQ(vendor(false, 0x021103, 0, none).status, usb_status::success);
    send();
    EXPECT_TRUE(model->take_received_messages().empty());
    // Both ends at DATA0: whole again.
    ASSERT_EQ(vendor(false, 0x021103, 0, none).status, usb_status::success);
    *next = false;
    send();
    EXPECT_EQ(model->take_received_messages(), std::vector<std::vector<std::uint8_t>>{msg});
}

// A cleared halt of the bulk IN endpoint leaves a partly sent message as it is, or flushes its rest:
// a firmware choice.
TEST(SimUsbFirmware, ClearHaltFlushesAPartlySentMessageOnlyWhereTheFirmwareDoes) {
    for (bool flushes : {false, true}) {
        instrument_config cfg;
        cfg.clear_halt_flushes_endpoint = flushes;
        auto model = std::make_shared<instrument>(cfg);
        usb_device dev(model);
        ASSERT_EQ(dev.set_configuration(1), usb_status::success);
        model->queue_bulk_message(std::vector<std::uint8_t>(300, 0xA1));
        model->queue_bulk_message(std::vector<std::uint8_t>(100, 0xB2));
        std::vector<std::uint8_t> buf(300);
        auto read = [&](std::size_t n) {
            collector c;
            dev.submit(0x81, buf.data(), n, c.cb());
            EXPECT_TRUE(c.wait(1));
            return c.at(0);
        };
        ASSERT_EQ(read(3).second, 3u);
        ASSERT_EQ(read(128).second, 128u);
        EXPECT_EQ(dev.clear_halt(0x81), usb_status::success);
        auto r = read(300);
        if (flushes) {  // the next message's length word
            EXPECT_EQ(r, std::make_pair(usb_status::success, std::size_t{3})) << flushes;
            EXPECT_EQ(buf[0], 100);
        } else {  // the rest of the first message
            EXPECT_EQ(r, std::make_pair(usb_status::success, std::size_t{172})) << flushes;
            EXPECT_EQ(buf[0], 0xA1);
        }
    }
}

TEST_F(SimUsb, FlashWriteOverBulkOut) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    set(0x000001, 4, {0x40, 100});
    std::vector<std::uint8_t> data(100);
    fill_pattern(99, 0, data);
    std::uint8_t len[3] = {100, 0, 0};
    EXPECT_EQ(xfer(0x01, len, 3).second, 3u);
    EXPECT_EQ(xfer(0x01, data.data(), 64).second, 64u);
    EXPECT_EQ(xfer(0x01, data.data() + 64, 36).second, 36u);
    EXPECT_EQ(read_message(), (std::vector<std::uint8_t>{1, 0, 0}));
    EXPECT_EQ(model->flash(0x40, 100), data);
}

TEST_F(SimUsb, EachTransferCompletesExactlyOnceUnderRacingCancels) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    set(0x000003, 1, {0});  // data keeps coming
    std::mutex mu;
    std::set<transfer_id> issued;
    std::atomic<int> completions{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::uint8_t> buf(256);
            for (int i = 0; i < 200; ++i) {
                std::uint8_t ep = (t % 2) ? 0x81 : 0x01;
                auto got = dev.submit(ep, buf.data(), ep == 0x81 ? 64 : 3,
                                      [&](usb_status, std::size_t) { ++completions; });
                {
                    std::lock_guard<std::mutex> g(mu);
                    issued.insert(got);
                }
                if (i % 3 == 0) dev.cancel(got);
                if (i % 50 == 0) dev.abort_endpoint(ep);
            }
            dev.abort_endpoint(0x81);
            dev.abort_endpoint(0x01);
        });
    }
    for (auto& th : threads) zephtest::join(th);
    dev.abort_endpoint(0x81);
    dev.abort_endpoint(0x01);
    EXPECT_EQ(issued.size(), 800u);  // ids are unique
    EXPECT_EQ(completions.load(), 800);
    command(*model, 0x000003, 3);
}

// A transfer that the completion thread is working on when it is aborted completes later than the
// idle ones; abort_endpoint must still wait for its callback.
TEST_F(SimUsb, AbortWaitsForTheTransferBeingServed) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    set(0x000001, 4, {0, 3});  // flash write: the data's arrival queues a reply and wakes listeners
    std::mutex mu;
    std::condition_variable cv;
    bool armed = true, entered = false, released = false;
    int tok = model->subscribe(
        [&] {
            std::unique_lock<std::mutex> lk(mu);
            if (!armed) return;
            armed = false;
            entered = true;
            cv.notify_all();
            // Holds the transfer in the middle of serving.
            EXPECT_TRUE(zephtest::wait_on(cv, lk, [&] { return released; }));
        },
        nullptr);
    std::atomic<bool> callback_done{false};
    std::uint8_t msg[6] = {3, 0, 0, 7, 8, 9};
    dev.submit(0x01, msg, sizeof msg, [&](usb_status, std::size_t) {
        std::this_thread::sleep_for(50ms);  // a slow callback widens the window
        callback_done = true;
    });
    bool in_serve = false;
    {
        std::unique_lock<std::mutex> lk(mu);
        in_serve = cv.wait_for(lk, 30s, [&] { return entered; });
    }
    if (!in_serve) {
        model->unsubscribe(tok);
        dev.remove();
        FAIL() << "the transfer was never served";
    }
    std::thread releaser([&] {
        // Released only once abort_endpoint found the transfer busy and waits for its callback.
        EXPECT_TRUE(zephtest::wait_until([&] { return dev.callers_waiting() > 0; }));
        std::lock_guard<std::mutex> g(mu);
        released = true;
        cv.notify_all();
    });
    EXPECT_EQ(dev.abort_endpoint(0x01), 1u);
    EXPECT_TRUE(callback_done.load());
    zephtest::join(releaser);
    model->unsubscribe(tok);
    EXPECT_EQ(model->flash(0, 3), (std::vector<std::uint8_t>{7, 8, 9}));
}

// The removal fault fires once: a device plugged in again after it works normally.
TEST_F(SimUsb, RemovalFaultFiresOnlyOnce) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    model->faults().remove_after_bulk_in(50);
    model->queue_bulk_message(std::vector<std::uint8_t>(200, 0x44));
    std::uint8_t buf[256];
    EXPECT_EQ(xfer(0x81, buf, 3).second, 3u);
    EXPECT_EQ(xfer(0x81, buf, 256), std::make_pair(usb_status::removed, std::size_t{47}));
    EXPECT_FALSE(model->plugged());
    model->replug();
    usb_device again(model);
    again.set_frame_us(100);
    again.reset_port();  // as a bus does on attach: the cut message goes
    ASSERT_EQ(again.set_configuration(1), usb_status::success);
    model->queue_bulk_message(std::vector<std::uint8_t>(100, 0x55));
    collector c;
    again.submit(0x81, buf, 3, c.cb());
    ASSERT_TRUE(c.wait(1));
    EXPECT_EQ(c.at(0), std::make_pair(usb_status::success, std::size_t{3}));
    again.submit(0x81, buf, 256, c.cb());
    ASSERT_TRUE(c.wait(2));
    EXPECT_EQ(c.at(1), std::make_pair(usb_status::success, std::size_t{100}));
    EXPECT_TRUE(model->plugged());
    EXPECT_EQ(model->faults().injected().removals, 1u);
}

// A NAKed transfer is due again one frame later; the completion thread must wake for it even when
// that moment has passed by the time it goes to sleep (tiny frames make that the common case).
TEST_F(SimUsb, NakedTransfersAreRetriedWithoutOtherTraffic) {
    ASSERT_EQ(dev.set_configuration(1), usb_status::success);
    dev.set_frame_us(1);
    std::uint8_t b[3] = {0, 0, 0};
    for (int round = 0; round < 20; ++round) {
        model->faults().nak(0x01, 50);
        ASSERT_EQ(xfer(0x01, b, 3), std::make_pair(usb_status::success, std::size_t{3})) << round;
    }
    EXPECT_EQ(model->faults().injected().naks, 1000u);
}
