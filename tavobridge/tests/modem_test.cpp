// The TAPI modem layer and the modem port against the telephony stand-in's simulated modem, whose
// call reaches the simulated instrument's serial face; the serial host side runs on top.
#include <gtest/gtest.h>
#include <windows.h>
#include <tapi.h>

#include <simdev/faults.h>
#include <simdev/instrument.h>
#include <simdev/modem.h>
#include <standin/clock.h>
#include <standin/debug.h>
#include <standin/faults.h>
#include <standin/tapi.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rig.h"
#include "tavobridge/TapiComPort.h"
#include "tavobridge/TapiSession.h"
#include "zephtest/wait.h"

using lintra_test::pattern;
using lintra_test::read_message;

namespace {

const std::vector<BYTE> config_bytes = {1, 2, 3, 4, 5, 6, 7};

struct Modem : ::testing::Test {
    void SetUp() override {
        // 12 s reply waits become 240 ms, the 120 s connection wait 2.4 s.
        standin::clock::set_long_wait_scale(0.02);
        standin::debug::clear();
        simdev::clear_line_devices();
        model = std::make_shared<simdev::instrument>();
        modem = add(simdev::modem_config{});
    }
    void TearDown() override {
        simdev::clear_line_devices();
        standin::clock::reset();
    }
    std::shared_ptr<simdev::modem> add(simdev::modem_config cfg) {
        auto m = std::make_shared<simdev::modem>(model, cfg);
        simdev::add_line_device(m);
        return m;
    }
    std::unique_ptr<TapiComPort> port(const std::string& number, bool redial = false, int limit = 0,
                                      DWORD timeout = 2000, DWORD device = 0) {
        return std::make_unique<TapiComPort>(device, config_bytes.data(), DWORD(config_bytes.size()), 0, number,
                                             timeout, nullptr, redial, limit);
    }
    static bool traced(const std::string& text) { return standin::debug::text().find(text) != std::string::npos; }
    // The call drops while the worker polls: its failed exchanges redial on the worker thread,
    // against a session this thread opened, while this thread does `meanwhile` over and over. Then
    // the link runs on the new call.
    void redial_on_the_worker(const std::function<void(TapiComPort&)>& meanwhile);

    std::shared_ptr<simdev::instrument> model;
    std::shared_ptr<simdev::modem> modem;
};

// The modem port handed to the serial host side as a counted handle, brought up at address 1.
struct Link {
    explicit Link(TapiComPort* p) : port(p), handle(p), emulation(std::make_unique<lintra::RsUSBEmulation>(handle)) {}
    ~Link() { emulation.reset(); }
    bool bring_up() {
        if (!emulation->set_address(1)) return false;
        emulation->set_configuration_value(1);
        return emulation->bring_up(1);
    }
    TapiComPort* port;
    w32cpp::auto_handle<IComPort> handle;
    std::unique_ptr<lintra::RsUSBEmulation> emulation;
};

void Modem::redial_on_the_worker(const std::function<void(TapiComPort&)>& meanwhile) {
    Link link(port("99", true, 3, 100).release());
    ASSERT_TRUE(link.port->open());
    ASSERT_TRUE(link.bring_up());
    model->queue_bulk_message(pattern(100, 1));
    ASSERT_TRUE(read_message(*link.emulation));
    ASSERT_TRUE(modem->drop_call());
    model->queue_bulk_message(pattern(200, 3));
    std::thread reader([&] { read_message(*link.emulation); });  // its exchanges fail until the line is back
    const bool redialled = zephtest::wait_until([&] {
        meanwhile(*link.port);
        return modem->calls_connected() >= 2;
    });
    zephtest::join(reader);
    ASSERT_TRUE(redialled);
    link.emulation->stop(true);
    ASSERT_TRUE(link.emulation->bring_up(1));
    model->queue_bulk_message(pattern(300, 2));
    auto got = read_message(*link.emulation);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, pattern(300, 2));
    EXPECT_GE(link.port->redial_count(), 1);
}

}  // namespace

