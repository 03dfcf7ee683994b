#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "flat_api.h"
#include "flat_fakes.h"
#include "zephtest/wait.h"

namespace {

std::vector<uint8_t> block(uint16_t status, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> b(4 + data.size());
    b[0] = uint8_t(status);
    b[1] = uint8_t(status >> 8);
    b[2] = uint8_t(data.size());
    b[3] = uint8_t(data.size() >> 8);
    std::copy(data.begin(), data.end(), b.begin() + 4);
    return b;
}

std::vector<uint8_t> pattern(size_t n, uint8_t start) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(start + i);
    return v;
}

class FlatApi : public ::testing::Test {
protected:
    fake::world w;
    fake::environment env{w};
    tavo::flat_api api{env};

    // The object itself lets an open link go without closing it (library unload); tests close.
    ~FlatApi() override { api.closeComm(); }

    void serial_link() {
        ASSERT_EQ(api.initSerialComm(1000, 1, 9600, 0), 0u);
        ASSERT_EQ(api.mode(), DWORD(tavo::mode_serial));
        w.log.clear();
    }
    void usb_link() {
        w.usb_instrument = true;
        ASSERT_EQ(api.initUsbComm(1000), 0u);
        ASSERT_EQ(api.mode(), DWORD(tavo::mode_usb));
        w.log.clear();
    }
    void modem_link() {
        std::vector<BYTE> config(8, 1);
        ASSERT_EQ(api.initTapiComm(1000, 4, config.data(), DWORD(config.size()), "0123", 1, 3), 0u);
        ASSERT_EQ(api.mode(), DWORD(tavo::mode_modem));
        w.log.clear();
    }
};

// Every instrument function, with valid buffers, as one call.
std::vector<std::pair<const char *, std::function<DWORD(tavo::flat_api &)>>> every_function() {
    static DWORD d[256];
    static WORD s[512];
    static BYTE b[1024];
    static char name[32];
    return {
        {"getTavoIdent", [](tavo::flat_api &a) { return a.getTavoIdent(&d[0], &d[1], name); }},
        {"dumpFlash", [](tavo::flat_api &a) { return a.dumpFlash(0, 16, b, 100); }},
        {"writeFlash", [](tavo::flat_api &a) { return a.writeFlash(0, 16, b, 100); }},
        {"litPeriode", [](tavo::flat_api &a) { return a.litPeriode(0, 0, 64, 32, d, &d[200], 100); }},
        {"litPeriodeShort", [](tavo::flat_api &a) { return a.litPeriodeShort(0, 0, 64, 32, s, &d[200], 100); }},
        {"demandeInfoPeriode", [](tavo::flat_api &a) { return a.demandeInfoPeriode(100); }},
        {"effacePeriode", [](tavo::flat_api &a) { return a.effacePeriode(1, 2, 100); }},
        {"setConfigNormal", [](tavo::flat_api &a) { return a.setConfigNormal(s, 1, 2, 100); }},
        {"setConfigProg", [](tavo::flat_api &a) { return a.setConfigProg(s, 1, 2, b, b + 18, 100); }},
        {"getConfig", [](tavo::flat_api &a) { return a.getConfig(s, &d[0], &d[1], b, b + 18, 100); }},
        {"getEtat", [](tavo::flat_api &a) { return a.getEtat(&d[0], &d[1], &d[2], &d[3], &d[4], 100); }},
        {"startMesure", [](tavo::flat_api &a) { return a.startMesure(1, 100); }},
        {"startCalibrage", [](tavo::flat_api &a) { return a.startCalibrage(1, 100); }},
        {"stopMesure", [](tavo::flat_api &a) { return a.stopMesure(100); }},
        {"getMesure", [](tavo::flat_api &a) { return a.getMesure(s, &d[0]); }},
        {"getDataOnBulk", [](tavo::flat_api &a) { return a.getDataOnBulk(d, 64, &d[200], 100); }},
        {"getDataOnBulkShort", [](tavo::flat_api &a) { return a.getDataOnBulkShort(b, 64, &d[200], 100); }},
        {"resetDsp", [](tavo::flat_api &a) { return a.resetDsp(1, 100); }},
        {"memoryPageSelect", [](tavo::flat_api &a) { return a.memoryPageSelect(0, 2, 0, 100); }},
        {"memoryRead", [](tavo::flat_api &a) { return a.memoryRead(0, 2, 0, 4, d, 100); }},
        {"memoryWrite", [](tavo::flat_api &a) { return a.memoryWrite(0, 2, 0, 4, d, 100); }},
    };
}

// ---- link state ---------------------------------------------------------------------------------

TEST_F(FlatApi, EveryFunctionBeforeAnyLinkAndAfterCloseIsNotReady) {
    for (auto &[name, call] : every_function()) EXPECT_EQ(call(api), 21u) << name;
    EXPECT_EQ(api.scan(), 0u);
    EXPECT_EQ(w.binds, 0);
    serial_link();
    ASSERT_EQ(api.closeComm(), 0u);
    w.log.clear();
    for (auto &[name, call] : every_function()) EXPECT_EQ(call(api), 21u) << name;
    EXPECT_TRUE(w.log.empty()) << w.log.front();
}

