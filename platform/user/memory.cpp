// Heaps, virtual memory, local/global memory and their failure injection.
//
// A heap keeps every live block behind a small header naming its heap, so HeapFree can tell a
// foreign pointer, and on a list so HeapDestroy frees what is left. Blocks come from malloc, so the
// sanitizers see overruns at the end of a block (a block kept for reuse is poisoned meanwhile). HEAP_GENERATE_EXCEPTIONS raises std::bad_alloc, the C++ form
// of the system's out-of-memory exception.
#include <standin/faults.h>

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define WB_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define WB_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define WB_POISON(p, n) ((void)(p), (void)(n))
#define WB_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

using namespace wb;

// ---- failure injection -------------------------------------------------------------------

namespace {

struct fault_rule {
  standin::faults::rule r;
  std::thread::id owner;
  unsigned seen = 0;
  unsigned failed = 0;
};

struct fault_state {
  std::mutex m;
  std::vector<fault_rule> rules;
  std::size_t injected[5] = {0, 0, 0, 0, 0};
  std::size_t raised = 0;  // HEAP_GENERATE_EXCEPTIONS exceptions
};

fault_state &fault_state_get() {
  static auto *f = new fault_state;
  return *f;
}

// Any rule at all? Constant-initialised, so an allocation reads one flag and nothing more.
std::atomic<bool> g_faults_armed{false};

bool inject(standin::faults::site where, HANDLE heap = nullptr) {
  if (!g_faults_armed.load(std::memory_order_acquire)) return false;
  auto &f = fault_state_get();
  std::lock_guard<std::mutex> g(f.m);
  for (auto &fr : f.rules) {
    if (fr.r.where != where) continue;
    if (fr.r.heap && fr.r.heap != heap) continue;
    if (fr.r.this_thread_only && fr.owner != std::this_thread::get_id()) continue;
    if (fr.r.count != 0 && fr.failed >= fr.r.count) continue;
    if (fr.seen++ < fr.r.skip) return false;
    ++fr.failed;
    ++f.injected[static_cast<int>(where)];
    return true;
  }
  return false;
}

}  // namespace

bool wb::fault_injected(standin::faults::site where) { return inject(where); }

