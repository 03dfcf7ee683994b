// Two small-block arenas carved from one pool block each, so that the steady traffic of completions and
// DPCs does not go to the system pool: a non-paged one under a spin lock and a paged one under a mutex.
#ifndef VANTREL_ARENA_H
#define VANTREL_ARENA_H

#include "classlib/kobjects.h"

namespace vantrel {

typedef void (*allocation_failure_hook)(ksize_t size, POOL_TYPE type);

class arena {
 public:
  static constexpr ksize_t header = 8;
  static constexpr ksize_t record_size = 48;

  void init_empty(POOL_TYPE type);
  // Takes a pool block of `size` bytes; on failure the arena is empty and allocations fall back.
  NTSTATUS create(ksize_t size, POOL_TYPE type);
  void release();
  void set_failure_hook(allocation_failure_hook hook) { hook_ = hook; }

  void *allocate(ksize_t size);
  void free(void *p);

  bool contains(const void *p) const {
    auto a = reinterpret_cast<const UCHAR *>(p);
    return block_ && a >= block_ && a < block_ + block_size_;
  }
  ksize_t block_size() const { return block_size_; }
  // Free blocks (for tests: adjacent frees merge into one).
  ULONG free_blocks() const { return free_count_; }
  ksize_t tail_bytes() const { return tail_size_; }

 protected:
  virtual void lock() = 0;
  virtual void unlock() = 0;

 private:
  struct free_record {
    UCHAR *address;
    ksize_t size;
    LIST_ENTRY by_size;
    LIST_ENTRY by_address;
  };
  static_assert(sizeof(free_record) <= record_size, "record");

  void *take_locked(ksize_t need);
  void insert_by_size(free_record *r);
  void insert_by_address(free_record *r);
  void unlink(free_record *r);
  free_record *new_record();
  void carve_spares();

  POOL_TYPE type_ = NonPagedPool;
  UCHAR *block_ = nullptr;
  ksize_t block_size_ = 0;
  UCHAR *tail_ = nullptr;
  ksize_t tail_size_ = 0;
  LIST_ENTRY by_size_;
  LIST_ENTRY by_address_;
  free_record *spare_ = nullptr;  // singly linked through `address`
  ULONG spare_count_ = 0;
  ULONG records_in_use_ = 0;
  ULONG free_count_ = 0;
  allocation_failure_hook hook_ = nullptr;
};

class nonpaged_arena : public arena {
 public:
  nonpaged_arena() { KeInitializeSpinLock(&lock_); }

 protected:
  void lock() override { KeAcquireSpinLock(&lock_, &irql_); }
  void unlock() override { KeReleaseSpinLock(&lock_, irql_); }

 private:
  KSPIN_LOCK lock_;
  KIRQL irql_ = 0;
};

class paged_arena : public arena {
 public:
  paged_arena() { mutex_.init(0); }

 protected:
  void lock() override { mutex_.acquire(); }
  void unlock() override { mutex_.release(); }

 private:
  kl::kernel_mutex mutex_;
};

// The driver's two arenas (made at entry, released at unload).
nonpaged_arena &nonpaged();
paged_arena &paged();

}  // namespace vantrel

#endif