// A close on another thread while an instrument function runs: the close stops the line and selects
// idle mode, then waits for the call to leave before the session and the binding (whose release
// unloads the instrument API) go. Calls meanwhile find no link.
TEST_F(FlatApi, CloseWaitsForACallInProgressOnAnotherThread) {
    for (bool usb : {false, true}) {
        SCOPED_TRACE(usb);
        if (usb)
            usb_link();
        else
            serial_link();
        w.controls.push_back({0, -1, {1, 2, 3, 4, 5}});
        zephtest::flag inside, go_on;
        std::atomic<bool> alive_when_released{false};
        w.in_get = [&] {
            inside.set();
            go_on.wait();
            alive_when_released = w.sessions_alive == 1 && w.apis_alive == 1;
        };
        DWORD s[5] = {};
        std::atomic<DWORD> status{WAIT_FAILED};
        std::thread caller([&] { status = api.getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], 100); });
        ASSERT_TRUE(inside.wait());
        std::atomic<bool> closed{false};
        std::thread closer([&] {
            api.closeComm();
            closed = true;
        });
        EXPECT_FALSE(zephtest::wait_until([&] { return closed.load(); }, std::chrono::milliseconds(300)));
        DWORD t[5] = {};
        EXPECT_EQ(api.getEtat(&t[0], &t[1], &t[2], &t[3], &t[4], 100), 21u);
        EXPECT_EQ(api.scan(), 0u);
        go_on.set();
        zephtest::join(caller);
        zephtest::join(closer);
        w.in_get = nullptr;
        EXPECT_TRUE(alive_when_released.load());
        EXPECT_EQ(status.load(), 0u);
        EXPECT_EQ(s[4], 5u);
        EXPECT_EQ(w.sessions_alive, 0);
        EXPECT_EQ(w.apis_alive, 0);
        EXPECT_EQ(api.mode(), DWORD(tavo::mode_none));
        EXPECT_TRUE(w.sent(usb ? "mode 0" : "stop port"));
    }
}

TEST_F(FlatApi, BindFailuresAreReportedAndScanStaysSafe) {
    w.bind_status = 5;
    EXPECT_EQ(api.initUsbComm(100), 5u);
    EXPECT_EQ(api.scan(), 0u);
    EXPECT_EQ(api.initSerialComm(100, 1, 9600, 0), 5u);
    EXPECT_EQ(api.initComm(100, 1, 9600, 0), 5u);
    EXPECT_EQ(api.scan(), 0u);
    w.bind_status = 8;
    EXPECT_EQ(api.initSerialComm(100, 1, 9600, 0), 8u);
    EXPECT_EQ(api.scan(), 0u);
    EXPECT_EQ(api.mode(), 0u);
    EXPECT_EQ(w.apis_alive, 0);
    EXPECT_TRUE(w.settings_made.empty());
}

TEST_F(FlatApi, SerialWithoutInstrumentUnregistersAndClosesItsPort) {
    w.serial_instrument_answers = false;
    EXPECT_EQ(api.initSerialComm(250, 3, 9600, 1), 20u);
    EXPECT_EQ(api.mode(), 0u);
    ASSERT_EQ(w.settings_made.size(), 1u);
    EXPECT_EQ(w.settings_made[0], "COM3: baud=9600 data=8 stop=1 parity=N flow");
    EXPECT_GE(w.count("wait "), 1u);  // up to the time-out (less whatever has passed)
    EXPECT_TRUE(w.sent("unregister 1"));
    EXPECT_TRUE(w.sent("close COM3"));
    EXPECT_EQ(w.open_lines["COM3"], 0);
    EXPECT_EQ(w.registered, 0);
    EXPECT_EQ(w.apis_alive, 0);
    // The same port opens again at once.
    w.serial_instrument_answers = true;
    EXPECT_EQ(api.initSerialComm(250, 3, 9600, 1), 0u);
}

TEST_F(FlatApi, CloseAndReinitTheSameComPortTenTimes) {
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(api.initSerialComm(100, 1, 19200, 0), 0u) << i;
        EXPECT_EQ(api.mode(), DWORD(tavo::mode_serial));
        EXPECT_EQ(w.open_lines["COM1"], 1);
        ASSERT_EQ(api.closeComm(), 0u);
        EXPECT_EQ(w.open_lines["COM1"], 0);
        EXPECT_EQ(w.registered, 0);
        EXPECT_EQ(w.sessions_alive, 0);
        EXPECT_EQ(w.apis_alive, 0);
    }
    EXPECT_EQ(w.count("stop port"), 10u);
    EXPECT_EQ(w.count("mode 0"), 10u);
}

TEST_F(FlatApi, ReinitWhileALinkIsUpChangesNothing) {
    serial_link();
    EXPECT_EQ(api.initSerialComm(100, 2, 9600, 0), 0u);
    EXPECT_EQ(api.initUsbComm(100), 0u);
    EXPECT_EQ(api.initComm(100, 2, 9600, 0), 0u);
    EXPECT_EQ(api.mode(), DWORD(tavo::mode_serial));
    EXPECT_TRUE(w.log.empty());
    EXPECT_EQ(w.binds, 1);
}

