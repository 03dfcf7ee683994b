#include "heaps.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <w32cpp/lock.h>

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

w32heap_private::w32heap_private(SIZE_T initial, SIZE_T maximum) : w32heap(HeapCreate(0, initial, maximum), 0) {}

w32heap_private::~w32heap_private() {
  if (heap_) HeapDestroy(heap_);
}

void* w32heap_virtual::alloc(uint32_t size, bool) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void w32heap_virtual::free(void* pointer, uint32_t) {
  if (pointer) VirtualFree(pointer, 0, MEM_RELEASE);
}

// ---- thread slots and retired heaps ---------------------------------------------------------

namespace {

// A list under its own lock.
template <class T>
struct locked_list {
  CRITICAL_SECTION lock;
  std::vector<T> items;
  locked_list() { InitializeCriticalSection(&lock); }
  ~locked_list() { DeleteCriticalSection(&lock); }
  locked_list(const locked_list&) = delete;
  locked_list& operator=(const locked_list&) = delete;
};

using detail::spare;
using detail::spare_list;
using detail::spares;

// False when the section could not be entered within about `ms` milliseconds.
bool enter_within(CRITICAL_SECTION& section, unsigned ms) {
  for (unsigned n = 0;; ++n) {
    if (TryEnterCriticalSection(&section)) return true;
    if (n >= ms) return false;
    Sleep(1);
  }
}

// Only each record's link is in bounds: enough to walk the list and free them.
void drop_spares(spare_list& l) {
  while (spare* r = l.top) {
    l.top = r->next;
    ::operator delete(r);
  }
  l.count = 0;
}

void reap(retirable* more);
void WINAPI thread_ended(void* state);

// Set at the module's detach at process exit; trivially destroyed, so still readable by a late callback.
std::atomic<bool> leaving_at_exit{false};

// The module's lists and the index of the threads' state. When the module goes, the index goes
// first (every thread's state with it: no thread's end calls into the module after), and every block
// its heaps handed out must be back by then: what is still parked goes with it. At process exit
// nothing goes: the lists are let go only when the module is freed, since a thread stopped there
// may hold the heap's lock as well as one of theirs.
struct module_lists {
  // every live bucket, so that an ending thread can give its slot back
  locked_list<w32heap_sized*>* buckets = new locked_list<w32heap_sized*>;
  locked_list<retirable*>* parked = new locked_list<retirable*>;  // heaps let go by their pool with blocks still out
  module_lists() { detail::state_index = FlsAlloc(thread_ended); }
  ~module_lists() {
    // Freeing the index hands every thread's state to the callback, which takes each slot's lock.
    if (leaving_at_exit.load(std::memory_order_acquire)) return;
    if (detail::state_index != FLS_OUT_OF_INDEXES) FlsFree(detail::state_index);
    detail::state_index = FLS_OUT_OF_INDEXES;
    reap(nullptr);
    for (spare_list& l : spares) drop_spares(l);
    for (detail::shared_spare_list& l : detail::shared_spares) drop_spares(l.list);
    delete parked;
    delete buckets;
  }
  module_lists(const module_lists&) = delete;
  module_lists& operator=(const module_lists&) = delete;
};

locked_list<w32heap_sized*>& buckets();
locked_list<retirable*>& parked();

// A thread takes a free slot for its life; beyond thread_slots threads alive at once, slots are
// shared in turn.
std::atomic<bool> slot_taken[thread_slots];
std::atomic<unsigned> next_shared_slot{0};

// Every thread's state is one of these: a thread's end frees nothing. Threads that share a slot (and
// every thread when no index could be had) count in the shared cell.
constexpr std::array<detail::thread_state, thread_slots> make_states(bool owned) {
  std::array<detail::thread_state, thread_slots> a{};
  for (unsigned i = 0; i < thread_slots; ++i) a[i] = detail::thread_state{i, owned ? i : thread_slots};
  return a;
}
constinit std::array<detail::thread_state, thread_slots> owned_states = make_states(true);
constinit std::array<detail::thread_state, thread_slots> shared_states = make_states(false);

// The workers of the live pools, watched by a thread's end: a worker that has ended while its pool
// lives tells that the system has ended every other thread wherever it stood, which is how a process
// exits (it then runs the exiting thread's callback, before the module's detach says so).
struct watched_thread {
  std::atomic<HANDLE> thread{nullptr};
  std::atomic<int> readers{0};
};
constexpr unsigned watched_max = 8;
watched_thread watched[watched_max];

bool a_worker_has_ended() {
  for (watched_thread& w : watched) {
    w.readers.fetch_add(1);
    const HANDLE h = w.thread.load();
    const bool ended = h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    w.readers.fetch_sub(1);
    if (ended) return true;
  }
  return false;
}

// The thread's end (or the module's): its slot's blocks go back to each class's shared cache and the
// slot is free for a new thread; the records it kept stay with the slot for that thread. Runs on the
// ending thread, or for every thread on the one that unloads the module. At process exit the system
// runs the exiting thread's callback after it has ended every other thread wherever it stood, perhaps
// holding a lock here or the heap's: so nothing is allocated or freed here, nothing is done once a
// pool's worker is seen ended, and no lock is waited for longer than end_wait_ms (the blocks behind
// it stay cached where they are).
constexpr unsigned end_wait_ms = 1000;

void release_state(detail::thread_state* s) {
  const unsigned slot = s->slot;
  auto& r = buckets();
  if (!a_worker_has_ended() && enter_within(r.lock, end_wait_ms)) {
    for (w32heap_sized* b : r.items) b->flush_slot(slot, end_wait_ms);
    LeaveCriticalSection(&r.lock);
  }
  if (s->tally_cell < thread_slots) slot_taken[slot].store(false, std::memory_order_release);
}

void WINAPI thread_ended(void* state) {
  if (state && !leaving_at_exit.load(std::memory_order_acquire))
    release_state(static_cast<detail::thread_state*>(state));
}

}  // namespace

