#include "tavobridge/TapiSession.h"

#include <w32cpp/lock.h>

#include <cstring>
#include <new>
#include <set>

namespace {

// ---- run-time binding of TAPI32 -------------------------------------------------------------

struct binding_state {
    CRITICAL_SECTION lock;
    HMODULE module = nullptr;
    int module_state = 0;  // 0 not tried, 1 loaded, 2 failed for good
    binding_state() { InitializeCriticalSection(&lock); }
};

// The process-wide state lives in the image's own storage and is never destroyed: a session may still
// use it during the unload, and nothing of it is left on the heap once the library is unloaded.
template <class T>
T& immortal() {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T* object = new (storage) T;
    return *object;
}

binding_state& bindings() { return immortal<binding_state>(); }

template <class F>
struct bound {
    const char* name;
    F* address = nullptr;
    bool failed = false;
};

template <class F>
F* resolve(bound<F>& b) {
    binding_state& s = bindings();
    w32cpp::section_lock guard(s.lock);
    if (b.address || b.failed) return b.address;
    if (s.module_state == 0) {
        s.module = LoadLibraryA("TAPI32.DLL");
        s.module_state = s.module ? 1 : 2;
    }
    if (s.module_state == 1)
        b.address = reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(s.module, b.name)));
    b.failed = b.address == nullptr;
    return b.address;
}

template <class F, class... A>
LONG call(bound<F>& b, A... args) {
    F* f = resolve(b);
    return f ? f(args...) : static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
}

#define TAPI_BINDING(fn) \
    bound<decltype(::fn)> b_##fn { #fn }
TAPI_BINDING(lineClose);
TAPI_BINDING(lineDeallocateCall);
TAPI_BINDING(lineDialA);
TAPI_BINDING(lineDrop);
TAPI_BINDING(lineGetAddressCapsA);
TAPI_BINDING(lineGetAddressStatusA);
TAPI_BINDING(lineGetCallStatus);
TAPI_BINDING(lineGetDevCapsA);
TAPI_BINDING(lineGetDevConfigA);
TAPI_BINDING(lineGetIDA);
TAPI_BINDING(lineInitializeExA);
TAPI_BINDING(lineMakeCallA);
TAPI_BINDING(lineNegotiateAPIVersion);
TAPI_BINDING(lineOpenA);
TAPI_BINDING(lineSetDevConfigA);
TAPI_BINDING(lineSetStatusMessages);
TAPI_BINDING(lineShutdown);
#undef TAPI_BINDING

// ---- process-wide session state --------------------------------------------------------------

struct session_registry {
    CRITICAL_SECTION lock;
    std::set<const TapiSession*> live;
    TapiSession* current = nullptr;
    DWORD call_state_wait_ended = 0;
    session_registry() { InitializeCriticalSection(&lock); }
};

session_registry& sessions() { return immortal<session_registry>(); }

// ---- traces -----------------------------------------------------------------------------------

void trace(const char* text) { OutputDebugStringA(text); }

void trace_code(const char* text, DWORD code) {
    char line[260];
    wsprintfA(line, "%s %x\n", text, static_cast<unsigned>(code));
    OutputDebugStringA(line);
}

constexpr LONG alloc_failed = static_cast<LONG>(0x80000044);  // no memory for the structure
// The largest variable-size structure taken from the service (names and configurations are short),
// and how often one is fetched again because it did not fit.
constexpr DWORD largest_structure = 64 * 1024;
constexpr int growth_rounds = 4;

// A zero-filled LocalAlloc block holding one variable-size TAPI structure.
class tapi_block {
public:
    tapi_block() = default;
    ~tapi_block() {
        if (p_) LocalFree(p_);
    }
    tapi_block(const tapi_block&) = delete;
    tapi_block& operator=(const tapi_block&) = delete;

    template <class T>
    T* as() const {
        return reinterpret_cast<T*>(p_);
    }
    DWORD size() const { return size_; }

    // Calls fetch(block) and grows the block until the structure fits. The needed size is the
    // service's word: one beyond any structure this layer reads, or one that still grows after a few
    // rounds, is refused as no memory rather than allocated.
    template <class Fetch>
    LONG fetch(DWORD initial, const char* name, Fetch fetch) {
        if (!reserve(p_ ? size_ : initial, name)) return alloc_failed;
        for (int round = 0;; ++round) {
            LONG r = fetch(p_);
            if (r != 0) return r;
            const DWORD needed = reinterpret_cast<DWORD*>(p_)[1];
            if (needed <= size_) return 0;
            if (needed > largest_structure || round == growth_rounds) {
                trace(name);
                return alloc_failed;
            }
            trace("Reallocating structure\n");
            if (!reserve(needed, name)) return alloc_failed;
        }
    }

private:
    bool reserve(DWORD size, const char* name) {
        if (!p_ || size > size_) {
            if (p_) LocalFree(p_);
            p_ = static_cast<BYTE*>(LocalAlloc(LPTR, size));
            size_ = p_ ? size : 0;
            if (!p_) {
                trace(name);
                return false;
            }
        } else {
            ZeroMemory(p_, size_);
        }
        reinterpret_cast<DWORD*>(p_)[0] = size_;
        return true;
    }
    BYTE* p_ = nullptr;
    DWORD size_ = 0;
};

