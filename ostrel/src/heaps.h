// The heaps behind the pool: Win32 heaps, virtual memory and the fixed-size cached buckets.
#ifndef OSTREL_SRC_HEAPS_H
#define OSTREL_SRC_HEAPS_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <utility>

#include <w32cpp/callback.h>
#include <w32cpp/handle.h>

#include <ostrel/heap.h>

namespace ostrel {

class pool;

// A Win32 heap that this object does not own. A heap that cannot allocate raises: the system's exception
// where the platform raises one, else std::bad_alloc.
class w32heap : public iheap {
 public:
  w32heap(HANDLE heap, DWORD flags) : heap_(heap), flags_(flags | HEAP_GENERATE_EXCEPTIONS) {}
  void* alloc(uint32_t size, bool zero) override;
  void free(void* pointer, uint32_t size) override;
  HANDLE handle() const { return heap_; }

 protected:
  HANDLE heap_;
  DWORD flags_;
};

// A growable (maximum 0) or bounded private heap, destroyed with the object.
class w32heap_private : public w32heap {
 public:
  w32heap_private(SIZE_T initial, SIZE_T maximum);
  ~w32heap_private() override;
  w32heap_private(const w32heap_private&) = delete;
  w32heap_private& operator=(const w32heap_private&) = delete;
};

// Whole pages from VirtualAlloc; new pages are zero, so zero is not needed. Null when it fails.
class w32heap_virtual : public iheap {
 public:
  void* alloc(uint32_t size, bool zero) override;
  void free(void* pointer, uint32_t size) override;
};

// One size class: blocks of block_size bytes, with a cache of free blocks kept near `target` by
// trims and refills that run on the pool's worker, one block per call.
class w32heap_sized : public w32heap_private {
 public:
  w32heap_sized(pool* owner, uint32_t block_size, uint32_t target);
  ~w32heap_sized() override;

  void* alloc(uint32_t size, bool zero) override;
  void free(void* pointer, uint32_t size) override;

  void trim();
  void refill();

  // The pool is going: nothing more is posted to its worker.
  void detach_owner();

  struct state {
    uint32_t block_size;
    uint32_t target;
    uint32_t in_use;
    uint32_t cached;
    bool trim_pending;
    bool refill_pending;
  };
  state snapshot() const;

 private:
  struct guard {
    explicit guard(CRITICAL_SECTION& l) : lock(l) { EnterCriticalSection(&lock); }
    ~guard() { LeaveCriticalSection(&lock); }
    CRITICAL_SECTION& lock;
  };

  // Both under lock_.
  void check_trim();
  void check_refill();
  bool post(const w32cpp::auto_handle<w32cpp::icallback<>>& callback);

  w32cpp::auto_handle<w32cpp::icallback<>> trim_callback_;
  w32cpp::auto_handle<w32cpp::icallback<>> refill_callback_;
  const uint32_t block_size_;
  uint32_t in_use_ = 0;
  std::deque<void*> cache_;
  bool trim_pending_ = false;
  bool refill_pending_ = false;
  const uint32_t target_;
  pool* owner_;
  mutable CRITICAL_SECTION lock_;
};

// A heap of the pool that outlives the pool while blocks it handed out are still alive: it counts one
// reference for the pool and one per block, and deletes itself when the last of them goes.
template <class Heap>
class retained_heap final : public Heap {
 public:
  template <class... Args>
  explicit retained_heap(Args&&... args) : Heap(std::forward<Args>(args)...) {}

  void* alloc(uint32_t size, bool zero) override {
    void* p = Heap::alloc(size, zero);
    if (p) refs_.fetch_add(1, std::memory_order_relaxed);
    return p;
  }
  void free(void* pointer, uint32_t size) override {
    Heap::free(pointer, size);
    drop();
  }
  // The pool's own reference.
  void retire() { drop(); }
  uint32_t references() const { return refs_.load(); }

 private:
  ~retained_heap() override = default;
  void drop() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  std::atomic<uint32_t> refs_{1};
};

}  // namespace ostrel

#endif
