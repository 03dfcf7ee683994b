// The same engines over a real pseudo-terminal opened with termios, the instrument on its master side.
#include <gtest/gtest.h>

#include <simdev/faults.h>
#include <standin/clock.h>

#include <array>

#include "rig.h"
#include "zephtest/wait.h"

using namespace lintra;
using namespace lintra_test;
using simdev::line_dir;
using simdev::line_fault;

namespace {

struct Pty : ::testing::Test {
    void SetUp() override { standin::clock::set_long_wait_scale(0.01); }
    void TearDown() override { standin::clock::reset(); }
};

}  // namespace

// A generous port time-out where no case waits for it: a loaded machine can be slow to deliver.
constexpr DWORD port_timeout_ms = 2000;

TEST_F(Pty, BringUpAndFramingOverAPseudoTerminal) {
    PtyLine line(port_timeout_ms);
    ASSERT_TRUE(line.bring_up());
    EXPECT_EQ(line.model->address(), 1);
    EXPECT_EQ(line.device->stats().resync_bytes, 129u);
    for (size_t n : {1023u, 1024u, 1025u, 2048u}) {
        line.model->queue_bulk_message(pattern(n, std::uint32_t(n)));
        DWORD status = 0;
        auto got = read_message(*line.emulation, &status);
        ASSERT_TRUE(got) << n << " status " << status;
        EXPECT_EQ(*got, pattern(n, std::uint32_t(n))) << n;
    }
    for (size_t n : {59u, 60u, 61u, 120u}) {
        ASSERT_TRUE(write_message(*line.emulation, pattern(n, std::uint32_t(n)))) << n;
        auto received = line.model->take_received_messages();
        ASSERT_EQ(received.size(), 1u) << n;
        EXPECT_EQ(received[0], pattern(n, std::uint32_t(n))) << n;
    }
}

TEST_F(Pty, NoiseBothWaysIsRepaired) {
    PtyLine line;
    ASSERT_TRUE(line.bring_up());
    line.model->faults().line_at(line_dir::to_host, line_fault::corrupt, 8 + 3 + 500);
    line.model->queue_bulk_message(pattern(2000, 1));
    auto got = read_message(*line.emulation);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, pattern(2000, 1));
    line.model->faults().line_at(line_dir::to_device, line_fault::corrupt, 5);
    ASSERT_TRUE(write_message(*line.emulation, pattern(100, 2)));
    auto received = line.model->take_received_messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], pattern(100, 2));
    EXPECT_EQ(line.model->faults().injected().corrupted, 2u);
}

TEST_F(Pty, StopEndsAReadTheDeviceNeverAnswers) {
    PtyLine line(600000);
    ASSERT_TRUE(line.bring_up());
    const auto ins = line.device->stats().ins;
    line.model->faults().silence(0x81, 1000);
    BYTE header[3];
    Recorder rec;
    line.emulation->bulk_in()->set_callback(Recorder::callback);
    line.emulation->bulk_in()->queue(kind_in, header, 3, &rec, false, true);
    ASSERT_TRUE(zephtest::wait_until([&] { return line.device->stats().ins != ins; }));
    // The port's read time-out is about a second: stop while the host waits in a read for the answer.
    ASSERT_TRUE(zephtest::wait_until([&] { return line.port->counters.reads_in_progress.load() > 0; }));
    line.emulation->stop(true);
    EXPECT_FALSE(line.emulation->is_running());
    EXPECT_GE(line.port->counters.reads_ended_by_disable.load(), 1u);
    ASSERT_TRUE(rec.wait(1));
    EXPECT_EQ(rec.at(0).status, DWORD(result_aborted));
    line.model->faults().clear();
    ASSERT_TRUE(line.emulation->bring_up(1));
    line.model->raise_event(0x0077);
    std::array<BYTE, 64> record{};
    Transfer t = run_transfer(line.emulation->interrupt(), kind_in, record.data(), 64, true);
    ASSERT_TRUE(t.completed);
    EXPECT_EQ(record[1], 0x77);
}
