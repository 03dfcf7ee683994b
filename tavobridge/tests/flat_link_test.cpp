// The TAVO_ exports of the built library, end to end against the simulated instrument: over a COM
// port (a pseudo-terminal to the instrument's serial face) and, where the driver is built, over USB
// (the driver on the kernel stand-in). Every shared case makes the same assertions on both links.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <simdev/instrument.h>
#include <simdev/serial_device.h>
#include <standin/clock.h>
#include <standin/comm.h>
#include <standin/loader.h>
#include "tavo_functions.h"
#include "zephtest/wait.h"
#include <tavobridge/tavo.h>
#ifdef TAVO_TEST_USB
#include <simdev/usb_device.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>
#endif

namespace {

using tavo_test::tavo_functions;

constexpr DWORD com = 7;
constexpr DWORD timeout = 4000;  // below the scaled long waits

bool pattern_ok(uint32_t seed, uint64_t first, const uint8_t *data, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (data[i] != simdev::pattern_byte(seed, first + i)) return false;
    return true;
}

enum class link { serial, usb };

class FlatLink : public ::testing::TestWithParam<link> {
protected:
    void SetUp() override {
        // The transports' long fixed waits (the serial stop's 5 s) run scaled.
        standin::clock::set_long_wait_scale(0.01);
        model = std::make_shared<simdev::instrument>(config());
        if (GetParam() == link::serial) {
            device = std::make_unique<simdev::serial_device>(model, pty.master());
            device->start();
            standin::comm::map_port("COM" + std::to_string(com), pty.path());
        }
#ifdef TAVO_TEST_USB
        if (GetParam() == link::usb) {
            static bool installed = false;
            if (!installed) standin::pnp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
            installed = true;
            usb = std::make_shared<simdev::usb_device>(model);
            instance = standin::usbbus::plug(usb);
            ASSERT_TRUE(standin::pnp::settle());
        }
#endif
        module = LoadLibraryA("tavobridge");
        ASSERT_TRUE(module);
        ASSERT_TRUE(f.load(module));
    }
    void TearDown() override {
        if (module) {
            f.TAVO_closeComm();
            FreeLibrary(module);
        }
        if (device) device->stop();
        standin::comm::map_port("COM" + std::to_string(com), "");
#ifdef TAVO_TEST_USB
        if (!instance.empty() && standin::pnp::device_state(instance) != "absent") {
            standin::usbbus::unplug(instance);
            standin::pnp::settle();
        }
#endif
        standin::clock::set_long_wait_scale(1.0);
    }
    virtual simdev::instrument_config config() {
        simdev::instrument_config c;
        c.product = "Zeph Analyser 2 with a long product name";
        c.bcd_device = 0x0123;
        c.serial_number = "4711";
        return c;
    }
    DWORD up() {
        return GetParam() == link::serial ? f.TAVO_initSerialComm(timeout, com, 115200, 0)
                                          : f.TAVO_initUsbComm(timeout);
    }

    std::shared_ptr<simdev::instrument> model;
    simdev::pseudo_terminal pty;
    std::unique_ptr<simdev::serial_device> device;
#ifdef TAVO_TEST_USB
    std::shared_ptr<simdev::usb_device> usb;
    std::string instance;
#endif
    HMODULE module = nullptr;
    tavo_functions f;
};

// Cases that only a COM port has.
using FlatSerial = FlatLink;

// The link is closed and set up again, for a few seconds, while another thread keeps calling in: each
// close waits for the call in progress to leave before it lets the instrument API and the transports
// go (their code unloaded under a running call would crash it); calls meanwhile find no link.
TEST_P(FlatLink, CloseAndSetUpWhileAnotherThreadCallsIn) {
    ASSERT_EQ(up(), 0u);
    std::atomic<bool> done{false};
    std::atomic<int> answered{0}, no_link{0};
    std::thread caller([&] {
        while (!done.load()) {
            DWORD s[5];
            const DWORD status = f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout);
            if (status == 0) ++answered;
            if (status == 21) ++no_link;
        }
    });
    // Three seconds, and at least three rounds with a call that found no link however loaded the
    // machine is; a machine too slow for that in 30 s fails below.
    int rounds = 0;
    const DWORD start = GetTickCount();
    for (DWORD spent = 0; (rounds < 3 || no_link.load() == 0 || spent < 3000) && spent < 30000;
         spent = GetTickCount() - start) {
        const int before = answered.load();
        // The caller is in the middle of its calls when the close comes.
        ASSERT_TRUE(zephtest::wait_until([&] { return answered.load() > before; })) << rounds;
        f.TAVO_closeComm();
        ASSERT_EQ(up(), 0u) << rounds;
        ++rounds;
    }
    done = true;
    zephtest::join(caller);
    EXPECT_GT(rounds, 2);
    EXPECT_GT(no_link.load(), 0);
}