TEST_F(FlatApi, AutomaticChoicePrefersUsb) {
    w.usb_instrument = true;
    EXPECT_EQ(api.initComm(100, 3, 9600, 0), 0u);
    EXPECT_EQ(api.mode(), DWORD(tavo::mode_usb));
    EXPECT_TRUE(w.sent("serial disable"));
    EXPECT_FALSE(w.sent("usb stop"));
    EXPECT_TRUE(w.settings_made.empty());
    EXPECT_TRUE(w.sent("mode 1"));
}

TEST_F(FlatApi, AutomaticChoiceFallsBackToTheComPort) {
    EXPECT_EQ(api.initComm(100, 3, 9600, 0), 0u);
    EXPECT_EQ(api.mode(), DWORD(tavo::mode_serial));
    ASSERT_EQ(w.settings_made.size(), 1u);
    EXPECT_EQ(w.settings_made[0], "COM3: baud=9600 data=8 stop=1 parity=N");
    EXPECT_TRUE(w.sent("register 1"));
    EXPECT_TRUE(w.sent("usb stop"));
    EXPECT_FALSE(w.sent("serial disable"));
}

TEST_F(FlatApi, AutomaticChoiceWaitsItsTimeThenGivesUp) {
    w.serial_instrument_answers = false;
    w.stale_arrivals = 2;
    DWORD start = GetTickCount();
    EXPECT_EQ(api.initComm(300, 3, 9600, 0), 20u);
    // A left-over arrival does not cut the wait short.
    EXPECT_GE(GetTickCount() - start, 300u);
    EXPECT_GE(w.count("wait "), 3u);

    EXPECT_EQ(api.mode(), 0u);
    EXPECT_EQ(w.open_lines["COM3"], 0);
    EXPECT_EQ(w.registered, 0);
}

TEST_F(FlatApi, AutomaticChoiceFindsAnInstrumentThatAnswersDuringTheWait) {
    w.list_after_wait_only = true;
    EXPECT_EQ(api.initComm(300, 3, 9600, 0), 0u);
    EXPECT_EQ(api.mode(), DWORD(tavo::mode_serial));
}

TEST_F(FlatApi, UsbWithoutInstrumentIsBadUnit) {
    EXPECT_EQ(api.initUsbComm(10), 20u);
    EXPECT_EQ(api.mode(), 0u);
    EXPECT_EQ(w.apis_alive, 0);
}

TEST_F(FlatApi, RefusedModeTearsTheLinkDown) {
    w.mode_status = 31;
    EXPECT_EQ(api.initSerialComm(100, 1, 9600, 0), 31u);
    EXPECT_EQ(api.mode(), 0u);
    EXPECT_TRUE(w.sent("session close"));
    EXPECT_EQ(w.sessions_alive, 0);
    EXPECT_EQ(w.open_lines["COM1"], 0);
    EXPECT_EQ(w.registered, 0);
}

TEST_F(FlatApi, CloseReportsTheModeRequestAndSkipsItOnAModemCall) {
    EXPECT_EQ(api.closeComm(), 0u);
    usb_link();
    w.mode_status = 121;
    EXPECT_EQ(api.closeComm(), 121u);
    EXPECT_FALSE(w.sent("stop port"));
    EXPECT_EQ(api.mode(), 0u);
    w.mode_status = 0;
    w.usb_instrument = false;
    modem_link();
    EXPECT_EQ(api.closeComm(), 0u);
    EXPECT_FALSE(w.sent("mode 0"));
    EXPECT_TRUE(w.sent("stop port"));
    EXPECT_TRUE(w.sent("unregister 1"));
    EXPECT_TRUE(w.sent("hang up"));
    EXPECT_EQ(w.sessions_alive, 0);
}

TEST_F(FlatApi, ModemRefusedByTheTransportIsAccessDenied) {
    w.register_result = false;
    BYTE config[4] = {1, 2, 3, 4};
    EXPECT_EQ(api.initTapiComm(100, 2, config, 4, "555", 0, 0), 5u);
    EXPECT_TRUE(w.sent("unregister 1"));
    EXPECT_EQ(api.mode(), 0u);
    EXPECT_EQ(w.modem_device, 2u);
    EXPECT_FALSE(w.modem_redial);
}

TEST_F(FlatApi, ModemCallDroppedIsRedialledAndReopened) {
    modem_link();
    EXPECT_TRUE(w.modem_redial);
    BYTE config[4] = {};
    EXPECT_EQ(api.initTapiComm(100, 4, config, 4, "0123", 1, 3), 0u);
    EXPECT_TRUE(w.log.empty());
    w.call_up = false;
    EXPECT_EQ(api.initTapiComm(100, 4, config, 4, "0123", 1, 3), 0u);
    EXPECT_TRUE(w.sent("flush port"));
    EXPECT_EQ(w.count("wait"), 0u);  // the instrument is listed: no wait
    EXPECT_TRUE(w.sent("open session"));
    EXPECT_EQ(api.mode(), DWORD(tavo::mode_modem));
    EXPECT_EQ(w.sessions_alive, 1);
}