TEST_F(Modem, DialConnectStreamAndHangUp) {
    Link link(port("5551234").release());
    ASSERT_TRUE(link.port->open());
    EXPECT_EQ(modem->dialled(), (std::vector<std::string>{"5551234"}));
    EXPECT_EQ(modem->applied_config(), config_bytes);
    EXPECT_EQ(modem->calls_connected(), 1u);
    EXPECT_TRUE(traced("Connected!  Starting communications!\n"));
    EXPECT_EQ(link.port->baud_rate(), 115200u);
    EXPECT_TRUE(link.port->is_connected());
    std::string name = "x";
    link.port->name(name);
    EXPECT_EQ(name, "");

    ASSERT_TRUE(link.bring_up());
    for (std::uint32_t i = 0; i < 8; ++i) {
        model->queue_bulk_message(pattern(1500 + i, i));
        auto got = read_message(*link.emulation);
        ASSERT_TRUE(got) << i;
        EXPECT_EQ(*got, pattern(1500 + i, i)) << i;
    }
    link.emulation->stop(true);
    link.port->close();
    EXPECT_FALSE(link.port->is_connected());
    EXPECT_TRUE(traced("Call stopped\n"));
    EXPECT_TRUE(modem->data_line_path().empty());
}

TEST_F(Modem, BusyNoAnswerAndNoDialToneFailAtOnce) {
    struct Case {
        const char* what;
        void (simdev::modem::*set)(bool);
        const char* trace;
    } cases[] = {
        {"busy", &simdev::modem::set_busy, "Line busy, shutting down\n"},
        {"no answer", &simdev::modem::set_no_answer, "Disconnected: No Answer"},
        {"no dial tone", &simdev::modem::set_no_dial_tone, "Disconnected: No Dial Tone"},
    };
    for (const Case& c : cases) {
        standin::debug::clear();
        (modem.get()->*c.set)(true);
        auto p = port("5551234");
        EXPECT_FALSE(p->open()) << c.what;
        EXPECT_TRUE(traced(c.trace)) << c.what;
        // The end of the call ends the wait for the connection; it does not run out.
        EXPECT_FALSE(traced("DialCallInParts failed (TimeOut).\n")) << c.what;
        EXPECT_FALSE(p->is_connected());
        (modem.get()->*c.set)(false);
    }
    EXPECT_EQ(modem->calls_connected(), 0u);
    auto p = port("5551234");
    EXPECT_TRUE(p->open());  // the line is usable again
}

TEST_F(Modem, SlowConnectWithinAndBeyondTheWait) {
    modem->set_connect_delay_ms(300);
    auto p = port("1");
    EXPECT_TRUE(p->open());
    p->close();
    modem->set_connect_delay_ms(6000);  // beyond the scaled 120 s
    EXPECT_FALSE(p->open());
    EXPECT_TRUE(traced("DialCallInParts failed (TimeOut).\n"));
    EXPECT_EQ(modem->calls_connected(), 1u);
}

TEST_F(Modem, RefusedDialModifierIsDialledAgainSplit) {
    modem->refuse_modifiers("W");  // the device claims "W" but refuses it
    auto p = port("9W123");
    ASSERT_TRUE(p->open());
    EXPECT_EQ(modem->dialled(), (std::vector<std::string>{"9W123", "9;", "123"}));
    EXPECT_TRUE(traced("Service Provider incorrectly sets dwDevCapFlags\n"));
    EXPECT_TRUE(traced("Ok to continue dialing.\n"));
}

TEST_F(Modem, ModifiersTheDeviceLacksSplitTheNumber) {
    simdev::clear_line_devices();
    simdev::modem_config cfg;
    cfg.dev_cap_flags = 0;
    modem = add(cfg);
    auto p = port("9W12?34");
    ASSERT_TRUE(p->open());
    EXPECT_EQ(modem->dialled(), (std::vector<std::string>{"9;", "12;", "34"}));
    p->close();

    simdev::clear_line_devices();
    cfg.partial_dial = false;
    modem = add(cfg);
    auto q = port("9W123");
    EXPECT_FALSE(q->open());
    EXPECT_TRUE(modem->dialled().empty());

    auto plain = port("5551234");
    ASSERT_TRUE(plain->open());  // without modifiers: one make-call, no ";"
    EXPECT_EQ(modem->dialled(), (std::vector<std::string>{"5551234"}));
}

