// CreateFileA and the I/O calls: device files over the kernel's I/O manager, plain files over the
// Linux file system, and openers that other parts of the stand-in add (COM ports, ...).
#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "fileio.h"
#include "kernel/kbridge.h"

namespace wb {
namespace {

constexpr ULONG_PTR kPending = 0x103;

std::mutex g_openers_mu;
std::vector<file_opener> &openers() {
  static auto *v = new std::vector<file_opener>;
  return *v;
}

void publish(LPOVERLAPPED ov, int32_t status, uint64_t info) {
  __atomic_store_n(&ov->InternalHigh, (ULONG_PTR)info, __ATOMIC_RELAXED);
  __atomic_store_n(&ov->Internal, (ULONG_PTR)(uint32_t)status, __ATOMIC_RELEASE);
}

bool nt_success(int32_t s) { return s >= 0; }

// ---- device files ----
class device_file : public file_object {
 public:
  device_file(wbk::kfile *f, bool ov) : f_(f), overlapped_(ov) {}
  bool overlapped() const override { return overlapped_; }

  BOOL read(LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov) override {
    wbk::io_request r;
    r.major = 3;  // IRP_MJ_READ
    r.out = buffer;
    r.out_length = length;
    if (ov) r.offset = (int64_t)ov->Offset | ((int64_t)ov->OffsetHigh << 32);
    return submit(std::move(r), done, ov);
  }

  BOOL write(LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov) override {
    wbk::io_request r;
    r.major = 4;  // IRP_MJ_WRITE
    r.in = const_cast<LPVOID>(buffer);
    r.in_length = length;
    if (ov) r.offset = (int64_t)ov->Offset | ((int64_t)ov->OffsetHigh << 32);
    return submit(std::move(r), done, ov);
  }

  BOOL control(DWORD code, LPVOID in, DWORD in_length, LPVOID out, DWORD out_length, LPDWORD done,
               LPOVERLAPPED ov) override {
    wbk::io_request r;
    r.major = 0x0e;  // IRP_MJ_DEVICE_CONTROL
    r.code = code;
    r.in = in;
    r.in_length = in ? in_length : 0;
    r.out = out;
    r.out_length = out ? out_length : 0;
    return submit(std::move(r), done, ov);
  }

