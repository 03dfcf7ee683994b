#include "heaps.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "pool.h"

namespace ostrel {

void* w32heap::alloc(uint32_t size, bool zero) {
  void* p = HeapAlloc(heap_, flags_ | (zero ? HEAP_ZERO_MEMORY : 0), size);
  if (!p) throw std::bad_alloc();
  return p;
}

void w32heap::free(void* pointer, uint32_t) {
  if (pointer) HeapFree(heap_, flags_, pointer);
}

w32heap_private::w32heap_private(SIZE_T initial, SIZE_T maximum)
    : w32heap(HeapCreate(HEAP_GENERATE_EXCEPTIONS, initial, maximum), 0) {}

w32heap_private::~w32heap_private() {
  if (heap_) HeapDestroy(heap_);
}

void* w32heap_virtual::alloc(uint32_t size, bool) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void w32heap_virtual::free(void* pointer, uint32_t) {
  if (pointer) VirtualFree(pointer, 0, MEM_RELEASE);
}

// The private heap starts at `target` bytes, not target blocks: it grows as blocks are made.
w32heap_sized::w32heap_sized(pool* owner, uint32_t block_size, uint32_t target)
    : w32heap_private(target, 0),
      trim_callback_(w32cpp::make_member_callback<w32heap_sized>(this, &w32heap_sized::trim)),
      refill_callback_(w32cpp::make_member_callback<w32heap_sized>(this, &w32heap_sized::refill)),
      block_size_(block_size),
      target_(target),
      owner_(owner) {
  InitializeCriticalSection(&lock_);
}

w32heap_sized::~w32heap_sized() {
  trim_callback_->unbind();
  refill_callback_->unbind();
  for (void* p : cache_) w32heap::free(p, block_size_);
  cache_.clear();
  DeleteCriticalSection(&lock_);
}

void* w32heap_sized::alloc(uint32_t size, bool zero) {
  guard g(lock_);
  void* p;
  if (!cache_.empty()) {
    p = cache_.front();
    cache_.pop_front();
    if (zero) std::memset(p, 0, std::min(size, block_size_));
  } else {
    // Every block of the bucket has the bucket's size, whatever was asked, so cached blocks fit any request.
    p = w32heap::alloc(block_size_, zero);
  }
  // Counted only once the block exists: a failed allocation leaves the count as it was.
  ++in_use_;
  check_refill();
  return p;
}

void w32heap_sized::free(void* pointer, uint32_t) {
  if (!pointer) return;
  guard g(lock_);
  if (in_use_) --in_use_;
  cache_.push_back(pointer);
  check_trim();
}

void w32heap_sized::check_trim() {
  if (trim_pending_ || cache_.size() <= target_) return;
  trim_pending_ = true;
  // A post that fails clears the flag again, so that a later change asks anew.
  if (!post(trim_callback_)) trim_pending_ = false;
}

void w32heap_sized::check_refill() {
  if (refill_pending_) return;
  if (cache_.size() >= target_ / 2 && cache_.size() + in_use_ >= target_) return;
  refill_pending_ = true;
  if (!post(refill_callback_)) refill_pending_ = false;
}

bool w32heap_sized::post(const w32cpp::auto_handle<w32cpp::icallback<>>& callback) {
  if (!owner_) return false;
  try {
    return owner_->post(callback);
  } catch (...) {
    return false;
  }
}

void w32heap_sized::trim() {
  guard g(lock_);
  trim_pending_ = false;
  if (cache_.size() <= target_) return;
  void* p = cache_.front();
  cache_.pop_front();
  w32heap::free(p, block_size_);
  check_trim();
}

void w32heap_sized::refill() {
  guard g(lock_);
  // Cleared before the allocation: a block that cannot be made must not stop later refills.
  refill_pending_ = false;
  if (cache_.size() >= target_ / 2 && cache_.size() + in_use_ >= target_) return;
  void* p = nullptr;
  try {
    p = w32heap::alloc(block_size_, false);
  } catch (...) {
    // No new post here: the next allocation asks again, so a failing heap is not polled in a loop.
    return;
  }
  cache_.push_back(p);
  check_refill();
}

void w32heap_sized::detach_owner() {
  guard g(lock_);
  owner_ = nullptr;
}

w32heap_sized::state w32heap_sized::snapshot() const {
  guard g(lock_);
  return state{block_size_, target_, in_use_, static_cast<uint32_t>(cache_.size()), trim_pending_, refill_pending_};
}

}  // namespace ostrel
