// The emulation worker and the interrupt timer: stop and address changes while an exchange hangs,
// during bring-up and from two threads at once; each line's own interrupt poll; restarts.
#include <gtest/gtest.h>

#include <standin/clock.h>

#include <array>
#include <thread>

#include "rig.h"
#include "zephtest/wait.h"

using namespace lintra;
using namespace lintra_test;

namespace {

// The 5000 ms interrupt period (and the other long waits) run a hundred times faster.
struct Emulation : ::testing::Test {
    void SetUp() override { standin::clock::set_long_wait_scale(0.01); }
    void TearDown() override { standin::clock::reset(); }
};

constexpr DWORD never = 600000;  // a port time-out no test waits for

// The device has answered the token whose reply the held read waits for, so no late answer can
// reach a bring-up that follows (a late NAK would end its SETUP).
void wait_answered(MemoryLine& line, std::uint64_t naks_before) {
    ASSERT_TRUE(zephtest::wait_until([&] { return line.device->stats().naks_sent != naks_before; }));
}

}  // namespace

TEST_F(Emulation, StopEndsAnExchangeBlockedInAPortRead) {
    MemoryLine line("MEM1", never);
    ASSERT_TRUE(line.bring_up());
    line.port->hold_reads(true);
    BYTE header[3];
    Recorder rec;
    const auto naks = line.device->stats().naks_sent;
    line.emulation->bulk_in()->set_callback(Recorder::callback);
    line.emulation->bulk_in()->queue(kind_in, header, 3, &rec, false, true);
    ASSERT_TRUE(line.port->wait_read_held(10000));
    wait_answered(line, naks);
    line.emulation->stop(true);
    EXPECT_FALSE(line.emulation->is_running());
    EXPECT_GE(line.port->counters.reads_ended_by_disable.load(), 1u);
    ASSERT_TRUE(rec.wait(1));
    EXPECT_EQ(rec.at(0).status, DWORD(result_aborted));
    // The line comes back and works.
    line.port->hold_reads(false);
    ASSERT_TRUE(line.emulation->bring_up(1));
    line.model->queue_bulk_message(pattern(40, 1));
    DWORD status = 0;
    auto got = read_message(*line.emulation, &status);
    ASSERT_TRUE(got) << status;
    EXPECT_EQ(*got, pattern(40, 1));
}

TEST_F(Emulation, TwoStopsAtOnceBothWaitForTheWorker) {
    MemoryLine line("MEM1", never);
    ASSERT_TRUE(line.bring_up());
    line.port->hold_reads(true);
    BYTE header[3];
    Recorder rec;
    line.emulation->bulk_in()->set_callback(Recorder::callback);
    line.emulation->bulk_in()->queue(kind_in, header, 3, &rec, false, true);
    ASSERT_TRUE(line.port->wait_read_held(10000));
    std::atomic<int> returned_while_running{0};
    auto stopper = [&] {
        line.emulation->stop(true);
        if (line.emulation->is_running()) ++returned_while_running;
    };
    std::thread a(stopper), b(stopper);
    zephtest::join(a);
    zephtest::join(b);
    EXPECT_EQ(returned_while_running.load(), 0);
    // Removing the endpoints right after is safe: nothing runs on them any more.
    line.emulation->remove_endpoints();
    EXPECT_EQ(line.emulation->control(), nullptr);
    EXPECT_EQ(rec.count(), 1u);
}

TEST_F(Emulation, SetAddressDuringATransferStopsAndRebuilds) {
    MemoryLine line("MEM1", never);
    ASSERT_TRUE(line.bring_up());
    line.port->hold_reads(true);
    std::vector<BYTE> buf(2000);
    Recorder rec;
    line.emulation->bulk_in()->set_callback(Recorder::callback);
    const auto naks = line.device->stats().naks_sent;
    line.emulation->bulk_in()->queue(kind_in, buf.data(), 2000, &rec, true, true);
    ASSERT_TRUE(line.port->wait_read_held(10000));
    wait_answered(line, naks);
    ASSERT_TRUE(line.emulation->set_address(2));
    EXPECT_TRUE(line.emulation->has_address(2));
    EXPECT_FALSE(line.emulation->is_running());
    EXPECT_EQ(line.emulation->configuration_value(), 0);
    ASSERT_TRUE(rec.wait(1));
    EXPECT_EQ(rec.count(), 1u);  // one call back for the two-record transfer
    EXPECT_EQ(rec.at(0).status, DWORD(result_aborted));
    EXPECT_EQ(line.emulation->control()->device_address(), 2);
    line.port->hold_reads(false);
    line.emulation->set_configuration_value(1);
    ASSERT_TRUE(line.emulation->bring_up(2));
    EXPECT_EQ(line.model->address(), 2);
}

