// The continuous read stream: order, counts, failures, stops with reads in flight.
#include <gtest/gtest.h>

#include "fixture.h"
#include "zephtest/wait.h"

namespace morvex_test {
namespace {

using zephtest::wait_until;

struct receiver : morvex::zeph_stream_receiver {
    void completed(DWORD status, const ostrel::mem_block& buffer, uint32_t bytes) override {
        std::lock_guard<std::mutex> g(m);
        statuses.push_back(status);
        words.push_back(status == 0 && bytes >= 3 ? fake_instrument::first_word(buffer) : 0xFFFFFFFF);
        sizes.push_back(bytes);
        if (status != 0 && buffer.empty()) ++ends;
        if (hook) hook();
    }
    size_t count() {
        std::lock_guard<std::mutex> g(m);
        return statuses.size();
    }
    std::mutex m;
    std::vector<DWORD> statuses;
    std::vector<uint32_t> words;
    std::vector<uint32_t> sizes;
    std::function<void()> hook;
    std::atomic<int> ends{0};
};

class StreamTest : public InstrumentTest {
protected:
    void SetUp() override {
        InstrumentTest::SetUp();
        ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
        rx.reset(new receiver());
        session.stream().client().set(rx);
    }
    void TearDown() override {
        session.stream().stop();
        session.stream().client().reset();
        InstrumentTest::TearDown();
    }
    receiver& r() { return *rx; }
    // An observer's three reads and the stream's fifty left pending at the fake.
    void start_with_reads_in_flight(recorder& observer) {
        device->reads_pending = true;
        session.add_observer(&observer);
        ASSERT_TRUE(wait_until([&] { return device->notification_reads() == 3; }));
        ASSERT_TRUE(session.stream().start(64, -1));
        ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
    }
    w32cpp::auto_handle<receiver> rx;
};

// A finite count delivers exactly that many reads, in order, then the stream ends by itself.
TEST_F(StreamTest, LongStreamArrivesInOrderWithNothingLost) {
    ASSERT_TRUE(session.stream().start(256, 5000));
    ASSERT_TRUE(wait_until([&] { return r().count() == 5000; }));
    ASSERT_TRUE(session.stream().stop());
    ASSERT_EQ(r().count(), 5000u);
    for (uint32_t i = 0; i < 5000; ++i) {
        ASSERT_EQ(r().statuses[i], 0u);
        ASSERT_EQ(r().words[i], i) << "read " << i;
        ASSERT_EQ(r().sizes[i], 256u);
    }
}

TEST_F(StreamTest, CountOfOneEnds) {
    ASSERT_TRUE(session.stream().start(64, 1));
    ASSERT_TRUE(wait_until([&] { return r().count() == 1; }));
    // Ended by itself: a new start runs a new stream.
    ASSERT_TRUE(wait_until([&] { return session.stream().start(64, 2); }));
    ASSERT_TRUE(wait_until([&] { return r().count() == 3; }));
    EXPECT_EQ(r().words, (std::vector<uint32_t>{0, 1, 2}));
}

TEST_F(StreamTest, ResultsAreDeliveredInPostingOrder) {
    device->reads_pending = true;
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
    auto reads = device->pending_reads();
    // Later reads complete first; nothing reaches the client before the oldest.
    for (int i = 9; i >= 1; --i) device->complete_read(reads[i]);
    Sleep(20);
    EXPECT_EQ(r().count(), 0u);
    device->complete_read(reads[0]);
    ASSERT_TRUE(wait_until([&] { return r().count() == 10; }));
    // The pattern counter follows completion order; delivery follows posting order.
    EXPECT_EQ(r().words[0], 9u);
    EXPECT_EQ(r().words[1], 8u);
    EXPECT_EQ(r().words[9], 0u);
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
}

TEST_F(StreamTest, StopCancelsReadsInFlightAndTheNextStreamGetsFreshOnes) {
    device->reads_pending = true;
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
    ASSERT_TRUE(session.stream().stop());
    EXPECT_TRUE(device->pending_reads().empty());
    EXPECT_EQ(r().count(), 0u);  // cancelled reads are not reported
    ASSERT_TRUE(session.stream().start(64, 3));
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 3; }));
    for (auto& read : device->pending_reads()) device->complete_read(read);
    ASSERT_TRUE(wait_until([&] { return r().count() == 3; }));
}

