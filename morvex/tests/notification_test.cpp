// The notification scheduler and the client observers: dispatch, errors, removal, observers coming
// and going on other threads, stops from inside callbacks.
#include <gtest/gtest.h>

#include <thread>

#include "fixture.h"
#include "zephtest/wait.h"

namespace morvex_test {
namespace {

using zephtest::wait_until;

using NotificationTest = ActiveInstrumentTest;

TEST_F(NotificationTest, EventsReachMatchingObserversAndListeners) {
    recorder any(0x0004, false), all(0x0005, true), every(0, true);
    session.add_observer(&any);
    session.add_observer(&all);
    session.add_observer(&every);
    session.add_observer(&any);  // once only
    ASSERT_TRUE(reads_posted());
    struct listener {
        void seen(uint16_t code, morvex::event_data data) {
            if (data.size() == record_data_size) last = code;
        }
        std::atomic<int> last{0};
    } l;
    auto cb = w32cpp::make_member_callback<listener, uint16_t, morvex::event_data>(&l, &listener::seen);
    session.notification_listeners().add(cb);
    ASSERT_TRUE(device->fire(0x0006, 10));
    ASSERT_TRUE(wait_until([&] { return device->notification_reads() == 3 && every.events() == 1; }));
    ASSERT_TRUE(device->fire(0x0000));  // no event: dispatched to nobody
    ASSERT_TRUE(wait_until([&] { return device->notification_reads() == 3; }));
    ASSERT_TRUE(device->fire(0x0005, 20));
    ASSERT_TRUE(wait_until([&] { return every.events() == 2; }));
    session.remove_observer(&any);
    session.remove_observer(&all);
    session.remove_observer(&every);
    session.notification_listeners().remove(cb);
    EXPECT_EQ(any.codes, (std::vector<uint16_t>{6, 5}));
    EXPECT_EQ(any.tags, (std::vector<uint8_t>{10, 20}));
    EXPECT_EQ(all.codes, (std::vector<uint16_t>{5}));
    EXPECT_EQ(every.codes, (std::vector<uint16_t>{6, 5}));
    EXPECT_EQ(l.last.load(), 5);
    // The last observer gone: the scheduler stopped and took its reads back.
    EXPECT_TRUE(reads_posted(0));
}

TEST_F(NotificationTest, AFailedReadIsReportedOnceThenTheSchedulerStops) {
    recorder r(0, true);
    session.add_observer(&r);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0001));
    ASSERT_TRUE(device->fail_notification(ERROR_GEN_FAILURE));
    ASSERT_TRUE(wait_until([&] { return r.error_list().size() == 1; }));
    // Nothing new is posted after a failure; the reads still in flight are taken in order, and once
    // they all failed too the observers hear that the scheduler stopped.
    ASSERT_TRUE(wait_until([&] {
        if (r.stopped.load() == 0 && r.error_list().size() < 10) device->fail_notification(ERROR_CRC);
        return r.stopped.load() != 0 || r.error_list().size() >= 10;
    }));
    ASSERT_LT(r.error_list().size(), 10u);
    auto errors = r.error_list();
    ASSERT_GE(errors.size(), 2u);
    EXPECT_EQ(errors[0], DWORD(ERROR_GEN_FAILURE));
    for (size_t i = 1; i < errors.size(); ++i) EXPECT_EQ(errors[i], DWORD(ERROR_CRC));
    EXPECT_EQ(r.codes, (std::vector<uint16_t>{1}));
    EXPECT_EQ(r.stopped.load(), 1);
    EXPECT_EQ(device->notification_reads(), 0u);
    session.remove_observer(&r);
}

TEST_F(NotificationTest, AShortRecordIsAnErrorNotAnEvent) {
    recorder r(0, true);
    session.add_observer(&r);
    ASSERT_TRUE(reads_posted());
    device->short_code = zeph_wire::IOCTL_READ_NOTIFICATION;
    ASSERT_TRUE(device->fire(0x0003));
    ASSERT_TRUE(wait_until([&] { return r.error_list().size() == 1; }));
    EXPECT_EQ(r.error_list()[0], DWORD(ERROR_INVALID_DATA));
    EXPECT_EQ(r.events(), 0u);
    session.remove_observer(&r);
}

TEST_F(NotificationTest, RemovalEndsTheSchedulerQuietly) {
    recorder r(0, true);
    session.add_observer(&r);
    ASSERT_TRUE(reads_posted());
    device->remove("inst1");
    ASSERT_TRUE(wait_until([&] { return !session.is_open(); }));
    // Let the scheduler see the removal; nothing is reported for it.
    recorder late(0, true);
    session.add_observer(&late);
    EXPECT_EQ(device->notification_reads(), 0u);
    session.remove_observer(&late);
    session.remove_observer(&r);
    EXPECT_TRUE(r.error_list().empty());
    EXPECT_EQ(r.stopped.load(), 0);
}