TEST_F(Emulation, StopAndSetAddressDuringBringUp) {
    MemoryLine line("MEM1", never);
    ASSERT_TRUE(line.emulation->set_address(1));
    line.port->hold_reads(true);
    bool result = true;
    std::thread up([&] { result = line.emulation->bring_up(1); });
    ASSERT_TRUE(line.port->wait_read_held(10000));
    line.emulation->stop(true);
    zephtest::join(up);
    EXPECT_FALSE(result);
    EXPECT_FALSE(line.emulation->is_running());

    std::thread again([&] { result = line.emulation->bring_up(1); });
    ASSERT_TRUE(line.port->wait_read_held(10000));
    ASSERT_TRUE(line.emulation->set_address(3));
    zephtest::join(again);
    EXPECT_FALSE(result);
    EXPECT_TRUE(line.emulation->has_address(3));

    line.port->hold_reads(false);
    ASSERT_TRUE(line.emulation->bring_up(3));
    EXPECT_EQ(line.model->address(), 3);
}

TEST_F(Emulation, DisabledPortIsAbortedBeforeEveryPass) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    const unsigned before = line.port->counters.aborts.load();
    line.handle->disable();
    ASSERT_TRUE(zephtest::wait_until([&] { return line.port->counters.aborts.load() >= before + 6; }));
    line.handle->enable();
    line.model->queue_bulk_message(pattern(30, 2));
    auto got = read_message(*line.emulation);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, pattern(30, 2));
}

TEST_F(Emulation, InterruptEndpointIsPolledByTheTimer) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    const BYTE payload[2] = {0xAB, 0xCD};
    line.model->raise_event(0x0042, std::span<const std::uint8_t>(payload, 2));
    line.model->faults().nak(0x82, 2);  // two polls see NAK first
    std::array<BYTE, 64> record{};
    Transfer t = run_transfer(line.emulation->interrupt(), kind_in, record.data(), 64, true);
    ASSERT_TRUE(t.completed);
    EXPECT_TRUE(result_succeeded(t.status));
    EXPECT_EQ(t.total, 64u);
    EXPECT_EQ(record[1], 0x42);
    EXPECT_EQ(line.model->faults().injected().naks, 2u);
}

TEST_F(Emulation, TwoLinesEachPollTheirOwnInterruptEndpoint) {
    MemoryLine a("MEM1"), b("MEM2");
    ASSERT_TRUE(a.bring_up());
    ASSERT_TRUE(b.bring_up());
    a.model->raise_event(0x0101);
    b.model->raise_event(0x0202);
    std::array<BYTE, 64> ra{}, rb{};
    Recorder reca, recb;
    a.emulation->interrupt()->set_callback(Recorder::callback);
    b.emulation->interrupt()->set_callback(Recorder::callback);
    a.emulation->interrupt()->queue(kind_in, ra.data(), 64, &reca, true, true);
    b.emulation->interrupt()->queue(kind_in, rb.data(), 64, &recb, true, true);
    ASSERT_TRUE(reca.wait(1));
    ASSERT_TRUE(recb.wait(1));
    EXPECT_EQ(ra[1], 0x01);
    EXPECT_EQ(rb[1], 0x02);

    // Cancelling one line's timer leaves the other's running.
    a.emulation->cancel_timer();
    EXPECT_FALSE(a.emulation->timer_active());
    EXPECT_TRUE(b.emulation->timer_active());
    b.model->raise_event(0x0303);
    b.emulation->interrupt()->queue(kind_in, rb.data(), 64, &recb, true, true);
    ASSERT_TRUE(recb.wait(2));
    EXPECT_EQ(rb[1], 0x03);
}