TEST_P(FlatLink, NothingBeforeTheLink) {
    DWORD d[8] = {};
    WORD s[8] = {};
    char name[21];
    EXPECT_EQ(f.TAVO_getTavoIdent(&d[0], &d[1], name, 0), 21u);
    EXPECT_EQ(f.TAVO_getEtat(&d[0], &d[1], &d[2], &d[3], &d[4], timeout), 21u);
    EXPECT_EQ(f.TAVO_getMesure(s, &d[0], 0), 21u);
    EXPECT_EQ(f.TAVO_closeComm(), 0u);
    EXPECT_EQ(model->vendor_requests(), 0u);
}

TEST_P(FlatLink, IdentityConfigurationAndState) {
    ASSERT_EQ(up(), 0u);
    DWORD version = 0, number = 0;
    char name[32];
    memset(name, 0x5A, sizeof name);
    ASSERT_EQ(f.TAVO_getTavoIdent(&version, &number, name, 0), 0u);
    EXPECT_EQ(version, 123u);
    EXPECT_EQ(number, 4711u);
    EXPECT_STREQ(name, "Zeph Analyser 2 with");
    EXPECT_EQ(name[21], 0x5A);

    const WORD values[8] = {1, 2, 3, 4, 5, 6, 7, 0xFFFF};
    BYTE t1[18], t2[18];
    for (int i = 0; i < 18; ++i) t1[i] = BYTE(i), t2[i] = BYTE(200 - i);
    ASSERT_EQ(f.TAVO_setConfigProg(values, 0x81234567, 0xBEEF, t1, t2, timeout), 0u);
    WORD back[8] = {};
    DWORD v32 = 0, v16 = 0;
    BYTE b1[18] = {}, b2[18] = {};
    ASSERT_EQ(f.TAVO_getConfig(back, &v32, &v16, b1, b2, timeout), 0u);
    EXPECT_EQ(memcmp(back, values, sizeof values), 0);
    EXPECT_EQ(v32, 0x81234567u);
    EXPECT_EQ(v16, 0xBEEFu);
    EXPECT_EQ(memcmp(b1, t1, 18), 0);
    EXPECT_EQ(memcmp(b2, t2, 18), 0);
    ASSERT_EQ(f.TAVO_setConfigNormal(values, 5, 6, timeout), 0u);
    ASSERT_EQ(f.TAVO_getConfig(back, &v32, &v16, b1, b2, timeout), 0u);
    EXPECT_EQ(v32, 5u);
    EXPECT_EQ(b1[0], 0);

    DWORD s[5] = {};
    ASSERT_EQ(f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout), 0u);
    EXPECT_EQ(s[0], 0u);
    EXPECT_EQ(s[2], 3u);  // stored periods
    EXPECT_EQ(s[3], 1u);  // normal configuration
    EXPECT_EQ(f.TAVO_getEtat(&s[0], nullptr, &s[2], &s[3], &s[4], timeout), 87u);
}

TEST_P(FlatLink, MeasurementStreamsInOrder) {
    ASSERT_EQ(up(), 0u);
    const DWORD blocks = 20;
    ASSERT_EQ(f.TAVO_startMesure(blocks, timeout), 0u);
    uint64_t offset = 0;
    for (DWORD b = 0; b < blocks; ++b) {
        WORD values[98];
        DWORD count = 0;
        ASSERT_EQ(f.TAVO_getMesure(values, &count, 0), 0u) << b;
        ASSERT_EQ(count, 98u);
        ASSERT_TRUE(pattern_ok(0x4D000000, offset, reinterpret_cast<uint8_t *>(values), 196)) << b;
        offset += 196;
    }
    DWORD s[5] = {};
    ASSERT_EQ(f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout), 0u);
    EXPECT_EQ(s[1], blocks);
    ASSERT_EQ(f.TAVO_startCalibrage(0, timeout), 0u);
    ASSERT_EQ(f.TAVO_stopMesure(timeout), 0u);
}

