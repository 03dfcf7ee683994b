// The TAVO_ exports over a dialled modem call: the telephony stand-in's simulated modem, whose call
// reaches the simulated instrument's serial face.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

#include <simdev/instrument.h>
#include <simdev/modem.h>
#include <standin/clock.h>
#include "tavo_functions.h"
#include <tavobridge/tavo.h>

namespace {

using tavo_test::tavo_functions;

constexpr DWORD timeout = 4000;

class FlatModem : public ::testing::Test {
protected:
    void SetUp() override {
        // The modem layer's long waits and the serial transport's stop run scaled.
        standin::clock::set_long_wait_scale(0.01);
        simdev::clear_line_devices();
        model = std::make_shared<simdev::instrument>();
        simdev::modem_config other;
        other.name = "Other Modem";
        simdev::add_line_device(std::make_shared<simdev::modem>(model, other));
        modem = std::make_shared<simdev::modem>(model, simdev::modem_config{});
        simdev::add_line_device(modem);
        // Loaded once and kept, as a Visual Basic program keeps it: the modem layer's session
        // registry lives as long as the process.
        static HMODULE module = LoadLibraryA("tavobridge");
        ASSERT_TRUE(module);
        ASSERT_TRUE(f.load(module));
        loaded = true;
    }
    void TearDown() override {
        if (loaded) f.TAVO_closeComm();
        simdev::clear_line_devices();
        standin::clock::set_long_wait_scale(1.0);
    }
    DWORD state(DWORD *blocks = nullptr) {
        DWORD s[5] = {};
        DWORD status = f.TAVO_getEtat(&s[0], &s[1], &s[2], &s[3], &s[4], timeout);
        if (blocks) *blocks = s[1];
        return status;
    }

    std::shared_ptr<simdev::instrument> model;
    std::shared_ptr<simdev::modem> modem;
    bool loaded = false;
    tavo_functions f;
};

TEST_F(FlatModem, UnknownModemName) {
    EXPECT_EQ(f.TAVO_initModemComm(timeout, "No Such Modem", "0123", 1, 3), 31u);
    EXPECT_EQ(modem->calls_connected(), 0u);
    EXPECT_EQ(state(), 21u);
}

TEST_F(FlatModem, CallIdentifyMeasureAndHangUp) {
    ASSERT_EQ(f.TAVO_initModemComm(timeout, "Zeph Simulated Modem", "0123", 1, 3), 0u);
    EXPECT_EQ(modem->calls_connected(), 1u);
    EXPECT_EQ(modem->applied_config(), simdev::modem_config::default_config());
    DWORD version = 0, number = 0;
    char name[21];
    ASSERT_EQ(f.TAVO_getTavoIdent(&version, &number, name, 0), 0u);
    EXPECT_STREQ(name, "Zeph Instrument");
    ASSERT_EQ(f.TAVO_startMesure(5, timeout), 0u);
    for (int b = 0; b < 5; ++b) {
        WORD values[98];
        DWORD count = 0;
        ASSERT_EQ(f.TAVO_getMesure(values, &count, 0), 0u);
        ASSERT_EQ(count, 98u);
        const BYTE *bytes = reinterpret_cast<const BYTE *>(values);
        for (int i = 0; i < 196; ++i) ASSERT_EQ(bytes[i], simdev::pattern_byte(0x4D000000, b * 196 + i));
    }
    // While the call is up a second set-up changes nothing.
    EXPECT_EQ(f.TAVO_initModemComm(timeout, "Zeph Simulated Modem", "0123", 1, 3), 0u);
    EXPECT_EQ(modem->calls_connected(), 1u);
    // The close hangs up: no call is left to drop.
    ASSERT_EQ(f.TAVO_closeComm(), 0u);
    EXPECT_FALSE(modem->drop_call());
    EXPECT_EQ(state(), 21u);
}

TEST_F(FlatModem, DroppedCallIsReportedThenRedialled) {
    ASSERT_EQ(f.TAVO_initModemComm(timeout, "Zeph Simulated Modem", "0123", 1, 3), 0u);
    ASSERT_EQ(state(), 0u);
    // The worker's own redial rings for longer than the read below waits, so the read's link check
    // finds the call down.
    modem->set_connect_delay_ms(1000);
    ASSERT_TRUE(modem->drop_call());
    // A bulk read on the dead line reports the removal.
    WORD values[98];
    DWORD count = 0;
    EXPECT_EQ(f.TAVO_getMesure(values, &count, 0), 1617u);
    modem->set_connect_delay_ms(20);
    // The set-up again re-places the call and opens the instrument anew.
    ASSERT_EQ(f.TAVO_initModemComm(timeout, "Zeph Simulated Modem", "0123", 1, 3), 0u);
    EXPECT_GE(modem->calls_connected(), 2u);
    EXPECT_EQ(state(), 0u);
}

}  // namespace