TEST_F(Emulation, RestartedLinePollsAgain) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    std::array<BYTE, 64> r{};
    Recorder rec;
    line.emulation->interrupt()->set_callback(Recorder::callback);

    // After a stop and a new bring-up.
    line.emulation->stop(true);
    EXPECT_FALSE(line.emulation->timer_active());
    ASSERT_TRUE(line.emulation->bring_up(1));
    line.model->raise_event(0x0011);
    line.emulation->interrupt()->queue(kind_in, r.data(), 64, &rec, true, true);
    ASSERT_TRUE(rec.wait(1));
    EXPECT_EQ(r[1], 0x11);

    // After the timer alone was cancelled and the worker started again.
    line.emulation->cancel_timer();
    ASSERT_TRUE(line.emulation->start_worker());
    line.model->raise_event(0x0012);
    line.emulation->interrupt()->queue(kind_in, r.data(), 64, &rec, true, true);
    ASSERT_TRUE(rec.wait(2));
    EXPECT_EQ(r[1], 0x12);
    EXPECT_TRUE(line.emulation->timer_active());
}

TEST_F(Emulation, StopWithoutInterruptKeepsInterruptRecords) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    line.emulation->cancel_timer();
    std::array<BYTE, 64> r{};
    Recorder rec;
    line.emulation->interrupt()->set_callback(Recorder::callback);
    line.emulation->interrupt()->queue(kind_in, r.data(), 64, &rec, true, true);
    line.emulation->stop(false);
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_EQ(line.emulation->interrupt()->pending(), 1u);
    line.model->raise_event(0x0021);
    ASSERT_TRUE(line.emulation->start_worker());
    ASSERT_TRUE(rec.wait(1));
    EXPECT_EQ(r[1], 0x21);
}

TEST_F(Emulation, AbortAndWaitIdleWithAndWithoutWorker) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    std::vector<BYTE> buf(100);
    Recorder rec;
    line.emulation->bulk_in()->set_callback(Recorder::callback);
    line.port->hold_reads(true);
    line.emulation->bulk_in()->queue(kind_in, buf.data(), 3, &rec, false, true);
    ASSERT_TRUE(line.port->wait_read_held(10000));
    line.emulation->bulk_in()->queue(kind_in, buf.data(), 50, &rec, false, true);
    line.port->hold_reads(false);
    EXPECT_TRUE(line.emulation->abort_and_wait_idle(line.emulation->bulk_in(), 10000));
    ASSERT_TRUE(rec.wait(2));
    line.emulation->stop(true);
    EXPECT_TRUE(line.emulation->abort_and_wait_idle(line.emulation->bulk_out(), 10000));
    EXPECT_FALSE(line.emulation->bulk_out()->is_shut());
}

TEST_F(Emulation, StopFromACallbackOnTheWorkerThenRestart) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    struct Context {
        RsUSBEmulation* emulation;
        std::atomic<bool> done{false};
        static void stop_here(void* context, DWORD, DWORD, DWORD, DWORD) {
            Context* self = static_cast<Context*>(context);
            self->emulation->stop(false);  // must not wait for its own thread
            self->done = true;
        }
    } context;
    context.emulation = line.emulation.get();
    line.model->queue_bulk_message(pattern(5, 6));
    BYTE header[3];
    line.emulation->bulk_in()->set_callback(Context::stop_here);
    line.emulation->bulk_in()->queue(kind_in, header, 3, &context, false, true);
    ASSERT_TRUE(zephtest::wait_until([&] { return context.done.load(); }));
    ASSERT_TRUE(line.emulation->start_worker());
    // The first record after the restart is served, not discarded by the earlier abort.
    std::vector<BYTE> data(5);
    Transfer t = run_transfer(line.emulation->bulk_in(), kind_in, data.data(), 5, true);
    ASSERT_TRUE(t.completed);
    EXPECT_TRUE(result_succeeded(t.status));
    EXPECT_EQ(data, pattern(5, 6));
}

