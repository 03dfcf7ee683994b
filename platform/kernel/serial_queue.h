// A queue served by one thread of its own, started with the first item: items run one at a time, in
// order, at the IRQL the queue was made for. Each item counts as busy work for wait_settled until it
// has run or was taken out again. Used for the DPC queue and the PnP thread.
#ifndef WINPLAT_KERNEL_SERIAL_QUEUE_H
#define WINPLAT_KERNEL_SERIAL_QUEUE_H

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "kbridge.h"
#include "kinternal.h"

namespace wbk {

template <class Item>
class serial_queue {
 public:
  // take runs under the queue's lock as an item leaves the queue; run runs it without the lock.
  serial_queue(KIRQL irql, void (*take)(Item &), void (*run)(Item &)) : irql_(irql), take_(take), run_(run) {}
  serial_queue(const serial_queue &) = delete;
  serial_queue &operator=(const serial_queue &) = delete;

  // Guards the queue; held by callers that look at their items' state together with the queue.
  std::mutex &mutex() { return mu_; }

  // The caller holds mutex().
  void push_locked(Item item) {
    q_.push_back(std::move(item));
    busy_enter();
    if (!started_) {
      started_ = true;
      std::thread([this] { serve(); }).detach();
    }
    cv_.notify_all();
  }

  void push(Item item) {
    std::lock_guard<std::mutex> l(mu_);
    push_locked(std::move(item));
  }

  // Takes out the queued items that match; the caller holds mutex(). Returns how many.
  template <class Pred>
  size_t erase_locked_if(Pred match) {
    size_t n = 0;
    for (auto it = q_.begin(); it != q_.end();) {
      if (match(*it)) {
        it = q_.erase(it);
        ++n;
        busy_leave();
      } else {
        ++it;
      }
    }
    return n;
  }

  // Waits until nothing is queued or running.
  void wait_idle() {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return q_.empty() && !running_; });
  }

 private:
  void serve() {
    set_irql(irql_);
    std::unique_lock<std::mutex> l(mu_);
    for (;;) {
      cv_.wait(l, [&] { return !q_.empty(); });
      Item item = std::move(q_.front());
      q_.pop_front();
      if (take_) take_(item);
      running_ = true;
      l.unlock();
      run_(item);
      busy_leave();
      l.lock();
      running_ = false;
      cv_.notify_all();
    }
  }

  const KIRQL irql_;
  void (*const take_)(Item &);
  void (*const run_)(Item &);
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> q_;
  bool running_ = false;
  bool started_ = false;
};

}  // namespace wbk

#endif