TEST_P(FlatLink, FlashReadAndWrite) {
    ASSERT_EQ(up(), 0u);
    std::vector<BYTE> data(300);
    ASSERT_EQ(f.TAVO_dumpFlash(0x40, DWORD(data.size()), data.data(), timeout), 0u);
    EXPECT_TRUE(pattern_ok(0x46000000, 0x40, data.data(), data.size()));
    for (size_t i = 0; i < data.size(); ++i) data[i] = BYTE(i * 7);
    ASSERT_EQ(f.TAVO_writeFlash(0x1000, DWORD(data.size()), data.data(), timeout), 0u);
    std::vector<BYTE> back(data.size());
    ASSERT_EQ(f.TAVO_dumpFlash(0x1000, DWORD(back.size()), back.data(), timeout), 0u);
    EXPECT_EQ(back, data);
    // Out of the instrument's flash: refused.
    EXPECT_EQ(f.TAVO_dumpFlash(0xFFFF00, 16, back.data(), timeout), 1627u);
    EXPECT_EQ(f.TAVO_dumpFlash(0, 0xFFFFFFFF, back.data(), timeout), 87u);
}

TEST_P(FlatLink, PeriodsReadInBlocks) {
    ASSERT_EQ(up(), 0u);
    std::vector<WORD> values(600, 0xCCCC);
    DWORD received = 0;
    // Period 1 holds 1000 bytes: blocks of 256 from offset 0.
    ASSERT_EQ(f.TAVO_litPeriodeShort(1, 0, 1000, 256, values.data(), &received, timeout), 0u);
    EXPECT_EQ(received, 1000u);
    EXPECT_TRUE(pattern_ok(simdev::seed::period(1), 0, reinterpret_cast<uint8_t *>(values.data()), 1000));
    EXPECT_EQ(values[500], 0xCCCC);
    // Period 3 holds 100 bytes: the short block ends the read.
    std::vector<DWORD> longs(100, 0xDEADBEEF);
    ASSERT_EQ(f.TAVO_litPeriode(3, 0, 160, 64, longs.data(), &received, timeout), 0u);
    EXPECT_EQ(received, 100u);
    EXPECT_EQ(longs[49], DWORD(simdev::pattern_byte(simdev::seed::period(3), 98) |
                               (simdev::pattern_byte(simdev::seed::period(3), 99) << 8)));
    EXPECT_EQ(longs[50], 0xDEADBEEFu);
    // An odd block size.
    std::vector<BYTE> bytes(101, 0xCC);
    ASSERT_EQ(f.TAVO_litPeriodeShort(3, 0, 100, 33, reinterpret_cast<WORD *>(bytes.data()), &received, timeout), 0u);
    EXPECT_EQ(received, 100u);
    EXPECT_TRUE(pattern_ok(simdev::seed::period(3), 0, bytes.data(), 100));
    EXPECT_EQ(bytes[100], 0xCC);
    // Unknown period: refused.
    EXPECT_EQ(f.TAVO_litPeriodeShort(9, 0, 100, 50, values.data(), &received, timeout), 1627u);
    ASSERT_EQ(f.TAVO_demandeInfoPeriode(timeout), 0u);
    ASSERT_EQ(f.TAVO_effacePeriode(1, 3, timeout), 0u);
    DWORD s[5] = {};
    ASSERT_EQ(f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout), 0u);
    EXPECT_EQ(s[2], 0u);
}