// Every read failing: each failure is reported, no end notice follows, and the stream idles without
// reads until it is stopped. Reads posted before the first failure was taken fail as well.
// Fails every pending read with status until the stream posts no more; returns how many it failed.
size_t fail_all(fake_instrument& device, DWORD status) {
    size_t failed = 0;
    EXPECT_TRUE(wait_until([&] {
        for (auto& read : device.pending_reads()) {
            device.complete_read(read, status);
            ++failed;
        }
        // The reads posted before the first failure was taken come too; then none.
        Sleep(50);
        return device.pending_reads().empty();
    }));
    return failed;
}

// The stream idles: a start keeps it as it is and posts nothing; a stop and a start run anew.
void expect_idle_until_stopped(morvex::zeph_session& session, fake_instrument& device, receiver& r) {
    const size_t seen = r.count();
    EXPECT_TRUE(session.stream().start(64, 1));
    Sleep(50);
    EXPECT_TRUE(device.pending_reads().empty());
    EXPECT_EQ(r.count(), seen);
    EXPECT_EQ(r.ends.load(), 0);
    ASSERT_TRUE(session.stream().stop());
    ASSERT_TRUE(session.stream().start(64, 1));
    ASSERT_TRUE(wait_until([&] { return device.pending_reads().size() == 1; }));
}

TEST_F(StreamTest, EveryReadFailingLeavesTheStreamIdleWithoutANotice) {
    device->reads_pending = true;
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
    const size_t failed = fail_all(*device, ERROR_CRC);
    ASSERT_GE(failed, 50u);
    ASSERT_TRUE(wait_until([&] { return r().count() == failed; }));
    {
        std::lock_guard<std::mutex> g(r().m);
        for (DWORD s : r().statuses) EXPECT_EQ(s, DWORD(ERROR_CRC));
        for (uint32_t size : r().sizes) EXPECT_EQ(size, 0u);
    }
    expect_idle_until_stopped(session, *device, r());
}

TEST_F(StreamTest, CancelledReadsAloneLeaveTheStreamIdle) {
    device->reads_pending = true;
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
    ASSERT_GE(fail_all(*device, ERROR_OPERATION_ABORTED), 50u);
    // Cancelled reads are not reported, and nothing else is either.
    expect_idle_until_stopped(session, *device, r());
    EXPECT_EQ(r().count(), 0u);
}

TEST_F(StreamTest, RemovalEndsTheStreamQuietly) {
    device->reads_pending = true;
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
    device->remove("inst1");
    ASSERT_TRUE(wait_until([&] { return session.stream().start(64, 1) && r().count() == 0; }));
    EXPECT_EQ(r().count(), 0u);
}

TEST_F(StreamTest, IdleModeStopsTheStream) {
    device->reads_pending = true;
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
    ASSERT_EQ(session.set_mode(0, 0, 0).get_code(), 0u);
    EXPECT_TRUE(device->pending_reads().empty());
}

// A failed idle request leaves the instrument running: the stream goes on with what it had left.
TEST_F(StreamTest, FailedIdleRequestResumesTheStream) {
    device->reads_pending = true;
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
    device->fail_code = zeph_wire::IOCTL_SELECT_MODE;
    EXPECT_NE(session.set_mode(0, 0, 0).get_code(), 0u);
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
    device->complete_read(device->pending_reads()[0]);
    ASSERT_TRUE(wait_until([&] { return r().count() == 1; }));
}

TEST_F(StreamTest, StartWithoutReadsIdlesUntilStopped) {
    ASSERT_TRUE(session.stream().start(0, 10));
    Sleep(20);
    EXPECT_EQ(r().count(), 0u);
    EXPECT_TRUE(session.stream().stop());
    ASSERT_TRUE(session.stream().start(4096, 0));
    Sleep(20);
    EXPECT_EQ(r().count(), 0u);
    EXPECT_TRUE(session.stream().stop());
}