LONG fetch_dev_caps(tapi_block& caps, HLINEAPP app, DWORD device, DWORD version) {
    return caps.fetch(1292, "lineGetDevCaps", [&](void* p) {
        return call(b_lineGetDevCapsA, app, device, version, static_cast<DWORD>(0), static_cast<LPLINEDEVCAPS>(p));
    });
}

LONG fetch_call_status(tapi_block& status, HCALL hcall) {
    return status.fetch(1080, "lineGetCallStatus",
                        [&](void* p) { return call(b_lineGetCallStatus, hcall, static_cast<LPLINECALLSTATUS>(p)); });
}

// True when [offset, offset + size) lies inside the part of the block the service filled.
bool inside(const tapi_block& b, DWORD offset, DWORD size) {
    const DWORD used = b.as<DWORD>()[2];
    const DWORD limit = used < b.size() ? used : b.size();
    return offset <= limit && size <= limit - offset;
}

// The long fixed waits of this layer (reply and call-state waits, the connection wait, the
// re-initialisation pause) run against one waitable timer, so the platform's clock decides.
class deadline {
public:
    explicit deadline(DWORD ms) : start_(GetTickCount()), ms_(ms) {
        timer_ = CreateWaitableTimerA(nullptr, TRUE, nullptr);
        if (timer_) {
            LARGE_INTEGER due;
            due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
            if (!SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
                CloseHandle(timer_);
                timer_ = nullptr;
            }
        }
    }
    ~deadline() {
        if (timer_) CloseHandle(timer_);
    }
    deadline(const deadline&) = delete;
    deadline& operator=(const deadline&) = delete;
    bool expired() const {
        if (timer_) return WaitForSingleObject(timer_, 0) == WAIT_OBJECT_0;
        return GetTickCount() - start_ >= ms_;
    }
    // Waits at most ms for a message to this thread or the end of the deadline.
    void idle(DWORD ms) const {
        if (timer_)
            MsgWaitForMultipleObjects(1, &timer_, FALSE, ms, QS_ALLINPUT);
        else
            MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_ALLINPUT);
    }

private:
    HANDLE timer_ = nullptr;
    DWORD start_;
    DWORD ms_;
};

// Dispatches at most one pending message of this thread; true when one was there.
bool dispatch_one() {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

// Dispatches this thread's messages until done() (wait_done), abort() (wait_aborted, with its trace)
// or the end of ms (wait_timed_out, "WAITTIMEDOUT"). Between messages it sleeps until the next one.
template <class Done, class Abort>
LONG pump_until(DWORD ms, Done done, Abort abort, const char* abort_trace) {
    deadline limit(ms);
    for (;;) {
        if (done()) return 0;
        const bool dispatched = dispatch_one();
        if (done()) return 0;
        if (abort()) {
            if (abort_trace) trace(abort_trace);
            return 1;
        }
        if (limit.expired()) {
            trace("WAITTIMEDOUT\n");
            return 2;
        }
        if (!dispatched) limit.idle(50);
    }
}

struct dial_modifier {
    char modifier;
    DWORD capability;  // 0: never handled by the device
    DWORD error;
};

const dial_modifier modifiers[] = {
    {'$', LINEDEVCAPFLAGS_DIALBILLING, LINEERR_DIALBILLING},
    {'W', LINEDEVCAPFLAGS_DIALDIALTONE, LINEERR_DIALDIALTONE},
    {'w', LINEDEVCAPFLAGS_DIALDIALTONE, LINEERR_DIALDIALTONE},
    {'@', LINEDEVCAPFLAGS_DIALQUIET, LINEERR_DIALQUIET},
    {'?', 0, LINEERR_DIALPROMPT},
};

bool is_dial_modifier_error(LONG r) {
    const DWORD e = static_cast<DWORD>(r);
    return e >= LINEERR_DIALBILLING && e <= LINEERR_DIALQUIET;
}

constexpr DWORD reply_wait_ms = 12000;
constexpr DWORD connect_wait_ms = 120000;  // 1200 passes of 100 ms
constexpr DWORD reinit_pause_ms = 5000;
constexpr DWORD pump_step_ms = 100;
constexpr UINT status_message = 0x801;

}  // namespace

