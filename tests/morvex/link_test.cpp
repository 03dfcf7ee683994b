// End to end: morvex8 -> lintra8 -> an in-memory line -> the simulated instrument's serial face, and
// morvex8 -> quillon8 -> the driver -> the simulated bus -> its USB face, with the same cases; built
// again for the older set (morvex71, lintra71, quillon71, karnet71, ostrel).
#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <thread>

#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/clock.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>

#include "fixture.h"
#include "resync_checker.h"
#include "serial_fixture.h"
#include "zephtest/wait.h"

#ifndef MORVEX_TEST_SERIAL_LIBRARY
#define MORVEX_TEST_SERIAL_LIBRARY "lintra8"
#endif
#ifndef MORVEX_TEST_USB_LIBRARY
#define MORVEX_TEST_USB_LIBRARY "quillon8"
#endif

namespace morvex_test {
namespace {

using zephtest::wait_until;

enum class link { serial, usb };

std::string link_name(const ::testing::TestParamInfo<link>& info) {
    return info.param == link::serial ? "Serial" : "Usb";
}

// The instrument reached over one link: its serial face on an in-memory line through the serial
// transport, or its USB face on the simulated bus through the driver and the USB transport.
class LinkTest : public ::testing::TestWithParam<link> {
protected:
    void SetUp() override {
        // The 5 s interrupt poll and the other long waits run a hundred times faster.
        standin::clock::set_long_wait_scale(0.01);
        ASSERT_TRUE(api);
        if (GetParam() == link::serial) {
            line = std::make_unique<lintra_test::SerialInstrument>("MEM1", firmware());
            model = line->model;
            ASSERT_TRUE(api->register_port(line->port, 1));
        } else {
#ifdef VANTREL_PATH
            standin::pnp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
            api->start();
            model = std::make_shared<simdev::instrument>(firmware());
            usb = std::make_shared<simdev::usb_device>(model);
            instance = standin::usbbus::plug(usb);
            ASSERT_TRUE(standin::pnp::settle());
#else
            GTEST_SKIP() << "the driver is not built";
#endif
        }
        ASSERT_TRUE(wait_until([&] {
            session = open_first(*api.get());
            return session.is_open();
        }));
        ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    }
    void TearDown() override {
        session.stream().stop();
        session.set_mode(0, 0, 0);
        session.on_device_removed();
        if (line) {
            api->unregister_port(line->port, 1);
            api->serial_disable();
            line.reset();
        }
#ifdef VANTREL_PATH
        if (usb) {
            if (standin::pnp::device_state(instance) != "absent") standin::usbbus::unplug(instance);
            EXPECT_TRUE(standin::pnp::settle());
            api->stop();
            // The driver goes with its last device: nothing of it runs on once the case is over.
            EXPECT_TRUE(wait_until([] { return !standin::pnp::driver_loaded("vantrel"); }));
            EXPECT_TRUE(standin::kernel::settle());
        }
#endif
        standin::clock::reset();
    }

    virtual simdev::instrument_config firmware() const { return {}; }

    // The instrument leaves: the line is unregistered, or the device unplugged.
    void take_away() {
        if (line) api->unregister_port(line->port, 1);
#ifdef VANTREL_PATH
        else
            standin::usbbus::unplug(instance);
#endif
    }

    DWORD run(karnet::io_control& op) { return session.control_and_wait(op, zephtest::deadline_ms).get_code(); }
    DWORD write_words(uint32_t word, uint16_t value, const std::vector<uint32_t>& words) {
        morvex::zeph_set_param set = session.make_set_param(word, value, uint16_t(words.size()));
        for (size_t i = 0; i < words.size(); ++i)
            if (!set.set_word(uint32_t(i), words[i])) return ERROR_INVALID_PARAMETER;
        return run(set);
    }

