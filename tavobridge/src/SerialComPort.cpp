#include "tavobridge/SerialComPort.h"

#include <cctype>

#include <w32cpp/lock.h>

namespace {

const HANDLE no_handle = INVALID_HANDLE_VALUE;

// Names beyond COM9 open only through the device namespace.
std::string file_name_of(const std::string& name) {
    if (name.size() > 4 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
        (name[2] == 'M' || name[2] == 'm')) {
        bool digits = true;
        for (size_t i = 3; i < name.size(); ++i) digits = digits && std::isdigit(static_cast<unsigned char>(name[i]));
        if (digits) return "\\\\.\\" + name;
    }
    return name;
}

}  // namespace

SerialComPort::SerialComPort(const std::string& settings, DWORD base_timeout_ms, bool flow_control)
    : name_(settings.substr(0, settings.find(':'))),
      settings_(settings),
      base_timeout_(base_timeout_ms),
      flow_control_(flow_control) {
    InitializeCriticalSection(&handle_lock_);
}

SerialComPort::SerialComPort() { InitializeCriticalSection(&handle_lock_); }

SerialComPort::~SerialComPort() {
    SerialComPort::close();
    DeleteCriticalSection(&handle_lock_);
}

DWORD SerialComPort::timeout_for(DWORD length) const {
    if (bytes_per_second_ == 0) return base_timeout_;
    // Unsigned and wide: a long transfer or a large base must not wrap to a short or "infinite" wait.
    const unsigned long long t = static_cast<unsigned long long>(base_timeout_) +
                                 static_cast<unsigned long long>(length) * 1000ull / bytes_per_second_ + 1000ull;
    return t >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(t);
}

bool SerialComPort::create_io_event() {
    w32cpp::section_lock hold(handle_lock_);
    HANDLE old = event_.exchange(nullptr);
    if (old) CloseHandle(old);
    ZeroMemory(&overlapped_, sizeof overlapped_);
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!e) return false;
    overlapped_.hEvent = e;
    event_.store(e);
    return true;
}

bool SerialComPort::start_io(HANDLE h) {
    COMMTIMEOUTS none;
    ZeroMemory(&none, sizeof none);
    // Left as found when the line refuses: the engine still ends each transfer itself.
    SetCommTimeouts(h, &none);
    return PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR) && create_io_event();
}

bool SerialComPort::close_handles(bool close_port) {
    // Under the handle lock: a disable on another thread never signals or cancels a handle value
    // that is being closed (and that the platform may hand out again at once).
    w32cpp::section_lock hold(handle_lock_);
    bool ok = true;
    HANDLE h = port_.exchange(no_handle);
    if (close_port && h != no_handle && h) ok = CloseHandle(h) == TRUE && ok;
    HANDLE e = event_.exchange(nullptr);
    if (e) ok = CloseHandle(e) == TRUE && ok;
    return ok;
}

bool SerialComPort::open() {
    if (settings_.empty()) return false;
    close_handles(true);
    const std::string file = file_name_of(name_);
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    if (h == no_handle) return false;
    port_.store(h);
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    bool ok = GetCommState(h, &dcb) && BuildCommDCBA(settings_.c_str(), &dcb);
    if (ok) {
        baud_rate_ = dcb.BaudRate;
        bytes_per_second_ = baud_rate_ / 10;
        if (flow_control_) {
            dcb.fOutxCtsFlow = 1;
            dcb.fOutxDsrFlow = 1;
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
        } else {
            dcb.fOutxCtsFlow = 0;
            dcb.fOutxDsrFlow = 0;
            dcb.fDtrControl = DTR_CONTROL_DISABLE;
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
        }
        dcb.fOutX = 0;
        dcb.fInX = 0;
        ok = SetCommState(h, &dcb);
    }
    // A port without its I/O event is of no use: it is closed too, not left held.
    if (!ok || !start_io(h)) {
        close_handles(true);
        return false;
    }
    OutputDebugStringA("SerialComPort::Open : return true\n");
    return true;
}

void SerialComPort::close() { close_handles(true); }

bool SerialComPort::serial_flush() {
    HANDLE h = port_.load();
    const bool aborted = PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT) != FALSE;
    const bool cleared = PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
    Sleep(500);
    return aborted && cleared;
}

bool SerialComPort::flush() { return serial_flush(); }