TapiSession::TapiSession() {
    InitializeCriticalSection(&guard_);
    session_registry& r = sessions();
    w32cpp::section_lock guard(r.lock);
    r.live.insert(this);
}

TapiSession::~TapiSession() {
    {
        w32cpp::section_lock hold(guard_);
        ShutdownTapi();
        if (comm_) CloseHandle(comm_);
        comm_ = nullptr;
        set_device_configuration(nullptr, 0);
    }
    session_registry& r = sessions();
    for (;;) {
        {
            w32cpp::section_lock guard(r.lock);
            r.live.erase(this);
            if (r.current == this) r.current = nullptr;
            if (pins_ == 0) break;
        }
        // A callback on the owner thread found this session before it left the list; it ends soon,
        // as the call is already gone.
        Sleep(1);
    }
    DeleteCriticalSection(&guard_);
}

bool TapiSession::set_device_configuration(const BYTE* bytes, DWORD size) {
    if (config_) LocalFree(config_);
    config_ = nullptr;
    config_size_ = 0;
    if (!bytes || size == 0) return true;
    config_ = static_cast<BYTE*>(LocalAlloc(LPTR, size + 1));
    if (!config_) return false;
    CopyMemory(config_, bytes, size);
    config_size_ = size;
    return true;
}

bool TapiSession::can_pump() const { return owner_thread_ == GetCurrentThreadId(); }

void TapiSession::report(DWORD kind, DWORD code) {
    if (window_ && IsWindow(window_)) SendMessageA(window_, status_message, code, kind);
}

void TapiSession::drop_current() {
    session_registry& r = sessions();
    w32cpp::section_lock guard(r.lock);
    if (r.current == this) r.current = nullptr;
}

bool TapiSession::InitializeTapi() {
    if (app_) return true;
    if (initialising_) return false;
    initialising_ = 1;
    LONG r = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD version = 0x20000;
        r = call(b_lineInitializeExA, &app_, reinterpret_cast<HINSTANCE>(GetModuleHandleA(nullptr)),
                 &TapiSession::lineCallbackFunc, "TapiComm", &device_count_, &version,
                 static_cast<LPLINEINITIALIZEEXPARAMS>(nullptr));
        if (static_cast<DWORD>(r) != LINEERR_REINIT || attempt == 1) break;
        deadline pause(reinit_pause_ms);
        while (!pause.expired() && !abandoned_.load())
            if (!dispatch_one()) pause.idle(pump_step_ms);
    }
    initialising_ = 0;
    if (r != 0) {
        app_ = 0;
        if (static_cast<DWORD>(r) != LINEERR_NODEVICE && static_cast<DWORD>(r) != LINEERR_REINIT)
            trace_code("lineInitialize unhandled error:", static_cast<DWORD>(r));
        return false;
    }
    owner_thread_ = GetCurrentThreadId();
    trace("Tapi initialized.\n");
    return true;
}

DWORD TapiSession::negotiate(DWORD device, DWORD low, bool dial_dialog) {
    DWORD version = 0;
    LINEEXTENSIONID ext;
    ZeroMemory(&ext, sizeof ext);
    const LONG r = call(b_lineNegotiateAPIVersion, app_, device, low, static_cast<DWORD>(0x10004), &version, &ext);
    if (r == 0) return version;
    if (static_cast<DWORD>(r) == LINEERR_INCOMPATIBLEAPIVERSION)
        trace(dial_dialog ? "INCOMPATIBLEAPIVERSION in Dial Dialog.\n"
                          : "lineNegotiateAPIVersion, INCOMPATIBLEAPIVERSION.\n");
    else
        trace_code(dial_dialog ? "lineNegotiateAPIVersion in Dial Dialog unhandled error:"
                               : "lineNegotiateAPIVersion unhandled error: ",
                   static_cast<DWORD>(r));
    return 0;
}