TEST_F(StreamTest, StartOnARunningStreamKeepsIt) {
    device->reads_pending = true;
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
    EXPECT_TRUE(session.stream().start(128, 2));
    device->complete_read(device->pending_reads()[0]);
    ASSERT_TRUE(wait_until([&] { return r().count() == 1 && device->pending_reads().size() == 50; }));
    EXPECT_EQ(r().sizes[0], 64u);
}

// The receiver may stop the stream or select idle mode from its own thread.
TEST_F(StreamTest, ReceiverMayStopItsOwnStream) {
    r().hook = [&] { session.stream().stop(); };
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([&] { return r().count() >= 1; }));
    Sleep(50);
    const size_t seen = r().count();
    Sleep(50);
    EXPECT_EQ(r().count(), seen);
}

TEST_F(StreamTest, ReceiverMaySelectIdleMode) {
    r().hook = [&] { session.set_mode(0, 0, 0); };
    ASSERT_TRUE(session.stream().start(64, -1));
    ASSERT_TRUE(wait_until([&] { return device->mode() == 0; }));
    Sleep(50);
    const size_t seen = r().count();
    Sleep(50);
    EXPECT_EQ(r().count(), seen);
}

// The last observer leaves while the stream runs: the scheduler stops and takes back its own
// reads, the stream keeps its own; an observer coming back loses no record.
TEST_F(StreamTest, LastObserverLeavingStopsTheSchedulerAndKeepsTheStream) {
    recorder observer(0, true);
    ASSERT_NO_FATAL_FAILURE(start_with_reads_in_flight(observer));
    session.remove_observer(&observer);
    EXPECT_EQ(device->notification_reads(), 0u);
    EXPECT_EQ(device->pending_reads().size(), 50u);
    recorder again(0, true);
    session.add_observer(&again);
    ASSERT_TRUE(wait_until([&] { return device->notification_reads() == 3; }));
    ASSERT_TRUE(device->fire(0x0040));
    ASSERT_TRUE(wait_until([&] { return again.events() == 1; }));
    device->complete_read(device->pending_reads()[0]);
    ASSERT_TRUE(wait_until([&] { return r().count() == 1; }));
    session.remove_observer(&again);
    EXPECT_EQ(device->notification_reads(), 0u);
    ASSERT_TRUE(session.stream().stop());
    std::lock_guard<std::mutex> g(r().m);
    EXPECT_EQ(r().statuses, (std::vector<DWORD>{0}));
}

// Closing the session with the stream's and the scheduler's reads in flight ends every one of them
// on the way (closing the handle cancels them); none is handed out as data. A read left pending
// would be kept by the device manager for good.
TEST_F(StreamTest, ClosingWithReadsInFlightLeavesNothingPending) {
    recorder observer(0, true);
    ASSERT_NO_FATAL_FAILURE(start_with_reads_in_flight(observer));
    std::vector<request_handle> reads = device->pending_reads();
    session.on_device_removed();
    EXPECT_EQ(device->notification_reads(), 0u);
    EXPECT_TRUE(device->pending_reads().empty());
    for (auto& read : reads) EXPECT_TRUE(read->done());
    std::lock_guard<std::mutex> g(r().m);
    for (DWORD status : r().statuses) EXPECT_NE(status, 0u);
    session.remove_observer(&observer);
}

struct pool_source : morvex::zeph_stream_source {
    explicit pool_source(morvex::zeph_session& s) : session(s) {}
    void supply(ostrel::mem_block& buffer, uint32_t size) override {
        ++supplied;
        buffer = session.allocate(size, true);
    }
    morvex::zeph_session& session;
    std::atomic<int> supplied{0};
};

TEST_F(StreamTest, BuffersComeFromTheSourceWhenOneIsSet) {
    w32cpp::auto_handle<pool_source> src(new pool_source(session));
    session.stream().source().set(src);
    ASSERT_TRUE(session.stream().start(32, 20));
    ASSERT_TRUE(wait_until([&] { return r().count() == 20; }));
    EXPECT_EQ(src->supplied.load(), 20);
    session.stream().source().reset();
}

}  // namespace
}  // namespace morvex_test
