// The instrument API over a transport built with the shared table alone (no per-request cancel): its
// stops take their reads back through the table's cancel, and no call reaches past the table.
#include <gtest/gtest.h>

#include "fixture.h"
#include "plain_transport/plain_transport.h"
#include "zephtest/wait.h"

namespace morvex_test {
namespace {

using zephtest::wait_until;

TEST(PlainTransport, StopsTakeTheirReadsBackThroughTheTablesCancel) {
    api_lib api;
    ASSERT_TRUE(api);
    karnet::protocol_handle holder;
    plain_transport_plug(&holder);
    morvex::zeph_session session = open_first(*api.get());
    ASSERT_TRUE(session.is_open());
    // An active mode runs the scheduler: three notification reads.
    ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    ASSERT_TRUE(wait_until([] { return plain_transport_pending() == 3; }));

    // The stream's fifty go with its stop; the table's cancel takes the scheduler's too, which reads
    // past them and posts again.
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([] { return plain_transport_pending() == 53; }));
    int cancels = plain_transport_cancels();
    EXPECT_TRUE(session.stream().stop());
    EXPECT_GT(plain_transport_cancels(), cancels);
    EXPECT_TRUE(wait_until([] { return plain_transport_pending() == 3; }));

    // The last observer's removal stops the scheduler.
    recorder observer(0, true);
    session.add_observer(&observer);
    cancels = plain_transport_cancels();
    session.remove_observer(&observer);
    EXPECT_EQ(plain_transport_pending(), 0u);
    EXPECT_GT(plain_transport_cancels(), cancels);

    session.on_device_removed();
    plain_transport_unplug();
}

}  // namespace
}  // namespace morvex_test
