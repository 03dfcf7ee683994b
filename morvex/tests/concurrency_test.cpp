// One session used from several threads at once: observers retired from their own callbacks,
// the scheduler started and stopped from two threads and from callbacks, slow client code meeting
// stops, and stops that must leave other threads' requests alone.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "fixture.h"
#include "zephtest/wait.h"

namespace morvex_test {
namespace {

using zephtest::wait_until;

// Runs call on a thread of its own and tells when it has returned.
class in_background {
public:
    explicit in_background(std::function<void()> call) : done_(std::make_shared<std::atomic<bool>>(false)) {
        auto done = done_;
        std::thread([call, done] {
            call();
            *done = true;
        }).detach();
    }
    bool returned() const { return done_->load(); }
    bool returns(std::chrono::milliseconds deadline = zephtest::default_deadline) const {
        return wait_until([&] { return returned(); }, deadline);
    }

private:
    std::shared_ptr<std::atomic<bool>> done_;
};

// Runs call on a thread of its own: true when it returned within the deadline. A call that hangs is
// left behind (the case has failed by then).
bool returns_within(std::function<void()> call, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    return in_background(std::move(call)).returns(deadline);
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
        zephtest::join(leave);
        zephtest::join(come);
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
    for (auto& t : threads) zephtest::join(t);
    ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
    recorder last(0, true);
    session.add_observer(&last);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0021));
    ASSERT_TRUE(wait_until([&] { return last.events() == 1; }));
    session.remove_observer(&last);
    EXPECT_TRUE(reads_posted(0));
}

