// One session used from several threads at once: observers retired from their own callbacks,
// the scheduler started and stopped from two threads, slow observers meeting stops, and stops that
// must leave other threads' requests alone.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "fixture.h"
#include "zephtest/wait.h"

namespace morvex_test {
namespace {

using zephtest::wait_until;

// Runs call on a thread of its own: true when it returned within the deadline. A call that hangs is
// left behind (the case has failed by then).
bool returns_within(std::function<void()> call, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([call, done] {
        call();
        *done = true;
    }).detach();
    return wait_until([&] { return done->load(); }, deadline);
}

struct quiet_client : morvex::zeph_notification_client {
    void event(uint16_t, const morvex::event_data&, morvex::zeph_session&, uint32_t) override { ++events; }
    void error(DWORD, morvex::zeph_session&, uint32_t) override {}
    void stopped(morvex::zeph_session&, uint32_t) override {}
    std::atomic<int> events{0};
};

using ConcurrencyTest = ActiveInstrumentTest;

// A client unregisters from its callback and goes on using the session it was handed while another
// thread registers and unregisters on a second session: its dispatcher must outlive the callback.
TEST_F(ConcurrencyTest, RetiredDispatcherLivesUntilItsCallbackReturns) {
    struct lingering : quiet_client {
        morvex::iapi* api = nullptr;
        zephtest::flag inside, go_on;
        std::atomic<int> bcd{0};
        void event(uint16_t, const morvex::event_data&, morvex::zeph_session& s, uint32_t) override {
            api->unregister_observer(s);
            inside.set();
            go_on.wait();
            bcd = s.bcd_device();
        }
    } c;
    c.api = api.get();
    api->register_observer(session, &c, 0, true, 1);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0001));
    ASSERT_TRUE(c.inside.wait());
    morvex::zeph_session second = open();
    ASSERT_TRUE(second.is_open());
    quiet_client other;
    for (int i = 0; i < 3; ++i) {
        api->register_observer(second, &other, 0, true, 2);
        api->unregister_observer(second);
    }
    c.go_on.set();
    EXPECT_TRUE(wait_until([&] { return c.bcd.load() == 0x0123; }));
    // Once it has returned, the next call frees what was kept.
    api->register_observer(second, &other, 0, true, 2);
    api->unregister_observer(second);
    second.on_device_removed();
}

// The last observer leaves on one thread while another comes on a second thread: whichever order
// they take, the observer that stays has a running scheduler.
TEST_F(ConcurrencyTest, LastObserverLeavingWhileAnotherComesKeepsTheSchedulerRunning) {
    recorder a(0, true), b(0, true);
    for (int round = 0; round < 300; ++round) {
        session.add_observer(&a);
        ASSERT_TRUE(reads_posted()) << round;
        std::atomic<int> ready{0};
        auto together = [&] {
            ++ready;
            while (ready.load() < 2) std::this_thread::yield();
        };
        std::thread leave([&] {
            together();
            session.remove_observer(&a);
        });
        std::thread come([&] {
            together();
            session.add_observer(&b);
        });
        leave.join();
        come.join();
        ASSERT_TRUE(reads_posted()) << "round " << round;
        session.remove_observer(&b);
        ASSERT_TRUE(reads_posted(0)) << round;
    }
}

// Stops and starts of one scheduler from several threads at once (the last observer leaving and
// coming, idle and active modes) leave it able to run: one stop at a time, none lost.
TEST_F(ConcurrencyTest, StopsAndStartsFromSeveralThreadsLeaveOneWorkingScheduler) {
    recorder a(0, true), b(0, true);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (!done.load()) {
            session.add_observer(&a);
            session.remove_observer(&a);
        }
    });
    threads.emplace_back([&] {
        while (!done.load()) {
            session.add_observer(&b);
            session.remove_observer(&b);
        }
    });
    threads.emplace_back([&] {
        while (!done.load()) {
            session.set_mode(0, 0, 0);
            session.set_mode(1, 0, 0);
        }
    });
    Sleep(3000);
    done = true;
    for (auto& t : threads) t.join();
    ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    recorder last(0, true);
    session.add_observer(&last);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0021));
    ASSERT_TRUE(wait_until([&] { return last.events() == 1; }));
    session.remove_observer(&last);
    EXPECT_TRUE(reads_posted(0));
}