TEST_F(FlatApi, FailedModemReopenHangsUp) {
    modem_link();
    w.call_up = false;
    w.mode_status = 1617;
    BYTE config[4] = {};
    EXPECT_EQ(api.initTapiComm(100, 4, config, 4, "0123", 1, 3), 1617u);
    EXPECT_EQ(api.mode(), 0u);
    EXPECT_TRUE(w.sent("hang up"));
    EXPECT_EQ(w.registered, 0);
    EXPECT_EQ(w.sessions_alive, 0);
}

TEST_F(FlatApi, ModemSetUpClosesASerialLinkFirst) {
    serial_link();
    BYTE config[4] = {};
    EXPECT_EQ(api.initTapiComm(100, 4, config, 4, "0123", 1, 3), 0u);
    EXPECT_TRUE(w.sent("close COM1"));
    EXPECT_EQ(w.open_lines["COM1"], 0);
    EXPECT_EQ(api.mode(), DWORD(tavo::mode_modem));
    EXPECT_EQ(w.sessions_alive, 1);
}

TEST_F(FlatApi, ModemByNameUsesTheLastMatch) {
    w.modems = {{1, "Modem A"}, {2, "Modem B"}, {3, "Modem A"}};
    EXPECT_EQ(api.initModemComm(100, "Modem X", "555", 1, 2), 31u);
    EXPECT_EQ(w.binds, 0);
    EXPECT_EQ(api.initModemComm(100, "modem a", "555", 1, 2), 31u);
    EXPECT_EQ(api.initModemComm(100, "Modem A", "555", 1, 2), 0u);
    EXPECT_EQ(w.modem_device, 3u);
    EXPECT_EQ(api.mode(), DWORD(tavo::mode_modem));
    EXPECT_EQ(api.initModemComm(100, nullptr, "555", 1, 2), 87u);
}

TEST_F(FlatApi, ScanReportsArrivalAndRemovalSeenTogether) {
    usb_link();
    EXPECT_EQ(api.scan(), 0u);
    w.changed = w.arrived = true;
    EXPECT_EQ(api.scan(), 0x8000u);
    w.changed = w.removed = true;
    EXPECT_EQ(api.scan(), 0x8004u);
    // Re-plugged within one scan: the removal first, then the arrival that matches what is there.
    w.changed = w.removed = w.arrived = true;
    w.main_listed = true;
    EXPECT_EQ(api.scan(), 0x8004u);
    EXPECT_EQ(api.scan(), 0x8000u);
    EXPECT_EQ(api.scan(), 0u);
    // Plugged and pulled again: the arrival, then the removal.
    w.changed = w.removed = w.arrived = true;
    w.main_listed = false;
    EXPECT_EQ(api.scan(), 0x8000u);
    EXPECT_EQ(api.scan(), 0x8004u);
    EXPECT_EQ(api.scan(), 0u);
}

// ---- instrument functions -------------------------------------------------------------------

TEST_F(FlatApi, IdentityWritesExactlyTheNameAndItsNul) {
    serial_link();
    w.product = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
    w.bcd = 0x0123;
    w.serial = " 4711-B";
    DWORD version = 0, number = 0;
    char name[32];
    memset(name, 0x5A, sizeof name);
    EXPECT_EQ(api.getTavoIdent(&version, &number, name), 0u);
    EXPECT_EQ(version, 123u);
    EXPECT_EQ(number, 4711u);
    EXPECT_STREQ(name, "ABCDEFGHIJKLMNOPQRST");
    for (size_t i = 21; i < sizeof name; ++i) EXPECT_EQ(name[i], 0x5A);
    EXPECT_EQ(api.getTavoIdent(nullptr, &number, name), 87u);
    EXPECT_EQ(api.getTavoIdent(&version, &number, nullptr), 87u);
}

TEST_F(FlatApi, DumpFlashCopiesTheDataAfterTheStatusWord) {
    serial_link();
    auto reply = pattern(18, 0x40);
    w.reads.push_back({0, reply});
    uint8_t buffer[20];
    memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(api.dumpFlash(0x1234, 16, buffer, 500), 0u);
    EXPECT_TRUE(w.sent("set 000001/3 001234 000010"));
    EXPECT_TRUE(w.sent("read 18"));
    EXPECT_EQ(memcmp(buffer, reply.data() + 2, 16), 0);
    EXPECT_EQ(buffer[16], 0xEE);
    // One short, one over the size asked for cannot arrive; refused; empty.
    w.reads.push_back({0, pattern(17, 1)});
    EXPECT_EQ(api.dumpFlash(0, 16, buffer, 500), 13u);
    w.reads.push_back({0, {0, 0, 1, 2}});
    EXPECT_EQ(api.dumpFlash(0, 2, buffer, 500), 1627u);
    w.reads.push_back({0, {1, 0}});
    EXPECT_EQ(api.dumpFlash(0, 0, buffer, 500), 0u);
    w.reads.push_back({0, {}});
    EXPECT_EQ(api.dumpFlash(0, 0, buffer, 500), 13u);
}

