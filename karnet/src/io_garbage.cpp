#include "io_garbage.h"

#include <cstring>
#include <vector>

namespace karnet {

io_garbage::module_pin::module_pin(const io_assync* request) {
  if (!request) return;
  // An object's first word is its vtable pointer, which lies in the module that implements it.
  const void* vtable = nullptr;
  std::memcpy(&vtable, static_cast<const void*>(request), sizeof vtable);
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCSTR>(vtable), &module_))
    module_ = nullptr;
}

io_garbage::module_pin::~module_pin() {
  if (module_) FreeLibrary(module_);
}

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
  auto* r = new record(request, buffer);
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
  // A transport's stop ends here: what it completed is freed while its library is surely loaded.
  free_done_abandoned();
}

void io_garbage::free_done_abandoned() {
  std::vector<record*> done;
  {
    guard g(lock_);
    for (auto it = abandoned_.begin(); it != abandoned_.end();) {
      if (is_done(**it)) {
        done.push_back(*it);
        it = abandoned_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (record* r : done) {
    delete r;
    trace_ << ": - operation cleaned!!!\n";
  }
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