TEST_F(Modem, EmptyNumberIsNoCall) {
    auto p = port("");
    EXPECT_FALSE(p->open());
    EXPECT_TRUE(traced("DialCallInParts failed.\n"));
    EXPECT_FALSE(traced("DialCallInParts failed (TimeOut).\n"));
    EXPECT_TRUE(modem->dialled().empty());
}

TEST_F(Modem, DroppedCallRedialsUpToTheLimit) {
    auto p = port("42", true, 2, 50);
    ASSERT_TRUE(p->open());
    BYTE b[4];
    for (int drop = 1; drop <= 3; ++drop) {
        ASSERT_TRUE(modem->drop_call()) << drop;
        DWORD n = 4;
        EXPECT_FALSE(p->read(b, &n)) << drop;  // the exchange is repeated by the serial side
    }
    // Two redials, then the limit: the third failed read does not dial.
    EXPECT_EQ(p->redial_count(), 2);
    EXPECT_EQ(modem->calls_connected(), 3u);
    EXPECT_TRUE(traced("Remote Party Disconnected"));
    // An explicit flush still reconnects.
    EXPECT_TRUE(p->flush());
    EXPECT_EQ(modem->calls_connected(), 4u);
}

TEST_F(Modem, RedialsThatFailCountAgainstTheLimit) {
    auto p = port("42", true, 1, 50);
    ASSERT_TRUE(p->open());
    modem->set_busy(true);  // the far end stays unreachable: every redial fails
    ASSERT_TRUE(modem->drop_call());
    BYTE b[4];
    DWORD n = 4;
    EXPECT_FALSE(p->read(b, &n));  // one redial: four dialling attempts, all busy
    EXPECT_EQ(p->redial_count(), 1);
    const size_t dialled = modem->dialled().size();
    EXPECT_EQ(dialled, 5u);
    n = 4;
    EXPECT_FALSE(p->read(b, &n));  // the limit is reached: no more dialling
    EXPECT_EQ(modem->dialled().size(), dialled);
    EXPECT_EQ(modem->calls_connected(), 1u);
}

TEST_F(Modem, NoRedialWithoutTheFlagOrWhileConnected) {
    auto p = port("42", false, 5, 50);
    ASSERT_TRUE(p->open());
    BYTE b[4];
    DWORD n = 4;
    EXPECT_FALSE(p->read(b, &n));  // the instrument says nothing unasked; the call is up
    EXPECT_EQ(p->redial_count(), 0);
    ASSERT_TRUE(modem->drop_call());
    n = 4;
    EXPECT_FALSE(p->read(b, &n));
    EXPECT_EQ(p->redial_count(), 0);
    EXPECT_EQ(modem->calls_connected(), 1u);
    // The dropped call is hung up before the next one is placed on the same modem, so q's dialling
    // does not also carry p's late hang-up (AnEndedCallsHangUpLeavesTheNextCallsLine covers that).
    p->close();

    auto q = port("43", true, 5, 50);
    ASSERT_TRUE(q->open());
    n = 4;
    EXPECT_FALSE(q->read(b, &n));  // failed but still connected
    EXPECT_EQ(q->redial_count(), 0);
}

