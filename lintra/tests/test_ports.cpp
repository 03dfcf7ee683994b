#include "test_ports.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

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
            cv_.wait(lock, [&] { return !hold_ || !is_enabled(); });
            held_ = false;
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

PtyComPort::PtyComPort(std::string path, DWORD timeout_ms) : path_(std::move(path)), timeout_ms_(timeout_ms) {
    if (::pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
    for (int fd : wake_)
        if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

PtyComPort::~PtyComPort() {
    close();
    for (int fd : wake_)
        if (fd >= 0) ::close(fd);
}

bool PtyComPort::open() {
    close();
    ++counters.opens;
    fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return false;
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) {
        close();
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
        close();
        return false;
    }
    ::tcflush(fd_, TCIOFLUSH);
    return true;
}

void PtyComPort::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool PtyComPort::flush() { return purge(); }

void PtyComPort::drain_wake() {
    BYTE tmp[64];
    while (wake_[0] >= 0 && ::read(wake_[0], tmp, sizeof tmp) > 0) {
    }
}

void PtyComPort::disable() {
    IComPort::disable();
    if (wake_[1] >= 0) {
        const BYTE b = 1;
        [[maybe_unused]] ssize_t k = ::write(wake_[1], &b, 1);
    }
}

bool PtyComPort::read(BYTE* buffer, DWORD* length) {
    const DWORD want = *length;
    *length = 0;
    if (fd_ < 0) return false;
    if (!is_enabled()) {
        ++counters.reads_ended_by_disable;
        return false;
    }
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms_);
    DWORD got = 0;
    while (got < want) {
        if (!is_enabled()) {
            ++counters.reads_ended_by_disable;
            drain_wake();
            *length = got;
            return false;
        }
        const int left = ms_left(deadline);
        if (left == 0) {
            ++counters.read_timeouts;
            *length = got;
            return false;
        }
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int r = ::poll(p, 2, left);
        if (r < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) {
            drain_wake();
            continue;  // the loop head looks at the enabled flag
        }
        if (p[0].revents & POLLIN) {
            const ssize_t k = ::read(fd_, buffer + got, want - got);
            if (k > 0) got += DWORD(k);
        } else if (p[0].revents & (POLLHUP | POLLERR)) {
            ::poll(nullptr, 0, 5);
        }
    }
    counters.bytes_read += got;
    *length = got;
    return got == want;
}

bool PtyComPort::write(const BYTE* buffer, DWORD* length) {
    const DWORD want = *length;
    *length = 0;
    if (fd_ < 0 || !is_enabled()) return false;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms_);
    DWORD done = 0;
    while (done < want) {
        if (!is_enabled()) return false;
        const ssize_t k = ::write(fd_, buffer + done, want - done);
        if (k > 0) {
            done += DWORD(k);
            continue;
        }
        if (k < 0 && errno != EAGAIN && errno != EINTR) break;
        const int left = ms_left(deadline);
        if (left == 0) break;
        pollfd p[2] = {{fd_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
        ::poll(p, 2, left);
    }
    counters.bytes_written += done;
    *length = done;
    return done == want;
}

bool PtyComPort::purge() {
    if (fd_ < 0) return false;
    // Only what came in: on a pseudo-terminal the bytes just written may still wait for the other side.
    return ::tcflush(fd_, TCIFLUSH) == 0;
}

bool PtyComPort::abort_io() {
    ++counters.aborts;
    return true;
}

}  // namespace lintra_test