// A read refused with 5 (the driver's answer once its device is being removed, before the
// removal reaches the session) ends the scheduler as the removal does: nothing reported.
TEST_F(NotificationTest, ReadRefusedWhileTheDeviceGoesEndsQuietly) {
    recorder r(0, true);
    session.add_observer(&r);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fail_notification(ERROR_ACCESS_DENIED));
    // The reads left in flight are taken back and none is posted again.
    ASSERT_TRUE(wait_until([&] { return device->notification_reads() == 0; }));
    session.remove_observer(&r);
    EXPECT_TRUE(r.error_list().empty());
    EXPECT_EQ(r.stopped.load(), 0);
}

// A client that only listens (no observer) gets the records once a mode runs the scheduler.
TEST_F(NotificationTest, ListenersAloneReceiveEvents) {
    struct listener {
        void seen(uint16_t code, morvex::event_data data) {
            std::lock_guard<std::mutex> g(m);
            codes.push_back(code);
            tags.push_back(data.size() == record_data_size ? data.data()[0] : 0xEE);
        }
        size_t count() {
            std::lock_guard<std::mutex> g(m);
            return codes.size();
        }
        std::mutex m;
        std::vector<uint16_t> codes;
        std::vector<uint8_t> tags;
    } l;
    auto cb = w32cpp::make_member_callback<listener, uint16_t, morvex::event_data>(&l, &listener::seen);
    session.notification_listeners().add(cb);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0007, 30));
    ASSERT_TRUE(wait_until([&] { return l.count() == 1; }));
    // Selected again (a listener added in idle mode too): the records still come.
    ASSERT_EQ(session.set_mode(0, 0, 0).get_code(), 0u);
    EXPECT_TRUE(reads_posted(0));
    ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0009, 40));
    ASSERT_TRUE(wait_until([&] { return l.count() == 2; }));
    session.notification_listeners().remove(cb);
    EXPECT_EQ(l.codes, (std::vector<uint16_t>{7, 9}));
    EXPECT_EQ(l.tags, (std::vector<uint8_t>{30, 40}));
}

// Observers only start the scheduler in an active mode: no reads that can only fail.
TEST_F(NotificationTest, IdleSessionPostsNoReadsUntilAModeIsSelected) {
    ASSERT_EQ(session.set_mode(0, 0, 0).get_code(), 0u);
    recorder r(0, true);
    session.add_observer(&r);
    Sleep(50);
    EXPECT_EQ(device->notification_reads(), 0u);
    EXPECT_TRUE(r.error_list().empty());
    EXPECT_EQ(r.stopped.load(), 0);
    // A reset in idle mode runs the started listeners: still nothing.
    EXPECT_EQ(session.reset_device().get_code(), 0u);
    EXPECT_EQ(device->notification_reads(), 0u);
    ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0008));
    ASSERT_TRUE(wait_until([&] { return r.events() == 1; }));
    session.remove_observer(&r);
    EXPECT_TRUE(r.error_list().empty());
}

// Selecting the mode again cancels the reads in flight at the answering side; notifications go on.
TEST_F(NotificationTest, SelectingTheModeAgainKeepsNotifications) {
    recorder r(0, true);
    session.add_observer(&r);
    ASSERT_TRUE(reads_posted());
    ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0002));
    ASSERT_TRUE(wait_until([&] { return r.events() == 1; }));
    EXPECT_TRUE(r.error_list().empty());
    EXPECT_EQ(r.stopped.load(), 0);
    session.remove_observer(&r);
}

// A stop takes its reads back: the next record reaches the restarted scheduler, not a stale read.
TEST_F(NotificationTest, StopCancelsTheReadsInFlight) {
    device->mode_cancels_notifications = false;
    recorder r(0, true);
    session.add_observer(&r);
    ASSERT_TRUE(reads_posted());
    session.remove_observer(&r);
    EXPECT_EQ(device->notification_reads(), 0u);
    session.add_observer(&r);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0010));
    ASSERT_TRUE(wait_until([&] { return r.events() == 1; }));
    session.remove_observer(&r);
}

// Stops from the scheduler's own callbacks must not wait for the scheduler itself.
TEST_F(NotificationTest, CallbacksMayStopTheirOwnScheduler) {
    struct stopper : recorder {
        std::function<void()> action;
        void on_event(uint16_t code, const morvex::event_data& data) override {
            recorder::on_event(code, data);
            if (action) action();
        }
    };
    stopper s;
    s.action = [&] { session.remove_observer(&s); };
    session.add_observer(&s);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0001));
    ASSERT_TRUE(reads_posted(0));
    EXPECT_EQ(s.events(), 1u);

    stopper t;
    t.action = [&] { session.set_mode(0, 0, 0); };
    session.add_observer(&t);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0001));
    ASSERT_TRUE(wait_until([&] { return device->mode() == 0; }));
    ASSERT_TRUE(reads_posted(0));
    session.remove_observer(&t);
    EXPECT_TRUE(t.error_list().empty());
}

