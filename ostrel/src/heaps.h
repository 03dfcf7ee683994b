// The heaps behind the pool: Win32 heaps, virtual memory and the fixed-size cached buckets.
#ifndef OSTREL_SRC_HEAPS_H
#define OSTREL_SRC_HEAPS_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <type_traits>
#include <utility>

#include <w32cpp/callback.h>
#include <w32cpp/handle.h>
#include <w32cpp/lock.h>

#include <ostrel/heap.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace ostrel {

class pool;

// A Win32 heap that this object does not own. A heap that cannot allocate raises std::bad_alloc. The
// heaps are asked for a null return, not for the system's exception: the Windows build's C++
// exceptions cannot catch that one, nor release a lock on its way out.
class w32heap : public iheap {
 public:
  w32heap(HANDLE heap, DWORD flags) : heap_(heap), flags_(flags) {}
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

// The calling thread's slot (0 .. thread_slots - 1), taken at its first allocation and given back
// when it ends. Up to that many threads alive at once never share a slot.
constexpr unsigned thread_slots = 16;

namespace detail {
// A thread's state, kept with the platform's fiber-local storage (no compiler TLS: the module may be
// unloaded, and both builds' runtimes must outlive it at a thread's end); the index's callback gives
// the slot back when the thread ends, and every thread's when the module goes.
struct thread_state {
  unsigned slot;        // < thread_slots
  unsigned tally_cell;  // `slot` while the thread has it to itself, else thread_slots
};
extern DWORD state_index;  // FLS_OUT_OF_INDEXES: none could be had, every thread shares
thread_state* take_state();
// The look-up leaves the caller's last error as it was: FlsGetValue sets it to 0 when it succeeds.
inline thread_state* current_state() {
  const DWORD error = GetLastError();
  auto* s = static_cast<thread_state*>(FlsGetValue(state_index));
  if (!s) s = take_state();
  SetLastError(error);
  return s;
}

struct spare {
  spare* next;
};
constexpr unsigned spare_records_max = 64;
// Per slot, touched only by the thread that has the slot to itself (or by the module's end).
struct alignas(64) spare_list {
  spare* top = nullptr;
  unsigned count = 0;
};
extern spare_list spares[thread_slots];
// A kept record is out of bounds under ASan (its link aside); taken again, exactly its own `size`
// bytes are in bounds, so that the allocator's red zone after it stays poisoned.
inline void poison_spare(spare* r, size_t size) {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_POISON_MEMORY_REGION(r + 1, size - sizeof(spare));
#else
  (void)r;
  (void)size;
#endif
}
inline void unpoison_spare(spare* r, size_t size) {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_UNPOISON_MEMORY_REGION(r, size);
#else
  (void)r;
  (void)size;
#endif
}
}  // namespace detail

inline unsigned thread_slot() { return detail::current_state()->slot; }

// The calling thread's cell of a per-slot count: its slot while it has the slot to itself, else
// `thread_slots`, the cell that every other thread shares.
inline unsigned tally_cell() { return detail::current_state()->tally_cell; }

namespace detail {
inline void* pop_spare(spare_list& l, size_t size) {
  spare* r = l.top;
  if (!r) return nullptr;
  unpoison_spare(r, size);
  l.top = r->next;
  --l.count;
  return r;
}

inline bool push_spare(spare_list& l, void* record, size_t size) {
  if (l.count >= spare_records_max) return false;
  auto* r = static_cast<spare*>(record);
  r->next = l.top;
  l.top = r;
  ++l.count;
  poison_spare(r, size);
  return true;
}

// Threads that share a slot keep theirs in a list of the slot's own, under a flag tried once (a list
// in use sends the record to the heap).
struct alignas(64) shared_spare_list {
  std::atomic<bool> busy{false};
  spare_list list;
};
extern shared_spare_list shared_spares[thread_slots];

template <class F>
auto with_shared_spares(unsigned slot, F f) -> decltype(f(std::declval<spare_list&>())) {
  shared_spare_list& l = shared_spares[slot];
  if (l.busy.exchange(true, std::memory_order_acquire)) return {};
  auto r = f(l.list);
  l.busy.store(false, std::memory_order_release);
  return r;
}
}  // namespace detail

// Records of blocks that a thread freed, kept in its slot for its next blocks, so that the pool's
// records come from the heap only while its threads start; at a thread's end they stay for the
// slot's next thread, and go when the module ends. Every record kept has the same `size`.
// A record kept by the calling thread, or null.
inline void* take_spare_record(size_t size) {
  const detail::thread_state* s = detail::current_state();
  if (s->tally_cell < thread_slots) return detail::pop_spare(detail::spares[s->slot], size);
  return detail::with_shared_spares(s->slot, [&](detail::spare_list& l) { return detail::pop_spare(l, size); });
}

// Keeps a freed record of `size` bytes for the calling thread; false: not kept, delete it.
inline bool keep_spare_record(void* record, size_t size) {
  const detail::thread_state* s = detail::current_state();
  if (s->tally_cell < thread_slots) return detail::push_spare(detail::spares[s->slot], record, size);
  return detail::with_shared_spares(s->slot,
                                    [&](detail::spare_list& l) { return detail::push_spare(l, record, size); });
}

namespace detail {
// A bucket slot's lock, held for a few instructions, nearly always by the one thread of the slot: a flag is enough, and
// its release is its last touch of the bucket, so a retired bucket may go once every slot is free. The idle-priority
// worker takes it too (a trim may take a slot's block), so a waiter that finds it held past a short spin sleeps: a
// normal-priority thread's yield never lets a preempted idle-priority holder run, a sleep gives its processor up.
class slot_lock {
 public:
  void lock() {
    if (flag_.exchange(true, std::memory_order_acquire)) lock_contended();
  }
  // False when the lock could not be had within about `ms` milliseconds.
  bool try_lock_for(unsigned ms);
  void unlock() { flag_.store(false, std::memory_order_release); }