TEST_F(FlatApi, DumpFlashRefusesLengthsThatWrapOrDoNotFit24Bits) {
    serial_link();
    uint8_t buffer[4];
    for (DWORD length : {0xFFFFFFFFu, 0xFFFFFFFEu, 0x1000000u, 0xFFFFFEu})
        EXPECT_EQ(api.dumpFlash(0, length, buffer, 500), 87u) << length;
    EXPECT_EQ(api.dumpFlash(0, 4, nullptr, 500), 87u);
    EXPECT_EQ(api.dumpFlash(0x1000000, 4, buffer, 500), 87u);
    EXPECT_EQ(api.writeFlash(0x1000000, 4, buffer, 500), 87u);
    EXPECT_EQ(api.writeFlash(0, 0x1000000, buffer, 500), 87u);
    EXPECT_TRUE(w.log.empty());
}

TEST_F(FlatApi, FailedControlRequestResetsTheDevice) {
    serial_link();
    w.controls.push_back({121});
    uint8_t buffer[4];
    EXPECT_EQ(api.dumpFlash(0, 4, buffer, 500), 121u);
    EXPECT_TRUE(w.sent("reset"));
    EXPECT_FALSE(w.sent("read 6"));
    w.controls.push_back({121});
    w.reset_status = 1617;
    EXPECT_EQ(api.startMesure(7, 500), 31u);
    EXPECT_TRUE(w.sent("set 000003/1 000007"));
}

TEST_F(FlatApi, FailedReadResetsThePipeThenTheDevice) {
    serial_link();
    w.reads.push_back({23, {}});
    uint8_t buffer[4];
    EXPECT_EQ(api.dumpFlash(0, 4, buffer, 500), 23u);
    EXPECT_TRUE(w.sent("pipe in"));
    EXPECT_FALSE(w.sent("reset"));
    w.log.clear();
    w.reads.push_back({23, {}});
    w.pipe_status = 31;
    EXPECT_EQ(api.dumpFlash(0, 4, buffer, 500), 23u);
    EXPECT_TRUE(w.sent("reset"));
    w.reads.push_back({23, {}});
    w.reset_status = 31;
    EXPECT_EQ(api.dumpFlash(0, 4, buffer, 500), 31u);
}

TEST_F(FlatApi, FailedWriteResetsTheOutPipe) {
    serial_link();
    w.write_status = 121;
    uint8_t data[8] = {};
    EXPECT_EQ(api.writeFlash(0, 8, data, 500), 121u);
    EXPECT_TRUE(w.sent("pipe out"));
    EXPECT_FALSE(w.sent("pipe in"));
}

TEST_F(FlatApi, FailedWriteOnADroppedCallReportsRemoval) {
    modem_link();
    w.call_up = false;
    w.write_status = 121;
    uint8_t data[8] = {};
    EXPECT_EQ(api.writeFlash(0, 8, data, 500), 1617u);
    EXPECT_TRUE(w.sent("cancel"));
    EXPECT_FALSE(w.sent("pipe out"));
    EXPECT_FALSE(w.sent("pipe in"));
    w.log.clear();
    w.reads.push_back({121, {}});
    uint8_t buffer[8];
    EXPECT_EQ(api.dumpFlash(0, 8, buffer, 500), 1617u);
    EXPECT_TRUE(w.sent("cancel"));
}

TEST_F(FlatApi, WriteFlashChecksTheAcknowledgement) {
    serial_link();
    uint8_t data[8] = {};
    w.reads.push_back({0, {1, 0, 0}});
    EXPECT_EQ(api.writeFlash(0x10, 8, data, 500), 0u);
    EXPECT_TRUE(w.sent("set 000001/4 000010 000008"));
    EXPECT_TRUE(w.sent("write 8"));
    EXPECT_TRUE(w.sent("read 3"));
    w.reads.push_back({0, {0, 0, 0}});
    EXPECT_EQ(api.writeFlash(0x10, 8, data, 500), 1627u);
    w.reads.push_back({0, {}});
    EXPECT_EQ(api.writeFlash(0x10, 8, data, 500), 13u);
    EXPECT_EQ(api.writeFlash(0x10, 8, nullptr, 500), 87u);
}

TEST_F(FlatApi, PeriodReadInBlocksUntilAShortOne) {
    serial_link();
    std::vector<uint8_t> expected;
    for (int i = 0; i < 3; ++i) {
        auto data = pattern(256, uint8_t(i * 7));
        expected.insert(expected.end(), data.begin(), data.end());
        w.reads.push_back({0, block(1, data)});
    }
    auto last = pattern(100, 0x99);
    expected.insert(expected.end(), last.begin(), last.end());
    w.reads.push_back({0, block(1, last)});
    std::vector<WORD> values(500, 0xAAAA);
    DWORD received = 12345;
    EXPECT_EQ(api.litPeriodeShort(7, 8, 1000, 256, values.data(), &received, 500), 0u);
    EXPECT_TRUE(w.sent("set 000001/5 000007 000008 0003E8 000100"));
    EXPECT_EQ(w.count("read 260"), 4u);
    EXPECT_EQ(received, 868u);
    EXPECT_EQ(memcmp(values.data(), expected.data(), 868), 0);
    EXPECT_EQ(values[434], 0xAAAA);
}

