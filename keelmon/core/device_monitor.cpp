#include "core/device_monitor.h"

#include <algorithm>
#include <vector>

namespace keelmon {

namespace {

// How long the destructor waits for a worker that stop() could not end in time.
constexpr DWORD final_stop_wait_ms = 10000;

}  // namespace

// ---- notification_source --------------------------------------------------------------------

notification_source::notification_source(uint32_t kind, device_monitor& monitor) : kind_(kind), monitor_(monitor) {}

notification_source::~notification_source() = default;

bool notification_source::purge() {
  device_monitor::guard hold(monitor_);
  removed_.clear();
  return true;
}

bool notification_source::drop_unseen() {
  bool dropped = false;
  for (auto it = devices_.begin(); it != devices_.end();) {
    if (std::find(seen_.begin(), seen_.end(), it->first) == seen_.end()) {
      removed_.push_back(std::move(it->second));
      it = devices_.erase(it);
      dropped = true;
    } else {
      ++it;
    }
  }
  return dropped;
}

// ---- device_monitor -------------------------------------------------------------------------

struct device_monitor::monitor_thread {
  HANDLE thread = nullptr;
  DWORD id = 0;
  HANDLE stop_event = nullptr;
  CRITICAL_SECTION section;
  bool running = false;

  monitor_thread() { InitializeCriticalSection(&section); }
  ~monitor_thread() {
    if (thread) CloseHandle(thread);
    if (stop_event) CloseHandle(stop_event);
    DeleteCriticalSection(&section);
  }
  void set_running(bool value) {
    EnterCriticalSection(&section);
    running = value;
    LeaveCriticalSection(&section);
  }
  bool is_running() {
    EnterCriticalSection(&section);
    bool value = running;
    LeaveCriticalSection(&section);
    return value;
  }
};

device_monitor& device_monitor::instance() {
  static device_monitor monitor;
  return monitor;
}

device_monitor::device_monitor() { InitializeCriticalSection(&lock_); }

device_monitor::~device_monitor() {
  bool ended = end_worker(final_stop_wait_ms);
  {
    guard hold(*this);
    if (!ended) {
      // A worker that never ended may still be inside a source: leave the sources to it.
      for (auto& s : sources_) (void)s.release();
    }
    sources_.clear();
    listeners_.clear();
  }
  if (ended) DeleteCriticalSection(&lock_);
}

void device_monitor::lock() const {
  // Meanwhile answer messages sent to this thread's windows: the holder may be a listener that sends
  // to them and waits.
  while (!TryEnterCriticalSection(&lock_)) {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    if (TryEnterCriticalSection(&lock_)) break;
    Sleep(1);
  }
  if (depth_++ == 0) owner_.store(GetCurrentThreadId());
}

void device_monitor::unlock() const {
  std::vector<std::function<void()>> actions;
  if (--depth_ == 0) {
    owner_.store(0);
    actions.swap(after_unlock_);
  }
  LeaveCriticalSection(&lock_);
  for (auto& action : actions) action();
}

void device_monitor::after_unlock(std::function<void()> action) const {
  if (owner_.load() == GetCurrentThreadId())
    after_unlock_.push_back(std::move(action));
  else
    action();
}

void device_monitor::add_listener(device_change_listener* listener) {
  if (!listener) return;
  guard hold(*this);
  listeners_.insert(listener);
}

void device_monitor::remove_listener(device_change_listener* listener) {
  guard hold(*this);
  listeners_.erase(listener);
}

void device_monitor::notify(int32_t code, notification_source* source) {
  guard hold(*this);
  // A listener may remove itself or another one while it runs: walk a copy, skip the removed.
  std::vector<device_change_listener*> walk(listeners_.begin(), listeners_.end());
  change_record record{code, source};
  for (device_change_listener* l : walk)
    if (listeners_.count(l)) l->on_change(record);
  if (source) source->purge();
}

bool device_monitor::add_source(uint32_t kind) {
  std::unique_ptr<notification_source> source;
  if (kind == notification_source::kind_interfaces)
    source = std::make_unique<interface_notification_source>(*this);
  else if (kind == notification_source::kind_instrument_api)
    source = std::make_unique<instrument_api_source>(*this);
  else
    return false;
  return add_source(std::move(source));
}

bool device_monitor::add_source(std::unique_ptr<notification_source> source) {
  if (!source || &source->monitor() != this) return false;
  guard hold(*this);
  sources_.push_back(std::move(source));
  return true;
}

bool device_monitor::running() const { return worker_ && worker_->is_running(); }

DWORD device_monitor::worker_id() const { return worker_ ? worker_->id : 0; }

int device_monitor::device_count() const {
  guard hold(*this);
  int n = 0;
  for (auto& s : sources_) n += s->device_count();
  return n;
}

bool device_monitor::has_device(const std::string& key) const {
  guard hold(*this);
  for (auto& s : sources_)
    if (s->devices().count(key)) return true;
  return false;
}

bool device_monitor::start() {
  // A worker left behind by a stop that could not wait for it is forgotten once it has ended.
  if (worker_ && WaitForSingleObject(worker_->thread, 0) == WAIT_OBJECT_0) worker_.reset();
  if (worker_) return true;
  stopping_ = false;
  bool any = false;
  std::vector<notification_source*> list;
  {
    guard hold(*this);
    for (auto& s : sources_) list.push_back(s.get());
  }
  for (notification_source* s : list) any = s->start() || any;
  if (!any) return false;

  auto w = std::make_unique<monitor_thread>();
  // The stop event first: a suspended thread whose event cannot be made would be left behind.
  w->stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!w->stop_event) return false;
  w->thread = CreateThread(nullptr, 0, worker_main, this, CREATE_SUSPENDED, &w->id);
  if (!w->thread) return false;
  bool ok = SetThreadPriority(w->thread, THREAD_PRIORITY_BELOW_NORMAL) != FALSE;
  worker_ = std::move(w);
  if (ok) {
    DWORD previous;
    do {
      previous = ResumeThread(worker_->thread);
    } while (previous != static_cast<DWORD>(-1) && previous > 1);
    ok = previous != static_cast<DWORD>(-1);
  }
  if (!ok) {
    // Let the thread run only to see its stop event, so that it does not stay suspended for good.
    SetEvent(worker_->stop_event);
    ResumeThread(worker_->thread);
    end_worker(stop_wait_ms);
  }
  return ok;
}