namespace {

// ---- heaps -------------------------------------------------------------------------------
// A heap handle is a slot number with a generation, so any value can be checked without a lock
// and without touching memory it does not name, and a destroyed heap's handle stays invalid while
// its slot is reused. Blocks come straight from malloc behind a header naming their heap, and are
// kept on lists, so that HeapDestroy frees what is left. Each of the first 16 threads alive at once
// owns one list of every heap and works on it without locked operations; a block given back by
// another thread goes onto the list's stack of returns (one compare-exchange), which the owner
// unlinks and frees at its next call on that heap. Further threads share one locked list.
// A bounded heap counts its bytes with one atomic.
// An owned list also keeps, per size, a few blocks its thread freed (a lookaside): they stay on the
// list, marked free, and the thread's next request of exactly that size takes one back without
// malloc or linking. Sizes map onto a few bins; a bin holds blocks of one size at a time.

constexpr uint64_t k_block_magic = 0x5a455048424c4b31ull;   // live block
constexpr uint64_t k_cached_magic = 0x5a455048464b4331ull;  // freed, kept in a lookaside bin

struct heap;

struct alignas(16) block_header {
  union {
    heap *owner;                // while live
    block_header *return_next;  // once given back by a thread that does not own its list
  };
  block_header *prev;
  block_header *next;
  size_t size;
  uint32_t shard;
  uint32_t reserved;
  uint64_t magic;
};

class spin_lock {
 public:
  void lock() {
    for (unsigned n = 0; flag_.exchange(true, std::memory_order_acquire); ++n) {
      while (flag_.load(std::memory_order_relaxed)) {
        if (++n > 64) {
          sched_yield();
          n = 0;
        } else {
          __builtin_ia32_pause();
        }
      }
    }
  }
  void unlock() { flag_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> flag_{false};
};

constexpr unsigned k_owned_shards = 16;
constexpr unsigned k_shared_shard = k_owned_shards;  // for threads beyond those

constexpr unsigned k_bins = 16;
constexpr uint32_t k_bin_depth = 16;
constexpr size_t k_lookaside_max = 4096;  // larger blocks always go back to malloc

struct lookaside_bin {
  size_t size = 0;  // of every block in it
  uint32_t count = 0;
  block_header *top = nullptr;  // linked through return_next
};

unsigned bin_of(size_t size) { return static_cast<unsigned>((size >> 4) ^ (size >> 8)) % k_bins; }

struct alignas(64) block_shard {
  spin_lock lock;                                // the shared list only
  std::atomic<block_header *> returned{nullptr};  // given back by other threads
  block_header list{{nullptr}, &list, &list, 0, 0, 0, 0};
  lookaside_bin bins[k_bins];  // owned lists only; their thread alone touches them
};

struct heap {
  HANDLE handle = nullptr;
  DWORD flags = 0;
  size_t max = 0;  // 0: growable
  std::atomic<size_t> used{0};  // bounded heaps only
  bool process = false;
  block_shard shards[k_owned_shards + 1];
};

// Which list of every heap the calling thread owns: taken at its first heap call, given back when
// it ends (after which its calls use the shared list).
std::atomic<bool> g_shard_taken[k_owned_shards];
thread_local unsigned t_shard __attribute__((tls_model("initial-exec"))) = ~0u;

void give_back_shard(void *p) {
  t_shard = k_shared_shard;
  g_shard_taken[reinterpret_cast<uintptr_t>(p) - 1].store(false, std::memory_order_release);
}

pthread_key_t shard_key() {
  static pthread_key_t key = [] {
    pthread_key_t k;
    pthread_key_create(&k, give_back_shard);
    return k;
  }();
  return key;
}

unsigned claim_shard() {
  const pthread_key_t key = shard_key();
  for (unsigned i = 0; i < k_owned_shards; ++i) {
    bool taken = false;
    if (g_shard_taken[i].compare_exchange_strong(taken, true, std::memory_order_acquire)) {
      t_shard = i;
      pthread_setspecific(key, reinterpret_cast<void *>(static_cast<uintptr_t>(i) + 1));
      return i;
    }
  }
  t_shard = k_shared_shard;
  return k_shared_shard;
}

unsigned my_shard() {
  const unsigned s = t_shard;
  return s != ~0u ? s : claim_shard();
}

// Slot table: one flat array (its pages are touched only as slots are used), so a look-up is one
// load and the heap's own check. Slots are reused first in, first out, each time with the next
// generation.
constexpr unsigned k_max_heaps = 65536;

// Read on every heap call: constant-initialised, so no guard is checked.
std::atomic<heap *> g_heap_slots[k_max_heaps];

struct heap_table {
  std::mutex m;  // making and destroying heaps only
  std::deque<uint32_t> free_slots;
  std::vector<uint16_t> generation = std::vector<uint16_t>(k_max_heaps, 0);
  uint32_t next_slot = 0;
};

heap_table &heaps() {
  static auto *t = new heap_table;
  return *t;
}

HANDLE encode(uint32_t slot, uint16_t gen) {
  return reinterpret_cast<HANDLE>(((static_cast<uintptr_t>(gen) << 20) | (slot + 1)) << 4);
}

std::atomic<heap *> *slot_ref(uint32_t slot) { return &g_heap_slots[slot]; }

heap *heap_of(HANDLE h) {
  const auto v = reinterpret_cast<uintptr_t>(h);
  if (v & 0xF) return nullptr;
  const uintptr_t x = v >> 4;
  const uintptr_t slot1 = x & 0xFFFFF;
  if (slot1 == 0 || slot1 > k_max_heaps || (x >> 20) > 0xFFFF) return nullptr;
  heap *hp = slot_ref(static_cast<uint32_t>(slot1 - 1))->load(std::memory_order_acquire);
  return hp && hp->handle == h ? hp : nullptr;
}

heap *make_heap(DWORD flags, size_t max, bool process) {
  auto &t = heaps();
  std::lock_guard<std::mutex> g(t.m);
  uint32_t slot;
  if (t.next_slot < k_max_heaps && t.free_slots.size() < 1024) {
    // New slots while few are free, so that a stale handle long meets an empty slot.
    slot = t.next_slot++;
  } else if (!t.free_slots.empty()) {
    slot = t.free_slots.front();
    t.free_slots.pop_front();
  } else {
    return nullptr;
  }
  uint16_t gen = ++t.generation[slot];
  if (gen == 0) gen = t.generation[slot] = 1;
  auto *hp = new heap;
  hp->handle = encode(slot, gen);
  hp->flags = flags;
  hp->max = max;
  hp->process = process;
  slot_ref(slot)->store(hp, std::memory_order_release);
  return hp;
}

void unregister_heap(heap *hp) {
  auto &t = heaps();
  const uint32_t slot = static_cast<uint32_t>(((reinterpret_cast<uintptr_t>(hp->handle) >> 4) & 0xFFFFF) - 1);
  std::lock_guard<std::mutex> g(t.m);
  slot_ref(slot)->store(nullptr, std::memory_order_release);
  t.free_slots.push_back(slot);
}

heap *process_heap() {
  static heap *p = make_heap(0, 0, true);
  return p;
}

heap *local_heap() {
  static heap *p = make_heap(0, 0, true);
  return p;
}

block_header *header_of(heap *hp, LPCVOID mem) {
  if (!mem) return nullptr;
  auto *b = reinterpret_cast<block_header *>(const_cast<char *>(static_cast<const char *>(mem))) - 1;
  if (b->magic != k_block_magic || b->owner != hp) return nullptr;
  return b;
}

[[noreturn]] void raise_no_memory() {
  {
    auto &f = fault_state_get();
    std::lock_guard<std::mutex> g(f.m);
    ++f.raised;
  }
  throw std::bad_alloc();
}

bool reserve(heap *hp, size_t size) {
  if (hp->max == 0) return true;
  size_t used = hp->used.load(std::memory_order_relaxed);
  do {
    if (used + size > hp->max || used + size < used) return false;
  } while (!hp->used.compare_exchange_weak(used, used + size, std::memory_order_relaxed));
  return true;
}

void unreserve(heap *hp, size_t size) {
  if (hp->max != 0) hp->used.fetch_sub(size, std::memory_order_relaxed);
}

void insert(block_shard &s, block_header *b) {
  b->next = &s.list;
  b->prev = s.list.prev;
  s.list.prev->next = b;
  s.list.prev = b;
}

void remove(block_header *b) {
  b->prev->next = b->next;
  b->next->prev = b->prev;
}

// The owner frees what other threads gave back to its list.
void take_returns(block_shard &s) {
  if (!s.returned.load(std::memory_order_relaxed)) return;
  block_header *b = s.returned.exchange(nullptr, std::memory_order_acquire);
  while (b) {
    block_header *n = b->return_next;
    remove(b);
    std::free(b);
    b = n;
  }
}

void link(heap *hp, block_header *b) {
  const unsigned i = my_shard();
  b->shard = i;
  block_shard &s = hp->shards[i];
  if (i == k_shared_shard) {
    s.lock.lock();
    insert(s, b);
    s.lock.unlock();
    return;
  }
  take_returns(s);
  insert(s, b);
}

// A block of exactly `size` bytes from the calling thread's lookaside, or null.
block_header *reuse(heap *hp, size_t size) {
  if (size > k_lookaside_max) return nullptr;
  const unsigned i = my_shard();
  if (i == k_shared_shard) return nullptr;
  lookaside_bin &bin = hp->shards[i].bins[bin_of(size)];
  block_header *b = bin.top;
  if (!b || bin.size != size) return nullptr;
  bin.top = b->return_next;
  --bin.count;
  WB_UNPOISON(b + 1, size);
  return b;
}

// Keeps a block its own thread freed for reuse; false when its bin is full or holds another size.
bool keep(block_shard &s, block_header *b) {
  if (b->size > k_lookaside_max) return false;
  lookaside_bin &bin = s.bins[bin_of(b->size)];
  if (bin.count > 0 && bin.size != b->size) return false;
  if (bin.count >= k_bin_depth) return false;
  bin.size = b->size;
  b->magic = k_cached_magic;
  b->return_next = bin.top;
  bin.top = b;
  ++bin.count;
  WB_POISON(b + 1, b->size);
  return true;
}

// Unlinks and frees a block already marked free.
void release_block(heap *hp, block_header *b) {
  const unsigned i = b->shard;
  block_shard &s = hp->shards[i];
  if (i == k_shared_shard) {
    s.lock.lock();
    remove(b);
    s.lock.unlock();
    std::free(b);
  } else if (i == my_shard()) {
    take_returns(s);
    if (keep(s, b)) return;
    remove(b);
    std::free(b);
  } else {
    block_header *head = s.returned.load(std::memory_order_relaxed);
    do {
      b->return_next = head;
    } while (!s.returned.compare_exchange_weak(head, b, std::memory_order_release, std::memory_order_relaxed));
  }
}

void *heap_alloc(heap *hp, DWORD flags, size_t size, standin::faults::site site) {
  bool fail = inject(site, site == standin::faults::site::heap_alloc ? hp->handle : nullptr);
  block_header *b = nullptr;
  if (!fail && size <= (SIZE_MAX >> 2) && reserve(hp, size)) {
    if ((b = reuse(hp, size)) != nullptr) {
      b->owner = hp;
      b->magic = k_block_magic;
    } else if ((b = static_cast<block_header *>(std::malloc(sizeof(block_header) + size))) != nullptr) {
      b->owner = hp;
      b->size = size;
      b->magic = k_block_magic;
      link(hp, b);
    } else {
      unreserve(hp, size);
    }
  }
  if (!b) {
    if ((flags | hp->flags) & HEAP_GENERATE_EXCEPTIONS) raise_no_memory();
    return nullptr;
  }
  if (flags & HEAP_ZERO_MEMORY) std::memset(b + 1, 0, size);
  return b + 1;
}

bool heap_free(heap *hp, LPVOID mem) {
  block_header *b = header_of(hp, mem);
  if (!b) return false;
  b->magic = 0;
  unreserve(hp, b->size);
  release_block(hp, b);
  return true;
}

}  // namespace

extern "C" {

HANDLE WINAPI HeapCreate(DWORD options, SIZE_T initial, SIZE_T maximum) {
  (void)initial;
  if (inject(standin::faults::site::heap_create)) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  heap *hp = make_heap(options & (HEAP_GENERATE_EXCEPTIONS | HEAP_NO_SERIALIZE), maximum, false);
  if (!hp) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return hp->handle;
}

BOOL WINAPI HeapDestroy(HANDLE h) {
  heap *hp = heap_of(h);
  if (!hp || hp->process) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  unregister_heap(hp);
  for (block_shard &s : hp->shards) {
    for (block_header *b = s.list.next; b != &s.list;) {
      block_header *n = b->next;
      if (b->magic == k_cached_magic) WB_UNPOISON(b + 1, b->size);
      b->magic = 0;
      std::free(b);
      b = n;
    }
  }
  delete hp;
  return TRUE;
}

LPVOID WINAPI HeapAlloc(HANDLE h, DWORD flags, SIZE_T size) {
  heap *hp = heap_of(h);
  if (!hp) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return heap_alloc(hp, flags, size, standin::faults::site::heap_alloc);
}

LPVOID WINAPI HeapReAlloc(HANDLE h, DWORD flags, LPVOID mem, SIZE_T size) {
  heap *hp = heap_of(h);
  if (!hp) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  block_header *b = header_of(hp, mem);
  if (!b) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const size_t old_size = b->size;
  if (flags & HEAP_REALLOC_IN_PLACE_ONLY) {
    if (size <= old_size) {
      unreserve(hp, old_size - size);
      b->size = size;
      return mem;
    }
    if ((flags | hp->flags) & HEAP_GENERATE_EXCEPTIONS) raise_no_memory();
    return nullptr;
  }
  void *p = heap_alloc(hp, flags & ~static_cast<DWORD>(HEAP_ZERO_MEMORY), size, standin::faults::site::heap_alloc);
  if (!p) return nullptr;
  std::memcpy(p, mem, old_size < size ? old_size : size);
  if ((flags & HEAP_ZERO_MEMORY) && size > old_size) std::memset(static_cast<char *>(p) + old_size, 0, size - old_size);
  heap_free(hp, mem);
  return p;
}

BOOL WINAPI HeapFree(HANDLE h, DWORD flags, LPVOID mem) {
  (void)flags;
  heap *hp = heap_of(h);
  if (!hp) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!mem) return TRUE;
  if (!heap_free(hp, mem)) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

SIZE_T WINAPI HeapSize(HANDLE h, DWORD flags, LPCVOID mem) {
  (void)flags;
  heap *hp = heap_of(h);
  if (!hp) return static_cast<SIZE_T>(-1);
  block_header *b = header_of(hp, mem);
  return b ? b->size : static_cast<SIZE_T>(-1);
}

BOOL WINAPI HeapValidate(HANDLE h, DWORD flags, LPCVOID mem) {
  (void)flags;
  heap *hp = heap_of(h);
  if (!hp) return FALSE;
  if (!mem) return TRUE;
  return header_of(hp, mem) ? TRUE : FALSE;
}

HANDLE WINAPI GetProcessHeap(void) { return process_heap()->handle; }

// ---- local and global memory: fixed blocks of one internal heap --------------------------
// Moveable blocks are handed out fixed as well: the handle is the pointer, and Lock returns it.

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T size) {
  void *p = heap_alloc(local_heap(), (flags & LMEM_ZEROINIT) ? HEAP_ZERO_MEMORY : 0, size,
                       standin::faults::site::local_alloc);
  if (!p) set_last_error(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
  if (!mem) return nullptr;
  if (!heap_free(local_heap(), mem)) {
    set_last_error(ERROR_INVALID_HANDLE);
    return mem;
  }
  return nullptr;
}

SIZE_T WINAPI LocalSize(HLOCAL mem) {
  block_header *b = header_of(local_heap(), mem);
  if (!b) {
    set_last_error(ERROR_INVALID_HANDLE);
    return 0;
  }
  return b->size;
}

LPVOID WINAPI LocalLock(HLOCAL mem) { return mem; }
BOOL WINAPI LocalUnlock(HLOCAL mem) {
  (void)mem;
  set_last_error(NO_ERROR);  // a fixed block is never locked
  return FALSE;
}

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T size) { return LocalAlloc(flags, size); }
HGLOBAL WINAPI GlobalFree(HGLOBAL mem) { return LocalFree(mem); }
SIZE_T WINAPI GlobalSize(HGLOBAL mem) { return LocalSize(mem); }
LPVOID WINAPI GlobalLock(HGLOBAL mem) { return mem; }
BOOL WINAPI GlobalUnlock(HGLOBAL mem) { return LocalUnlock(mem); }

}  // extern "C"

