// COM ports: CreateFileA("COMn" / "\\.\COMn") opens a real terminal (termios), and the comm calls work
// on it as a serial driver does. The port keeps a receive queue that fills whether or not a read is
// pending, and a transmit queue that a write completes into and that goes out on the line at the
// configured rate (ten bits per byte). PURGE_TXCLEAR discards what has not gone out yet, as drivers
// do, and tcflush(TCOFLUSH) what the terminal still holds.
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <standin/comm.h>
#include <standin/registry.h>

#include "comm.h"
#include "fileio.h"

namespace wb {

std::string upper(std::string s) {
  for (auto &c : s) c = (char)std::toupper((unsigned char)c);
  return s;
}

namespace {

constexpr int32_t kPending = 0x103;
constexpr int32_t kSuccess = 0;
constexpr int32_t kTimeout = 0x102;  // a success code: the request ends with what moved
constexpr int32_t kCancelled = (int32_t)0xC0000120;
constexpr size_t kDefaultQueue = 4096;

std::mutex g_names_mu;
std::set<std::string> &open_names() {
  static auto *s = new std::set<std::string>;
  return *s;
}

// A driver keeps a port's time-outs from one open to the next: a program that sets none gets
// whatever the last one left. Forgotten when the name is mapped to another terminal.
std::map<std::string, COMMTIMEOUTS> &kept_timeouts() {
  static auto *m = new std::map<std::string, COMMTIMEOUTS>;
  return *m;
}

uint64_t now_ns() { return clock_now_ns(); }

speed_t speed_of(DWORD baud) {
  switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
  }
}

struct comm_request {
  bool is_read = true;
  BYTE *rbuf = nullptr;
  const BYTE *wbuf = nullptr;
  DWORD length = 0;
  DWORD done = 0;
  LPOVERLAPPED ov = nullptr;
  HANDLE ev = nullptr;
  void *thread = nullptr;
  // Time-outs, fixed when the request is issued.
  uint64_t deadline_ns = 0;  // 0: none
  uint64_t interval_ns = 0;  // 0: none
  uint64_t last_byte_ns = 0;
  bool immediate = false;    // return at once with what is there
  bool first_bytes = false;  // return as soon as anything arrived
  // Synchronous handles wait for these.
  bool finished = false;
  int32_t status = kPending;
};
using request_ptr = std::shared_ptr<comm_request>;

class comm_port : public file_object {
 public:
  comm_port(int fd, std::string name, bool ov) : fd_(fd), name_(std::move(name)), overlapped_(ov) {
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    dcb_.DCBlength = sizeof(DCB);
    dcb_.BaudRate = 9600;
    dcb_.fBinary = 1;
    dcb_.fDtrControl = DTR_CONTROL_ENABLE;
    dcb_.fRtsControl = RTS_CONTROL_ENABLE;
    dcb_.ByteSize = 8;
    dcb_.Parity = NOPARITY;
    dcb_.StopBits = ONESTOPBIT;
    dcb_.XonChar = 0x11;
    dcb_.XoffChar = 0x13;
    dcb_.XonLim = 2048;
    dcb_.XoffLim = 512;
    apply_termios(dcb_);
    service_ = std::thread([this] { serve(); });
  }
  ~comm_port() override {
    if (service_.joinable()) {  // never put in the table: stop the thread here
      {
        std::lock_guard<std::mutex> l(mu_);
        closed_ = true;
        wake();
      }
      service_.join();
      ::close(fd_);
    }
    for (int fd : wake_)
      if (fd >= 0) ::close(fd);
  }
  const char *type_name() const override { return "comm"; }
  bool overlapped() const override { return overlapped_; }

  BOOL read(LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov) override {
    auto r = std::make_shared<comm_request>();
    r->is_read = true;
    r->rbuf = static_cast<BYTE *>(buffer);
    r->length = length;
    return issue(r, done, ov);
  }
  BOOL write(LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov) override {
    auto r = std::make_shared<comm_request>();
    r->is_read = false;
    r->wbuf = static_cast<const BYTE *>(buffer);
    r->length = length;
    return issue(r, done, ov);
  }

  BOOL cancel_io() override {
    void *me = io_thread_token();
    end_matching([me](const comm_request &r) { return r.thread == me; }, true, true);
    return TRUE;
  }

