// Transaction engines and record queues against a scripted device: retries, toggles, NAK, STALL,
// abort, the control-transfer stages and how records complete.
#include <gtest/gtest.h>

#include <cstring>

#include "lintra/endpoint.h"
#include "recorder.h"
#include "script_port.h"

using namespace lintra;
using lintra_test::Recorder;
using lintra_test::ScriptPort;
using lintra_test::data_packet;
using lintra_test::handshake;

namespace {

struct Engines : ::testing::Test {
    ScriptPort port;
    CRITICAL_SECTION lock;
    HANDLE abort_event = nullptr;

    void SetUp() override {
        InitializeCriticalSection(&lock);
        abort_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override {
        CloseHandle(abort_event);
        DeleteCriticalSection(&lock);
    }
    size_t count_written(BYTE byte) const {
        size_t n = 0;
        for (const auto& c : port.calls)
            if (c.kind == 'W' && c.bytes.size() == 1 && c.bytes[0] == byte) ++n;
        return n;
    }
    // Runs a popped record as the worker does; false when it was NAKed and requeued.
    static bool run(EndPointInOutTransfer& ep, TransferRecord* r) {
        const DWORD status = ep.execute(r);
        if (status == result_nak && !(r->kind & kind_status_pending)) {
            ep.requeue(r);
            return false;
        }
        ep.complete(r, status);
        return true;
    }
};

}  // namespace

TEST_F(Engines, InGivesUpAfterSixBadPacketsEachAnsweredWithErr) {
    EPBulkIN ep(&port, 1, &lock, abort_event);
    std::vector<BYTE> bad = data_packet(false, {1, 2, 3});
    bad[4] ^= 0x40;
    for (int i = 0; i < 7; ++i) port.reply(bad);
    BYTE buf[1024];
    DWORD len = sizeof buf;
    EXPECT_FALSE(ep.in_transaction(buf, &len));
    EXPECT_EQ(ep.result(), result_bad_packet);
    EXPECT_EQ(port.tokens, 6);
    EXPECT_EQ(count_written(0xC3), 6u);
    EXPECT_EQ(len, 0u);
}

TEST_F(Engines, SixRepeatsInARowAreAFailureNotData) {
    EPBulkIN ep(&port, 1, &lock, abort_event);
    ep.set_toggle(1);
    for (int i = 0; i < 6; ++i) port.reply(data_packet(false, {5, 5}));
    BYTE buf[1024];
    DWORD len = sizeof buf;
    EXPECT_FALSE(ep.in_transaction(buf, &len));
    EXPECT_FALSE(result_succeeded(ep.result()));
    EXPECT_EQ(count_written(0x2D), 6u);  // each repeat acknowledged, none accepted
    EXPECT_EQ(ep.toggle, 1);
}

TEST_F(Engines, RepeatIsAcknowledgedThenTheNextPacketAccepted) {
    EPBulkIN ep(&port, 1, &lock, abort_event);
    port.reply(data_packet(true, {1, 1}));   // the previous packet again
    port.reply(data_packet(false, {2, 2, 2}));
    BYTE buf[1024];
    DWORD len = sizeof buf;
    ASSERT_TRUE(ep.in_transaction(buf, &len));
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(buf[0], 2);
    EXPECT_EQ(ep.toggle, 1);
    EXPECT_EQ(count_written(0x2D), 2u);
}

TEST_F(Engines, NakEndsAtOnceAndStallMarksStalled) {
    EPBulkIN ep(&port, 1, &lock, abort_event);
    port.reply(handshake(pid_nak));
    BYTE buf[1024];
    DWORD len = sizeof buf;
    EXPECT_FALSE(ep.in_transaction(buf, &len));
    EXPECT_EQ(ep.result(), result_nak);
    EXPECT_EQ(port.tokens, 1);
    port.reply(handshake(pid_stall));
    EXPECT_FALSE(ep.in_transaction(buf, &len));
    EXPECT_EQ(ep.result(), result_stall);
    EXPECT_TRUE(ep.is_stalled());
    EXPECT_EQ(port.tokens, 2);
}

TEST_F(Engines, AbortedTransactionReportsAbortedNotTheOldResult) {
    EPBulkIN ep(&port, 1, &lock, abort_event);
    port.reply(data_packet(false, {1}));
    BYTE buf[1024];
    DWORD len = sizeof buf;
    ASSERT_TRUE(ep.in_transaction(buf, &len));
    ASSERT_EQ(ep.result(), result_done);
    SetEvent(abort_event);
    const size_t before = port.written.size();
    len = sizeof buf;
    EXPECT_FALSE(ep.in_transaction(buf, &len));
    EXPECT_EQ(ep.result(), result_aborted);
    DWORD n = 4;
    EXPECT_FALSE(ep.out_transaction(buf, &n));
    EXPECT_EQ(ep.result(), result_aborted);
    EXPECT_FALSE(ep.setup_transaction(buf));
    EXPECT_EQ(ep.result(), result_aborted);
    EXPECT_EQ(port.written.size(), before);  // nothing went on the line

    // A queued record run while aborted completes as aborted, not as a success.
    Recorder rec;
    ep.set_callback(Recorder::callback);
    ResetEvent(abort_event);
    ep.queue(kind_in, buf, 10, &rec, true, true);
    SetEvent(abort_event);
    TransferRecord* r = ep.next();
    ASSERT_NE(r, nullptr);
    run(ep, r);
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.at(0).status, DWORD(result_aborted));
}