// Straight on the telephony calls: the far end drops call a, call b connects on the same modem, and
// only then does a's owner hang a up (its messages came late); b's data line must stay.
TEST_F(Modem, AnEndedCallsHangUpLeavesTheNextCallsLine) {
    const LINECALLBACK quiet = [](DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {};
    const auto pump_until = [](const std::function<bool()>& pred) {
        return zephtest::wait_until([&] {
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
            return pred();
        });
    };
    const auto idle = [](HCALL c) {
        LINECALLSTATUS st{};
        st.dwTotalSize = sizeof st;
        return lineGetCallStatus(c, &st) == 0 && st.dwCallState == LINECALLSTATE_IDLE;
    };
    HLINEAPP app = 0;
    DWORD devices = 0, version = 0;
    ASSERT_EQ(lineInitializeExA(&app, nullptr, quiet, "test", &devices, &version, nullptr), 0);
    HLINE la = 0, lb = 0;
    ASSERT_EQ(lineOpenA(app, 0, &la, version, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr), 0);
    ASSERT_EQ(lineOpenA(app, 0, &lb, version, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr), 0);
    HCALL a = 0, b = 0;
    ASSERT_GT(lineMakeCallA(la, &a, "42", 0, nullptr), 0);
    ASSERT_TRUE(pump_until([&] { return a != 0 && modem->calls_connected() == 1; }));
    ASSERT_TRUE(modem->drop_call());
    ASSERT_GT(lineMakeCallA(lb, &b, "43", 0, nullptr), 0);
    ASSERT_TRUE(pump_until([&] { return b != 0 && modem->calls_connected() == 2; }));
    const std::string line = modem->data_line_path();
    ASSERT_FALSE(line.empty());

    EXPECT_GT(lineDrop(a, nullptr, 0), 0);
    EXPECT_EQ(modem->data_line_path(), line);
    ASSERT_TRUE(pump_until([&] { return idle(a); }));
    EXPECT_EQ(lineDeallocateCall(a), 0);
    EXPECT_EQ(modem->data_line_path(), line);

    EXPECT_GT(lineDrop(b, nullptr, 0), 0);  // the owner's hang-up does let it go
    EXPECT_TRUE(modem->data_line_path().empty());
    ASSERT_TRUE(pump_until([&] { return idle(b); }));
    EXPECT_EQ(lineDeallocateCall(b), 0);
    EXPECT_EQ(lineShutdown(app), 0);
}

// The far end drops the call the moment the modem has connected it: the call ends, as it does later
// on (here repeatedly, the drop coming as soon as the connection is seen).
TEST_F(Modem, AFarEndDropRightAfterTheConnectionEndsTheCall) {
    const LINECALLBACK quiet = [](DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {};
    HLINEAPP app = 0;
    DWORD devices = 0, version = 0;
    ASSERT_EQ(lineInitializeExA(&app, nullptr, quiet, "test", &devices, &version, nullptr), 0);
    HLINE line = 0;
    ASSERT_EQ(lineOpenA(app, 0, &line, version, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_DATAMODEM, nullptr), 0);
    const auto state_of = [](HCALL c) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        LINECALLSTATUS st{};
        st.dwTotalSize = sizeof st;
        return lineGetCallStatus(c, &st) == 0 ? st.dwCallState : 0;
    };
    for (unsigned i = 1; i <= 50; ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        HCALL call = 0;
        ASSERT_GT(lineMakeCallA(line, &call, "42", 0, nullptr), 0);
        ASSERT_TRUE(zephtest::wait_until([&] { return state_of(call) != 0; }));  // the reply came
        ASSERT_TRUE(zephtest::wait_until([&] { return modem->calls_connected() == i; }, zephtest::default_deadline,
                                         std::chrono::milliseconds(0)));
        ASSERT_TRUE(modem->drop_call());
        EXPECT_TRUE(zephtest::wait_until([&] { return state_of(call) == LINECALLSTATE_DISCONNECTED; }))
            << "the call stayed in state " << state_of(call);
        EXPECT_GT(lineDrop(call, nullptr, 0), 0);
        ASSERT_TRUE(zephtest::wait_until([&] { return state_of(call) == LINECALLSTATE_IDLE; }));
        ASSERT_EQ(lineDeallocateCall(call), 0);
        if (HasFailure()) break;
    }
    EXPECT_EQ(lineShutdown(app), 0);
}

TEST_F(Modem, ReopenHangsTheOldCallUpAndDropsItsHandle) {
    auto p = port("77");
    ASSERT_TRUE(p->open());
    HANDLE first = p->handle();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(first, &dcb));
    ASSERT_TRUE(p->open());
    EXPECT_EQ(modem->calls_connected(), 2u);
    EXPECT_NE(p->handle(), first);
    EXPECT_FALSE(GetCommState(first, &dcb));  // the old call's handle is closed
    EXPECT_TRUE(GetCommState(p->handle(), &dcb));
    p->close();
    EXPECT_FALSE(p->is_open());
}

