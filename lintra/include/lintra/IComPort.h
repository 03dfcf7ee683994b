// The byte-stream side of a serial line. The application implements it over a COM port or a
// modem call and hands a counted handle to the serial transport; every protocol byte goes through it.
// The slot order is fixed: implementations live in other libraries.
#ifndef LINTRA_ICOMPORT_H
#define LINTRA_ICOMPORT_H

#include <windows.h>

#include <atomic>
#include <string>

class IComPort {
public:
    IComPort() : enabled_(1) {}
    IComPort(const IComPort&) = delete;
    IComPort& operator=(const IComPort&) = delete;

    virtual ~IComPort() {}
    // Opens the line with the settings the implementation was built with.
    virtual bool open() = 0;
    virtual void close() = 0;
    // Discards and aborts all pending input and output.
    virtual bool flush() = 0;
    // Reads exactly *length bytes; *length returns the count received. True only when all arrived in time.
    virtual bool read(BYTE* buffer, DWORD* length) = 0;
    // Writes *length bytes; *length returns the count written. True when all were written.
    virtual bool write(const BYTE* buffer, DWORD* length) = 0;
    // Clears the receive and transmit buffers; nothing pending is aborted.
    virtual bool purge() = 0;
    // Aborts a read or write in progress.
    virtual bool abort_io() = 0;
    // Two handles denote the same line when their names compare equal.
    virtual void name(std::string& out) = 0;
    virtual bool is_connected() = 0;
    virtual void enable() { enabled_.store(1, std::memory_order_release); }
    // Implementations override it to also make a blocked read or write return at once.
    virtual void disable() { enabled_.store(0, std::memory_order_release); }
    virtual bool is_enabled() { return enabled_.load(std::memory_order_acquire) != 0; }

protected:
    // A plain flag byte; readers tolerate a stale value for one worker pass.
    std::atomic<BYTE> enabled_;
};

#endif