TEST_F(FlatApi, PeriodReadNeverWritesPastTheByteCount) {
    serial_link();
    // Odd block size: each block lands right after the last byte, not on a 16-bit boundary.
    w.reads.push_back({0, block(1, {1, 2, 3})});
    w.reads.push_back({0, block(1, {4, 5, 6})});
    std::vector<WORD> values(4, 0xCCCC);
    DWORD received = 0;
    EXPECT_EQ(api.litPeriodeShort(0, 0, 5, 3, values.data(), &received, 500), 0u);
    EXPECT_EQ(received, 5u);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(values.data());
    const uint8_t want[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(memcmp(bytes, want, 5), 0);
    EXPECT_EQ(bytes[5], 0xCC);
    EXPECT_EQ(values[3], 0xCCCC);
    // A last full block longer than what is left of the byte count.
    w.reads.push_back({0, block(1, pattern(8, 0))});
    w.reads.push_back({0, block(1, pattern(8, 8))});
    std::vector<WORD> small(6, 0xCCCC);
    EXPECT_EQ(api.litPeriodeShort(0, 0, 10, 8, small.data(), &received, 500), 0u);
    EXPECT_EQ(received, 10u);
    EXPECT_EQ(small[5], 0xCCCC);
    EXPECT_EQ(small[4], 0x0908);
}

TEST_F(FlatApi, PeriodReadEdges) {
    serial_link();
    std::vector<WORD> values(8, 0xCCCC);
    DWORD received = 0;
    // Exactly enough: one block that fills the byte count.
    w.reads.push_back({0, block(1, pattern(16, 0))});
    EXPECT_EQ(api.litPeriodeShort(0, 0, 16, 16, values.data(), &received, 500), 0u);
    EXPECT_EQ(received, 16u);
    // One short of its own count.
    auto bad = block(1, pattern(16, 0));
    bad.pop_back();
    w.reads.push_back({0, bad});
    EXPECT_EQ(api.litPeriodeShort(0, 0, 16, 16, values.data(), &received, 500), 13u);
    EXPECT_EQ(received, 0u);
    // Refused.
    w.reads.push_back({0, block(0, pattern(16, 0))});
    EXPECT_EQ(api.litPeriodeShort(0, 0, 16, 16, values.data(), &received, 500), 1627u);
    // Zero bytes or a zero block size: the request alone.
    w.log.clear();
    EXPECT_EQ(api.litPeriodeShort(0, 0, 0, 16, values.data(), &received, 500), 0u);
    EXPECT_EQ(api.litPeriodeShort(0, 0, 16, 0, values.data(), &received, 500), 0u);
    EXPECT_EQ(w.count("read"), 0u);
    EXPECT_EQ(received, 0u);
    // Sizes that cannot be sent in 24 bits or read in one frame.
    EXPECT_EQ(api.litPeriodeShort(0, 0, 0x1000000, 16, values.data(), &received, 500), 87u);
    EXPECT_EQ(api.litPeriodeShort(0, 0, 16, 0xFFFFFFFF, values.data(), &received, 500), 87u);
    EXPECT_EQ(api.litPeriodeShort(0, 0, 16, 16, values.data(), nullptr, 500), 87u);
    EXPECT_EQ(api.litPeriode(0, 0, 16, 16, nullptr, &received, 500), 87u);
}

TEST_F(FlatApi, PeriodReadWidensIntoLongs) {
    serial_link();
    w.reads.push_back({0, block(1, {0x34, 0x12, 0xFF, 0xFF, 0x01, 0x80})});
    w.reads.push_back({0, block(1, {0x07})});
    std::vector<DWORD> values(5, 0xDEADBEEF);
    DWORD received = 0;
    EXPECT_EQ(api.litPeriode(0, 0, 8, 6, values.data(), &received, 500), 0u);
    EXPECT_EQ(received, 7u);
    EXPECT_EQ(values[0], 0x1234u);
    EXPECT_EQ(values[1], 0xFFFFu);
    EXPECT_EQ(values[2], 0x8001u);
    EXPECT_EQ(values[3], 0xDEADBEEFu);  // the odd byte makes no value
    // A failure widens nothing.
    w.reads.push_back({0, block(0, {1, 2})});
    EXPECT_EQ(api.litPeriode(0, 0, 2, 2, values.data(), &received, 500), 1627u);
    EXPECT_EQ(values[0], 0x1234u);
}

TEST_F(FlatApi, MeasurementBlock) {
    serial_link();
    std::vector<WORD> values(100, 0xCCCC);
    DWORD count = 77;
    w.reads.push_back({0, block(1, {1, 0, 2, 0, 3})});
    EXPECT_EQ(api.getMesure(values.data(), &count), 0u);
    EXPECT_TRUE(w.sent("read 200"));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(values[0], 1);
    EXPECT_EQ(values[1], 2);
    EXPECT_EQ(values[2], 0xCCCC);
    // Refused: nothing touched.
    count = 77;
    w.reads.push_back({0, block(0, {9, 9})});
    EXPECT_EQ(api.getMesure(values.data(), &count), 1627u);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(values[0], 1);
    // Fewer than 4 bytes: a count of 0, never a wrapped one.
    w.reads.push_back({0, {1, 0, 2}});
    EXPECT_EQ(api.getMesure(values.data(), &count), 13u);
    EXPECT_EQ(count, 0u);
    // Longer than its count says.
    auto longer = block(1, {1, 2});
    longer.push_back(3);
    w.reads.push_back({0, longer});
    EXPECT_EQ(api.getMesure(values.data(), &count), 13u);
    EXPECT_EQ(count, 3u);
    // The fullest block: 196 bytes, 98 values.
    w.reads.push_back({0, block(1, pattern(196, 0))});
    EXPECT_EQ(api.getMesure(values.data(), &count), 0u);
    EXPECT_EQ(count, 98u);
    EXPECT_EQ(values[98], 0xCCCC);
    EXPECT_EQ(api.getMesure(nullptr, &count), 87u);
}

TEST_F(FlatApi, BulkDataEdges) {
    serial_link();
    std::vector<uint8_t> buffer(65, 0xCC);
    DWORD received = 9;
    w.reads.push_back({0, pattern(64, 0)});
    EXPECT_EQ(api.getDataOnBulkShort(buffer.data(), 64, &received, 500), 0u);
    EXPECT_EQ(received, 64u);
    EXPECT_EQ(buffer[63], 63);
    EXPECT_EQ(buffer[64], 0xCC);
    w.reads.push_back({0, pattern(63, 100)});
    EXPECT_EQ(api.getDataOnBulkShort(buffer.data(), 64, &received, 500), 0u);
    EXPECT_EQ(received, 63u);
    EXPECT_EQ(buffer[62], 162);
    EXPECT_EQ(buffer[63], 63);
    w.reads.push_back({0, {}});
    EXPECT_EQ(api.getDataOnBulkShort(buffer.data(), 0, &received, 500), 0u);
    EXPECT_EQ(received, 0u);
    w.reads.push_back({23, pattern(10, 0)});
    EXPECT_EQ(api.getDataOnBulkShort(buffer.data(), 64, &received, 500), 23u);
    EXPECT_EQ(received, 0u);
    std::vector<DWORD> longs(3, 0xDEADBEEF);
    w.reads.push_back({0, {1, 0, 2, 0, 3}});
    EXPECT_EQ(api.getDataOnBulk(longs.data(), 6, &received, 500), 0u);
    EXPECT_EQ(received, 5u);
    EXPECT_EQ(longs[0], 1u);
    EXPECT_EQ(longs[1], 2u);
    EXPECT_EQ(longs[2], 0xDEADBEEFu);
    EXPECT_EQ(api.getDataOnBulk(longs.data(), 0x1000000, &received, 500), 87u);
}

TEST_F(FlatApi, ConfigurationRoundTrip) {
    serial_link();
    const WORD values[8] = {1, 2, 3, 4, 5, 6, 7, 0xFFFF};
    uint8_t t1[18], t2[18];
    for (int i = 0; i < 18; ++i) {
        t1[i] = uint8_t(i);
        t2[i] = uint8_t(0xF0 - i);
    }
    ASSERT_EQ(api.setConfigProg(values, 0x12345678, 0xBEEF, t1, t2, 500), 0u);
    ASSERT_EQ(w.log.size(), 1u);
    const std::string &sent = w.log[0];
    EXPECT_EQ(sent.substr(0, 53), "set 000002/2 000001 000002 000003 000004 000005 00000");
    EXPECT_NE(sent.find("00FFFF 345678 000012 0000EF 0000BE 020100"), std::string::npos) << sent;
    // The instrument answers what it was sent.
    fake::control_reply reply;
    std::string rest = sent.substr(13);
    for (size_t pos = 0; pos < rest.size(); pos += 7)
        reply.words.push_back(std::stoul(rest.substr(pos, 6), nullptr, 16));
    ASSERT_EQ(reply.words.size(), 24u);
    w.controls.push_back(reply);
    WORD back[8] = {};
    DWORD v32 = 0, v16 = 0;
    uint8_t b1[19], b2[19];
    memset(b1, 0xCC, sizeof b1);
    memset(b2, 0xCC, sizeof b2);
    ASSERT_EQ(api.getConfig(back, &v32, &v16, b1, b2, 500), 0u);
    EXPECT_TRUE(w.sent("get 000002/3 n=24"));
    EXPECT_EQ(memcmp(back, values, sizeof values), 0);
    EXPECT_EQ(v32, 0x12345678u);
    EXPECT_EQ(v16, 0xBEEFu);
    EXPECT_EQ(memcmp(b1, t1, 18), 0);
    EXPECT_EQ(memcmp(b2, t2, 18), 0);
    EXPECT_EQ(b1[18], 0xCC);
    EXPECT_EQ(b2[18], 0xCC);
    EXPECT_EQ(api.setConfigNormal(values, 0x80000000u, 0x0102, 500), 0u);
    EXPECT_TRUE(
        w.sent("set 000002/1 000001 000002 000003 000004 000005 000006 000007 00FFFF 000000 FFFF80 000002 000001"));
}

TEST_F(FlatApi, ShortRepliesFailTheWordCountAfterAReset) {
    serial_link();
    DWORD s[5] = {};
    w.controls.push_back({0, -1, {1, 2, 3, 4}});
    EXPECT_EQ(api.getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], 500), 13u);
    EXPECT_TRUE(w.sent("reset"));
    w.controls.push_back({0, -1, {1, 2, 3, 4}});
    w.reset_status = 31;
    EXPECT_EQ(api.getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], 500), 31u);
    w.reset_status = 0;
    w.controls.push_back({0, -1, {0x10, 0xFFFFFF, 3, 4, 5}});
    EXPECT_EQ(api.getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], 500), 0u);
    EXPECT_EQ(s[0], 0x10u);
    EXPECT_EQ(s[1], 0xFFFFFFu);
    EXPECT_EQ(s[4], 5u);
    EXPECT_EQ(api.getEtat(&s[0], &s[1], nullptr, &s[3], &s[4], 500), 87u);
}

