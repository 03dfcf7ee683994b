// A machine without TAPI32: the modem layer fails its calls and remembers the missing library for
// the life of the process (this executable, because that memory is process-wide).
#include <gtest/gtest.h>
#include <windows.h>

#include <standin/debug.h>

#include <cstdlib>

#include "tavobridge/TapiComPort.h"
#include "tavobridge/TapiSession.h"

TEST(NoTapi, PlaceCallFailsAndTheLibraryIsNotTriedAgain) {
    setenv("ZEPH_ABSENT_LIBRARIES", "tapi32", 1);
    standin::debug::clear();
    {
        TapiSession s;
        s.set_phone_number("1");
        EXPECT_FALSE(s.InitializeTapi());
        EXPECT_FALSE(s.PlaceCall());
        std::vector<std::string> names;
        std::vector<DWORD> ids;
        EXPECT_TRUE(s.enumerate_line_devices(names, ids));
        EXPECT_TRUE(names.empty());
    }
    EXPECT_NE(standin::debug::text().find("lineInitialize unhandled error: 80000049\n"), std::string::npos);
    // The library is there again, but the layer does not look a second time.
    unsetenv("ZEPH_ABSENT_LIBRARIES");
    ASSERT_NE(LoadLibraryA("TAPI32.DLL"), nullptr);
    TapiComPort port(0, nullptr, 0, 0, "1", 100, nullptr, false, 0);
    EXPECT_FALSE(port.open());
    EXPECT_FALSE(port.is_connected());
}