bool TapiSession::enumerate_line_devices(std::vector<std::string>& names, std::vector<DWORD>& ids) {
    if (!app_) return true;
    for (DWORD device = 0; device < device_count_; ++device) {
        const DWORD version = negotiate(device, 0x10003, true);
        if (!version) continue;
        tapi_block caps;
        if (fetch_dev_caps(caps, app_, device, version) != 0) continue;
        const LINEDEVCAPS* c = caps.as<LINEDEVCAPS>();
        if (!(c->dwBearerModes & LINEBEARERMODE_PASSTHROUGH) || !c->dwLineNameSize || !c->dwLineNameOffset ||
            c->dwStringFormat != STRINGFORMAT_ASCII || !inside(caps, c->dwLineNameOffset, c->dwLineNameSize))
            continue;
        const char* text = caps.as<char>() + c->dwLineNameOffset;
        std::string name(text, c->dwLineNameSize);
        if (text[0] != 0 && text[c->dwLineNameSize - 1] != 0) {
            char line[100];
            wsprintfA(line, "Device name for device 0x%lx is not null terminated.", static_cast<unsigned long>(device));
            trace(line);
        }
        // Every character the device gave is the name, up to a terminating zero if there is one.
        name = name.substr(0, name.find('\0'));
        names.push_back(name);
        ids.push_back(device);
    }
    return true;
}

void TapiSession::PreConfigureDevice(DWORD device) {
    if (config_) return;
    tapi_block v;
    const LONG r = v.fetch(24, "PreConfigureDevice - lineGetDevConfig: ", [&](void* p) {
        return call(b_lineGetDevConfigA, device, static_cast<LPVARSTRING>(p), "comm/datamodem");
    });
    if (r == alloc_failed) return;
    if (r != 0) {
        // The text names another call; it is the trace this layer has always written.
        trace_code("lineGetDevCaps unhandled error", static_cast<DWORD>(r));
        return;
    }
    const VARSTRING* s = v.as<VARSTRING>();
    if (!s->dwStringSize || !inside(v, s->dwStringOffset, s->dwStringSize)) return;
    set_device_configuration(v.as<BYTE>() + s->dwStringOffset, s->dwStringSize);
}

bool TapiSession::PlaceCall() {
    w32cpp::section_lock hold(guard_);
    if (call_in_progress_) {
        trace("A call is already being handled\n");
        return false;
    }
    if (abandoned_.load()) return false;
    if (!app_ && !InitializeTapi()) return false;
    if (device_count_ == 0) return false;
    call_in_progress_ = 1;
    auto end_attempt = [this] {
        HangupCall();
        return false;
    };
    version_ = negotiate(line_device_, 0x10004, false);
    if (!version_) return end_attempt();

    tapi_block caps;
    if (fetch_dev_caps(caps, app_, line_device_, version_) != 0) return end_attempt();
    const LINEDEVCAPS* c = caps.as<LINEDEVCAPS>();
    if (!(c->dwBearerModes & LINEBEARERMODE_VOICE) || !(c->dwMediaModes & LINEMEDIAMODE_DATAMODEM) ||
        !(c->dwLineFeatures & LINEFEATURE_MAKECALL))
        return end_attempt();

    {
        session_registry& reg = sessions();
        w32cpp::section_lock guard(reg.lock);
        reg.current = this;
    }
    // The session itself is the line's callback instance: messages of this line reach this session.
    LONG r = call(b_lineOpenA, app_, line_device_, &line_, version_, static_cast<DWORD>(0),
                  reinterpret_cast<DWORD_PTR>(this), static_cast<DWORD>(LINECALLPRIVILEGE_NONE),
                  static_cast<DWORD>(LINEMEDIAMODE_DATAMODEM), static_cast<LPLINECALLPARAMS>(nullptr));
    if (r != 0) {
        line_ = 0;
        if (static_cast<DWORD>(r) != LINEERR_ALLOCATED) trace_code("lineOpen unhandled error: ", static_cast<DWORD>(r));
        report(0, 10);
        return end_attempt();
    }
    r = call(b_lineSetStatusMessages, line_, static_cast<DWORD>(0xBFFFFF), static_cast<DWORD>(0x1FF));
    if (r != 0) trace_code("lineSetStatusMessages unhandled error: ", static_cast<DWORD>(r));

    tapi_block status;
    r = status.fetch(1088, "lineGetAddressStatus", [&](void* p) {
        return call(b_lineGetAddressStatusA, line_, static_cast<DWORD>(0), static_cast<LPLINEADDRESSSTATUS>(p));
    });
    if (r != 0 || !(status.as<LINEADDRESSSTATUS>()->dwAddressFeatures & LINEADDRFEATURE_MAKECALL)) {
        if (r == 0) trace("This line is not available to place a call.\n");
        report(0, 10);
        return end_attempt();
    }
    if (config_) call(b_lineSetDevConfigA, line_device_, static_cast<LPVOID>(config_), config_size_, "comm/datamodem");

    if (!DialCallInParts(c, phone_number_, phone_number_)) {
        trace("DialCallInParts failed.\n");
        report(0, 9);
        return end_attempt();
    }
    trace("DialCallInParts succeeded.\n");
    report(0, 8);

    if (!connected_) {
        deadline connect(connect_wait_ms);
        // A call that ends meanwhile (busy, no answer, refused) ends the wait too.
        while (!connected_ && call_in_progress_ && !connect.expired() && !abandoned_.load())
            if (!dispatch_one()) connect.idle(pump_step_ms);
    }
    // Given up from another thread while it rang: nobody takes this call.
    if (abandoned_.load()) {
        trace("Call abandoned.\n");
        return end_attempt();
    }
    if (!connected_ && call_in_progress_) {
        trace("DialCallInParts failed (TimeOut).\n");
        report(0, 9);
        return end_attempt();
    }
    return call_in_progress_ != 0 && connected_ != 0 && comm_ != nullptr;
}