TEST_F(FlatApi, MemoryAccess) {
    serial_link();
    std::vector<DWORD> values(6, 0xDEADBEEF);
    w.controls.push_back({0, -1, {1, 2, 3, 0xABCDEF}});
    EXPECT_EQ(api.memoryRead(0, 2, 0x55, 4, values.data(), 500), 0u);
    EXPECT_TRUE(w.sent("get 010031/85 n=4"));
    EXPECT_EQ(values[3], 0xABCDEFu);
    EXPECT_EQ(values[4], 0xDEADBEEFu);
    // A reply shorter than its header never passes for a huge count.
    w.controls.push_back({0, 4, {}});
    EXPECT_EQ(api.memoryRead(0, 2, 0, 4, values.data(), 500), 13u);
    EXPECT_EQ(api.memoryRead(0, 2, 0, 0, values.data(), 500), 87u);
    EXPECT_EQ(api.memoryRead(0, 2, 0, 129, values.data(), 500), 87u);
    EXPECT_EQ(api.memoryPageSelect(0, 2, 3, 500), 0u);
    EXPECT_TRUE(w.sent("cmd 010030/3"));
    const DWORD out[2] = {0x11223344, 5};
    EXPECT_EQ(api.memoryWrite(1, 0, 0, 2, out, 500), 0u);
    EXPECT_TRUE(w.sent("set 010112/0 223344 000005"));
    w.controls.push_back({0, 11, {}});
    EXPECT_EQ(api.memoryWrite(1, 0, 0, 2, out, 500), 13u);
    w.controls.push_back({0, 3, {}});
    EXPECT_EQ(api.memoryWrite(1, 0, 0, 2, out, 500), 13u);
    // A transport that reports no bytes for a request without output (the USB driver).
    w.controls.push_back({0, 0, {}});
    EXPECT_EQ(api.memoryWrite(1, 0, 0, 2, out, 500), 0u);
}