TEST_F(Modem, RedialFromTheSerialWorkerThread) {
    redial_on_the_worker([](TapiComPort&) {});
}

// As a windowed application does: the end of the call reaches the session here.
TEST_F(Modem, OwnerThreadDispatchingTheDropWhileTheWorkerRedials) {
    redial_on_the_worker([](TapiComPort&) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    });
    EXPECT_TRUE(traced("Remote Party Disconnected"));
}

// As the flat API's link check does.
TEST_F(Modem, LinkStateAskedWhileTheWorkerRedials) {
    redial_on_the_worker([](TapiComPort& p) { p.is_connected(); });
}

// The call drops and the far end no longer picks up: the worker's failed read redials, and each of
// its dialling attempts would wait the whole connection wait. A stop of the line gives up the call
// being dialled and the attempts left, and ends well within one connection wait.
TEST_F(Modem, StopDuringARedialDropsTheCallBeingDialled) {
    Link link(port("99", true, 3, 100).release());
    ASSERT_TRUE(link.port->open());
    ASSERT_TRUE(link.bring_up());
    modem->set_connect_delay_ms(60000);  // it rings on, beyond the (scaled) connection wait
    ASSERT_TRUE(modem->drop_call());
    std::thread reader([&] { read_message(*link.emulation); });  // fails, and the worker redials
    const bool dialling = zephtest::wait_until([&] { return modem->dialled().size() >= 2; });
    const DWORD start = GetTickCount();
    link.emulation->stop(true);
    const DWORD took = GetTickCount() - start;
    zephtest::join(reader);
    ASSERT_TRUE(dialling);
    EXPECT_LT(took, standin::clock::scaled(120000) / 2);
    EXPECT_EQ(modem->dialled().size(), 2u);  // no attempt after the stop
    EXPECT_EQ(modem->calls_connected(), 1u);
    EXPECT_TRUE(traced("Call abandoned.\n"));
    link.port->close();
    EXPECT_FALSE(link.port->is_connected());
}

// Dispatches this thread's messages (the sessions' callbacks) until pred holds, with the deadline.
bool dispatch_until(const std::function<bool()>& pred) {
    return zephtest::wait_until([&] {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        return pred();
    });
}

size_t traced_count(const std::string& text) {
    const std::string all = standin::debug::text();
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
}

// A disconnect mode the layer does not know is reported as a bad reason; the call still ends.
TEST_F(Modem, DisconnectWithAnUnknownModeIsABadReasonAndHangsUp) {
    auto p = port("31");
    ASSERT_TRUE(p->open());
    standin::tapi::post_call_state(LINECALLSTATE_DISCONNECTED, 0x2000);
    ASSERT_TRUE(dispatch_until([] { return traced("Call stopped\n"); }));
    EXPECT_TRUE(traced("Disconnected: LINECALLSTATE; Bad Reason"));
    EXPECT_FALSE(traced("Remote Party Disconnected"));
    EXPECT_FALSE(p->is_connected());
}