TEST_F(Engines, OutRetriesALostHandshakeWithTheSameToggle) {
    EPBulkOUT ep(&port, 1, &lock, abort_event);
    port.reply({});  // handshake lost
    port.reply(handshake(pid_ack));
    const BYTE data[3] = {7, 8, 9};
    DWORD n = 3;
    ASSERT_TRUE(ep.out_transaction(data, &n));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(ep.toggle, 1);
    EXPECT_EQ(count_written(0x3C), 2u);  // DATA0 twice
    EXPECT_EQ(count_written(0xB4), 0u);
}

TEST_F(Engines, OutStallIsTracedAndNakEnds) {
    EPBulkOUT ep(&port, 1, &lock, abort_event);
    const BYTE data[1] = {1};
    port.reply(handshake(pid_nak));
    DWORD n = 1;
    EXPECT_FALSE(ep.out_transaction(data, &n));
    EXPECT_EQ(ep.result(), result_nak);
    EXPECT_EQ(port.tokens, 1);
    port.reply(handshake(pid_stall));
    ::testing::internal::CaptureStdout();
    n = 1;
    EXPECT_FALSE(ep.out_transaction(data, &n));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "EndPoint::WriteTransaction : Ack::Read : PACKET_ERROR_PIDSTALL\n");
    EXPECT_EQ(ep.result(), result_stall);
    EXPECT_EQ(ep.toggle, 0);
}

TEST_F(Engines, SetupSendsDataZeroAndSetsToggleOne) {
    EPControl ep(&port, 1, &lock, abort_event);
    port.reply(handshake(pid_nak));
    const BYTE setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
    EXPECT_FALSE(ep.setup_transaction(setup));
    port.reply(handshake(pid_ack));
    ASSERT_TRUE(ep.setup_transaction(setup));
    EXPECT_EQ(ep.toggle, 1);
    std::vector<BYTE> expected = {0xD2, 0x1E, 0x0F};
    std::vector<BYTE> packet = data_packet(false, std::vector<BYTE>(setup, setup + 8));
    expected.insert(expected.end(), packet.begin(), packet.end());
    EXPECT_TRUE(std::search(port.written.begin(), port.written.end(), expected.begin(), expected.end()) !=
                port.written.end());
}

TEST_F(Engines, SynchronousControlReadWithNakedStatusStage) {
    EPControl ep(&port, 1, &lock, abort_event);
    port.reply(handshake(pid_ack));                              // SETUP
    port.reply(data_packet(true, {1, 2, 3, 4, 5, 6, 7, 8}));     // IN DATA1
    port.reply(data_packet(false, {9, 10}));                     // IN DATA0
    for (int i = 0; i < 3; ++i) port.reply(handshake(pid_nak));  // status NAKed three times
    port.reply(handshake(pid_ack));
    BYTE buf[10] = {};
    DWORD got = 0;
    ASSERT_TRUE(ep.request(std_request::get_descriptor(1, 0, 0, 10), buf, 3, &got));
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(buf[9], 10);

    // One NAK more than the limit fails.
    port.reply(handshake(pid_ack));
    port.reply(data_packet(true, {1}));
    for (int i = 0; i < 4; ++i) port.reply(handshake(pid_nak));
    EXPECT_FALSE(ep.request(std_request::get_descriptor(1, 0, 0, 1), buf, 3, &got));
    EXPECT_EQ(ep.result(), result_nak);
}