bool TapiSession::DialCallInParts(const LINEDEVCAPS* caps, const std::string& number, const std::string& displayable) {
    tapi_block address;
    if (address.fetch(1252, "lineGetAddressCaps", [&](void* p) {
            return call(b_lineGetAddressCapsA, app_, line_device_, static_cast<DWORD>(0), version_,
                        static_cast<DWORD>(0), static_cast<LPLINEADDRESSCAPS>(p));
        }) != 0)
        return false;
    const DWORD addr_flags = address.as<LINEADDRESSCAPS>()->dwAddrCapFlags;

    // Call parameters with the number as displayable address behind the fixed part.
    const DWORD fixed = 176;
    const DWORD params_size = fixed + static_cast<DWORD>(displayable.size()) + 1;
    BYTE* params_block = static_cast<BYTE*>(LocalAlloc(LPTR, params_size));
    if (!params_block) {
        trace("CreateCallParams: ");
        return false;
    }
    struct local_free {
        void* p;
        ~local_free() { LocalFree(p); }
    } params_owner{params_block};
    LINECALLPARAMS* params = reinterpret_cast<LINECALLPARAMS*>(params_block);
    params->dwTotalSize = params_size;
    params->dwBearerMode = LINEBEARERMODE_VOICE;
    params->dwMediaMode = LINEMEDIAMODE_DATAMODEM;
    params->dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    params->dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    params->dwAddressID = 0;
    params->dwDisplayableAddressOffset = fixed;
    params->dwDisplayableAddressSize = static_cast<DWORD>(displayable.size()) + 1;
    CopyMemory(params_block + fixed, displayable.c_str(), displayable.size() + 1);

    std::string split;
    for (const dial_modifier& m : modifiers)
        if (!(caps->dwDevCapFlags & m.capability) || m.capability == 0) split += m.modifier;

    // Nothing to dial is no call: it would only wait for a connection that cannot come.
    if (number.empty()) return false;

    bool first = true;
    size_t position = 0;
    while (position < number.size()) {
        const std::string rest = number.substr(position);
        const size_t span = rest.find_first_of(split);
        std::string part;
        size_t next;
        bool more = false;
        if (span == std::string::npos) {
            part = rest;
            next = number.size();
        } else {
            if (!(addr_flags & LINEADDRCAPFLAGS_PARTIALDIAL)) return false;
            part = rest.substr(0, span) + ";";
            next = position + span + 1;
            more = true;
        }
        LONG r;
        if (first) {
            r = call(b_lineMakeCallA, line_, &call_, part.c_str(), static_cast<DWORD>(0), params);
            if (r > 0) r = WaitForReply(r);
        } else {
            r = call(b_lineDialA, call_, part.c_str(), static_cast<DWORD>(0));
            if (r > 0) r = WaitForReply(r);
        }
        if (is_dial_modifier_error(r)) {
            trace("Service Provider incorrectly sets dwDevCapFlags\n");
            // The part is dialled again, split at the modifiers the device has just refused.
            const size_t before = split.size();
            for (const dial_modifier& m : modifiers)
                if (m.error == static_cast<DWORD>(r) && split.find(m.modifier) == std::string::npos)
                    split += m.modifier;
            if (split.size() == before) return false;  // refused again for what is already split off
            continue;
        }
        if (r == wait_aborted) {
            trace("While Dialing, WaitForReply aborted.\n");
            return false;
        }
        if (r != 0) {
            trace_code(first ? "lineMakeCall unhandled error: " : "lineDial unhandled error: ", static_cast<DWORD>(r));
            return false;
        }
        first = false;
        position = next;
        if (more) {
            for (;;) {
                tapi_block status;
                if (fetch_call_status(status, call_) != 0) return false;
                if (status.as<LINECALLSTATUS>()->dwCallFeatures & LINECALLFEATURE_DIAL) {
                    trace("Ok to continue dialing.\n");
                    break;
                }
                trace("Waiting for dialing to be enabled.\n");
                if (WaitForCallState(0) != wait_done) return false;
            }
        }
    }
    return true;
}