bool device_monitor::end_worker(DWORD wait_ms) {
  if (!worker_) return true;
  SetEvent(worker_->stop_event);
  // The worker may be inside a listener that sends to this thread's windows and waits for the answer.
  if (!wait_answering(worker_->thread, wait_ms)) return false;
  worker_.reset();
  return true;
}

bool wait_answering(HANDLE object, DWORD wait_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    // Answers what was sent meanwhile; posted messages stay for the thread's own loop.
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    const DWORD spent = GetTickCount() - start;
    const DWORD left = spent >= wait_ms ? 0 : wait_ms - spent;
    // One wait for the time left, woken by a sent message: a long wait stays one wait.
    const DWORD r = MsgWaitForMultipleObjects(1, &object, FALSE, left, QS_SENDMESSAGE);
    if (r == WAIT_OBJECT_0) return true;
    if (r != WAIT_OBJECT_0 + 1) return false;
  }
}

bool device_monitor::stop() {
  bool ended = end_worker(stop_wait_ms);
  // A worker still running must not start the sources again once they are stopped.
  if (!ended) stopping_ = true;
  bool ok = ended;
  guard hold(*this);
  for (auto& s : sources_) ok = s->stop() && ok;
  return ok;
}

DWORD WINAPI device_monitor::worker_main(LPVOID param) {
  auto* self = static_cast<device_monitor*>(param);
  // worker_ is set before the thread is resumed and reset only after it ended.
  monitor_thread* w = self->worker_.get();
  w->set_running(true);
  while (WaitForSingleObject(w->stop_event, 0) != WAIT_OBJECT_0)
    if (!self->step(w->stop_event)) break;
  w->set_running(false);
  return 0;
}

bool device_monitor::step(HANDLE stop_event) {
  for (size_t i = 0;; ++i) {
    notification_source* s;
    {
      guard hold(*this);
      if (stopping_ || i >= sources_.size()) break;
      s = sources_[i].get();
    }
    s->poll();
  }
  if (stopping_) return false;
  // The polling period; a stop request ends it early. Alertable: APCs queued to the worker run here.
  WaitForSingleObjectEx(stop_event, poll_period_ms, TRUE);
  return true;
}

}  // namespace keelmon