TEST_F(Engines, SynchronousDataStageNaksAreBoundedAndAbortIsHonoured) {
    EPControl ep(&port, 1, &lock, abort_event);
    port.reply(handshake(pid_ack));
    for (int i = 0; i < 100; ++i) port.reply(handshake(pid_nak));
    BYTE buf[18];
    EXPECT_FALSE(ep.request(std_request::get_descriptor(1, 0, 0, 18), buf, 5, nullptr));
    EXPECT_EQ(port.tokens, 1 + 6);  // SETUP, first IN and five repeats

    port.tokens = 0;
    SetEvent(abort_event);
    EXPECT_FALSE(ep.request(std_request::get_descriptor(1, 0, 0, 18), buf, 10000, nullptr));
    EXPECT_EQ(ep.result(), result_aborted);
    EXPECT_EQ(port.tokens, 0);
}

TEST_F(Engines, SynchronousControlWriteNeedsAnEmptyStatusPacket) {
    EPControl ep(&port, 1, &lock, abort_event);
    port.reply(handshake(pid_ack));
    port.reply(data_packet(true, {}));
    EXPECT_TRUE(ep.request(std_request::set_address(1), nullptr, 10));
    port.reply(handshake(pid_ack));
    port.reply(data_packet(true, {1}));  // data where none belongs
    EXPECT_FALSE(ep.request(std_request::set_address(1), nullptr, 10));
}

TEST_F(Engines, ClearHaltAndSetConfigurationResetToggles) {
    EPControl ep(&port, 1, &lock, abort_event);
    EPBulkIN in(&port, 1, &lock, abort_event);
    EPBulkOUT out(&port, 1, &lock, abort_event);
    EPInterrupt irq(&port, 1, &lock, abort_event);
    ep.link(&irq, &in, &out);
    in.set_toggle(1);
    out.set_toggle(1);
    port.reply(handshake(pid_ack));
    port.reply(data_packet(true, {}));
    ASSERT_TRUE(ep.request(std_request::clear_halt(0x81), nullptr, 10));
    EXPECT_EQ(in.toggle, 0);
    EXPECT_FALSE(in.is_stalled());
    EXPECT_EQ(out.toggle, 1);
    port.reply(handshake(pid_ack));
    port.reply(data_packet(true, {}));
    ASSERT_TRUE(ep.request(std_request::set_configuration(1), nullptr, 10));
    EXPECT_EQ(out.toggle, 0);
}

TEST_F(Engines, ZeroLengthTransferCompletesAtOnceAndNullBufferIsRefused) {
    EPBulkIN ep(&port, 1, &lock, abort_event);
    Recorder rec;
    ep.set_callback(Recorder::callback);
    BYTE buf[4];
    const ULONGLONG n = ep.queue(kind_in, buf, 0, &rec, true, true);
    EXPECT_NE(n, 0u);
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.at(0).number, n);
    EXPECT_EQ(rec.at(0).total, 0u);
    EXPECT_TRUE(result_succeeded(rec.at(0).status));
    EXPECT_EQ(ep.pending(), 0u);
    EXPECT_EQ(port.written.size(), 0u);
    EXPECT_EQ(ep.queue(kind_in, nullptr, 5, &rec, true, true), ~0ull);
}