LONG TapiSession::WaitForReply(LONG request) {
    if (request <= 0) return request;
    reply_received_ = 0;
    reply_wait_ended_ = 0;
    awaited_request_ = request;
    reply_result_ = static_cast<LONG>(LINEERR_OPERATIONFAILED);
    // Another thread cannot see this session's messages: nothing to wait for there.
    if (!can_pump()) return wait_aborted;
    // A nested wait that ended took this one's place: its reply is not this one's.
    const LONG result = pump_until(
        reply_wait_ms, [this] { return reply_received_ && !reply_wait_ended_; },
        [this] { return !call_in_progress_ || reply_wait_ended_ || abandoned_.load(); }, nullptr);
    return finish_reply(result == wait_done ? reply_result_ : result);
}

LONG TapiSession::finish_reply(LONG result) {
    // A wait that ends ends the one it may be nested in: that one's request was replaced.
    reply_wait_ended_ = 1;
    awaited_request_ = 0;
    return result;
}

LONG TapiSession::WaitForCallState(DWORD wanted) {
    session_registry& reg = sessions();
    auto set_ended = [&reg](DWORD v) {
        w32cpp::section_lock guard(reg.lock);
        reg.call_state_wait_ended = v;
    };
    auto ended = [&reg] {
        w32cpp::section_lock guard(reg.lock);
        return reg.call_state_wait_ended != 0;
    };
    set_ended(0);
    call_state_seen_ = 0;
    if (!can_pump()) {
        trace("WAITABORTED\n");
        set_ended(1);
        return wait_aborted;
    }
    const LONG result = pump_until(
        reply_wait_ms,
        [&] { return wanted ? (call_state_seen_ && last_call_state_ == wanted) : call_state_seen_ != 0; },
        [&] { return !call_in_progress_ || ended() || abandoned_.load(); }, "WAITABORTED\n");
    set_ended(1);
    return result;
}

bool TapiSession::HangupCall() {
    w32cpp::section_lock hold(guard_);
    if (stopping_ || !call_in_progress_) return true;
    stopping_ = 1;
    trace("Stopping Call in progress\n");
    report(0, 7);
    if (call_) {
        tapi_block status;
        if (fetch_call_status(status, call_) != 0) {
            ShutdownTapi();
            stopping_ = 0;
            call_in_progress_ = 0;
            drop_current();
            return false;
        }
        if (!(status.as<LINECALLSTATUS>()->dwCallState & LINECALLSTATE_IDLE)) {
            const LONG r = WaitForReply(call(b_lineDrop, call_, static_cast<LPCSTR>(nullptr), static_cast<DWORD>(0)));
            if (r == wait_timed_out)
                trace("Call timed out in WaitForReply.\n");
            else if (r == wait_aborted)
                trace("lineDrop: WAITERR_WAITABORTED.\n");
            else if (r != 0 && static_cast<DWORD>(r) != LINEERR_INVALCALLSTATE)
                trace_code("lineDrop unhandled error: ", static_cast<DWORD>(r));
            const LONG w = WaitForCallState(LINECALLSTATE_IDLE);
            if (w == wait_timed_out)
                trace("Call timed out waiting for IDLE state.\n");
            else if (w == wait_aborted)
                trace("WAITERR_WAITABORTED while waiting for IDLE state.\n");
            trace("Call Dropped.\n");
        }
        const LONG r = call(b_lineDeallocateCall, call_);
        if (r != 0) trace_code("lineDeallocateCall unhandled error: ", static_cast<DWORD>(r));
        trace("Call Deallocated.\n");
    }
    if (line_) {
        const LONG r = call(b_lineClose, line_);
        if (r != 0) trace_code("lineClose unhandled error: ", static_cast<DWORD>(r));
        trace("Line Closed.\n");
    }
    set_device_configuration(nullptr, 0);
    forget_call();
    stopping_ = 0;
    trace("Call stopped\n");
    drop_current();
    return true;
}

void TapiSession::forget_call() {
    call_ = 0;
    line_ = 0;
    connected_ = 0;
    call_in_progress_ = 0;
}

bool TapiSession::ShutdownTapi() {
    w32cpp::section_lock hold(guard_);
    if (!app_ || shutting_down_) return true;
    shutting_down_ = 1;
    HangupCall();
    const LONG r = call(b_lineShutdown, app_);
    if (r != 0) trace_code("lineShutdown unhandled error: ", static_cast<DWORD>(r));
    forget_call();
    app_ = 0;
    shutting_down_ = 0;
    trace("TAPI uninitialized.\n");
    drop_current();
    return true;
}

