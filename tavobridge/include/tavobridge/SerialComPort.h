// The flat API's serial line: an IComPort over a Win32 COM port opened for overlapped I/O. The modem
// port derives from it and runs the same I/O on a dialled call's comm handle.
#ifndef TAVOBRIDGE_SERIALCOMPORT_H
#define TAVOBRIDGE_SERIALCOMPORT_H

#include <windows.h>

#include <atomic>
#include <string>

#include <lintra/IComPort.h>

class SerialComPort : public IComPort {
public:
    // settings: a device-control text such as "COM3: baud=9600 data=8 stop=1 parity=N"; the port's
    // name is the text before the first colon. base_timeout_ms is the fixed part of every read and
    // write time-out.
    SerialComPort(const std::string& settings, DWORD base_timeout_ms, bool flow_control);
    // No line yet (the modem port's base): empty name and settings, base time-out 2000 ms.
    SerialComPort();
    ~SerialComPort() override;

    bool open() override;
    void close() override;
    bool flush() override;
    bool read(BYTE* buffer, DWORD* length) override;
    bool write(const BYTE* buffer, DWORD* length) override;
    bool purge() override;
    bool abort_io() override;
    void name(std::string& out) override { out = name_; }
    bool is_connected() override;
    void disable() override;

    // The time allowed for a transfer of `length` bytes at the line's rate.
    DWORD timeout_for(DWORD length) const;
    DWORD baud_rate() const { return baud_rate_; }
    DWORD bytes_per_second() const { return bytes_per_second_; }
    const std::string& settings() const { return settings_; }
    bool is_open() const { return port_.load() != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return port_.load(); }

protected:
    // The serial read and write engine, shared by the modem port.
    bool serial_read(BYTE* buffer, DWORD* length) { return transfer(true, buffer, length); }
    bool serial_write(const BYTE* buffer, DWORD* length) { return transfer(false, const_cast<BYTE*>(buffer), length); }
    // Readies an opened line for the engine: no driver time-outs (whatever another program left
    // there, each transfer is bounded by this object's own wait), both buffers cleared, a new I/O
    // event.
    bool start_io(HANDLE h);
    // Zeroes the overlapped record and makes a new I/O event for it (closing an old one).
    bool create_io_event();
    // Closes the port handle (when owned) and the I/O event; true when every close succeeded.
    bool close_handles(bool close_port);
    // This class's flush, whatever a derived class does with the slot.
    bool serial_flush();

    // Taken by close_handles, create_io_event and disable: no handle is used by one thread while
    // another closes it.
    CRITICAL_SECTION handle_lock_;
    std::atomic<HANDLE> port_{INVALID_HANDLE_VALUE};
    std::string name_;
    std::string settings_;
    std::atomic<HANDLE> event_{nullptr};
    DWORD baud_rate_ = 0;
    DWORD base_timeout_ = 2000;
    DWORD bytes_per_second_ = 0;
    bool flow_control_ = false;
    OVERLAPPED overlapped_{};
    DWORD start_tick_ = 0;

private:
    bool transfer(bool is_read, BYTE* buffer, DWORD* length);
    // Cancels the running overlapped operation and waits until it has ended, so that neither the
    // buffer nor the overlapped record is written afterwards; returns the bytes it moved.
    DWORD end_pending();
};

#endif