// Client code (an observer, or a notification listener) that is still running when a stop comes,
// longer than the second a stop gives a task: the stop waits for it rather than ending its thread
// inside it, and once it has returned every call works again.
TEST_F(ConcurrencyTest, SlowClientCodeMeetingAnyStopIsWaitedForAndLeavesNothingLocked) {
    enum class stop_kind { idle_mode, reset, last_observer, unregister };
    struct slow {
        HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ~slow() { CloseHandle(gate); }
        void hold() {
            inside.set();
            WaitForSingleObject(gate, zephtest::deadline_ms);
            returned.set();
        }
        void seen(uint16_t, morvex::event_data) { hold(); }
        zephtest::flag inside, returned;
    };
    struct slow_observer : recorder {
        explicit slow_observer(slow& s) : s(s) {}
        void on_event(uint16_t code, const morvex::event_data& data) override {
            recorder::on_event(code, data);
            s.hold();
        }
        slow& s;
    };
    struct slow_client : quiet_client {
        explicit slow_client(slow& s) : s(s) {}
        void event(uint16_t, const morvex::event_data&, morvex::zeph_session&, uint32_t) override { s.hold(); }
        slow& s;
    };
    struct listener {
        void seen(uint16_t, morvex::event_data) {}
    } l;
    auto quiet_cb = w32cpp::make_member_callback<listener, uint16_t, morvex::event_data>(&l, &listener::seen);
    enum class who { observer, listener };
    const std::pair<who, stop_kind> cases[] = {{who::observer, stop_kind::idle_mode},
                                               {who::observer, stop_kind::reset},
                                               {who::observer, stop_kind::last_observer},
                                               {who::observer, stop_kind::unregister},
                                               {who::listener, stop_kind::idle_mode}};
    for (auto [slow_one, kind] : cases) {
        SCOPED_TRACE(int(slow_one) * 10 + int(kind));
        ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
        slow s;
        slow_observer observer(s);
        slow_client client(s);
        recorder plain(0, true);
        auto slow_cb = w32cpp::make_member_callback<slow, uint16_t, morvex::event_data>(&s, &slow::seen);
        if (slow_one == who::listener) {
            session.notification_listeners().add(slow_cb);
            session.add_observer(&plain);
        } else if (kind == stop_kind::unregister) {
            api->register_observer(session, &client, 0, true, 1);
        } else {
            session.add_observer(&observer);
        }
        ASSERT_TRUE(reads_posted());
        ASSERT_TRUE(device->fire(0x0001));
        ASSERT_TRUE(s.inside.wait());
        in_background stop([&] {
            switch (kind) {
            case stop_kind::idle_mode: session.set_mode(0, 0, 0); break;
            case stop_kind::reset: session.reset_device(); break;
            case stop_kind::last_observer: session.remove_observer(&observer); break;
            case stop_kind::unregister: api->unregister_observer(session); break;
            }
        });
        // Past the second after which a stop used to end the thread: the call is still running.
        EXPECT_FALSE(stop.returns(std::chrono::milliseconds(1300)));
        SetEvent(s.gate);
        ASSERT_TRUE(s.returned.wait());
        ASSERT_TRUE(stop.returns());
        recorder other(0, true);
        quiet_client q;
        EXPECT_TRUE(returns_within([&] {
            session.remove_observer(&observer);
            session.remove_observer(&plain);
            session.notification_listeners().remove(slow_cb);
            session.add_observer(&other);
            session.remove_observer(&other);
            session.notification_listeners().add(quiet_cb);
            session.notification_listeners().remove(quiet_cb);
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
    }
}

// An observer's callback selects idle mode (or resets) while a client thread does the same: the
// client's stop waits for the callback, which must not need anything the client holds meanwhile.
TEST_F(ConcurrencyTest, ObserverAndClientSelectingIdleModeAtOnceBothReturn) {
    enum class client_kind { idle_mode, reset };
    for (client_kind kind : {client_kind::idle_mode, client_kind::reset}) {
        SCOPED_TRACE(int(kind));
        ASSERT_EQ(session.set_mode(1, 0, 0).get_code(), 0u);
        struct idler : recorder {
            morvex::zeph_session* session = nullptr;
            zephtest::flag inside, client_started;
            std::atomic<DWORD> status{WAIT_FAILED};
            void on_event(uint16_t code, const morvex::event_data& data) override {
                recorder::on_event(code, data);
                inside.set();
                client_started.wait();
                // The client is in its stop by now, waiting for this callback.
                Sleep(100);
                status = session->set_mode(0, 0, 0).get_code();
            }
        } observer;
        observer.session = &session;
        session.add_observer(&observer);
        ASSERT_TRUE(reads_posted());
        ASSERT_TRUE(device->fire(0x0001));
        ASSERT_TRUE(observer.inside.wait());
        std::atomic<DWORD> client_status{WAIT_FAILED};
        in_background client([&] {
            observer.client_started.set();
            client_status =
                (kind == client_kind::idle_mode ? session.set_mode(0, 0, 0) : session.reset_device()).get_code();
        });
        ASSERT_TRUE(client.returns());
        EXPECT_EQ(client_status.load(), 0u);
        // The callback returned, its own request done: its thread was not ended inside it.
        ASSERT_TRUE(wait_until([&] { return observer.status.load() == 0; })) << observer.status.load();
        session.remove_observer(&observer);
    }
}

// A callback starts the scheduler again (a reset, or a new observer after the last one left): the
// start takes effect although it is asked for on the scheduler's own thread, and later events arrive.
TEST_F(ConcurrencyTest, StartsAskedForFromACallbackTakeEffect) {
    // A reset from the callback stops the scheduler, then starts it again.
    struct resetter : recorder {
        morvex::zeph_session* session = nullptr;
        std::atomic<DWORD> status{WAIT_FAILED};
        void on_event(uint16_t code, const morvex::event_data& data) override {
            recorder::on_event(code, data);
            if (code == 0x0001) status = session->reset_device().get_code();
        }
    } r;
    r.session = &session;
    session.add_observer(&r);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0001));
    ASSERT_TRUE(wait_until([&] { return r.status.load() == 0; }));
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0002));
    EXPECT_TRUE(wait_until([&] { return r.events() == 2; }));
    session.remove_observer(&r);
    ASSERT_TRUE(reads_posted(0));

    // The last observer leaves on a client thread while its callback adds another.
    recorder b(0, true);
    struct adder : recorder {
        morvex::zeph_session* session = nullptr;
        recorder* newcomer = nullptr;
        zephtest::flag inside, removal_started, added;
        void on_event(uint16_t code, const morvex::event_data& data) override {
            recorder::on_event(code, data);
            inside.set();
            removal_started.wait();
            // The removal has taken this observer out and waits for this callback by now.
            Sleep(100);
            session->add_observer(newcomer);
            added.set();
        }
    } a;
    a.session = &session;
    a.newcomer = &b;
    session.add_observer(&a);
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0003));
    ASSERT_TRUE(a.inside.wait());
    in_background removal([&] {
        a.removal_started.set();
        session.remove_observer(&a);
    });
    ASSERT_TRUE(removal.returns());
    ASSERT_TRUE(a.added.is_set());
    ASSERT_TRUE(reads_posted());
    ASSERT_TRUE(device->fire(0x0004));
    EXPECT_TRUE(wait_until([&] { return b.events() == 1; }));
    session.remove_observer(&b);
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
        zephtest::join(other);
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