namespace detail {

DWORD state_index = FLS_OUT_OF_INDEXES;
spare_list spares[thread_slots];
shared_spare_list shared_spares[thread_slots];

thread_state* take_state() {
  for (unsigned i = 0; i < thread_slots && state_index != FLS_OUT_OF_INDEXES; ++i) {
    bool taken = false;
    if (!slot_taken[i].compare_exchange_strong(taken, true, std::memory_order_acquire)) continue;
    if (FlsSetValue(state_index, &owned_states[i])) return &owned_states[i];
    slot_taken[i].store(false, std::memory_order_release);
    break;
  }
  // Shared in turn; a thread without an index asks again on its next call (and shares again).
  thread_state* s = &shared_states[next_shared_slot.fetch_add(1, std::memory_order_relaxed) % thread_slots];
  if (state_index != FLS_OUT_OF_INDEXES) FlsSetValue(state_index, s);
  return s;
}

}  // namespace detail

namespace {

module_lists lists;
locked_list<w32heap_sized*>& buckets() { return *lists.buckets; }
locked_list<retirable*>& parked() { return *lists.parked; }

}  // namespace

namespace {

// Deletes the parked heaps whose blocks have all come back (with `more` parked first).
void reap(retirable* more) {
  auto& p = parked();
  std::vector<retirable*> done;
  {
    w32cpp::section_lock hold(p.lock);
    if (more) p.items.push_back(more);
    // No more blocks are made once a heap is retired, so a count of 0 stays 0.
    for (auto it = p.items.begin(); it != p.items.end();) {
      if ((*it)->outstanding() <= 0) {
        done.push_back(*it);
        it = p.items.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (retirable* h : done) delete h;
}

}  // namespace

void retire_heap(retirable* heap) { reap(heap); }

void leave_threads_at_exit() { leaving_at_exit.store(true, std::memory_order_release); }

void watch_worker(HANDLE thread) {
  for (watched_thread& w : watched) {
    HANDLE none = nullptr;
    if (w.thread.compare_exchange_strong(none, thread)) return;
  }
}

void unwatch_worker(HANDLE thread) {
  for (watched_thread& w : watched) {
    HANDLE mine = thread;
    if (!w.thread.compare_exchange_strong(mine, nullptr)) continue;
    while (w.readers.load() != 0) Sleep(0);  // a thread's end that read the handle is done with it
    return;
  }
}

// ---- size classes --------------------------------------------------------------------------

// The private heap starts at `target` bytes, not target blocks: it grows as blocks are made.
w32heap_sized::w32heap_sized(pool* owner, uint32_t block_size, uint32_t target)
    : w32heap_private(target, 0),
      trim_callback_(w32cpp::make_member_callback<w32heap_sized>(this, &w32heap_sized::trim)),
      refill_callback_(w32cpp::make_member_callback<w32heap_sized>(this, &w32heap_sized::refill)),
      block_size_(block_size),
      target_(target),
      slot_limit_(std::clamp<uint32_t>(target, 2, slot_capacity)),
      owner_(owner) {
  InitializeCriticalSection(&lock_);
  auto& r = buckets();
  w32cpp::section_lock hold(r.lock);
  r.items.push_back(this);
}

w32heap_sized::~w32heap_sized() {
  {
    auto& r = buckets();
    w32cpp::section_lock hold(r.lock);
    r.items.erase(std::find(r.items.begin(), r.items.end(), this));
  }
  trim_callback_->unbind();
  refill_callback_->unbind();
  for (slot& s : slots_) {
    for (uint32_t i = 0; i < s.count.load(std::memory_order_relaxed); ++i)
      w32heap::free(s.ring[(s.head + i) % slot_capacity], block_size_);
  }
  for (void* p : cache_) w32heap::free(p, block_size_);
  cache_.clear();
  DeleteCriticalSection(&lock_);
}

namespace {
constexpr unsigned k_lock_spins = 100;
}

void detail::slot_lock::lock_contended() {
  for (unsigned n = 0;; ++n) {
    if (!flag_.load(std::memory_order_relaxed) && !flag_.exchange(true, std::memory_order_acquire)) return;
    if (n < k_lock_spins)
      __builtin_ia32_pause();
    else
      Sleep(1);
  }
}

bool detail::slot_lock::try_lock_for(unsigned ms) {
  for (unsigned n = 0;; ++n) {
    if (!flag_.load(std::memory_order_relaxed) && !flag_.exchange(true, std::memory_order_acquire)) return true;
    if (n < k_lock_spins) {
      __builtin_ia32_pause();
    } else {
      if (n - k_lock_spins >= ms) return false;
      Sleep(1);
    }
  }
}

void* w32heap_sized::alloc(uint32_t size, bool zero) {
  slot& s = slots_[thread_slot()];
  s.lock.lock();
  const uint32_t n = s.count.load(std::memory_order_relaxed);
  if (n > 0) {
    void* p = s.ring[s.head];
    s.head = (s.head + 1) % slot_capacity;
    s.count.store(n - 1, std::memory_order_relaxed);
    s.in_use.store(s.in_use.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    ++s.lent;
    s.lock.unlock();
    if (zero) std::memset(p, 0, std::min(size, block_size_));
    return p;
  }
  // The block may come back to this slot while the slot keeps within its limit.
  const bool lend = n + s.lent < slot_limit_;
  if (lend) ++s.lent;
  s.lock.unlock();
  try {
    return alloc_shared(zero);
  } catch (...) {
    if (lend) {
      s.lock.lock();
      if (s.lent) --s.lent;
      s.lock.unlock();
    }
    throw;
  }
}

void w32heap_sized::free(void* pointer, uint32_t) {
  if (!pointer) return;
  slot& s = slots_[thread_slot()];
  s.lock.lock();
  const uint32_t n = s.count.load(std::memory_order_relaxed);
  if (s.lent > 0 && n < slot_capacity) {
    s.ring[(s.head + n) % slot_capacity] = pointer;
    s.count.store(n + 1, std::memory_order_relaxed);
    s.in_use.store(s.in_use.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    --s.lent;
    s.lock.unlock();
    return;
  }
  s.lock.unlock();
  free_shared(pointer);
}

void* w32heap_sized::alloc_shared(bool zero) {
  w32cpp::section_lock g(lock_);
  void* p;
  if (!cache_.empty()) {
    p = cache_.front();
    cache_.pop_front();
    if (zero) std::memset(p, 0, block_size_);
  } else {
    // Every block of the bucket has the bucket's size, whatever was asked, so cached blocks fit any request.
    p = w32heap::alloc(block_size_, zero);
  }
  // Counted only once the block exists: a failed allocation leaves the count as it was.
  ++in_use_;
  check_refill();
  return p;
}

void w32heap_sized::free_shared(void* pointer) {
  w32cpp::section_lock g(lock_);
  --in_use_;
  cache_.push_back(pointer);
  check_trim();
}

void w32heap_sized::flush_slot(unsigned index, unsigned wait_ms) {
  if (index >= thread_slots || !enter_within(lock_, wait_ms)) return;
  slot& s = slots_[index];
  if (s.lock.try_lock_for(wait_ms)) {
    const uint32_t n = s.count.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < n; ++i) cache_.push_back(s.ring[(s.head + i) % slot_capacity]);
    s.head = 0;
    s.count.store(0, std::memory_order_relaxed);
    s.lent = 0;
    s.lock.unlock();
    if (n) check_trim();
  }
  LeaveCriticalSection(&lock_);
}

uint32_t w32heap_sized::cached_locked() const {
  size_t n = cache_.size();
  for (const slot& s : slots_) n += s.count.load(std::memory_order_relaxed);
  return static_cast<uint32_t>(n);
}

int64_t w32heap_sized::outstanding_blocks() const {
  w32cpp::section_lock g(lock_);
  int64_t n = in_use_;
  // Through each slot's lock, so that a block given back there a moment ago is done with the bucket.
  for (slot& s : const_cast<w32heap_sized*>(this)->slots_) {
    s.lock.lock();
    n += s.in_use.load(std::memory_order_relaxed);
    s.lock.unlock();
  }
  return n;
}

uint32_t w32heap_sized::in_use_locked() const {
  int64_t n = in_use_;
  for (const slot& s : slots_) n += s.in_use.load(std::memory_order_relaxed);
  return n > 0 ? static_cast<uint32_t>(n) : 0;
}

void w32heap_sized::check_trim() {
  if (trim_pending_ || cached_locked() <= target_) return;
  trim_pending_ = true;
  // A post that fails clears the flag again, so that a later change asks anew.
  if (!post(trim_callback_)) trim_pending_ = false;
}

void w32heap_sized::check_refill() {
  if (refill_pending_) return;
  const uint32_t cached = cached_locked();
  if (cached >= target_ / 2 && cached + in_use_locked() >= target_) return;
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
  w32cpp::section_lock g(lock_);
  trim_pending_ = false;
  if (cached_locked() <= target_) return;
  void* p = nullptr;
  if (!cache_.empty()) {
    p = cache_.front();
    cache_.pop_front();
  } else {
    // Only slots hold cached blocks: take the oldest of one.
    for (slot& s : slots_) {
      s.lock.lock();
      const uint32_t n = s.count.load(std::memory_order_relaxed);
      if (n > 0) {
        p = s.ring[s.head];
        s.head = (s.head + 1) % slot_capacity;
        s.count.store(n - 1, std::memory_order_relaxed);
      }
      s.lock.unlock();
      if (p) break;
    }
  }
  if (p) w32heap::free(p, block_size_);
  check_trim();
}

void w32heap_sized::refill() {
  w32cpp::section_lock g(lock_);
  // Cleared before the allocation: a block that cannot be made must not stop later refills.
  refill_pending_ = false;
  const uint32_t cached = cached_locked();
  if (cached >= target_ / 2 && cached + in_use_locked() >= target_) return;
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
  w32cpp::section_lock g(lock_);
  owner_ = nullptr;
}

w32heap_sized::state w32heap_sized::snapshot() const {
  w32cpp::section_lock g(lock_);
  const uint32_t cached = cached_locked();
  return state{block_size_,   target_,        in_use_locked(), cached, cached - static_cast<uint32_t>(cache_.size()),
               trim_pending_, refill_pending_};
}

}  // namespace ostrel