TEST_P(FlatLink, MemoryAndDsp) {
    ASSERT_EQ(up(), 0u);
    ASSERT_EQ(f.TAVO_memoryPageSelect(3, 1, 2, timeout), 0u);
    const DWORD out[4] = {0x111111, 0x222222, 0xFF333333, 0};
    ASSERT_EQ(f.TAVO_memoryWrite(3, 1, 10, 4, out, timeout), 0u);
    DWORD in[5] = {9, 9, 9, 9, 9};
    ASSERT_EQ(f.TAVO_memoryRead(3, 1, 10, 4, in, timeout), 0u);
    EXPECT_EQ(in[0], 0x111111u);
    EXPECT_EQ(in[2], 0x333333u);
    EXPECT_EQ(in[4], 9u);
    EXPECT_EQ(model->memory_word(3, 1, 2, 11), 0x222222u);
    ASSERT_EQ(f.TAVO_resetDsp(2, timeout), 0u);
    EXPECT_EQ(model->dsp_resets(), 1u);
    // A read past the page is stalled: the instrument's status after a device reset.
    EXPECT_NE(f.TAVO_memoryRead(3, 1, 255, 4, in, timeout), 0u);
    ASSERT_EQ(f.TAVO_memoryRead(3, 1, 10, 1, in, timeout), 0u);
}

TEST_P(FlatSerial, CloseAndReinitTheSamePortTenTimes) {
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(up(), 0u) << i;
        EXPECT_EQ(up(), 0u);  // a second set-up while up changes nothing
        DWORD s[5] = {};
        ASSERT_EQ(f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout), 0u) << i;
        ASSERT_EQ(f.TAVO_closeComm(), 0u) << i;
    }
}

// The close holds the stop's fixed sleep; the rest of it (the mode request, the line's stop and
// unregistration, the port's close) takes no more than a few hundred milliseconds on a healthy line.
// At this scale the interrupt endpoint's poll period, as long as the sleep, is longer than that
// margin: a stop that waited for the next poll before its sleep would show.
TEST_P(FlatSerial, CloseTakesItsFixedSleepAndLittleMore) {
    standin::clock::set_long_wait_scale(0.2);  // the stop's sleep and the poll period: 1000 ms
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(up(), 0u);
        const DWORD start = GetTickCount();
        ASSERT_EQ(f.TAVO_closeComm(), 0u);
        const DWORD took = GetTickCount() - start;
        EXPECT_GE(took, standin::clock::scaled(5000));
        EXPECT_LE(took, standin::clock::scaled(5000) + 400) << round;
    }
}

// The instrument falls silent right after an interrupt poll: the close still ends, within the stop's
// sleep and the mode request, which fails once its SETUP packet has gone unanswered six times, each
// after the port's time-out (the link's 4000 ms plus 1000 ms for the bytes, a long wait scaled as the
// sleep is), with room for the line's stop. A stop that waited for the next poll would take a period
// more. (Right after a poll no exchange of the interrupt endpoint is on the line, which on a silent
// line would hold the stop until its read timed out.)
TEST_P(FlatSerial, CloseOnASilentLineEndsWithinItsWaits) {
    standin::clock::set_long_wait_scale(0.2);
    ASSERT_EQ(up(), 0u);
    // A token is counted once the instrument has answered it; the link is idle but for the polls.
    const uint64_t polls = device->stats().tokens;
    ASSERT_TRUE(zephtest::wait_until([&] { return device->stats().tokens > polls; }));
    device->stop();
    const DWORD start = GetTickCount();
    EXPECT_NE(f.TAVO_closeComm(), 0u);
    const DWORD took = GetTickCount() - start;
    const DWORD mode_request = 6 * standin::clock::scaled(timeout + 1000);
    EXPECT_GE(took, standin::clock::scaled(5000) + mode_request);
    EXPECT_LE(took, standin::clock::scaled(5000) + mode_request + 400);
    // The same port opens again once the instrument answers.
    device->start();
    EXPECT_EQ(up(), 0u);
}

TEST_P(FlatSerial, AutomaticChoiceTakesTheComPort) {
    ASSERT_EQ(f.TAVO_initComm(0, timeout, com, 115200, 0), 0u);
    DWORD version = 0, number = 0;
    char name[21];
    ASSERT_EQ(f.TAVO_getTavoIdent(&version, &number, name, 0), 0u);
    EXPECT_EQ(number, 4711u);
}

TEST_P(FlatSerial, WithoutTheInstrumentApiNothingIsSetUp) {
    standin::loader::hide_entry("morvex_get_instance");
    EXPECT_EQ(f.TAVO_initSerialComm(timeout, com, 115200, 0), 5u);
    EXPECT_EQ(f.TAVO_initComm(0, timeout, com, 115200, 0), 5u);
    EXPECT_EQ(f.TAVO_scan(), 0u);
    DWORD s[5] = {};
    EXPECT_EQ(f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout), 21u);
    standin::loader::unhide_all();
    // Nothing was left registered: the port opens now.
    ASSERT_EQ(up(), 0u);
}