  BOOL cancel_io() override {
    held f(this);
    if (!f) {
      set_last_error(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    wbk::io_cancel(f, io_thread_token());
    return TRUE;
  }

  BOOL cancel_io_ex(LPOVERLAPPED ov) override {
    held f(this);
    if (!f) {
      set_last_error(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (wbk::io_cancel(f, nullptr, ov) == 0) {
      set_last_error(ERROR_NOT_FOUND);
      return FALSE;
    }
    return TRUE;
  }

 protected:
  // Another thread may be inside a call on this object when the last handle goes: such a call holds a
  // reference of its own, so the file object stays (and IRP_MJ_CLOSE waits) until it is done.
  void on_last_handle_closed() override {
    wbk::kfile *f;
    {
      std::lock_guard<std::mutex> l(mu_);
      f = f_;
      f_ = nullptr;
    }
    if (f) wbk::io_close(f);
  }

 private:
  class held {
   public:
    explicit held(device_file *d) {
      std::lock_guard<std::mutex> l(d->mu_);
      f_ = d->f_;
      if (f_) wbk::io_hold(f_);
    }
    ~held() {
      if (f_) wbk::io_release(f_);
    }
    held(const held &) = delete;
    held &operator=(const held &) = delete;
    operator wbk::kfile *() const { return f_; }

   private:
    wbk::kfile *f_;
  };

  struct sync_wait {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    int32_t status = 0;
    uint64_t info = 0;
    static void finish(void *p, int32_t status, uint64_t info) {
      auto *w = static_cast<sync_wait *>(p);
      std::lock_guard<std::mutex> l(w->mu);
      w->status = status;
      w->info = info;
      w->done = true;
      w->cv.notify_all();
    }
  };

  // An overlapped request's completion: owned by the completion and by submit, the last one frees it.
  struct overlapped_done {
    LPOVERLAPPED ov;
    HANDLE ev;
    kref<file_object> self;
    std::atomic<bool> ran{false};
    int32_t status = 0;
    uint64_t info = 0;
    std::atomic<int> refs{2};
    void release(int n = 1) {
      if (refs.fetch_sub(n, std::memory_order_acq_rel) == n) delete this;
    }
    static void finish(void *p, int32_t status, uint64_t info) {
      auto *c = static_cast<overlapped_done *>(p);
      c->status = status;
      c->info = info;
      c->ran.store(true, std::memory_order_release);
      publish(c->ov, status, info);
      if (c->ev) SetEvent(c->ev);
      else c->self->set_signalled(true);
      c->release();
    }
  };

  BOOL submit(wbk::io_request r, LPDWORD done, LPOVERLAPPED ov) {
    held f(this);
    if (!f) {
      set_last_error(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    r.thread = io_thread_token();
    r.overlapped = ov;
    if (overlapped_) {
      if (!ov) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      __atomic_store_n(&ov->InternalHigh, (ULONG_PTR)0, __ATOMIC_RELAXED);
      __atomic_store_n(&ov->Internal, kPending, __ATOMIC_RELEASE);
      HANDLE ev = ov->hEvent;
      if (ev) ResetEvent(ev);
      set_signalled(false);
      auto *c = new overlapped_done{ov, ev, kref<file_object>::share(this)};
      r.done = overlapped_done::finish;
      r.done_context = c;
      int32_t st = wbk::io_submit(f, std::move(r));
      if (st == 0x103) {
        c->release();
        set_last_error(ERROR_IO_PENDING);
        return FALSE;
      }
      // Not pending: the completion has run, or never will.
      if (!c->ran.load(std::memory_order_acquire)) {  // the request never completed
        c->release(2);
        publish(ov, st, 0);
        if (ev) SetEvent(ev);
        set_last_error(wbk::status_to_win32(st));
        return FALSE;
      }
      const int32_t fs = c->status;
      if (done) *done = (DWORD)c->info;
      c->release();
      if (!nt_success(fs)) {
        set_last_error(wbk::status_to_win32(fs));
        return FALSE;
      }
      return TRUE;
    }
    // A handle without FILE_FLAG_OVERLAPPED waits for the request, whatever the driver returned.
    // The wait lives here: once io_submit has returned other than pending, the completion has run or
    // never will, and with pending this call waits for it.
    sync_wait w;
    r.done = sync_wait::finish;
    r.done_context = &w;
    int32_t st = wbk::io_submit(f, std::move(r));
    {
      std::unique_lock<std::mutex> l(w.mu);
      if (st == 0x103 || w.done) {
        w.cv.wait(l, [&] { return w.done; });
      } else {
        set_last_error(wbk::status_to_win32(st));
        return FALSE;
      }
    }
    if (done) *done = (DWORD)w.info;
    if (ov) publish(ov, w.status, w.info);
    if (!nt_success(w.status)) {
      set_last_error(wbk::status_to_win32(w.status));
      return FALSE;
    }
    return TRUE;
  }

  std::mutex mu_;
  wbk::kfile *f_;
  bool overlapped_;
};

// ---- plain files ----
class plain_file : public file_object {
 public:
  plain_file(int fd, bool ov) : fd_(fd), overlapped_(ov) {}
  ~plain_file() override {
    if (fd_ >= 0) ::close(fd_);
  }
  bool overlapped() const override { return overlapped_; }

  BOOL read(LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov) override {
    ssize_t n = ov ? pread(fd_, buffer, length, offset_of(ov)) : ::read(fd_, buffer, length);
    return finish(n, done, ov);
  }
  BOOL write(LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov) override {
    ssize_t n = ov ? pwrite(fd_, buffer, length, offset_of(ov)) : ::write(fd_, buffer, length);
    return finish(n, done, ov);
  }
  DWORD size(LPDWORD high) override {
    struct stat st;
    if (fstat(fd_, &st) != 0) {
      set_last_error(ERROR_INVALID_HANDLE);
      return INVALID_FILE_SIZE;
    }
    if (high) *high = (DWORD)((uint64_t)st.st_size >> 32);
    return (DWORD)st.st_size;
  }
  DWORD seek(LONG low, PLONG high, DWORD method) override {
    int64_t off = high ? (((int64_t)*high << 32) | (uint32_t)low) : low;
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    off_t r = lseek(fd_, off, whence);
    if (r < 0) {
      set_last_error(ERROR_NEGATIVE_SEEK);
      return INVALID_SET_FILE_POINTER;
    }
    if (high) *high = (LONG)((uint64_t)r >> 32);
    return (DWORD)r;
  }

 private:
  static off_t offset_of(LPOVERLAPPED ov) { return (off_t)(((uint64_t)ov->OffsetHigh << 32) | ov->Offset); }
  BOOL finish(ssize_t n, LPDWORD done, LPOVERLAPPED ov) {
    if (n < 0) {
      set_last_error(errno == EBADF ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE);
      if (ov) publish(ov, (int32_t)0xC0000001, 0);
      return FALSE;
    }
    if (done) *done = (DWORD)n;
    if (ov) {
      publish(ov, 0, (uint64_t)n);
      if (ov->hEvent) SetEvent(ov->hEvent);
    }
    return TRUE;
  }
  int fd_;
  bool overlapped_;
};

HANDLE open_plain(LPCSTR name, DWORD access, DWORD disposition, DWORD flags) {
  std::string path = map_path(name);
  int mode = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
  struct stat st;
  bool exists = stat(path.c_str(), &st) == 0;
  switch (disposition) {
    case CREATE_NEW:
      if (exists) {
        set_last_error(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
      }
      mode |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS: mode |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: mode |= O_CREAT; break;
    case TRUNCATE_EXISTING: mode |= O_TRUNC; break;
    default: set_last_error(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  if (exists && S_ISDIR(st.st_mode)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int fd = ::open(path.c_str(), mode | O_CLOEXEC, 0644);
  if (fd < 0) {
    set_last_error(errno == ENOENT ? (exists ? ERROR_FILE_NOT_FOUND : ERROR_FILE_NOT_FOUND)
                   : errno == EACCES ? ERROR_ACCESS_DENIED
                   : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                      : ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  auto *obj = new plain_file(fd, (flags & FILE_FLAG_OVERLAPPED) != 0);
  HANDLE h = insert_handle(obj);
  obj->release();
  if (exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)) set_last_error(ERROR_ALREADY_EXISTS);
  else set_last_error(0);
  return h ? h : INVALID_HANDLE_VALUE;
}

kref<file_object> file_of(HANDLE h) { return lookup_handle_as<file_object>(h); }

thread_local char t_io_marker;

}  // namespace

void add_file_opener(file_opener opener) {
  std::lock_guard<std::mutex> l(g_openers_mu);
  openers().push_back(std::move(opener));
}

void *io_thread_token() { return &t_io_marker; }

}  // namespace wb

using namespace wb;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                                     DWORD flags, HANDLE) {
  if (!name || !*name) {
    set_last_error(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<file_opener> list;
  {
    std::lock_guard<std::mutex> l(g_openers_mu);
    list = openers();
  }
  for (auto &o : list) {
    HANDLE h = INVALID_HANDLE_VALUE;
    if (o(name, access, share, disposition, flags, &h)) return h;
  }
  std::string n = name;
  if (n.rfind("\\\\.\\", 0) == 0 || n.rfind("\\\\?\\", 0) == 0) {
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    wbk::kfile *f = nullptr;
    int32_t st = wbk::io_open(name, access, share, (flags & FILE_FLAG_OVERLAPPED) != 0, &f);
    if (st < 0 || !f) {
      set_last_error(wbk::status_to_win32(st < 0 ? st : (int32_t)0xC0000001));
      return INVALID_HANDLE_VALUE;
    }
    auto *obj = new device_file(f, (flags & FILE_FLAG_OVERLAPPED) != 0);
    HANDLE h = insert_handle(obj);
    obj->release();
    set_last_error(0);
    return h ? h : INVALID_HANDLE_VALUE;
  }
  return open_plain(name, access, disposition, flags);
}

extern "C" BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov) {
  auto f = file_of(h);
  if (!f) return FALSE;
  if (done && !ov) *done = 0;
  return f->read(buffer, length, done, ov);
}

extern "C" BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED ov) {
  auto f = file_of(h);
  if (!f) return FALSE;
  if (done && !ov) *done = 0;
  return f->write(buffer, length, done, ov);
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD in_length, LPVOID out,
                                       DWORD out_length, LPDWORD done, LPOVERLAPPED ov) {
  auto f = file_of(h);
  if (!f) return FALSE;
  if (done && !ov) *done = 0;
  return f->control(code, in, in_length, out, out_length, done, ov);
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD bytes, BOOL wait) {
  ULONG_PTR st = __atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE);
  if (st == 0x103) {
    if (!wait) {
      set_last_error(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    HANDLE target = ov->hEvent ? ov->hEvent : h;
    while ((st = __atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE)) == 0x103) {
      if (WaitForSingleObject(target, INFINITE) == WAIT_FAILED) return FALSE;
    }
  }
  if (bytes) *bytes = (DWORD)__atomic_load_n(&ov->InternalHigh, __ATOMIC_RELAXED);
  int32_t status = (int32_t)(uint32_t)st;
  if (status < 0) {
    set_last_error(wbk::status_to_win32(status));
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI CancelIo(HANDLE h) {
  auto f = file_of(h);
  if (!f) return FALSE;
  return f->cancel_io();
}

extern "C" BOOL WINAPI CancelIoEx(HANDLE h, LPOVERLAPPED ov) {
  auto f = file_of(h);
  if (!f) return FALSE;
  return f->cancel_io_ex(ov);
}

extern "C" DWORD WINAPI GetFileSize(HANDLE h, LPDWORD high) {
  auto f = file_of(h);
  if (!f) return INVALID_FILE_SIZE;
  return f->size(high);
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE h, LONG low, PLONG high, DWORD method) {
  auto f = file_of(h);
  if (!f) return INVALID_SET_FILE_POINTER;
  return f->seek(low, high, method);
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE h) {
  auto f = file_of(h);
  if (!f) return FALSE;
  return f->flush_buffers();
}