// ---- virtual memory ----------------------------------------------------------------------

namespace {

struct region_table {
  std::mutex m;
  std::map<uintptr_t, size_t> regions;  // base -> reserved size
};

region_table &regions() {
  static auto *r = new region_table;
  return *r;
}

int prot_of(DWORD protect) {
  switch (protect & 0xFF) {
    case PAGE_NOACCESS: return PROT_NONE;
    case PAGE_READONLY: return PROT_READ;
    case PAGE_EXECUTE: return PROT_EXEC;
    case PAGE_EXECUTE_READ: return PROT_READ | PROT_EXEC;
    case PAGE_EXECUTE_READWRITE: return PROT_READ | PROT_WRITE | PROT_EXEC;
    case PAGE_READWRITE:
    default: return PROT_READ | PROT_WRITE;
  }
}

size_t page_size() {
  static size_t p = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return p;
}

// The region that holds [p, p + n), or end().
std::map<uintptr_t, size_t>::iterator region_of(region_table &r, uintptr_t p, size_t n) {
  auto it = r.regions.upper_bound(p);
  if (it == r.regions.begin()) return r.regions.end();
  --it;
  if (p + n > it->first + it->second) return r.regions.end();
  return it;
}

}  // namespace

extern "C" {

LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
  if (size == 0 || !(type & (MEM_COMMIT | MEM_RESERVE))) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (inject(standin::faults::site::virtual_alloc)) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const size_t ps = page_size();
  auto &r = regions();
  std::lock_guard<std::mutex> g(r.m);
  if (address) {
    // Committing pages of a region reserved earlier.
    uintptr_t start = reinterpret_cast<uintptr_t>(address) & ~(ps - 1);
    size_t len = ((reinterpret_cast<uintptr_t>(address) + size + ps - 1) & ~(ps - 1)) - start;
    if (!(type & MEM_COMMIT) || region_of(r, start, len) == r.regions.end()) {
      set_last_error(ERROR_INVALID_ADDRESS);
      return nullptr;
    }
    if (mprotect(reinterpret_cast<void *>(start), len, prot_of(protect)) != 0) {
      set_last_error(ERROR_INVALID_ADDRESS);
      return nullptr;
    }
    return reinterpret_cast<void *>(start);
  }
  size_t len = (size + ps - 1) & ~(ps - 1);
  int prot = (type & MEM_COMMIT) ? prot_of(protect) : PROT_NONE;
  void *p = mmap(nullptr, len, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  r.regions.emplace(reinterpret_cast<uintptr_t>(p), len);
  return p;
}

BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
  auto &r = regions();
  std::lock_guard<std::mutex> g(r.m);
  uintptr_t p = reinterpret_cast<uintptr_t>(address);
  if (type == MEM_RELEASE) {
    auto it = r.regions.find(p);
    if (size != 0 || it == r.regions.end()) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    munmap(address, it->second);
    r.regions.erase(it);
    return TRUE;
  }
  if (type == MEM_DECOMMIT) {
    const size_t ps = page_size();
    uintptr_t start = p & ~(ps - 1);
    auto it = region_of(r, start, 1);
    if (it == r.regions.end()) {
      set_last_error(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    size_t len = size == 0 ? it->first + it->second - start
                           : ((p + size + ps - 1) & ~(ps - 1)) - start;
    if (region_of(r, start, len) == r.regions.end()) {
      set_last_error(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    madvise(reinterpret_cast<void *>(start), len, MADV_DONTNEED);
    mprotect(reinterpret_cast<void *>(start), len, PROT_NONE);
    return TRUE;
  }
  set_last_error(ERROR_INVALID_PARAMETER);
  return FALSE;
}

}  // extern "C"

// ---- test control ------------------------------------------------------------------------

namespace standin::faults {

void add(const rule &r) {
  auto &f = fault_state_get();
  std::lock_guard<std::mutex> g(f.m);
  f.rules.push_back(fault_rule{r, std::this_thread::get_id(), 0, 0});
  g_faults_armed.store(true, std::memory_order_release);
}

void fail_next(site where, unsigned count) {
  rule r;
  r.where = where;
  r.count = count;
  add(r);
}

void clear() {
  auto &f = fault_state_get();
  std::lock_guard<std::mutex> g(f.m);
  f.rules.clear();
  for (auto &n : f.injected) n = 0;
  f.raised = 0;
  g_faults_armed.store(false, std::memory_order_release);
}

std::size_t injected(site where) {
  auto &f = fault_state_get();
  std::lock_guard<std::mutex> g(f.m);
  return f.injected[static_cast<int>(where)];
}

std::size_t exceptions_raised() {
  auto &f = fault_state_get();
  std::lock_guard<std::mutex> g(f.m);
  return f.raised;
}

}  // namespace standin::faults
