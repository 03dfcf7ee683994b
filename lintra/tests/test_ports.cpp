#include "test_ports.h"

#include <standin/comm.h>

#include <chrono>
#include <thread>

#include "zephtest/wait.h"

namespace lintra_test {

using clock_type = std::chrono::steady_clock;

namespace {

int ms_left(clock_type::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? int(left) : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// In-memory line

MemoryComPort::MemoryComPort(std::shared_ptr<simdev::byte_stream> host_end, std::string name, DWORD timeout_ms)
    : line_(std::move(host_end)), name_(std::move(name)), timeout_ms_(timeout_ms) {}

bool MemoryComPort::open() {
    ++counters.opens;
    return true;
}

bool MemoryComPort::flush() {
    line_->purge();
    return true;
}

void MemoryComPort::hold_reads(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = on;
    cv_.notify_all();
}

bool MemoryComPort::wait_read_held(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return held_; });
}

void MemoryComPort::disable() {
    IComPort::disable();
    std::lock_guard<std::mutex> lock(mutex_);
    cv_.notify_all();
}

bool MemoryComPort::read(BYTE* buffer, DWORD* length) {
    const DWORD want = *length;
    *length = 0;
    if (!is_enabled()) return false;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms_);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (hold_) {
            held_ = true;
            cv_.notify_all();
            // Held with a deadline: a hold that nothing ends fails the read as a time-out.
            const bool ended = zephtest::wait_on(cv_, lock, [&] { return !hold_ || !is_enabled(); });
            held_ = false;
            if (!ended) {
                ++counters.read_timeouts;
                return false;
            }
            if (!is_enabled()) {
                ++counters.reads_ended_by_disable;
                return false;
            }
        }
    }
    DWORD got = 0;
    while (got < want) {
        if (!is_enabled()) {
            ++counters.reads_ended_by_disable;
            *length = got;
            return false;
        }
        const int left = ms_left(deadline);
        if (left == 0) {
            ++counters.read_timeouts;
            *length = got;
            return false;
        }
        // Short slices, so that a disable is seen promptly.
        const long n = line_->read(buffer + got, want - got, left < 10 ? left : 10);
        if (n < 0) {
            *length = got;
            return false;
        }
        got += DWORD(n);
        // A slow line trickles in: sleep until the rest should be there rather than wake for every
        // byte, as a port driver completes a read only once its count has arrived.
        if (n > 0 && got < want) {
            const unsigned baud = baud_.load();
            long long us = baud ? (long long)(want - got) * 10'000'000LL / baud : 500;
            if (us > 10'000) us = 10'000;
            std::this_thread::sleep_for(std::chrono::microseconds(us));
        }
    }
    counters.bytes_read += got;
    *length = got;
    return true;
}

bool MemoryComPort::write(const BYTE* buffer, DWORD* length) {
    const DWORD n = *length;
    *length = 0;
    if (!is_enabled()) return false;
    int lose = lose_.load();
    if (n == 1 && lose == int(buffer[0]) && lose_.compare_exchange_strong(lose, -1)) {
        *length = n;
        return true;
    }
    if (!line_->write(buffer, n)) return false;
    counters.bytes_written += n;
    *length = n;
    return true;
}

bool MemoryComPort::purge() {
    line_->purge();
    return true;
}

bool MemoryComPort::abort_io() {
    ++counters.aborts;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Pseudo-terminal

namespace {

// Numbers well above the ones tests name themselves.
std::string next_com_name() {
    static std::atomic<unsigned> next{100};
    return "COM" + std::to_string(next++);
}

}  // namespace

PtyComPort::PtyComPort(std::string path, DWORD timeout_ms) : PtyComPort(next_com_name(), std::move(path), timeout_ms) {}

PtyComPort::PtyComPort(std::string com_name, std::string path, DWORD timeout_ms)
    : SerialComPort(com_name + ": baud=115200 data=8 stop=1 parity=N", timeout_ms, false),
      com_name_(std::move(com_name)) {
    standin::comm::map_port(com_name_, path);
}

PtyComPort::~PtyComPort() {
    close();
    standin::comm::map_port(com_name_, "");
}

bool PtyComPort::open() {
    ++counters.opens;
    return SerialComPort::open();
}

bool PtyComPort::read(BYTE* buffer, DWORD* length) {
    ++counters.reads_in_progress;
    const bool ok = SerialComPort::read(buffer, length);
    --counters.reads_in_progress;
    counters.bytes_read += *length;
    if (!ok) {
        if (!is_enabled())
            ++counters.reads_ended_by_disable;
        else
            ++counters.read_timeouts;
    }
    return ok;
}

bool PtyComPort::write(const BYTE* buffer, DWORD* length) {
    const bool ok = SerialComPort::write(buffer, length);
    counters.bytes_written += *length;
    return ok;
}

bool PtyComPort::abort_io() {
    ++counters.aborts;
    return SerialComPort::abort_io();
}

}  // namespace lintra_test
