// The older build in a process of its own: morvex71 binds the older siblings only.
#include <gtest/gtest.h>

#include "fixture.h"
#include "zephtest/wait.h"

namespace morvex_test {
namespace {

TEST_F(InstrumentTest, OlderBuildBindsTheOlderSiblings) {
    EXPECT_NE(GetModuleHandleA("morvex71"), nullptr);
    EXPECT_NE(GetModuleHandleA("karnet71"), nullptr);
    EXPECT_NE(GetModuleHandleA("ostrel"), nullptr);
    // Buffers come through the older heap library.
    ostrel::mem_block b = api->allocate(64, false);
    EXPECT_FALSE(b.empty());
    for (const char* current : {"morvex8", "morvex", "karnet8", "ostrel8", "quillon8", "lintra8"})
        EXPECT_EQ(GetModuleHandleA(current), nullptr) << current;
    karnet::karnet_lib dm;  // this test's model binds "karnet71"
    EXPECT_EQ(api->device_manager().get(), dm.get());
}

TEST_F(InstrumentTest, OlderBuildNotifiesAndStreams) {
    ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    recorder r(0, true);
    session.add_observer(&r);
    ASSERT_TRUE(zephtest::wait_until([&] { return device->notification_reads() == 3; }));
    ASSERT_TRUE(device->fire(0x0021));
    ASSERT_TRUE(zephtest::wait_until([&] { return r.events() == 1; }));
    session.remove_observer(&r);

    struct count_rx : morvex::zeph_stream_receiver {
        void completed(DWORD status, const ostrel::mem_block& buffer, uint32_t) override {
            if (status == 0 && fake_instrument::first_word(buffer) == next) ++next;
        }
        std::atomic<uint32_t> next{0};
    };
    w32cpp::auto_handle<count_rx> rx(new count_rx());
    session.stream().client().set(rx);
    ASSERT_TRUE(session.stream().start(128, 300));
    ASSERT_TRUE(zephtest::wait_until([&] { return rx->next.load() == 300; }));
    session.stream().stop();
    session.stream().client().reset();
}

}  // namespace
}  // namespace morvex_test