struct client_log : morvex::zeph_notification_client {
    void event(uint16_t code, const morvex::event_data&, morvex::zeph_session& s, uint32_t cookie) override {
        std::lock_guard<std::mutex> g(m);
        events.push_back({code, cookie});
        open_seen = s.is_open();
    }
    void error(DWORD status, morvex::zeph_session&, uint32_t cookie) override {
        std::lock_guard<std::mutex> g(m);
        errors.push_back({status, cookie});
    }
    void stopped(morvex::zeph_session&, uint32_t) override { ++stops; }
    size_t count() {
        std::lock_guard<std::mutex> g(m);
        return events.size();
    }
    std::mutex m;
    std::vector<std::pair<DWORD, uint32_t>> events, errors;
    std::atomic<int> stops{0};
    std::atomic<bool> open_seen{false};
};

TEST_F(NotificationTest, RegisteredClientsAreReplacedAndUnregistered) {
    client_log first, second;
    api->register_observer(session, &first, 0, true, 11);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0001));
    ASSERT_TRUE(wait_until([&] { return first.count() == 1; }));
    // Another proxy of the same session finds the same entry: the second replaces the first.
    morvex::zeph_session other(session);
    api->register_observer(other, &second, 0x0002, false, 22);
    ASSERT_TRUE(device->fire(0x0003));
    ASSERT_TRUE(wait_until([&] { return second.count() == 1; }));
    EXPECT_EQ(first.count(), 1u);
    EXPECT_EQ(second.events[0], (std::pair<DWORD, uint32_t>{3, 22}));
    EXPECT_TRUE(second.open_seen.load());
    ASSERT_TRUE(device->fail_notification(ERROR_GEN_FAILURE));
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> g(second.m);
        return second.errors.size() == 1;
    }));
    api->unregister_observer(session);
    api->unregister_observer(session);  // nothing left: no change
    EXPECT_TRUE(reads_posted(0));
}

// A client may unregister from its own callback and still use the session it was handed.
TEST_F(NotificationTest, ClientMayUnregisterFromItsCallback) {
    struct self_removing : client_log {
        morvex::iapi* api = nullptr;
        void event(uint16_t code, const morvex::event_data& data, morvex::zeph_session& s, uint32_t cookie) override {
            api->unregister_observer(s);
            client_log::event(code, data, s, cookie);
            bcd = s.bcd_device();
        }
        std::atomic<int> bcd{0};
    } c;
    c.api = api.get();
    api->register_observer(session, &c, 0, true, 5);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0001));
    ASSERT_TRUE(wait_until([&] { return c.bcd.load() == 0x0123; }));
    EXPECT_TRUE(reads_posted(0));
    EXPECT_EQ(c.count(), 1u);
    // The next registration, from this thread, frees what was kept.
    client_log other;
    api->register_observer(session, &other, 0, true, 6);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0002));
    ASSERT_TRUE(wait_until([&] { return other.count() == 1; }));
    api->unregister_observer(session);
    EXPECT_EQ(c.count(), 1u);
}

// Observers come and go on several threads while records are dispatched.
TEST_F(NotificationTest, ObserversComeAndGoDuringDispatch) {
    recorder anchor(0, true);
    session.add_observer(&anchor);
    ASSERT_TRUE(reads_posted());
    std::atomic<bool> done{false};
    std::vector<std::thread> churn;
    for (int t = 0; t < 3; ++t)
        churn.emplace_back([&] {
            while (!done.load()) {
                auto* r = new recorder(0, true);
                session.add_observer(r);
                Sleep(1);
                session.remove_observer(r);
                delete r;  // never called again once removed
            }
        });
    client_log c;
    std::thread registrar([&] {
        while (!done.load()) {
            api->register_observer(session, &c, 0, true, 1);
            api->unregister_observer(session);
        }
    });
    int fired = 0;
    EXPECT_TRUE(zephtest::wait_until(
        [&] {
            if (device->fire(uint16_t(1 + fired % 7)))
                ++fired;
            else
                Sleep(0);
            return fired == 200;
        },
        zephtest::default_deadline, std::chrono::milliseconds(0)));
    ASSERT_TRUE(wait_until([&] { return anchor.events() == 200; }));
    done = true;
    for (auto& t : churn) zephtest::join(t);
    zephtest::join(registrar);
    session.remove_observer(&anchor);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(anchor.codes[i], 1 + i % 7);
}

}  // namespace
}  // namespace morvex_test