TEST_F(FlatApi, EraseStillPendingIsNotSuccess) {
    serial_link();
    w.controls.push_back({997});
    EXPECT_EQ(api.effacePeriode(1, 2, 500), 997u);
    EXPECT_TRUE(w.sent("set 000001/6 000001 000002"));
    EXPECT_FALSE(w.sent("reset"));
    w.controls.push_back({996});
    EXPECT_EQ(api.effacePeriode(1, 2, 500), 996u);
    w.controls.push_back({121});
    w.reset_status = 31;
    EXPECT_EQ(api.effacePeriode(1, 2, 500), 121u);
    EXPECT_TRUE(w.sent("reset"));
    EXPECT_EQ(api.effacePeriode(1, 2, 500), 0u);
}

TEST_F(FlatApi, CommandsAndDspReset) {
    serial_link();
    EXPECT_EQ(api.demandeInfoPeriode(500), 0u);
    EXPECT_EQ(api.stopMesure(500), 0u);
    EXPECT_EQ(api.startCalibrage(0x1234567, 500), 0u);
    EXPECT_EQ(api.resetDsp(2, 500), 0u);
    const std::vector<std::string> want = {"cmd 000001/2", "cmd 000003/3", "set 000003/2 234567", "mode 1",
                                           "cmd 010203/0"};
    EXPECT_EQ(w.log, want);
    w.log.clear();
    w.mode_status = 1617;
    EXPECT_EQ(api.resetDsp(2, 500), 1617u);
    EXPECT_EQ(w.count("cmd"), 0u);
}

}  // namespace
