// Byte lines the serial face runs on: an in-memory duplex line, file descriptors, terminals.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>

#include "simdev/serial_device.h"

namespace simdev {

// ---------------------------------------------------------------------------------------------
// In-memory line

struct memory_line::impl {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::uint8_t> q[2];  // q[0]: host to device, q[1]: device to host
    bool closed = false;

    class end : public byte_stream {
    public:
        end(impl* l, int in, int out) : l_(l), in_(in), out_(out) {}
        long read(std::uint8_t* buf, std::size_t n, int timeout_ms) override {
            std::unique_lock<std::mutex> lk(l_->mu);
            auto ready = [&] { return l_->closed || !l_->q[in_].empty(); };
            if (timeout_ms < 0)
                l_->cv.wait(lk, ready);
            else if (!l_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), ready))
                return 0;
            if (l_->closed) return -1;
            std::size_t k = 0;
            auto& q = l_->q[in_];
            while (k < n && !q.empty()) {
                buf[k++] = q.front();
                q.pop_front();
            }
            return static_cast<long>(k);
        }
        bool write(const std::uint8_t* buf, std::size_t n) override {
            std::lock_guard<std::mutex> g(l_->mu);
            if (l_->closed) return false;
            l_->q[out_].insert(l_->q[out_].end(), buf, buf + n);
            l_->cv.notify_all();
            return true;
        }
        void purge() override {
            std::lock_guard<std::mutex> g(l_->mu);
            l_->q[in_].clear();
        }
        void close() override {
            std::lock_guard<std::mutex> g(l_->mu);
            l_->closed = true;
            l_->cv.notify_all();
        }

    private:
        impl* l_;
        int in_, out_;
    };

    end host_end{this, 1, 0};
    end device_end{this, 0, 1};
};

memory_line::memory_line() : p_(std::make_shared<impl>()) {}
memory_line::~memory_line() = default;
byte_stream& memory_line::host() { return p_->host_end; }
byte_stream& memory_line::device() { return p_->device_end; }

std::pair<std::shared_ptr<byte_stream>, std::shared_ptr<byte_stream>> memory_line::make_pair() {
    auto l = std::make_shared<impl>();
    return {std::shared_ptr<byte_stream>(l, &l->host_end), std::shared_ptr<byte_stream>(l, &l->device_end)};
}

// ---------------------------------------------------------------------------------------------
// File descriptors

fd_stream::fd_stream(int fd, bool owns) : fd_(fd), owns_(owns) {
    if (::pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
    int fl = ::fcntl(fd_, F_GETFL);
    if (fl >= 0) ::fcntl(fd_, F_SETFL, fl | O_NONBLOCK);
}

fd_stream::~fd_stream() {
    close();
    if (owns_ && fd_ >= 0) ::close(fd_);
    for (int w : wake_)
        if (w >= 0) ::close(w);
}

long fd_stream::read(std::uint8_t* buf, std::size_t n, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        if (closed_) return -1;
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int wait = -1;
        if (timeout_ms >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        int r = ::poll(p, wake_[0] >= 0 ? 2 : 1, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (closed_) return -1;
        if (r == 0) return 0;
        if (p[0].revents & POLLNVAL) return -1;  // the descriptor is gone: nothing will come
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t k = ::read(fd_, buf, n);
            if (k > 0) return static_cast<long>(k);
            if (k < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            // A terminal's master reads EIO while no one holds the other side open: wait and see.
            if (k < 0 && errno == EIO) {
                if (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline) return 0;
                ::poll(nullptr, 0, 10);
                continue;
            }
            return -1;
        }
    }
}

bool fd_stream::write(const std::uint8_t* buf, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        if (closed_) return false;
        ssize_t k = ::write(fd_, buf + done, n - done);
        if (k > 0) {
            done += static_cast<std::size_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        if (k < 0 && (errno == EAGAIN || errno == EIO)) {
            pollfd p[2] = {{fd_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
            ::poll(p, wake_[0] >= 0 ? 2 : 1, 50);
            continue;
        }
        return false;
    }
    return true;
}

void fd_stream::purge() {
    std::uint8_t tmp[256];
    for (;;) {
        ssize_t k = ::read(fd_, tmp, sizeof tmp);
        if (k <= 0) break;
    }
}

void fd_stream::close() {
    if (closed_.exchange(true)) return;
    if (wake_[1] >= 0) {
        std::uint8_t b = 1;
        [[maybe_unused]] ssize_t k = ::write(wake_[1], &b, 1);
    }
}

// ---------------------------------------------------------------------------------------------
// Terminals

namespace {

void make_raw(int fd, unsigned baud) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (baud) {
        speed_t sp = B9600;
        switch (baud) {
        case 1200: sp = B1200; break;
        case 2400: sp = B2400; break;
        case 4800: sp = B4800; break;
        case 9600: sp = B9600; break;
        case 19200: sp = B19200; break;
        case 38400: sp = B38400; break;
        case 57600: sp = B57600; break;
        case 115200: sp = B115200; break;
        case 230400: sp = B230400; break;
        default: break;
        }
        ::cfsetispeed(&t, sp);
        ::cfsetospeed(&t, sp);
    }
    ::tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

pseudo_terminal::pseudo_terminal() {
    int m = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) throw std::system_error(errno, std::generic_category(), "posix_openpt");
    if (::grantpt(m) != 0 || ::unlockpt(m) != 0) {
        int e = errno;
        ::close(m);
        throw std::system_error(e, std::generic_category(), "grantpt/unlockpt");
    }
    char name[128];
    if (::ptsname_r(m, name, sizeof name) != 0) {
        int e = errno;
        ::close(m);
        throw std::system_error(e, std::generic_category(), "ptsname_r");
    }
    path_ = name;
    hold_ = ::open(name, O_RDWR | O_NOCTTY);
    if (hold_ >= 0) make_raw(hold_, 0);
    master_ = std::make_shared<fd_stream>(m, true);
}

pseudo_terminal::~pseudo_terminal() {
    if (master_) master_->close();
    if (hold_ >= 0) ::close(hold_);
}

std::shared_ptr<fd_stream> open_tty(const std::string& path, unsigned baud) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
    make_raw(fd, baud);
    return std::make_shared<fd_stream>(fd, true);
}

}  // namespace simdev
