// The process's allocator: small blocks from a private heap, large ones from virtual memory and eight
// power-of-two size classes from cached buckets that the pool's idle-priority worker trims and refills.
#ifndef OSTREL_SRC_POOL_H
#define OSTREL_SRC_POOL_H

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

#include <w32cpp/task.h>
#include <w32cpp/trace.h>

#include <ostrel/heap.h>

#include "heaps.h"

namespace ostrel {

class pool : public api {
 public:
  static constexpr int bucket_count = 8;
  static constexpr uint32_t small_heap_initial = 0x4000;

  // Where a request of `size` bytes (not 0) goes: below 0 the small heap, 0..7 a bucket, 8 and more the
  // large heap. Unsigned, so sizes with bit 31 set land in class 21.
  static int size_class(uint32_t size);
  static uint32_t bucket_block_size(int c) { return 2048u << c; }
  static uint32_t bucket_target(int c) { return (32u >> c) ? (32u >> c) : 1u; }

  pool();
  ~pool() override;
  pool(const pool&) = delete;
  pool& operator=(const pool&) = delete;

  mem_block allocate(uint32_t size, bool zero) override;

  // Runs a bucket's trim or refill on the worker; false when it could not be queued.
  bool post(const w32cpp::auto_handle<w32cpp::icallback<>>& callback);

  // For diagnostics and tests.
  std::optional<w32heap_sized::state> bucket_state(int c) const;
  bool worker_running() const { return worker_.exit_code() == STILL_ACTIVE; }
  iheap* small_heap() const { return small_heap_; }
  iheap* large_heap() const { return large_heap_; }
  iheap* bucket(int c) const { return buckets_[c].load(std::memory_order_acquire); }

 private:
  using sized_bucket = retained_heap<w32heap_sized>;

  iheap* make_bucket(int c);

  w32cpp::task worker_{0, THREAD_PRIORITY_IDLE};
  w32cpp::DBGTrace trace_{"POOL"};
  std::array<std::atomic<sized_bucket*>, bucket_count> buckets_{};
  retained_heap<w32heap_private>* small_heap_;
  retained_heap<w32heap_virtual>* large_heap_;
  // Only the first allocation of a class takes it, so that two threads never make one bucket twice.
  CRITICAL_SECTION create_lock_;
  HANDLE watched_worker_ = nullptr;  // the worker's thread, watched by threads' ends (heaps.h)
};

}  // namespace ostrel

#endif