// Only the first CONNECTED after dialling takes the call's comm handle: a second one changes nothing.
TEST_F(Modem, ASecondConnectedMessageLeavesTheCallAsItIs) {
    auto p = port("32");
    ASSERT_TRUE(p->open());
    const HANDLE h = p->handle();
    ASSERT_EQ(traced_count("Connected!  Starting communications!\n"), 1u);
    const size_t states = traced_count("LINE_CALLSTATE\n");
    standin::tapi::post_call_state(LINECALLSTATE_CONNECTED, 0);
    ASSERT_TRUE(dispatch_until([&] { return traced_count("LINE_CALLSTATE\n") > states; }));
    EXPECT_EQ(traced_count("Connected!  Starting communications!\n"), 1u);
    EXPECT_EQ(p->handle(), h);
    DCB dcb{};
    EXPECT_TRUE(GetCommState(h, &dcb));
    EXPECT_TRUE(p->is_connected());
}

// A LINE_REPLY for another request (an error) arriving while the dial waits for its own reply is
// not taken for it: the call is placed.
TEST_F(Modem, AReplyForAnotherRequestIsNotTheAwaitedOne) {
    standin::tapi::reply_for_another_request_first(0x7777, LONG(LINEERR_OPERATIONFAILED));
    auto p = port("33");
    ASSERT_TRUE(p->open());
    EXPECT_TRUE(traced("LINE_REPLY error: "));
    EXPECT_TRUE(p->is_connected());
    EXPECT_EQ(modem->calls_connected(), 1u);
}

TEST_F(Modem, SessionListsDataModemsWithTheirNamesAndConfiguration) {
    simdev::modem_config voice;
    voice.name = "Voice Only";
    voice.data_modem = false;
    add(voice);
    simdev::modem_config long_name;
    long_name.name = std::string(1500, 'L');  // more than the first fetch holds
    add(long_name);
    simdev::modem_config cut;
    cut.name = "Cut Name";
    cut.name_terminated = false;
    add(cut);

    TapiSession s;
    ASSERT_TRUE(s.InitializeTapi());
    EXPECT_EQ(s.line_device_count(), 4u);
    std::vector<std::string> names;
    std::vector<DWORD> ids;
    EXPECT_TRUE(s.enumerate_line_devices(names, ids));
    EXPECT_EQ(names, (std::vector<std::string>{"Zeph Simulated Modem", std::string(1500, 'L'), "Cut Name"}));
    EXPECT_EQ(ids, (std::vector<DWORD>{0, 2, 3}));
    EXPECT_TRUE(traced("Reallocating structure\n"));
    EXPECT_TRUE(traced("Device name for device 0x3 is not null terminated."));

    s.PreConfigureDevice(0);
    ASSERT_EQ(s.device_configuration_size(), modem->config().dev_config.size());
    EXPECT_EQ(std::vector<BYTE>(s.device_configuration(), s.device_configuration() + s.device_configuration_size()),
              modem->config().dev_config);
}

// The service's needed size is not taken on trust: one far beyond any structure is refused without
// allocating it, and one that keeps growing is asked for a few times only.
TEST_F(Modem, NeededSizesBeyondReasonAreRefused) {
    int calls = 0;
    DWORD claim = 1u << 20;
    standin::tapi::set_structure_hook([&](const char* function, void* structure, DWORD total, LONG result) {
        if (std::string(function) != "lineGetDevConfigA") return result;
        ++calls;
        static_cast<VARSTRING*>(structure)->dwNeededSize = claim ? claim : total + 1;
        return result;
    });
    {
        TapiSession s;
        ASSERT_TRUE(s.InitializeTapi());
        s.PreConfigureDevice(0);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(s.device_configuration(), nullptr);
        EXPECT_TRUE(traced("PreConfigureDevice - lineGetDevConfig: "));

        calls = 0;
        claim = 0;  // always one byte more than the block given
        s.PreConfigureDevice(0);
        EXPECT_GE(calls, 2);
        EXPECT_LE(calls, 5);
        EXPECT_EQ(s.device_configuration(), nullptr);
    }
    standin::tapi::set_structure_hook(nullptr);
}

