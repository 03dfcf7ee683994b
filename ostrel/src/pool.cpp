#include "pool.h"

#include <bit>

#include <new>

namespace ostrel {

namespace {

// The records of the pool's blocks: a thread keeps a few that its releases freed (heaps.h), so that
// most allocations make no record with the heap.
struct pool_record final : mem_block::counted_record {
  static void* operator new(size_t size) {
    if (void* p = take_spare_record(size)) return p;
    return ::operator new(size);
  }
  static void operator delete(void* p, size_t size) {
    if (!keep_spare_record(p, size)) ::operator delete(p);
  }
};

}  // namespace

int pool::size_class(uint32_t size) { return static_cast<int>(std::bit_width(size)) - 1 - 10; }

pool::pool()
    : small_heap_(new retained_heap<w32heap_private>(small_heap_initial, 0)),
      large_heap_(new retained_heap<w32heap_virtual>()) {
  InitializeCriticalSection(&create_lock_);
}

pool::~pool() {
  // Its end is no sign of the process's then.
  if (watched_worker_) {
    unwatch_worker(watched_worker_);
    CloseHandle(watched_worker_);
  }
  // The worker goes first, so that no trim or refill runs while the buckets are let go.
  worker_.stop();
  for (auto& slot : buckets_) {
    sized_bucket* b = slot.exchange(nullptr);
    if (!b) continue;
    b->detach_owner();
    // Blocks still handed out keep their bucket (and its heap) until they come back.
    b->retire();
  }
  trace_ << "api destruction\n";
  large_heap_->retire();
  small_heap_->retire();
  DeleteCriticalSection(&create_lock_);
}

mem_block pool::allocate(uint32_t size, bool zero) {
  if (size == 0) return mem_block();
  const int c = size_class(size);
  if (c >= bucket_count) return mem_block(new pool_record, size, size, large_heap_, zero);
  if (c < 0) return mem_block(new pool_record, size, size, small_heap_, zero);
  iheap* b = bucket(c);
  if (!b) b = make_bucket(c);
  return mem_block(new pool_record, size, bucket_block_size(c), b, zero);
}

iheap* pool::make_bucket(int c) {
  w32cpp::section_lock g(create_lock_);
  sized_bucket* b = buckets_[c].load(std::memory_order_acquire);
  if (!b) {
    // The worker must run before the bucket's first post.
    worker_.start();
    const HANDLE worker = worker_.raw_handle();
    if (!watched_worker_ && worker &&
        DuplicateHandle(GetCurrentProcess(), worker, GetCurrentProcess(), &watched_worker_, SYNCHRONIZE, FALSE, 0))
      watch_worker(watched_worker_);
    b = new sized_bucket(this, bucket_block_size(c), bucket_target(c));
    buckets_[c].store(b, std::memory_order_release);
  }
  return b;
}

bool pool::post(const w32cpp::auto_handle<w32cpp::icallback<>>& callback) { return worker_.post(callback).ok(); }

std::optional<w32heap_sized::state> pool::bucket_state(int c) const {
  if (c < 0 || c >= bucket_count) return std::nullopt;
  sized_bucket* b = buckets_[c].load(std::memory_order_acquire);
  if (!b) return std::nullopt;
  return b->snapshot();
}

}  // namespace ostrel
