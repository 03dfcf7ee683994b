#include "tavobridge/TapiComPort.h"

#include <w32cpp/lock.h>

#include <exception>

TapiComPort::TapiComPort(DWORD line_device, const BYTE* config, DWORD config_size, DWORD /*unused*/,
                         const std::string& phone_number, DWORD base_timeout_ms, HWND window, bool redial,
                         int redial_limit)
    : phone_number_(phone_number),
      line_device_(line_device),
      redial_(redial),
      redial_limit_(redial_limit),
      window_(window) {
    base_timeout_ = base_timeout_ms;
    if (config && config_size) config_.assign(config, config + config_size);
    InitializeCriticalSection(&session_lock_);
}

TapiComPort::~TapiComPort() {
    TapiComPort::close();
    DeleteCriticalSection(&session_lock_);
}

std::shared_ptr<TapiSession> TapiComPort::current_session() {
    w32cpp::section_lock hold(session_lock_);
    return session_;
}

bool TapiComPort::release_call() {
    std::shared_ptr<TapiSession> session = current_session();
    if (session) session->HangupCall();
    // Wakes and ends a transfer on the call's handle; without one only the flag changes.
    if (is_open())
        SerialComPort::disable();
    else
        IComPort::disable();
    // The port lets go of the comm handle (under the handle lock) before its owner, the session,
    // closes it: a disable on another thread never uses the closed value.
    const bool ok = close_handles(false);
    {
        w32cpp::section_lock hold(session_lock_);
        if (session_ == session) session_.reset();
    }
    session.reset();
    return ok;
}

void TapiComPort::disable() {
    held_.store(true);
    std::shared_ptr<TapiSession> dialling;
    {
        w32cpp::section_lock hold(session_lock_);
        dialling = dialling_;
    }
    if (dialling) dialling->Abandon();
    SerialComPort::disable();
}

void TapiComPort::enable() {
    held_.store(false);
    SerialComPort::enable();
}

bool TapiComPort::open() {
    // A port still holding a call lets it go first: no handle of the old call stays behind.
    release_call();
    std::shared_ptr<TapiSession> session = std::make_shared<TapiSession>();
    session->set_window(window_);
    session->set_phone_number(phone_number_);
    session->set_line_device(line_device_);
    session->set_device_configuration(config_.empty() ? nullptr : config_.data(), static_cast<DWORD>(config_.size()));
    {
        w32cpp::section_lock hold(session_lock_);
        dialling_ = session;
    }
    // A disable from now on gives this call up; one that came before leaves it undialled.
    bool ok = !held_.load() && session->PlaceCall();
    {
        // Seen by is_connected only once dialling is over: until then the line is down.
        w32cpp::section_lock hold(session_lock_);
        dialling_.reset();
        session_ = session;
    }
    HANDLE h = ok ? session->comm_handle() : nullptr;
    ok = ok && h && h != INVALID_HANDLE_VALUE;
    if (ok) {
        port_.store(h);
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        // The modem's own line settings stay: the state is read, not written back.
        ok = SetupComm(h, 16384, 0) && GetCommState(h, &dcb) && BuildCommDCBA(settings_.c_str(), &dcb);
        if (ok) {
            baud_rate_ = dcb.BaudRate;
            bytes_per_second_ = baud_rate_ / 10;
            ok = start_io(h);
        }
    }
    // A call this port cannot use, or one placed while the line was being stopped, is not left up.
    if (!ok || held_.load()) {
        release_call();
        return false;
    }
    enable();
    return true;
}

void TapiComPort::close() { release_call(); }

bool TapiComPort::flush() {
    try {
        close();
        for (int attempt = 0; attempt < 4 && !held_.load(); ++attempt) {
            if (open()) return true;
            // The pause between attempts ends early when the line is being stopped.
            for (int step = 0; attempt < 3 && step < 10 && !held_.load(); ++step) Sleep(100);
        }
    } catch (const std::exception&) {
    }
    return false;
}

bool TapiComPort::is_connected() {
    std::shared_ptr<TapiSession> session = current_session();
    return session && session->IsCallConnected();
}

bool TapiComPort::after_failure() {
    // Every redial counts, whether it connects or not: the limit bounds the attempts.
    if (redial_ && redial_count_ < redial_limit_ && !is_connected()) {
        ++redial_count_;
        flush();
    }
    return false;
}

bool TapiComPort::read(BYTE* buffer, DWORD* length) {
    if (!is_enabled()) {
        *length = 0;
        return false;
    }
    const bool ok = serial_read(buffer, length);
    if (!is_enabled()) return false;
    return ok || after_failure();
}

bool TapiComPort::write(const BYTE* buffer, DWORD* length) {
    if (!is_enabled()) {
        *length = 0;
        return false;
    }
    const bool ok = serial_write(buffer, length);
    if (!is_enabled()) return false;
    return ok || after_failure();
}