bool TapiSession::IsCallConnected() {
    w32cpp::section_lock hold(guard_);
    if (!app_ || !call_) return false;
    tapi_block caps;
    if (fetch_dev_caps(caps, app_, line_device_, version_) != 0) return false;
    tapi_block status;
    if (fetch_call_status(status, call_) != 0) return false;
    return status.as<LINECALLSTATUS>()->dwCallState == LINECALLSTATE_CONNECTED;
}

void CALLBACK TapiSession::lineCallbackFunc(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1,
                                            DWORD_PTR param2, DWORD_PTR param3) {
    switch (message) {
    case LINE_CALLSTATE: trace("LINE_CALLSTATE\n"); break;
    case LINE_CLOSE: trace("LINE_CLOSE\n"); break;
    case LINE_LINEDEVSTATE: trace("LINE_LINEDEVSTATE\n"); break;
    case LINE_REPLY: trace("LINE_REPLY\n"); break;
    case LINE_CREATE: trace("LINE_CREATE\n"); break;
    default: trace("lineCallbackFunc message ignored\n"); return;
    }
    // A line's messages carry the session that opened it; the others go to the current session.
    TapiSession* target = nullptr;
    {
        session_registry& reg = sessions();
        w32cpp::section_lock guard(reg.lock);
        TapiSession* named = reinterpret_cast<TapiSession*>(instance);
        if (named)
            target = reg.live.count(named) ? named : nullptr;
        else
            target = reg.current;
        // Pinned: another thread may be destroying it, and waits for this callback to finish.
        if (target) ++target->pins_;
    }
    if (!target) return;
    {
        w32cpp::section_lock hold(target->guard_);
        target->handle(device, message, param1, param2, param3);
    }
    session_registry& reg = sessions();
    w32cpp::section_lock guard(reg.lock);
    --target->pins_;
}

void TapiSession::handle(DWORD device, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    switch (message) {
    case LINE_CALLSTATE:
        on_call_state(device, static_cast<DWORD>(p1), static_cast<DWORD>(p2), static_cast<DWORD>(p3));
        break;
    case LINE_CLOSE:
        line_ = 0;
        call_ = 0;
        report(0, 3);
        HangupCall();
        break;
    case LINE_LINEDEVSTATE:
        on_line_state(static_cast<DWORD>(p1), static_cast<DWORD>(p2), static_cast<DWORD>(p3));
        break;
    case LINE_REPLY:
        if (static_cast<LONG>(p2) != 0) {
            report(0, 4);
            trace_code("LINE_REPLY error: ", static_cast<DWORD>(p2));
        } else {
            report(0, 5);
            trace("LINE_REPLY: successfully replied.\n");
        }
        if (awaited_request_ != 0 && static_cast<LONG>(p1) == awaited_request_) {
            reply_result_ = static_cast<LONG>(p2);
            reply_received_ = 1;
        }
        break;
    case LINE_CREATE: on_create(static_cast<DWORD>(p1)); break;
    default: break;
    }
}

void TapiSession::on_create(DWORD device) {
    if (device + 1 > device_count_) device_count_ = device + 1;
    report(0, 6);
}