TEST_F(Modem, SessionRefusesASecondCallAndReportsConnection) {
    TapiSession s;
    s.set_phone_number("123");
    s.set_line_device(0);
    ASSERT_TRUE(s.PlaceCall());
    EXPECT_TRUE(s.IsCallConnected());
    EXPECT_NE(s.comm_handle(), nullptr);
    standin::debug::clear();
    EXPECT_FALSE(s.PlaceCall());
    EXPECT_TRUE(traced("A call is already being handled\n"));
    EXPECT_TRUE(s.IsCallConnected());  // the running call is left alone
    // A device that comes during the call is counted.
    EXPECT_EQ(s.line_device_count(), 1u);
    add(simdev::modem_config{});
    ASSERT_TRUE(zephtest::wait_until([&] {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        return s.line_device_count() == 2u;
    }));
    ASSERT_TRUE(modem->drop_call());
    ASSERT_TRUE(zephtest::wait_until([&] {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        return !s.IsCallConnected();
    }));
    EXPECT_TRUE(s.HangupCall());
    EXPECT_TRUE(s.ShutdownTapi());
}

TEST_F(Modem, SessionPlacingASecondCallLetsTheFirstHandleGo) {
    TapiSession s;
    s.set_phone_number("123");
    ASSERT_TRUE(s.PlaceCall());
    HANDLE first = s.comm_handle();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(first, &dcb));
    ASSERT_TRUE(s.HangupCall());
    ASSERT_TRUE(s.PlaceCall());
    EXPECT_NE(s.comm_handle(), first);
    EXPECT_TRUE(GetCommState(s.comm_handle(), &dcb));
    EXPECT_FALSE(GetCommState(first, &dcb));  // closed, not left open for the life of the session
}

namespace {

std::vector<std::pair<WPARAM, LPARAM>> g_status;

LRESULT CALLBACK status_window(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == 0x801) {
        g_status.emplace_back(wp, lp);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

bool reported(WPARAM code, LPARAM kind) {
    for (auto& s : g_status)
        if (s.first == code && s.second == kind) return true;
    return false;
}

}  // namespace

TEST_F(Modem, SessionReportsProgressToItsWindow) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = status_window;
    wc.lpszClassName = "ModemTestStatus";
    RegisterClassA(&wc);
    HWND w = CreateWindowExA(0, "ModemTestStatus", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    g_status.clear();
    {
        TapiSession s;
        s.set_window(w);
        s.set_phone_number("31");
        ASSERT_TRUE(s.PlaceCall());
        EXPECT_TRUE(reported(5, 0));                        // a successful reply
        EXPECT_TRUE(reported(8, 0));                        // dialling done
        EXPECT_TRUE(reported(LINECALLSTATE_CONNECTED, 2));  // call state
        ASSERT_TRUE(modem->drop_call());
        ASSERT_TRUE(zephtest::wait_until([&] {
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
            return reported(LINEDISCONNECTMODE_NORMAL, 3);
        }));
        EXPECT_TRUE(reported(7, 0));  // the call being stopped
    }
    DestroyWindow(w);
}

TEST_F(Modem, OpenWithoutItsEventHangsTheCallUp) {
    auto p = port("12");
    standin::faults::rule no_event;
    no_event.where = standin::faults::site::create_event;
    no_event.this_thread_only = true;
    standin::faults::add(no_event);
    const bool opened = p->open();
    standin::faults::clear();
    EXPECT_FALSE(opened);
    EXPECT_FALSE(p->is_open());
    EXPECT_EQ(modem->calls_connected(), 1u);
    EXPECT_TRUE(traced("Call stopped\n"));
    EXPECT_TRUE(modem->data_line_path().empty());  // the call is down again
}

TEST_F(Modem, ACommIdentifierWithoutHandleIsNoConnection) {
    simdev::clear_line_devices();
    simdev::modem_config cfg;
    cfg.comm_id_without_handle = true;
    modem = add(cfg);
    auto p = port("12");
    EXPECT_FALSE(p->open());
    EXPECT_FALSE(traced("Connected!  Starting communications!\n"));
    EXPECT_TRUE(traced("Call stopped\n"));
    EXPECT_FALSE(p->is_open());
}