bool SerialComPort::purge() {
    // Only the receive side: what is still in the transmit queue here is the last handshake or
    // packet this side wrote, which the other end must get. Clearing it makes the instrument repeat
    // its packet and a slow line fail.
    return PurgeComm(port_.load(), PURGE_RXCLEAR) != FALSE;
}

bool SerialComPort::abort_io() { return PurgeComm(port_.load(), PURGE_TXABORT | PURGE_RXABORT) != FALSE; }

bool SerialComPort::is_connected() { return flush(); }

void SerialComPort::disable() {
    IComPort::disable();
    // The handles are used only under the lock that their close takes. The flush's purges run
    // here, its pause does not: a disable returns at once (a stop disables several times).
    w32cpp::section_lock hold(handle_lock_);
    HANDLE e = event_.load();
    if (e) SetEvent(e);
    HANDLE h = port_.load();
    if (h == no_handle || !h) return;
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT);
    PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR);
    CancelIo(h);
}

DWORD SerialComPort::end_pending() {
    HANDLE port = port_.load();
    HANDLE e = overlapped_.hEvent;
    CancelIo(port);
    const DWORD start = GetTickCount();
    while (!HasOverlappedIoCompleted(&overlapped_)) {
        // The event may already be set by a disable: then this only waits for the status to change.
        if (WaitForSingleObject(e, 20) == WAIT_OBJECT_0 && !HasOverlappedIoCompleted(&overlapped_)) Sleep(1);
        if (GetTickCount() - start > 30000) {
            OutputDebugStringA("SerialComPort: cancelled I/O did not end\n");
            return 0;
        }
    }
    DWORD n = 0;
    GetOverlappedResult(port, &overlapped_, &n, FALSE);
    return n;
}

bool SerialComPort::transfer(bool is_read, BYTE* buffer, DWORD* length) {
    const char* const timeout_line = is_read ? "SerialComPort::Read : WAIT_TIMEOUT general loop\n"
                                             : "SerialComPort::Write : WAIT_TIMEOUT general loop\n";
    const DWORD timeout = timeout_for(*length);
    const DWORD wanted = *length;
    *length = 0;
    DWORD moved = 0;
    if (!is_enabled()) return false;
    start_tick_ = GetTickCount();
    if (timeout == 0) {
        OutputDebugStringA(timeout_line);
        return false;
    }
    HANDLE port = port_.load();
    HANDLE e = event_.load();
    if (port == no_handle || !e) return false;
    DWORD remaining = timeout;
    BYTE* position = buffer;
    DWORD left = wanted;
    for (;;) {
        ResetEvent(e);
        overlapped_.hEvent = e;
        DWORD pass = 0;
        const BOOL done = is_read ? ReadFile(port, position, left, &pass, &overlapped_)
                                  : WriteFile(port, position, left, &pass, &overlapped_);
        if (!done) {
            if (GetLastError() != ERROR_IO_PENDING) {
                *length = moved;
                if (is_read) OutputDebugStringA("SerialComPort::Read : GetLastError() != ERROR_IO_PENDING\n");
                return false;
            }
            // A disable that came before the wait has already set the event; do not wait for it.
            if (!is_enabled() || WaitForSingleObject(e, remaining) != WAIT_OBJECT_0) {
                *length = moved + end_pending();
                return false;
            }
            if (!GetOverlappedResult(port, &overlapped_, &pass, FALSE)) {
                // Woken by a disable while the transfer still runs: end it before the buffer goes back.
                if (GetLastError() == ERROR_IO_INCOMPLETE) pass = end_pending();
                *length = moved + pass;
                if (is_read) OutputDebugStringA("SerialComPort::Read : !GetOverlappedResult\n");
                return false;
            }
        }
        moved += pass;
        if (!is_enabled()) {
            *length = moved;
            return false;
        }
        if (moved == wanted) {
            *length = moved;
            return true;
        }
        position += pass;
        left -= pass;
        const DWORD elapsed = GetTickCount() - start_tick_;
        if (elapsed >= timeout) {
            *length = moved;
            OutputDebugStringA(timeout_line);
            return false;
        }
        remaining = timeout - elapsed;
    }
}

bool SerialComPort::read(BYTE* buffer, DWORD* length) { return serial_read(buffer, length); }

bool SerialComPort::write(const BYTE* buffer, DWORD* length) { return serial_write(buffer, length); }
