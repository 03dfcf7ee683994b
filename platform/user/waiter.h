// What a thread blocked in a platform wait sleeps on and registers with the objects it waits for.
// Depends on no platform object: the objects and the wait machinery build on it.
#ifndef WINPLAT_USER_WAITER_H
#define WINPLAT_USER_WAITER_H

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace wb {

class kobject;
class thread_object;

// What a waiting thread sleeps on: a sequence number and a futex, so that a signaller that met the
// wait can wake it without the thread taking wait_lock() again. A wake between the check under the
// lock and the sleep is not lost (the number has moved on).
class wake_event {
 public:
  void notify_one();
  void notify_all() { notify_one(); }  // one thread sleeps on it
  // Leaves `lk` while asleep and takes it again.
  void wait(std::unique_lock<std::mutex> &lk);
  void wait_until(std::unique_lock<std::mutex> &lk, std::chrono::steady_clock::time_point deadline);
  // The two halves: prepare() with the lock held, sleep() after leaving it.
  uint32_t prepare() const { return seq_.load(std::memory_order_acquire); }
  void sleep(uint32_t seen, const std::chrono::steady_clock::time_point *deadline);

 private:
  std::atomic<uint32_t> seq_{0};
  std::atomic<bool> sleeping_{false};
};

// One per thread; a blocked wait sleeps on cv (checked with wait_lock()).
struct waiter {
  wake_event cv;
  thread_object *thread = nullptr;
  // The wait it is registered for (guarded by wait_lock()). A signaller that finds the wait can be
  // met meets it on the waiter's behalf (taking the objects' state, as the waiter would), takes it
  // off every object's list and leaves the result in `satisfied` (written last, with release), so
  // that only that waiter is woken, nothing is taken twice, and the waiter returns without the lock.
  kobject *const *objects = nullptr;
  DWORD count = 0;
  bool wait_all = false;
  bool narrow = false;  // a wait on one event that is not alertable, guarded by that event's lock alone
  std::atomic<DWORD> satisfied{WAIT_TIMEOUT};
};

}  // namespace wb

#endif  // WINPLAT_USER_WAITER_H