 private:
  void lock_contended();
  std::atomic<bool> flag_{false};
};
}  // namespace detail

// Blocks handed out and not yet back, counted per thread slot so that no counter line is shared.
// A thread that has its slot to itself counts in its own cell with plain stores (one writer); the
// others share one more cell with locked additions.
class block_tally {
 public:
  void add() { change(1, std::memory_order_relaxed); }
  void sub() { change(-1, std::memory_order_release); }
  int64_t total() const {
    int64_t t = 0;
    for (const cell& c : cells_) t += c.n.load(std::memory_order_acquire);
    return t;
  }

 private:
  struct alignas(64) cell {
    std::atomic<int64_t> n{0};
  };
  void change(int64_t by, std::memory_order order) {
    const unsigned i = tally_cell();
    std::atomic<int64_t>& n = cells_[i].n;
    if (i < thread_slots)
      n.store(n.load(std::memory_order_relaxed) + by, order);
    else
      n.fetch_add(by, order);
  }
  cell cells_[thread_slots + 1];
};

// One size class: blocks of block_size bytes, with a cache of free blocks kept near `target` by
// trims and refills that run on the pool's worker, one block per call. Part of the cache sits in
// per-thread slots, each holding the few blocks its threads have just given back (their working
// set): a thread that takes and gives back within that set touches only its own slot, and no trim
// or refill is asked for it, which also keeps a busy class from being trimmed and refilled in turn.
// Blocks in the slots count as the class's cached blocks; a thread's slot goes back to the shared
// cache when the thread ends.
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

  // Gives the slot's blocks back to the shared cache (the threads that used it have ended). A lock
  // that cannot be had within `wait_ms` leaves them in the slot, cached for its next thread.
  void flush_slot(unsigned slot, unsigned wait_ms);

  // Blocks handed out and not back yet.
  int64_t outstanding_blocks() const;

  struct state {
    uint32_t block_size;
    uint32_t target;
    uint32_t in_use;
    uint32_t cached;
    uint32_t cached_in_slots;  // of `cached`, the blocks kept in threads' slots
    bool trim_pending;
    bool refill_pending;
  };
  state snapshot() const;

 private:
  static constexpr uint32_t slot_capacity = 8;
  struct alignas(64) slot {
    detail::slot_lock lock;
    void* ring[slot_capacity];
    uint32_t head = 0;
    uint32_t lent = 0;  // blocks its threads took and may give back here
    // Written under `lock`, read by the shared side's checks without it.
    std::atomic<uint32_t> count{0};
    std::atomic<int32_t> in_use{0};  // blocks taken here minus blocks given back here
  };

  void* alloc_shared(bool zero);
  void free_shared(void* pointer);
  // Both under lock_.
  uint32_t cached_locked() const;
  uint32_t in_use_locked() const;
  void check_trim();
  void check_refill();
  bool post(const w32cpp::auto_handle<w32cpp::icallback<>>& callback);

  w32cpp::auto_handle<w32cpp::icallback<>> trim_callback_;
  w32cpp::auto_handle<w32cpp::icallback<>> refill_callback_;
  const uint32_t block_size_;
  int64_t in_use_ = 0;  // taken from the shared side minus given back to it
  std::deque<void*> cache_;
  bool trim_pending_ = false;
  bool refill_pending_ = false;
  const uint32_t target_;
  const uint32_t slot_limit_;  // blocks a slot may hold or have lent
  pool* owner_;
  mutable CRITICAL_SECTION lock_;
  slot slots_[thread_slots];
};

// What a retired heap is asked before it is deleted.
class retirable {
 public:
  virtual int64_t outstanding() const = 0;
  virtual ~retirable() = default;
};

// Deletes `heap` when no block is out, else parks it; also deletes parked heaps whose blocks have all
// come back since.
void retire_heap(retirable* heap);

// The process is exiting (the module's detach at process exit): the other threads were stopped
// wherever they stood, perhaps holding a slot's or a bucket's lock, so from here the module's end
// leaves every thread's state and the parked heaps as they are, and a thread's end calls nothing.
void leave_threads_at_exit();

// A pool's worker, watched while the pool lives (a duplicate handle that stays the pool's): see
// release_state in heaps.cpp. Unwatched before the worker stops; the caller then closes the handle.
void watch_worker(HANDLE thread);
void unwatch_worker(HANDLE thread);

// A heap of the pool that outlives the pool while blocks it handed out are still alive: when the pool
// lets it go with blocks still out, it is parked and deleted by a later retire that finds them all
// back. A bucket knows its count already; the other heaps count per thread slot.
template <class Heap>
class retained_heap final : public Heap, public retirable {
 public:
  template <class... Args>
  explicit retained_heap(Args&&... args) : Heap(std::forward<Args>(args)...) {}

  void* alloc(uint32_t size, bool zero) override {
    void* p = Heap::alloc(size, zero);
    if (p && !counts_itself) tally_.add();
    return p;
  }
  void free(void* pointer, uint32_t size) override {
    if (!pointer) return;
    Heap::free(pointer, size);
    if (!counts_itself) tally_.sub();  // the last touch: a retire that sees 0 may delete the heap
  }
  // The pool's own reference goes.
  void retire() { retire_heap(this); }
  int64_t outstanding() const override {
    if constexpr (counts_itself)
      return Heap::outstanding_blocks();
    else
      return tally_.total();
  }

 private:
  static constexpr bool counts_itself = std::is_same_v<Heap, w32heap_sized>;
  block_tally tally_;
};

}  // namespace ostrel

#endif