// An observer that does not return meets each kind of stop; the stop ends the scheduler's thread
// (after its second), and no lock is left owned by it: every call afterwards returns.
TEST_F(ConcurrencyTest, SlowObserverLeavesNoLockBehindAnyStop) {
    enum class stop_kind { idle_mode, reset, last_observer, unregister };
    struct slow : recorder {
        HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ~slow() override { CloseHandle(gate); }
        void on_event(uint16_t code, const morvex::event_data& data) override {
            recorder::on_event(code, data);
            inside.set();
            WaitForSingleObject(gate, zephtest::deadline_ms);
        }
        zephtest::flag inside;
    };
    struct slow_client : quiet_client {
        explicit slow_client(slow& s) : s(s) {}
        void event(uint16_t code, const morvex::event_data& data, morvex::zeph_session&, uint32_t) override {
            s.on_event(code, data);
        }
        slow& s;
    };
    struct listener {
        void seen(uint16_t, morvex::event_data) {}
    } l;
    auto listener_cb = w32cpp::make_member_callback<listener, uint16_t, morvex::event_data>(&l, &listener::seen);
    // Kept to the end of the case: a thread ended inside its callback still has them on its stack.
    std::vector<std::unique_ptr<slow>> slows;
    std::vector<std::unique_ptr<slow_client>> clients;
    for (stop_kind kind : {stop_kind::idle_mode, stop_kind::reset, stop_kind::last_observer, stop_kind::unregister}) {
        SCOPED_TRACE(int(kind));
        ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
        slows.emplace_back(new slow());
        slow* s = slows.back().get();
        clients.emplace_back(new slow_client(*s));
        slow_client* client = clients.back().get();
        if (kind == stop_kind::unregister)
            api->register_observer(session, client, 0, true, 1);
        else
            session.add_observer(s);
        ASSERT_TRUE(reads_posted());
        ASSERT_TRUE(device->fire(0x0001));
        ASSERT_TRUE(s->inside.wait());
        ASSERT_TRUE(returns_within([&] {
            switch (kind) {
            case stop_kind::idle_mode: session.set_mode(0, 0, 0); break;
            case stop_kind::reset: session.reset_device(); break;
            case stop_kind::last_observer: session.remove_observer(s); break;
            case stop_kind::unregister: api->unregister_observer(session); break;
            }
        }));
        recorder other(0, true);
        quiet_client q;
        EXPECT_TRUE(returns_within([&] {
            session.remove_observer(s);
            session.add_observer(&other);
            session.remove_observer(&other);
            session.notification_listeners().add(listener_cb);
            session.notification_listeners().remove(listener_cb);
            api->register_observer(session, &q, 0, true, 2);
            api->unregister_observer(session);
            session.stream().start(64, 1);
            session.stream().stop();
        }));
        // The scheduler runs again for a new observer.
        ASSERT_TRUE(returns_within([&] { session.set_mode(1, 0, 0); }));
        session.add_observer(&other);
        ASSERT_TRUE(reads_posted());
        ASSERT_TRUE(device->fire(0x0002));
        EXPECT_TRUE(wait_until([&] { return other.events() == 1; }));
        session.remove_observer(&other);
        SetEvent(s->gate);
    }
}

// A synchronous request on another thread of the same session is never cancelled by a stop: the
// stop takes back its own reads only.
TEST_F(ConcurrencyTest, StopsLeaveAnotherThreadsRequestInFlight) {
    enum class stop_kind { stream_stop, last_observer, idle_mode, reset };
    for (stop_kind kind : {stop_kind::stream_stop, stop_kind::last_observer, stop_kind::idle_mode, stop_kind::reset}) {
        SCOPED_TRACE(int(kind));
        ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
        device->reads_pending = true;
        recorder observer(0, true);
        if (kind != stop_kind::stream_stop) {
            session.add_observer(&observer);
            ASSERT_TRUE(reads_posted());
        }
        if (kind != stop_kind::last_observer) {
            ASSERT_TRUE(session.stream().start(64, -1));
            ASSERT_TRUE(wait_until([&] { return device->pending_reads().size() == 50; }));
        }
        device->hold_code = zeph_wire::IOCTL_VENDOR_READ;
        std::atomic<DWORD> status{WAIT_FAILED};
        std::thread other([&] {
            morvex::zeph_get_param g = session.make_get_param(0x060000, 0, 4);
            status = session.control_and_wait(g, zephtest::deadline_ms).get_code();
        });
        ASSERT_TRUE(wait_until([&] { return device->held_controls() == 1; }));
        switch (kind) {
        case stop_kind::stream_stop: EXPECT_TRUE(session.stream().stop()); break;
        case stop_kind::last_observer: session.remove_observer(&observer); break;
        case stop_kind::idle_mode: EXPECT_EQ(session.set_mode(0, 0, 0).get_code(), 0u); break;
        case stop_kind::reset: EXPECT_EQ(session.reset_device().get_code(), 0u); break;
        }
        // The stop took back its own reads, and only those.
        if (kind == stop_kind::stream_stop) {
            EXPECT_TRUE(device->pending_reads().empty());
        }
        if (kind == stop_kind::last_observer) {
            EXPECT_EQ(device->notification_reads(), 0u);
        }
        EXPECT_EQ(device->held_controls(), 1u);
        EXPECT_EQ(status.load(), DWORD(WAIT_FAILED));
        device->hold_code = 0;
        device->release_held();
        other.join();
        EXPECT_EQ(status.load(), 0u);
        session.stream().stop();
        session.remove_observer(&observer);
        device->reads_pending = false;
    }
}

// A client that closed its proxy (on_device_removed) and then unregisters frees its dispatcher and
// with it the session: nothing keeps them until the API goes.
TEST_F(ConcurrencyTest, UnregisteringAClosedProxyFreesTheDispatcherAndItsSession) {
    morvex::zeph_session mine = open();
    ASSERT_TRUE(mine.is_open());
    morvex::zeph_session_handle imp = mine.target();
    quiet_client c;
    api->register_observer(mine, &c, 0, true, 1);
    EXPECT_GT(imp.use_count(), 2u);
    mine.on_device_removed();
    api->unregister_observer(mine);
    EXPECT_TRUE(wait_until([&] { return imp.unique(); })) << imp.use_count();
}

}  // namespace
}  // namespace morvex_test