TEST_F(Engines, NakedRecordKeepsPacketOrderWithinItsTransfer) {
    EPBulkOUT ep(&port, 1, &lock, abort_event);
    Recorder rec;
    ep.set_callback(Recorder::callback);
    std::vector<BYTE> data(150);
    for (size_t i = 0; i < data.size(); ++i) data[i] = BYTE(i);
    ep.queue(kind_out, data.data(), 150, &rec, true, true);
    ASSERT_EQ(ep.pending(), 3u);
    port.reply(handshake(pid_nak));
    TransferRecord* first = ep.next();
    EXPECT_FALSE(run(ep, first));
    port.reply(handshake(pid_ack));
    port.reply(handshake(pid_ack));
    port.reply(handshake(pid_ack));
    std::vector<BYTE*> order;
    while (TransferRecord* r = ep.next()) {
        order.push_back(r->data);
        run(ep, r);
    }
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], data.data());
    EXPECT_EQ(order[1], data.data() + 60);
    EXPECT_EQ(order[2], data.data() + 120);
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.at(0).total, 150u);
}

TEST_F(Engines, AbortAllCallsBackOncePerTransferAndShutsTheQueue) {
    EPBulkIN ep(&port, 1, &lock, abort_event);
    Recorder a, b;
    ep.set_callback(Recorder::callback);
    std::vector<BYTE> buf(4096);
    ep.queue(kind_in, buf.data(), 3000, &a, true, true);
    ep.queue(kind_in, buf.data(), 10, &b, true, true);
    EXPECT_EQ(ep.abort_all(), 4u);
    ASSERT_EQ(a.count(), 1u);
    ASSERT_EQ(b.count(), 1u);
    EXPECT_EQ(a.at(0).status, DWORD(result_aborted));
    EXPECT_TRUE(ep.is_shut());
    EXPECT_FALSE(ep.wait_idle(0));
    // A record queued before the worker saw the abort is discarded with it.
    ep.queue(kind_in, buf.data(), 10, &b, true, true);
    EXPECT_EQ(ep.next(), nullptr);
    EXPECT_FALSE(ep.is_shut());
    EXPECT_EQ(b.count(), 2u);
    EXPECT_TRUE(ep.wait_idle(0));
}

// Landed means no packet of the endpoint on the line, not a look by the worker: an interrupt
// endpoint is looked at once per poll period only.
TEST_F(Engines, WaitLandedAfterAnAbortEndsAtOnceUnlessAPacketRuns) {
    EPInterrupt ep(&port, 1, &lock, abort_event);
    Recorder a;
    ep.set_callback(Recorder::callback);
    std::vector<BYTE> buf(4096);
    ep.queue(kind_in, buf.data(), 10, &a, true, true);
    ep.abort_all();
    EXPECT_TRUE(ep.wait_landed(0));
    EXPECT_FALSE(ep.is_shut());  // what comes next is served

    ep.queue(kind_in, buf.data(), 3000, &a, true, true);
    TransferRecord* running = ep.next();  // the worker's packet, on the line
    ASSERT_NE(running, nullptr);
    ep.abort_all();
    EXPECT_FALSE(ep.wait_landed(20));
    EXPECT_TRUE(ep.is_shut());
    ep.complete(running, result_done);  // the packet lands
    EXPECT_TRUE(ep.wait_landed(0));
}

TEST_F(Engines, ShortTransferEndsEarlyAndTheFlagDecidesItsStatus) {
    EPBulkIN ep(&port, 1, &lock, abort_event);
    Recorder strict, lenient;
    ep.set_callback(Recorder::callback);
    std::vector<BYTE> buf(3000);
    ep.queue(kind_in, buf.data(), 3000, &strict, false, true);
    port.reply(data_packet(false, std::vector<BYTE>(1024, 1)));
    port.reply(data_packet(true, std::vector<BYTE>(100, 2)));
    run(ep, ep.next());
    run(ep, ep.next());
    EXPECT_EQ(ep.pending(), 0u);  // the rest of the short transfer is purged
    ASSERT_EQ(strict.count(), 1u);
    EXPECT_EQ(strict.at(0).total, 1124u);
    EXPECT_EQ(strict.at(0).status, DWORD(result_bad_packet));

    ep.queue(kind_in, buf.data(), 3000, &lenient, true, true);
    port.reply(data_packet(false, std::vector<BYTE>(10, 3)));
    run(ep, ep.next());
    ASSERT_EQ(lenient.count(), 1u);
    EXPECT_EQ(lenient.at(0).total, 10u);
    EXPECT_TRUE(result_succeeded(lenient.at(0).status));
}