void TapiSession::on_call_state(DWORD device, DWORD state, DWORD detail, DWORD privilege) {
    if (device != call_) {
        trace_code("LINE_CALLSTATE: Unknown device ID ", device);
        return;
    }
    last_call_state_ = state;
    call_state_seen_ = 1;
    if (privilege != 0) {
        if (privilege == LINECALLPRIVILEGE_MONITOR) {
            trace("line given monitor privilege; closing\n");
            report(1, privilege);
            HangupCall();
            return;
        }
        if (privilege == LINECALLPRIVILEGE_OWNER) {
            trace("line given owner privilege; closing\n");
            report(1, privilege);
            HangupCall();
        } else {
            trace("Unknown LINECALLPRIVILEGE message: closing\n");
            report(1, privilege);
            HangupCall();
            return;
        }
    }
    report(2, state);
    switch (state) {
    case LINECALLSTATE_IDLE:
        trace("Line idle\n");
        HangupCall();
        break;
    case LINECALLSTATE_DIALTONE: trace("Dial Tone\n"); break;
    case LINECALLSTATE_DIALING: trace("Dialing\n"); break;
    case LINECALLSTATE_RINGBACK: trace("RingBack\n"); break;
    case LINECALLSTATE_BUSY:
        trace("Line busy, shutting down\n");
        HangupCall();
        break;
    case LINECALLSTATE_SPECIALINFO:
        trace("Special Info, probably couldn't dial number\n");
        HangupCall();
        break;
    case LINECALLSTATE_CONNECTED:
        if (!connected_) on_connected();
        break;
    case LINECALLSTATE_PROCEEDING: trace("Proceeding\n"); break;
    case LINECALLSTATE_DISCONNECTED: {
        report(3, detail);
        const char* text;
        switch (detail) {
        case LINEDISCONNECTMODE_NORMAL: text = "Remote Party Disconnected"; break;
        case LINEDISCONNECTMODE_UNKNOWN: text = "Disconnected: Unknown reason"; break;
        case LINEDISCONNECTMODE_REJECT: text = "Remote Party rejected call"; break;
        case LINEDISCONNECTMODE_PICKUP: text = "Disconnected: Local phone picked up"; break;
        case LINEDISCONNECTMODE_FORWARDED: text = "Disconnected: Forwarded"; break;
        case LINEDISCONNECTMODE_BUSY: text = "Disconnected: Busy"; break;
        case LINEDISCONNECTMODE_NOANSWER: text = "Disconnected: No Answer"; break;
        case LINEDISCONNECTMODE_BADADDRESS: text = "Disconnected: Bad Address"; break;
        case LINEDISCONNECTMODE_UNREACHABLE: text = "Disconnected: Unreachable"; break;
        case LINEDISCONNECTMODE_CONGESTION: text = "Disconnected: Congestion"; break;
        case LINEDISCONNECTMODE_INCOMPATIBLE: text = "Disconnected: Incompatible"; break;
        case LINEDISCONNECTMODE_UNAVAIL: text = "Disconnected: Unavail"; break;
        case LINEDISCONNECTMODE_NODIALTONE: text = "Disconnected: No Dial Tone"; break;
        default: text = "Disconnected: LINECALLSTATE; Bad Reason"; break;
        }
        trace(text);
        trace("\n");
        HangupCall();
        break;
    }
    default: trace("Unhandled LINECALLSTATE message\n"); break;
    }
}

void TapiSession::on_connected() {
    connected_ = 1;
    tapi_block v;
    const LONG r = v.fetch(1048, "lineGetID: ", [&](void* p) {
        return call(b_lineGetIDA, static_cast<HLINE>(0), static_cast<DWORD>(0), call_,
                    static_cast<DWORD>(LINECALLSELECT_CALL), static_cast<LPVARSTRING>(p), "comm/datamodem");
    });
    if (r == 0) {
        const VARSTRING* s = v.as<VARSTRING>();
        // The handle is only there when the string part holds one.
        if (s->dwStringSize >= sizeof(HANDLE) && inside(v, s->dwStringOffset, s->dwStringSize)) {
            trace("Connected!  Starting communications!\n");
            // A session that places a second call still holds the first call's handle: not leaked.
            if (comm_) CloseHandle(comm_);
            CopyMemory(&comm_, v.as<BYTE>() + s->dwStringOffset, sizeof(HANDLE));
            return;
        }
    }
    if (r != 0 && r != alloc_failed) {
        trace_code("lineGetID unhandled error: ", static_cast<DWORD>(r));
        report(0, 1);
    }
    report(0, 2);
    if (comm_) CloseHandle(comm_);
    comm_ = nullptr;
    HangupCall();
}

void TapiSession::on_line_state(DWORD state, DWORD p2, DWORD p3) {
    report(4, state);
    switch (state) {
    case LINEDEVSTATE_RINGING: trace("Line Ringing.\n"); break;
    case LINEDEVSTATE_DISCONNECTED:
        trace("Line selected is now disconnected.");
        HangupCall();
        break;
    case LINEDEVSTATE_OUTOFSERVICE:
        trace("Line selected is now Out of Service.");
        HangupCall();
        break;
    case LINEDEVSTATE_MAINTENANCE:
        trace("Line selected is now out for maintenance.");
        HangupCall();
        break;
    case LINEDEVSTATE_REINIT:
        report(5, p2);
        if (p2 == 0) {
            ShutdownTapi();
            trace("Tapi line configuration has changed.");
        } else if (p2 == LINE_LINEDEVSTATE) {
            trace("Soft REINIT: LINE_LINEDEVSTATE.\n");
            on_line_state(p3, 0, 0);
        } else if (p2 == LINE_CREATE) {
            trace("Soft REINIT: LINE_CREATE.\n");
            on_create(p3);
        } else {
            trace("Ignoring soft REINIT\n");
        }
        break;
    case LINEDEVSTATE_TRANSLATECHANGE: break;
    case LINEDEVSTATE_REMOVED: trace("A Line device has been removed; no action taken.\n"); break;
    default: trace("Unhandled LINEDEVSTATE message\n"); break;
    }
}
