#include "io_garbage.h"

#include <vector>

namespace karnet {

io_garbage::io_garbage() : w32cpp::task(0, THREAD_PRIORITY_IDLE) {
  InitializeCriticalSection(&lock_);
  InitializeCriticalSection(&run_lock_);
}

io_garbage::~io_garbage() {
  // The thread has been stopped; one that had to be terminated left its queue here.
  queue_.insert(queue_.end(), abandoned_.begin(), abandoned_.end());
  abandoned_.clear();
  for (record* r : queue_) {
    if (is_done(*r)) {
      delete r;
    } else {
      // Still pending as the manager goes: its memory stays with the device for good.
      static std::vector<record*>* kept = new std::vector<record*>();
      kept->push_back(r);
    }
  }
  queue_.clear();
  DeleteCriticalSection(&run_lock_);
  DeleteCriticalSection(&lock_);
}

void io_garbage::add(const assync_handle& request, const ostrel::mem_block& buffer) {
  auto* r = new record{request, buffer};
  guard run(run_lock_);
  start();
  {
    guard g(lock_);
    queue_.push_back(r);
  }
  wake_.set();
  trace_ << ": - operation io_garbaged!!!\n";
}

void io_garbage::shutdown() {
  guard run(run_lock_);
  stop();
}

size_t io_garbage::queued() const {
  guard g(lock_);
  return queue_.size();
}

bool io_garbage::is_done(const record& r) { return !r.request || r.request->done(); }

void io_garbage::on_start() {
  guard g(lock_);
  queue_.insert(queue_.end(), abandoned_.begin(), abandoned_.end());
  abandoned_.clear();
}

DWORD io_garbage::step() {
  record* r = nullptr;
  {
    guard g(lock_);
    if (!queue_.empty()) {
      r = queue_.front();
      queue_.pop_front();
    }
  }
  if (!r) {
    // Nothing queued: sleep until a record arrives or an APC (the stop request) runs.
    wake_.wait(INFINITE, TRUE);
    return STILL_ACTIVE;
  }
  if (is_done(*r)) {
    delete r;
    trace_ << ": - operation cleaned!!!\n";
  } else {
    guard g(lock_);
    queue_.push_back(r);
  }
  return STILL_ACTIVE;
}

void io_garbage::on_finish() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  std::deque<record*> left;
  {
    guard g(lock_);
    left.swap(queue_);
  }
  for (record* r : left) {
    if (is_done(*r)) {
      delete r;
      trace_ << ": - operation cleaned!!!\n";
    } else {
      {
        guard g(lock_);
        abandoned_.push_back(r);
      }
      trace_ << ": - operation leaked!!!\n";
    }
  }
}

}  // namespace karnet