TEST_F(Engines, QueuedControlReadRunsItsStatusStageAndRetriesItAfterNak) {
    EPControl ep(&port, 1, &lock, abort_event);
    Recorder rec;
    ep.set_callback(Recorder::callback);
    BYTE buf[12] = {};
    ASSERT_TRUE(ep.queue_request(std_request::get_descriptor(3, 1, 0x0409, 12), buf, &rec, true));
    EXPECT_EQ(ep.pending(), 3u);  // SETUP and two data records
    port.reply(handshake(pid_ack));
    port.reply(data_packet(true, {1, 2, 3, 4, 5, 6, 7, 8}));
    port.reply(data_packet(false, {9, 10, 11, 12}));
    port.reply(handshake(pid_nak));  // status stage NAKed
    run(ep, ep.next());
    run(ep, ep.next());
    EXPECT_EQ(rec.count(), 0u);
    run(ep, ep.next());
    EXPECT_EQ(rec.count(), 0u);
    ASSERT_EQ(ep.pending(), 1u);
    port.reply(handshake(pid_ack));
    TransferRecord* again = ep.next();
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->kind & kind_status_pending);
    run(ep, again);
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.at(0).total, 12u);
    EXPECT_TRUE(result_succeeded(rec.at(0).status));
    EXPECT_EQ(buf[11], 12);
}

TEST_F(Engines, FailedQueuedSetupTakesItsDataStageWithIt) {
    EPControl ep(&port, 1, &lock, abort_event);
    Recorder rec, next;
    ep.set_callback(Recorder::callback);
    BYTE buf[16];
    ASSERT_TRUE(ep.queue_request(std_request::get_descriptor(1, 0, 0, 16), buf, &rec, true));
    ASSERT_TRUE(ep.queue_request(std_request::set_configuration(1), nullptr, &next, true));
    port.reply(handshake(pid_stall));
    run(ep, ep.next());
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.at(0).status, DWORD(result_stall));
    EXPECT_EQ(ep.pending(), 1u);  // only the other request is left
    port.reply(handshake(pid_ack));
    port.reply(data_packet(true, {}));
    run(ep, ep.next());
    ASSERT_EQ(next.count(), 1u);
    EXPECT_TRUE(result_succeeded(next.at(0).status));
}

TEST_F(Engines, AbortWhileAPacketRunsCallsBackOnlyWhenThatPacketIsDone) {
    EPBulkIN ep(&port, 1, &lock, abort_event);
    Recorder rec, later;
    ep.set_callback(Recorder::callback);
    std::vector<BYTE> buf(3000);
    std::vector<BYTE> other(10);
    ep.queue(kind_in, buf.data(), 3000, &rec, true, true);
    ep.queue(kind_in, other.data(), 10, &later, true, true);
    TransferRecord* running = ep.next();
    ASSERT_NE(running, nullptr);
    // The caller must not hear of the abort while the worker may still fill its buffer.
    EXPECT_EQ(ep.abort_all(), 3u);
    EXPECT_EQ(rec.count(), 0u);
    ASSERT_EQ(later.count(), 1u);
    EXPECT_EQ(later.at(0).status, DWORD(result_aborted));
    port.reply(data_packet(false, std::vector<BYTE>(1024, 7)));
    run(ep, running);
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.at(0).status, DWORD(result_aborted));
    EXPECT_EQ(buf[0], 7);

    // The same when the running packet is NAKed and would go back to the queue.
    ASSERT_EQ(ep.next(), nullptr);  // the worker sees the abort
    Recorder naked;
    ep.queue(kind_in, buf.data(), 2048, &naked, true, true);
    running = ep.next();
    ASSERT_NE(running, nullptr);
    ep.abort_all();
    EXPECT_EQ(naked.count(), 0u);
    port.reply(handshake(pid_nak));
    run(ep, running);
    ASSERT_EQ(naked.count(), 1u);
    EXPECT_EQ(naked.at(0).status, DWORD(result_aborted));
    EXPECT_EQ(ep.pending(), 0u);
}