    api_lib api;
    std::shared_ptr<simdev::instrument> model;
    std::unique_ptr<lintra_test::SerialInstrument> line;
    std::shared_ptr<simdev::usb_device> usb;
    std::string instance;
    morvex::zeph_session session;
};

TEST_P(LinkTest, DescriptorsAndIdentity) {
    // The transport of this build serves the link.
    EXPECT_NE(GetModuleHandleA(GetParam() == link::serial ? MORVEX_TEST_SERIAL_LIBRARY : MORVEX_TEST_USB_LIBRARY),
              nullptr);
    // One set per process: nothing of the other set was bound.
#ifdef MORVEX_TEST_OLDER_SET
    for (const char* other : {"morvex8", "karnet8", "quillon8", "lintra8", "ostrel8"})
#else
    for (const char* other : {"morvex71", "karnet71", "quillon71", "lintra71", "ostrel"})
#endif
        EXPECT_EQ(GetModuleHandleA(other), nullptr) << other;
    EXPECT_EQ(session.manufacturer(), "Ondrel Fasko");
    EXPECT_EQ(session.product(), "Zeph Instrument");
    EXPECT_EQ(session.serial_number(), "1001");
    EXPECT_EQ(session.string_descriptor(4), "Bulk");
    EXPECT_EQ(session.bcd_device(), 0x0105);
}

// Memory words through a selected page at 1 and 128 words; 129 words are refused before sending.
TEST_P(LinkTest, ParameterRoundTrips) {
    morvex::zeph_command select = session.make_command(0x010010, 0);  // bank 0, area 0
    ASSERT_EQ(run(select), 0u);
    for (uint16_t n : {uint16_t(1), uint16_t(128)}) {
        std::vector<uint32_t> words(n);
        for (uint16_t i = 0; i < n; ++i) words[i] = 0xA00000u + n * 0x100u + i;
        ASSERT_EQ(write_words(0x010012, 4, words), 0u) << n;
        morvex::zeph_get_param get = session.make_get_param(0x010011, 4, n);
        ASSERT_EQ(run(get), 0u) << n;
        for (uint16_t i = 0; i < n; ++i) ASSERT_EQ(get.word(i), words[i]) << n << " " << i;
    }
    morvex::zeph_set_param over = session.make_set_param(0x010012, 0, 129);
    EXPECT_EQ(run(over), DWORD(ERROR_INVALID_PARAMETER));
    // The configuration words: 12 written, 24 read back.
    std::vector<uint32_t> config(12);
    for (uint32_t i = 0; i < 12; ++i) config[i] = 0x111111 * (i % 15 + 1);
    ASSERT_EQ(write_words(0x000002, 1, config), 0u);
    morvex::zeph_get_param get = session.make_get_param(0x000002, 3, 24);
    ASSERT_EQ(run(get), 0u);
    for (uint32_t i = 0; i < 24; ++i) EXPECT_EQ(get.word(i), i < 12 ? config[i] : 0u) << i;
    // A request the instrument refuses fails; a short reply is an error, not stale words.
    morvex::zeph_get_param state = session.make_get_param(0x000004, 1, 5);
    ASSERT_EQ(run(state), 0u);
    EXPECT_EQ(state.word(3), 1u);  // normal configuration
    model->faults().short_reply(simdev::request_match{}, 6, 1);
    morvex::zeph_get_param cut = session.make_get_param(0x000004, 1, 5);
    EXPECT_NE(run(cut), 0u);
}

TEST_P(LinkTest, PipeResetsAndMode) {
    EXPECT_EQ(session.read_pipe_request().get_code(), 0u);
    EXPECT_EQ(session.write_pipe_request().get_code(), 0u);
    // The serial transport refuses the isochronous mode: nothing changes. Where it is taken, the
    // pipe requests send nothing outside mode 1.
    const DWORD iso = session.set_mode(2, 1, 1).get_code();
    if (GetParam() == link::serial) {
        EXPECT_NE(iso, 0u);
    }
    EXPECT_EQ(session.read_pipe_request().get_code(), 0u);
}

TEST_P(LinkTest, NotificationsReachObservers) {
    recorder period(simdev::event::period_info, true), dsp(simdev::event::dsp_reset, true);
    session.add_observer(&period);
    session.add_observer(&dsp);
    // A record that arrives before the scheduler's reads are at the driver is dropped there: ask
    // again until one is seen.
    ASSERT_TRUE(wait_until(
        [&] {
            morvex::zeph_command info = session.make_command(0x000001, 2);
            return run(info) == 0 && wait_until([&] { return period.events() >= 1; }, std::chrono::milliseconds(200));
        },
        std::chrono::seconds(20)));
    ASSERT_TRUE(wait_until(
        [&] {
            morvex::zeph_command reset_dsp = session.make_command(0x010303, 0);
            return run(reset_dsp) == 0 && wait_until([&] { return dsp.events() >= 1; }, std::chrono::milliseconds(200));
        },
        std::chrono::seconds(20)));
    session.remove_observer(&period);
    session.remove_observer(&dsp);
    for (uint16_t code : period.codes) EXPECT_EQ(code, simdev::event::period_info);
    EXPECT_TRUE(period.error_list().empty());
}

struct block_checker : morvex::zeph_stream_receiver {
    explicit block_checker(int first_block = 0) : first(first_block) {}
    void completed(DWORD status, const ostrel::mem_block& buffer, uint32_t bytes) override {
        std::lock_guard<std::mutex> g(m);
        if (status != 0) failures.push_back(status);
        if (status != 0 || bytes != 200 || buffer.bytes()[0] != 1 || buffer.bytes()[2] != 196) {
            ++bad;
            return;
        }
        auto wrong = simdev::check_pattern(simdev::seed::measurement, uint64_t(first + good) * 196,
                                           std::span<const uint8_t>(buffer.bytes() + 4, 196));
        if (wrong)
            ++bad;
        else
            ++good;
    }
    int blocks() {
        std::lock_guard<std::mutex> g(m);
        return good + bad;
    }
    std::vector<DWORD> failure_list() {
        std::lock_guard<std::mutex> g(m);
        return failures;
    }
    std::mutex m;
    const int first;  // the run's block the stream starts at
    int good = 0, bad = 0;
    std::vector<DWORD> failures;
};

// A measurement run of N blocks arrives whole and in order; a stop with reads in flight leaves
// nothing behind to take the next run's first blocks.
TEST_P(LinkTest, MeasurementStreamsInOrder) {
    w32cpp::auto_handle<block_checker> rx(new block_checker());
    session.stream().client().set(rx);
    ASSERT_TRUE(session.stream().start(200, -1));
    Sleep(50);  // reads in flight before the run starts
    ASSERT_TRUE(session.stream().stop());
    // Reads cancelled on their way leave the USB pipe refusing transfers until it is reset.
    ASSERT_EQ(session.read_pipe_request().get_code(), 0u);
    ASSERT_TRUE(session.stream().start(200, 60));
    ASSERT_EQ(write_words(0x000003, 1, {60}), 0u);
    ASSERT_TRUE(wait_until([&] { return rx->blocks() == 60; }, std::chrono::seconds(60)));
    EXPECT_EQ(rx->bad, 0);
    EXPECT_EQ(rx->good, 60);
    session.stream().client().reset();
}

// Damaged bytes on the line are repeated by the packet protocol: a long run still arrives whole and in
// order through the stream. (Over USB a transfer lost on the wire is reported, never sent again: see
// AcrossWireErrors below.)
TEST_P(LinkTest, MeasurementSurvivesLinkErrors) {
    if (GetParam() != link::serial) GTEST_SKIP() << "a serial line fault";
    model->faults().seed(7);
    const int blocks = 100;
    model->faults().line_probability(simdev::line_dir::to_host, simdev::line_fault::corrupt, 0.001);
    w32cpp::auto_handle<block_checker> rx(new block_checker());
    session.stream().client().set(rx);
    ASSERT_TRUE(session.stream().start(200, blocks));
    ASSERT_EQ(write_words(0x000003, 1, {uint32_t(blocks)}), 0u);
    // A failure ends the wait at once: the stream would stop posting after it.
    ASSERT_TRUE(
        wait_until([&] { return rx->blocks() == blocks || !rx->failure_list().empty(); }, std::chrono::seconds(120)));
    EXPECT_TRUE(rx->failure_list().empty());
    EXPECT_EQ(rx->bad, 0);
    EXPECT_EQ(rx->good, blocks);
    EXPECT_GT(model->faults().injected().corrupted, 0u);
    model->faults().clear();
    session.stream().client().reset();
}

// A measurement over USB with 1% of the bulk IN transfers failing on the wire, packets arriving before
// the failure whose handshake the instrument then misses (it still holds the last of them), and 1% of
// the other IN handshakes lost (the instrument sends the packet again with the same toggle, which the
// host drops). The client reads on after each reported loss: it stops the stream, resets the read pipe
// and starts again. Whatever the firmware does with a partly sent message at a cleared halt, every block
// arrives whole or is reported lost, and no byte arrives twice, shifted or damaged.
class AcrossWireErrors : public LinkTest {
protected:
    void read_on_through_wire_errors() {
        const int blocks = 1500;  // two transfers a block: about thirty of them fail
        model->faults().seed(7);
        model->faults().lost_handshakes(true);
        model->faults().usb_error_after_packets(2);
        model->faults().usb_error_probability(0x81, simdev::usb_status::data_error, 0.01);
        model->faults().lost_in_handshake_probability(0x81, 0.01);
        w32cpp::auto_handle<resync_checker> rx(new resync_checker());
        session.stream().client().set(rx);
        ASSERT_EQ(write_words(0x000003, 1, {0}), 0u);  // a run until stopped
        int rounds = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(200);
        while (rx->locked([&] { return rx->good; }) < blocks && std::chrono::steady_clock::now() < end) {
            // A reported failure is the client's cue: the channel refuses reads until the pipe word, and
            // the stream idles without a notice of its own once every read has failed.
            const int failed_before = rx->locked([&] { return rx->failures; });
            ASSERT_TRUE(session.stream().start(200, -1));
            ASSERT_TRUE(wait_until(
                [&] { return rx->locked([&] { return rx->failures > failed_before || rx->good >= blocks; }); },
                std::chrono::seconds(60)));
            ASSERT_TRUE(session.stream().stop());
            // The client's recovery: the read pipe word, then read on.
            ASSERT_EQ(session.read_pipe_request().get_code(), 0u);
            ++rounds;
        }
        morvex::zeph_command stop_run = session.make_command(0x000003, 3);
        EXPECT_EQ(run(stop_run), 0u);
        session.stream().client().reset();
        std::lock_guard<std::mutex> g(rx->m);
        EXPECT_GE(rx->good, blocks);
        EXPECT_EQ(rx->bad, 0);
        EXPECT_EQ(rx->unreported_gaps, 0);
        EXPECT_GT(rx->failures, 0);
        EXPECT_GT(rounds, 1);
        // Only the transfers that failed on the wire cost blocks: a lost handshake alone costs nothing, the
        // host dropping the packet sent again.
        const auto injected = model->faults().injected();
        EXPECT_GT(injected.usb_errors, 5u);
        EXPECT_GT(injected.lost_in_handshakes, 5u);
        EXPECT_LE(uint64_t(rx->lost), injected.usb_errors);
        EXPECT_LE(uint64_t(rounds), injected.usb_errors + 1);
        model->faults().clear();
    }
};

// With 8-byte packets a block is a whole number of packets, so a packet the instrument sends again after
// a cleared halt (it kept it) would shift a block's bytes without overrunning the read: a read stage sent
// again would deliver it as good data instead of failing.
class FirmwareKeepingAtClearHalt : public AcrossWireErrors {
protected:
    simdev::instrument_config firmware() const override {
        simdev::instrument_config cfg;
        cfg.usb_bulk_max_packet = 8;
        return cfg;
    }
};
class FirmwareFlushingAtClearHalt : public AcrossWireErrors {
protected:
    simdev::instrument_config firmware() const override {
        simdev::instrument_config cfg;
        cfg.clear_halt_flushes_endpoint = true;
        return cfg;
    }
};

TEST_P(FirmwareKeepingAtClearHalt, EveryBlockArrivesWholeOrIsReportedLost) { read_on_through_wire_errors(); }
TEST_P(FirmwareFlushingAtClearHalt, EveryBlockArrivesWholeOrIsReportedLost) { read_on_through_wire_errors(); }

INSTANTIATE_TEST_SUITE_P(Links, FirmwareKeepingAtClearHalt, ::testing::Values(link::usb), link_name);
INSTANTIATE_TEST_SUITE_P(Links, FirmwareFlushingAtClearHalt, ::testing::Values(link::usb), link_name);

// A USB block lost on the wire is reported with its error, never skipped in silence. A stall
// ends its read as cancelled (995, which the stream does not hand on), but the reads the halted pipe
// then refuses are reported.
TEST_P(LinkTest, ABlockThatCannotBeRecoveredIsReported) {
    if (GetParam() != link::usb) GTEST_SKIP() << "a USB transfer fault";
    struct fault {
        simdev::usb_status status;
        unsigned times;
        DWORD reported;
    };
    for (fault f : {fault{simdev::usb_status::data_error, 1, DWORD(ERROR_CRC)},
                    fault{simdev::usb_status::stall, 1, DWORD(ERROR_GEN_FAILURE)}}) {
        w32cpp::auto_handle<block_checker> rx(new block_checker());
        session.stream().client().set(rx);
        ASSERT_TRUE(session.stream().start(200, 20));
        model->faults().usb_error(0x81, f.status, f.times);
        ASSERT_EQ(write_words(0x000003, 1, {20}), 0u);
        ASSERT_TRUE(wait_until([&] { return !rx->failure_list().empty(); }));
        EXPECT_EQ(rx->failure_list().front(), f.reported);
        {
            std::lock_guard<std::mutex> g(rx->m);
            EXPECT_EQ(rx->good, 0);
        }
        ASSERT_TRUE(session.stream().stop());
        session.stream().client().reset();
        model->faults().clear();
        // The run's rest goes with the pipe word; the next round starts clean.
        morvex::zeph_command stop_run = session.make_command(0x000003, 3);
        ASSERT_EQ(run(stop_run), 0u);
        ASSERT_EQ(session.read_pipe_request().get_code(), 0u);
    }
}

// After a block that could not be recovered the client resets the read pipe and reads on. What the
// instrument does then with the data waiting is its firmware's choice: both are met.
class AfterAReportedLoss : public LinkTest {
protected:
    // The run's first block waits at the instrument while its length word is lost on the wire; the loss
    // is reported, the read pipe reset and the run read on from the block the instrument sends next.
    void lose_first_block_and_read_on(int run, int next_block) {
        ASSERT_EQ(write_words(0x000003, 1, {uint32_t(run)}), 0u);
        model->bulk_in_peek(0);  // the first block is made and waits
        ASSERT_EQ(model->bulk_in_pending_messages(), 1u);
        model->faults().usb_error(0x81, simdev::usb_status::data_error, 1);
        w32cpp::auto_handle<block_checker> lost(new block_checker());
        session.stream().client().set(lost);
        ASSERT_TRUE(session.stream().start(200, -1));
        ASSERT_TRUE(wait_until([&] { return !lost->failure_list().empty(); }));
        ASSERT_TRUE(session.stream().stop());
        EXPECT_EQ(lost->failure_list().front(), DWORD(ERROR_CRC));
        EXPECT_EQ(lost->good, 0);

        ASSERT_EQ(session.read_pipe_request().get_code(), 0u);
        const int left = run - next_block;
        w32cpp::auto_handle<block_checker> rx(new block_checker(next_block));
        session.stream().client().set(rx);
        ASSERT_TRUE(session.stream().start(200, left));
        ASSERT_TRUE(wait_until([&] { return rx->blocks() == left; }));
        EXPECT_EQ(rx->bad, 0);
        EXPECT_EQ(rx->good, left);
        session.stream().client().reset();
    }
};

class InstrumentKeepingData : public AfterAReportedLoss {
protected:
    simdev::instrument_config firmware() const override {
        simdev::instrument_config cfg;
        cfg.pipe_reset_drops_waiting_data = false;
        return cfg;
    }
};
using InstrumentDroppingData = AfterAReportedLoss;

TEST_P(InstrumentKeepingData, TheBlockReportedLostComesAgain) { lose_first_block_and_read_on(30, 0); }
TEST_P(InstrumentDroppingData, TheRunGoesOnAfterTheBlockReportedLost) { lose_first_block_and_read_on(30, 1); }

INSTANTIATE_TEST_SUITE_P(Links, InstrumentKeepingData, ::testing::Values(link::usb), link_name);
INSTANTIATE_TEST_SUITE_P(Links, InstrumentDroppingData, ::testing::Values(link::usb), link_name);

// Another thread's requests on the same session are never cancelled by the stops of the
// scheduler and the stream (each takes back its own reads only), whichever transport carries them.
TEST_P(LinkTest, StopsLeaveAnotherThreadsRequestsAlone) {
    std::atomic<bool> done{false};
    std::atomic<int> answered{0}, cancelled{0};
    std::thread other([&] {
        while (!done.load()) {
            morvex::zeph_get_param config = session.make_get_param(0x000002, 3, 24);
            const DWORD status = run(config);
            if (status == ERROR_OPERATION_ABORTED) ++cancelled;
            if (status == 0) ++answered;
        }
    });
    recorder r(0, true);
    const DWORD until = GetTickCount() + 3000;
    while (GetTickCount() - until > 0x80000000u) {
        session.add_observer(&r);
        session.stream().start(200, -1);
        Sleep(5);
        session.stream().stop();
        session.remove_observer(&r);
        session.add_observer(&r);
        session.set_mode(0, 0, 0);
        session.set_mode(1, 0, 0);
        session.remove_observer(&r);
        session.read_pipe_request();
    }
    done = true;
    zephtest::join(other);
    EXPECT_EQ(cancelled.load(), 0);
    EXPECT_GT(answered.load(), 0);
}

TEST_P(LinkTest, RemovalClosesTheSession) {
    recorder r(0, true);
    session.add_observer(&r);
    take_away();
    ASSERT_TRUE(wait_until([&] { return !session.is_open(); }));
    EXPECT_EQ(session.bcd_device(), 0xFFFF);
    EXPECT_EQ(session.product(), "");
    session.remove_observer(&r);
    if (GetParam() == link::serial) {
        EXPECT_TRUE(r.error_list().empty());
    } else {
        // The driver may end a notification read that races the surprise removal with 31 before it
        // answers 1617; nothing else is reported.
        for (DWORD e : r.error_list()) EXPECT_EQ(e, DWORD(ERROR_GEN_FAILURE));
    }
}

INSTANTIATE_TEST_SUITE_P(Links, LinkTest, ::testing::Values(link::serial, link::usb), link_name);

}  // namespace
}  // namespace morvex_test