TEST_P(FlatSerial, AnUnmappedPortFindsNoInstrument) {
    EXPECT_EQ(f.TAVO_initSerialComm(300, 99, 9600, 0), 20u);
    ASSERT_EQ(up(), 0u);
}

#ifdef TAVO_TEST_USB
// Cases that only USB has.
using FlatUsb = FlatLink;

TEST_P(FlatUsb, RemovalMidCallAndARecoveredLinkAfterReplug) {
    ASSERT_EQ(up(), 0u);
    ASSERT_EQ(f.TAVO_startMesure(0, timeout), 0u);
    // The instrument goes away in the middle of a block.
    model->faults().remove_after_bulk_in(300);
    DWORD status = 0;
    for (int b = 0; b < 10 && status == 0; ++b) {
        WORD values[98];
        DWORD count = 0;
        status = f.TAVO_getMesure(values, &count, 0);
    }
    EXPECT_TRUE(status == 1617 || status == 31) << status;
    DWORD s[5] = {};
    EXPECT_NE(f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout), 0u);
    // The device-change poll reports the removal once (each call waits at most 50 ms).
    if (standin::pnp::device_state(instance) != "absent") standin::usbbus::unplug(instance);
    ASSERT_TRUE(standin::pnp::settle());
    DWORD change = 0;
    for (int i = 0; i < 100 && change == 0; ++i) change = f.TAVO_scan();
    EXPECT_EQ(change, 0x8004u);
    EXPECT_EQ(f.TAVO_scan(), 0u);
    // The close's mode request fails on a removed instrument; the link goes all the same.
    f.TAVO_closeComm();
    EXPECT_EQ(f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout), 21u);
    // Plugged again: a new link works.
    model->faults().clear();
    if (!model->plugged()) model->replug();
    usb = std::make_shared<simdev::usb_device>(model);
    instance = standin::usbbus::plug(usb);
    ASSERT_TRUE(standin::pnp::settle());
    ASSERT_EQ(up(), 0u);
    ASSERT_EQ(f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout), 0u);
}

TEST_P(FlatUsb, ScanReportsAnotherInstrumentComingAndGoing) {
    ASSERT_EQ(up(), 0u);
    EXPECT_EQ(f.TAVO_scan(), 0u);
    simdev::instrument_config c;
    c.serial_number = "4712";
    auto other = std::make_shared<simdev::usb_device>(std::make_shared<simdev::instrument>(c));
    std::string other_instance = standin::usbbus::plug(other);
    ASSERT_TRUE(standin::pnp::settle());
    DWORD change = 0;
    for (int i = 0; i < 100 && change == 0; ++i) change = f.TAVO_scan();
    EXPECT_EQ(change, 0x8000u);
    standin::usbbus::unplug(other_instance);
    ASSERT_TRUE(standin::pnp::settle());
    change = 0;
    for (int i = 0; i < 100 && change == 0; ++i) change = f.TAVO_scan();
    EXPECT_EQ(change, 0x8004u);
    // The link to the first instrument is untouched.
    DWORD s[5] = {};
    EXPECT_EQ(f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout), 0u);
}

TEST_P(FlatUsb, AutomaticChoiceTakesUsb) {
    ASSERT_EQ(f.TAVO_initComm(0, timeout, com, 115200, 0), 0u);
    DWORD version = 0, number = 0;
    char name[21];
    ASSERT_EQ(f.TAVO_getTavoIdent(&version, &number, name, 0), 0u);
    EXPECT_EQ(number, 4711u);
}

INSTANTIATE_TEST_SUITE_P(Usb, FlatUsb, ::testing::Values(link::usb));
INSTANTIATE_TEST_SUITE_P(Usb, FlatLink, ::testing::Values(link::usb));
#endif

INSTANTIATE_TEST_SUITE_P(Serial, FlatLink, ::testing::Values(link::serial));
INSTANTIATE_TEST_SUITE_P(Serial, FlatSerial, ::testing::Values(link::serial));

}  // namespace