TEST_F(Engines, AbortedControlRequestWithADataStageIsCalledBackOnce) {
    EPControl ep(&port, 1, &lock, abort_event);
    Recorder queued, running;
    ep.set_callback(Recorder::callback);
    BYTE buf[16];
    ASSERT_TRUE(ep.queue_request(std_request::get_descriptor(1, 0, 0, 16), buf, &queued, true));
    ep.abort_all();
    EXPECT_TRUE(queued.wait(1, 0));
    EXPECT_EQ(queued.count(), 1u);
    ASSERT_EQ(ep.next(), nullptr);

    // Its SETUP on the line while the abort comes: one call back, after the SETUP.
    ASSERT_TRUE(ep.queue_request(std_request::get_descriptor(1, 0, 0, 16), buf, &running, true));
    TransferRecord* setup = ep.next();
    ASSERT_NE(setup, nullptr);
    ep.abort_all();
    EXPECT_EQ(running.count(), 0u);
    port.reply(handshake(pid_ack));
    run(ep, setup);
    ASSERT_EQ(running.count(), 1u);
    EXPECT_EQ(running.at(0).status, DWORD(result_aborted));

    // Destroying the endpoint with a request queued calls it back once too.
    Recorder left;
    {
        EPControl gone(&port, 1, &lock, abort_event);
        gone.set_callback(Recorder::callback);
        ASSERT_TRUE(gone.queue_request(std_request::get_descriptor(1, 0, 0, 16), buf, &left, true));
    }
    EXPECT_EQ(left.count(), 1u);
}

// The ACK of an IN packet cannot be written: the data is still the caller's (the toggle moved on),
// and the device's resend of it, which follows, is acknowledged as a repeat and not taken twice.
TEST_F(Engines, InDataIsKeptWhenItsAckCannotBeWritten) {
    EPBulkIN ep(&port, 1, &lock, abort_event);
    port.reply(data_packet(false, {7, 8, 9}));
    port.fail_writes_after(1);  // the IN token goes out, its ACK does not
    BYTE buf[16] = {};
    DWORD len = sizeof buf;
    ASSERT_TRUE(ep.in_transaction(buf, &len));
    EXPECT_EQ(std::vector<BYTE>(buf, buf + len), (std::vector<BYTE>{7, 8, 9}));
    EXPECT_EQ(ep.toggle, 1);
    port.fail_writes_after(-1);
    port.reply(data_packet(false, {7, 8, 9}));  // never acknowledged, so sent again
    port.reply(data_packet(true, {10}));
    len = sizeof buf;
    ASSERT_TRUE(ep.in_transaction(buf, &len));
    EXPECT_EQ(std::vector<BYTE>(buf, buf + len), (std::vector<BYTE>{10}));
    EXPECT_EQ(count_written(0x2D), 2u);  // the repeat and the new packet acknowledged
}

// A device-to-host request that asks for no data still completes, waited for and queued, and
// both forms ask for its status with an IN token, as for any request without a data stage.
TEST_F(Engines, InControlRequestWithoutDataCompletes) {
    EPControl ep(&port, 1, &lock, abort_event);
    port.reply(handshake(pid_ack));     // SETUP
    port.reply(data_packet(true, {}));  // status stage: an empty packet
    DWORD got = 99;
    ASSERT_TRUE(ep.request(std_request::get_descriptor(1, 0, 0, 0), nullptr, 3, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(port.tokens, 2);
    ASSERT_EQ(port.written.size(), 3u + 1 + 2 + 8 + 2 + 3 + 1);  // SETUP token, packet, IN token, ACK
    EXPECT_EQ(port.written[16], pid_encode(pid_in));
    EXPECT_EQ(port.written.back(), pid_encode(pid_ack));  // the host acknowledged the status

    Recorder rec;
    ep.set_callback(Recorder::callback);
    ASSERT_TRUE(ep.queue_request(std_request::get_descriptor(1, 0, 0, 0), nullptr, &rec, true));
    EXPECT_EQ(ep.pending(), 1u);  // the SETUP alone
    port.reply(handshake(pid_ack));      // SETUP
    port.reply(data_packet(true, {}));   // status stage: an empty packet
    run(ep, ep.next());
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_TRUE(result_succeeded(rec.at(0).status));
    EXPECT_EQ(rec.at(0).total, 0u);
    EXPECT_EQ(ep.pending(), 0u);
}