TEST_F(Emulation, AbortDuringARunningPacketWaitsForItBeforeCallingBack) {
    MemoryLine line("MEM1", never);
    ASSERT_TRUE(line.bring_up());
    line.model->queue_bulk_message(pattern(2000, 9));
    BYTE header[3];
    ASSERT_TRUE(run_transfer(line.emulation->bulk_in(), kind_in, header, 3, false).completed);
    std::vector<BYTE> data(2000);
    Recorder rec;
    line.port->hold_reads(true);
    line.emulation->bulk_in()->set_callback(Recorder::callback);
    line.emulation->bulk_in()->queue(kind_in, data.data(), 2000, &rec, true, true);
    ASSERT_TRUE(line.port->wait_read_held(10000));
    // The worker is inside the first packet and will write into data when its read returns.
    line.emulation->bulk_in()->abort_all();
    EXPECT_EQ(rec.count(), 0u);
    line.port->hold_reads(false);
    EXPECT_TRUE(line.emulation->bulk_in()->wait_idle(10000));
    ASSERT_TRUE(rec.wait(1));
    EXPECT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.at(0).status, DWORD(result_aborted));
    const std::vector<BYTE> expected = pattern(2000, 9);
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 1024, data.begin()));
}

TEST_F(Emulation, RestartFromACallbackAfterAStopThereKeepsServing) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    struct Context {
        RsUSBEmulation* emulation;
        std::atomic<int> restarted{-1};
        std::atomic<int> brought_up{-1};
        static void stop_and_restart(void* context, DWORD, DWORD, DWORD, DWORD) {
            Context* self = static_cast<Context*>(context);
            self->emulation->stop(false);
            self->brought_up = self->emulation->bring_up(1) ? 1 : 0;  // refused here, not a hang
            self->restarted = self->emulation->start_worker() ? 1 : 0;
        }
    } context;
    context.emulation = line.emulation.get();
    line.model->queue_bulk_message(pattern(5, 6));
    BYTE header[3];
    line.emulation->bulk_in()->set_callback(Context::stop_and_restart);
    line.emulation->bulk_in()->queue(kind_in, header, 3, &context, false, true);
    ASSERT_TRUE(zephtest::wait_until([&] { return context.restarted.load() >= 0; }));
    ASSERT_EQ(context.restarted.load(), 1);
    EXPECT_EQ(context.brought_up.load(), 0);
    EXPECT_TRUE(line.emulation->is_running());
    std::vector<BYTE> data(5);
    Transfer t = run_transfer(line.emulation->bulk_in(), kind_in, data.data(), 5, true);
    ASSERT_TRUE(t.completed);
    EXPECT_TRUE(result_succeeded(t.status));
    EXPECT_EQ(data, pattern(5, 6));
}

TEST_F(Emulation, EndpointsTakenBeforeAnAddressChangeStayUsableAndRefuseWork) {
    MemoryLine line;
    ASSERT_TRUE(line.bring_up());
    std::shared_ptr<EPBulkIN> old = line.emulation->bulk_in_ref();
    std::shared_ptr<EPControl> old_control = line.emulation->control_ref();
    std::weak_ptr<EPBulkIN> watch = old;
    Recorder rec;
    old->set_callback(Recorder::callback);
    BYTE buf[3];
    ASSERT_TRUE(line.emulation->set_address(2));
    // A request handler on another thread may still hold the old endpoints.
    EXPECT_TRUE(old->is_closed());
    EXPECT_EQ(old->queue(kind_in, buf, 3, &rec, false, true), ~0ull);
    EXPECT_EQ(old->queue(kind_in, buf, 0, &rec, false, true), ~0ull);
    EXPECT_FALSE(old_control->queue_request(std_request::set_configuration(1), nullptr, &rec, true));
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_FALSE(line.emulation->bulk_in()->is_closed());
    // A replaced endpoint goes with its last reference, not with the emulation.
    old.reset();
    old_control.reset();
    EXPECT_TRUE(watch.expired());

    // Handlers queueing while the line changes address: every accepted transfer is called back.
    std::atomic<bool> go{true};
    std::atomic<unsigned> accepted{0};
    std::thread user([&] {
        while (go) {
            if (std::shared_ptr<EPBulkIN> ep = line.emulation->bulk_in_ref()) {
                ep->set_callback(Recorder::callback);
                if (ep->queue(kind_in, buf, 0, &rec, false, true) != ~0ull) ++accepted;
            }
        }
    });
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(line.emulation->set_address(BYTE(1 + i % 2)));
    go = false;
    zephtest::join(user);
    EXPECT_EQ(rec.count(), accepted.load());
}