  BOOL flush_buffers() override {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return closed_ || (tx_.empty() && writes_.empty()); });
    return TRUE;
  }

  BOOL get_state(LPDCB dcb) {
    std::lock_guard<std::mutex> l(mu_);
    *dcb = dcb_;
    return TRUE;
  }
  BOOL set_state(const DCB *dcb) {
    if (dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS ||
        dcb->BaudRate == 0 || (dcb->ByteSize == 5 && dcb->StopBits == TWOSTOPBITS) ||
        (dcb->ByteSize > 5 && dcb->StopBits == ONE5STOPBITS)) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::lock_guard<std::mutex> l(mu_);
    if (!apply_termios(*dcb)) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    dcb_ = *dcb;
    dcb_.DCBlength = sizeof(DCB);
    wake();
    return TRUE;
  }
  BOOL setup(DWORD in, DWORD out) {
    std::lock_guard<std::mutex> l(mu_);
    if (in) rx_cap_ = in;
    if (out) tx_cap_ = out;
    wake();
    return TRUE;
  }
  BOOL get_timeouts(LPCOMMTIMEOUTS t) {
    std::lock_guard<std::mutex> l(mu_);
    *t = timeouts_;
    return TRUE;
  }
  BOOL set_timeouts(const COMMTIMEOUTS *t) {
    if (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == MAXDWORD &&
        t->ReadTotalTimeoutConstant == MAXDWORD) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::lock_guard<std::mutex> l(mu_);
    timeouts_ = *t;
    return TRUE;
  }

  BOOL purge(DWORD flags) {
    if (flags & ~(DWORD)(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    end_matching([](const comm_request &) { return true; }, (flags & PURGE_RXABORT) != 0, (flags & PURGE_TXABORT) != 0);
    std::lock_guard<std::mutex> l(mu_);
    if (flags & PURGE_TXCLEAR) {
      tx_.clear();
      ::tcflush(fd_, TCOFLUSH);
    }
    if (flags & PURGE_RXCLEAR) {
      rx_.clear();
      ::tcflush(fd_, TCIFLUSH);
    }
    cv_.notify_all();
    wake();
    return TRUE;
  }

  BOOL escape(DWORD fn) {
    std::lock_guard<std::mutex> l(mu_);
    int bits = 0;
    switch (fn) {
      case SETDTR:
        bits = TIOCM_DTR;
        ::ioctl(fd_, TIOCMBIS, &bits);
        return TRUE;
      case CLRDTR:
        bits = TIOCM_DTR;
        ::ioctl(fd_, TIOCMBIC, &bits);
        return TRUE;
      case SETRTS:
        bits = TIOCM_RTS;
        ::ioctl(fd_, TIOCMBIS, &bits);
        return TRUE;
      case CLRRTS:
        bits = TIOCM_RTS;
        ::ioctl(fd_, TIOCMBIC, &bits);
        return TRUE;
      case SETBREAK: ::ioctl(fd_, TIOCSBRK); return TRUE;
      case CLRBREAK: ::ioctl(fd_, TIOCCBRK); return TRUE;
      case SETXOFF: ::tcflow(fd_, TCIOFF); return TRUE;
      case SETXON: ::tcflow(fd_, TCION); return TRUE;
      case RESETDEV: return TRUE;
      default: set_last_error(ERROR_INVALID_PARAMETER); return FALSE;
    }
  }

  BOOL clear_error(LPDWORD errors, LPCOMSTAT stat) {
    std::lock_guard<std::mutex> l(mu_);
    if (errors) *errors = errors_;
    errors_ = 0;
    if (stat) {
      memset(stat, 0, sizeof *stat);
      int pending_in = 0;
      if (::ioctl(fd_, FIONREAD, &pending_in) != 0) pending_in = 0;
      stat->cbInQue = (DWORD)(rx_.size() + (size_t)pending_in);
      size_t out = tx_.size();
      for (auto &w : writes_) out += w->length - w->done;
      stat->cbOutQue = (DWORD)out;
    }
    return TRUE;
  }

 protected:
  void on_last_handle_closed() override {
    end_matching([](const comm_request &) { return true; }, true, true);
    {
      std::lock_guard<std::mutex> l(mu_);
      closed_ = true;
      cv_.notify_all();
      wake();
    }
    if (service_.joinable()) service_.join();
    ::close(fd_);
    COMMTIMEOUTS kept;
    get_timeouts(&kept);
    std::lock_guard<std::mutex> l(g_names_mu);
    open_names().erase(name_);
    kept_timeouts()[name_] = kept;
  }

 private:
  bool apply_termios(const DCB &d) {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return true;  // not a terminal we can set: keep the DCB only
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    t.c_cflag |= d.ByteSize == 5 ? CS5 : d.ByteSize == 6 ? CS6 : d.ByteSize == 7 ? CS7 : CS8;
    if (d.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    if (d.Parity == ODDPARITY || d.Parity == EVENPARITY) t.c_cflag |= PARENB;
    if (d.Parity == ODDPARITY) t.c_cflag |= PARODD;
    if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (d.fOutX) t.c_iflag |= IXON;
    if (d.fInX) t.c_iflag |= IXOFF;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    const speed_t s = speed_of(d.BaudRate);
    if (s != B0) {
      ::cfsetispeed(&t, s);
      ::cfsetospeed(&t, s);
    }
    return ::tcsetattr(fd_, TCSANOW, &t) == 0;
  }

  void wake() {
    if (wake_[1] >= 0) {
      const char b = 1;
      [[maybe_unused]] ssize_t k = ::write(wake_[1], &b, 1);
    }
  }

  // Fixes the request's time-outs from the port's current setting.
  void arm_locked(comm_request &r, uint64_t now) {
    const COMMTIMEOUTS &t = timeouts_;
    if (r.is_read) {
      if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        r.immediate = true;
        return;
      }
      if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        r.first_bytes = true;
        r.deadline_ns = now + (uint64_t)t.ReadTotalTimeoutConstant * 1000000ull;
        return;
      }
      const uint64_t total = (uint64_t)t.ReadTotalTimeoutMultiplier * r.length + t.ReadTotalTimeoutConstant;
      if (total) r.deadline_ns = now + total * 1000000ull;
      if (t.ReadIntervalTimeout && t.ReadIntervalTimeout != MAXDWORD)
        r.interval_ns = (uint64_t)t.ReadIntervalTimeout * 1000000ull;
    } else {
      const uint64_t total = (uint64_t)t.WriteTotalTimeoutMultiplier * r.length + t.WriteTotalTimeoutConstant;
      if (total) r.deadline_ns = now + total * 1000000ull;
    }
  }

  static void publish(comm_request &r) {
    if (r.ov) {
      __atomic_store_n(&r.ov->InternalHigh, (ULONG_PTR)r.done, __ATOMIC_RELAXED);
      __atomic_store_n(&r.ov->Internal, (ULONG_PTR)(uint32_t)r.status, __ATOMIC_RELEASE);
    }
  }

  void signal(const std::vector<request_ptr> &done) {
    for (auto &r : done) {
      if (r->ov) {
        if (r->ev)
          SetEvent(r->ev);
        else
          set_signalled(true);
      }
    }
    if (!done.empty()) {
      std::lock_guard<std::mutex> l(mu_);
      cv_.notify_all();
    }
  }

  void finish_locked(const request_ptr &r, int32_t status, std::vector<request_ptr> &done) {
    r->status = status;
    r->finished = true;
    publish(*r);
    done.push_back(r);
  }

  // Serves the heads of both queues from and into the port's queues; ends requests whose time is up.
  void progress_locked(uint64_t now, std::vector<request_ptr> &done) {
    while (!reads_.empty()) {
      request_ptr r = reads_.front();
      const size_t n = std::min(rx_.size(), (size_t)(r->length - r->done));
      if (n) {
        std::copy_n(rx_.begin(), n, r->rbuf + r->done);
        rx_.erase(rx_.begin(), rx_.begin() + (ptrdiff_t)n);
        r->done += (DWORD)n;
        r->last_byte_ns = now;
      }
      int32_t status = kPending;
      if (r->done == r->length)
        status = kSuccess;
      else if (r->immediate || (r->first_bytes && r->done > 0))
        status = kSuccess;
      else if (r->deadline_ns && now >= r->deadline_ns)
        status = kTimeout;
      else if (r->interval_ns && r->done > 0 && now - r->last_byte_ns >= r->interval_ns)
        status = kTimeout;
      if (status == kPending) break;
      reads_.pop_front();
      finish_locked(r, status, done);
      // The next read's time starts when it comes to the head.
      if (!reads_.empty()) arm_locked(*reads_.front(), now);
    }
    while (!writes_.empty()) {
      request_ptr r = writes_.front();
      const size_t room = tx_cap_ > tx_.size() ? tx_cap_ - tx_.size() : 0;
      const size_t n = std::min(room, (size_t)(r->length - r->done));
      if (n) {
        tx_.insert(tx_.end(), r->wbuf + r->done, r->wbuf + r->done + n);
        r->done += (DWORD)n;
      }
      int32_t status = kPending;
      if (r->done == r->length)
        status = kSuccess;
      else if (r->deadline_ns && now >= r->deadline_ns)
        status = kTimeout;
      if (status == kPending) break;
      writes_.pop_front();
      finish_locked(r, status, done);
      if (!writes_.empty()) arm_locked(*writes_.front(), now);
    }
  }

  BOOL issue(const request_ptr &r, LPDWORD done, LPOVERLAPPED ov) {
    if (overlapped_ && !ov) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    r->thread = io_thread_token();
    if (overlapped_) {
      r->ov = ov;
      r->ev = ov->hEvent;
      __atomic_store_n(&ov->InternalHigh, (ULONG_PTR)0, __ATOMIC_RELAXED);
      __atomic_store_n(&ov->Internal, (ULONG_PTR)kPending, __ATOMIC_RELEASE);
      if (r->ev) ResetEvent(r->ev);
      set_signalled(false);
    }
    std::vector<request_ptr> finished;
    comm_request at_once;  // the request as it stood when issued, read under the lock
    {
      std::unique_lock<std::mutex> l(mu_);
      if (closed_) {
        l.unlock();
        set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      auto &queue = r->is_read ? reads_ : writes_;
      const uint64_t now = now_ns();
      if (queue.empty()) arm_locked(*r, now);
      queue.push_back(r);
      progress_locked(now, finished);
      wake();
      if (!overlapped_) {
        l.unlock();
        signal(finished);
        l.lock();
        cv_.wait(l, [&] { return r->finished; });
        return result_of(*r, done);
      }
      at_once = *r;
    }
    signal(finished);
    if (at_once.finished) return result_of(at_once, done);
    set_last_error(ERROR_IO_PENDING);
    return FALSE;
  }

  static BOOL result_of(const comm_request &r, LPDWORD done) {
    if (done) *done = r.done;
    if (r.status == kCancelled) {
      set_last_error(ERROR_OPERATION_ABORTED);
      return FALSE;
    }
    return TRUE;
  }

  template <class Pred>
  void end_matching(Pred pred, bool reads, bool writes) {
    std::vector<request_ptr> done;
    {
      std::lock_guard<std::mutex> l(mu_);
      const uint64_t now = now_ns();
      for (int q = 0; q < 2; ++q) {
        if ((q == 0 && !reads) || (q == 1 && !writes)) continue;
        auto &queue = q == 0 ? reads_ : writes_;
        const bool head_kept = !queue.empty() && !pred(*queue.front());
        for (auto it = queue.begin(); it != queue.end();) {
          if (pred(**it)) {
            finish_locked(*it, kCancelled, done);
            it = queue.erase(it);
          } else {
            ++it;
          }
        }
        if (!queue.empty() && !head_kept) arm_locked(*queue.front(), now);
      }
      wake();
    }
    signal(done);
  }

  int timeout_locked(uint64_t now, bool tx_waiting) const {
    uint64_t next = UINT64_MAX;
    if (!reads_.empty()) {
      const auto &r = *reads_.front();
      if (r.deadline_ns) next = std::min(next, r.deadline_ns);
      if (r.interval_ns && r.done > 0) next = std::min(next, r.last_byte_ns + r.interval_ns);
    }
    if (!writes_.empty() && writes_.front()->deadline_ns) next = std::min(next, writes_.front()->deadline_ns);
    if (tx_waiting) next = std::min(next, next_tx_ns_);
    if (hup_) next = std::min<uint64_t>(next, now + 20000000ull);
    if (next == UINT64_MAX) return -1;
    if (next <= now) return 0;
    return (int)std::min<uint64_t>((next - now + 999999) / 1000000, 1000);
  }

  // Sends what the line rate allows now.
  void transmit_locked(uint64_t now) {
    if (tx_.empty() || now < next_tx_ns_) return;
    const uint64_t rate = std::max<DWORD>(dcb_.BaudRate / 10, 1);
    size_t chunk = std::max<uint64_t>(rate / 500, 1);  // about 2 ms of the line
    chunk = std::min(chunk, tx_.size());
    BYTE buf[4096];
    chunk = std::min(chunk, sizeof buf);
    std::copy_n(tx_.begin(), chunk, buf);
    const ssize_t k = ::write(fd_, buf, chunk);
    if (k < 0 && errno == EIO) {
      tx_.clear();  // nobody on the other end: the bytes go out into the void
      return;
    }
    if (k <= 0) return;  // the terminal is full: POLLOUT tells when to go on
    tx_.erase(tx_.begin(), tx_.begin() + k);
    next_tx_ns_ = std::max(now, next_tx_ns_) + (uint64_t)k * 1000000000ull / rate;
  }

  void serve() {
    std::vector<request_ptr> done;
    for (;;) {
      bool want_in, want_out;
      int timeout;
      {
        std::lock_guard<std::mutex> l(mu_);
        if (closed_) return;
        const uint64_t now = now_ns();
        transmit_locked(now);
        progress_locked(now, done);
        if (tx_.empty() && writes_.empty()) cv_.notify_all();
        want_in = !hup_ && rx_.size() < rx_cap_;
        want_out = !tx_.empty() && now_ns() >= next_tx_ns_;
        timeout = timeout_locked(now, !tx_.empty());
      }
      signal(done);
      done.clear();
      pollfd p[2] = {{want_in ? fd_ : -1, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (want_out) {
        p[0].fd = fd_;
        p[0].events = (short)((want_in ? POLLIN : 0) | POLLOUT);
      }
      ::poll(p, 2, timeout);
      if (p[1].revents & POLLIN) {
        char tmp[64];
        while (::read(wake_[0], tmp, sizeof tmp) > 0) {
        }
      }
      std::lock_guard<std::mutex> l(mu_);
      if (closed_) return;
      if (hup_ || (p[0].revents & POLLIN)) receive_locked();
    }
  }

  void receive_locked() {
    if (rx_.size() >= rx_cap_) return;
    BYTE buf[4096];
    const size_t room = std::min(rx_cap_ - rx_.size(), sizeof buf);
    const ssize_t k = ::read(fd_, buf, room);
    if (k > 0) {
      rx_.insert(rx_.end(), buf, buf + k);
      hup_ = false;
    } else if (k < 0 && (errno == EIO || errno == EBADF)) {
      hup_ = true;  // the other end went away; look again from time to time
    } else if (k == 0) {
      hup_ = true;
    }
  }

  int fd_;
  int wake_[2] = {-1, -1};
  std::string name_;
  bool overlapped_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<request_ptr> reads_, writes_;
  std::deque<BYTE> rx_, tx_;
  size_t rx_cap_ = kDefaultQueue, tx_cap_ = kDefaultQueue;
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  DWORD errors_ = 0;
  bool hup_ = false;
  bool closed_ = false;
  uint64_t next_tx_ns_ = 0;
  std::thread service_;
};

kref<comm_port> port_of(HANDLE h) { return lookup_handle_as<comm_port>(h); }

// The port behind h, when the structure the call needs was given.
kref<comm_port> port_for(HANDLE h, const void *record) {
  auto p = port_of(h);
  if (p && !record) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return {};
  }
  return p;
}

// "COMn" or "\\.\COMn" (any case): the upper-case COM name; else empty.
std::string com_name_of(const char *name) {
  std::string n = name;
  if (n.rfind("\\\\.\\", 0) == 0) n = n.substr(4);
  if (!n.empty() && n.back() == ':') n.pop_back();
  n = upper(n);
  if (n.size() < 4 || n.compare(0, 3, "COM") != 0) return {};
  for (size_t i = 3; i < n.size(); ++i)
    if (!std::isdigit((unsigned char)n[i])) return {};
  return n;
}

bool open_com(LPCSTR name, DWORD, DWORD, DWORD disposition, DWORD flags, HANDLE *result) {
  const std::string com = com_name_of(name);
  if (com.empty()) return false;
  if (disposition != OPEN_EXISTING) {
    set_last_error(ERROR_INVALID_PARAMETER);
    *result = INVALID_HANDLE_VALUE;
    return true;
  }
  const std::string path = comm_path_of(com);
  if (path.empty()) {
    set_last_error(ERROR_FILE_NOT_FOUND);
    *result = INVALID_HANDLE_VALUE;
    return true;
  }
  *result = open_comm_path(path, com, 9600, (flags & FILE_FLAG_OVERLAPPED) != 0);
  return true;
}

struct registrar {
  registrar() { add_file_opener(open_com); }
} g_registrar;

}  // namespace

std::string comm_path_of(const std::string &com_name) {
  const std::string com = upper(com_name);
  if (const char *env = std::getenv(("ZEPH_" + com).c_str()); env && *env) return env;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, standin::comm::mapping_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  char buf[1024];
  DWORD size = sizeof buf - 1, type = 0;
  std::string out;
  if (RegQueryValueExA(key, com.c_str(), nullptr, &type, (LPBYTE)buf, &size) == ERROR_SUCCESS && type == REG_SZ) {
    buf[size] = 0;
    out = buf;
  }
  RegCloseKey(key);
  return out;
}

HANDLE open_comm_path(const std::string &path, const std::string &name, DWORD baud, bool overlapped) {
  {
    std::lock_guard<std::mutex> l(g_names_mu);
    if (open_names().count(name)) {
      set_last_error(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      set_last_error(errno == EACCES || errno == EBUSY ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    if (!::isatty(fd)) {
      ::close(fd);
      set_last_error(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    open_names().insert(name);
    auto *port = new comm_port(fd, name, overlapped);
    DCB d;
    port->get_state(&d);
    d.BaudRate = baud;
    port->set_state(&d);
    if (auto kept = kept_timeouts().find(name); kept != kept_timeouts().end()) port->set_timeouts(&kept->second);
    ::tcflush(fd, TCIOFLUSH);
    HANDLE h = insert_handle(port);
    port->release();
    if (!h) {
      open_names().erase(name);
      return INVALID_HANDLE_VALUE;
    }
    set_last_error(0);
    return h;
  }
}

}  // namespace wb

namespace standin::comm {

void map_port(const std::string &com_name, const std::string &tty_path) {
  {
    std::lock_guard<std::mutex> l(wb::g_names_mu);
    wb::kept_timeouts().erase(wb::upper(com_name));
  }
  if (tty_path.empty()) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, mapping_key, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
      RegDeleteValueA(key, com_name.c_str());
      RegCloseKey(key);
    }
    return;
  }
  standin::registry::set_string(HKEY_LOCAL_MACHINE, mapping_key, com_name, tty_path);
}

}  // namespace standin::comm

using namespace wb;

extern "C" {

BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb) {
  auto p = port_for(h, dcb);
  return p ? p->get_state(dcb) : FALSE;
}

BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb) {
  auto p = port_for(h, dcb);
  return p ? p->set_state(dcb) : FALSE;
}

BOOL WINAPI SetupComm(HANDLE h, DWORD in, DWORD out) {
  auto p = port_of(h);
  return p ? p->setup(in, out) : FALSE;
}

BOOL WINAPI GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  auto p = port_for(h, t);
  return p ? p->get_timeouts(t) : FALSE;
}

BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  auto p = port_for(h, t);
  return p ? p->set_timeouts(t) : FALSE;
}

BOOL WINAPI PurgeComm(HANDLE h, DWORD flags) {
  auto p = port_of(h);
  return p ? p->purge(flags) : FALSE;
}

BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD fn) {
  auto p = port_of(h);
  return p ? p->escape(fn) : FALSE;
}

BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  auto p = port_of(h);
  return p ? p->clear_error(errors, stat) : FALSE;
}

}  // extern "C"
