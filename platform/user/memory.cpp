// Heaps, virtual memory, local/global memory and their failure injection.
//
// A heap keeps every live block on a list behind a small header, so HeapDestroy frees what is
// left and HeapFree can tell a foreign pointer. Blocks come from malloc, so the sanitizers see
// overruns at the end of a block. HEAP_GENERATE_EXCEPTIONS raises std::bad_alloc, the C++ form
// of the system's out-of-memory exception.
#include <standin/faults.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "internal.h"

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
  std::atomic<bool> any{false};
};

fault_state &fault_state_get() {
  static auto *f = new fault_state;
  return *f;
}

bool inject(standin::faults::site where, HANDLE heap = nullptr) {
  auto &f = fault_state_get();
  if (!f.any.load(std::memory_order_acquire)) return false;
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

constexpr uint64_t k_block_magic = 0x5a455048424c4b31ull;  // live block
constexpr uint64_t k_heap_magic = 0x5a4550484541505aull;

struct heap;

struct alignas(16) block_header {
  heap *owner;
  block_header *prev;
  block_header *next;
  size_t size;
  uint64_t magic;
};

struct heap {
  uint64_t magic = k_heap_magic;
  DWORD flags = 0;
  size_t max = 0;  // 0: growable
  size_t used = 0;
  bool process = false;
  std::mutex m;
  block_header list{nullptr, &list, &list, 0, 0};
};

// Read on every heap call, written only when a heap is made or destroyed.
struct heap_registry {
  std::shared_mutex m;
  std::unordered_set<heap *> live;
};

heap_registry &heaps() {
  static auto *r = new heap_registry;
  return *r;
}

heap *heap_of(HANDLE h) {
  auto *p = static_cast<heap *>(h);
  auto &r = heaps();
  std::shared_lock<std::shared_mutex> g(r.m);
  if (!r.live.count(p)) return nullptr;
  return p;
}

heap *make_heap(DWORD flags, size_t max, bool process) {
  auto *hp = new heap;
  hp->flags = flags;
  hp->max = max;
  hp->process = process;
  std::unique_lock<std::shared_mutex> g(heaps().m);
  heaps().live.insert(hp);
  return hp;
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

[[noreturn]] void raise_no_memory() { throw std::bad_alloc(); }

void *heap_alloc(heap *hp, DWORD flags, size_t size, standin::faults::site site) {
  bool fail = inject(site, site == standin::faults::site::heap_alloc ? static_cast<HANDLE>(hp) : nullptr);
  block_header *b = nullptr;
  if (!fail && size <= (SIZE_MAX >> 2)) {
    // The size is reserved under the lock; malloc runs outside it so that threads sharing a heap
    // do not queue behind each other's allocations.
    bool reserved = false;
    {
      std::lock_guard<std::mutex> g(hp->m);
      if (hp->max == 0 || hp->used + size <= hp->max) {
        hp->used += size;
        reserved = true;
      }
    }
    if (reserved) {
      b = static_cast<block_header *>(std::malloc(sizeof(block_header) + size));
      std::lock_guard<std::mutex> g(hp->m);
      if (b) {
        b->owner = hp;
        b->size = size;
        b->magic = k_block_magic;
        b->next = &hp->list;
        b->prev = hp->list.prev;
        hp->list.prev->next = b;
        hp->list.prev = b;
      } else {
        hp->used -= size;
      }
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
  block_header *b;
  {
    std::lock_guard<std::mutex> g(hp->m);
    b = header_of(hp, mem);
    if (!b) return false;
    b->prev->next = b->next;
    b->next->prev = b->prev;
    b->magic = 0;
    hp->used -= b->size;
  }
  std::free(b);  // unlinked: no one else can reach it
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
  return make_heap(options & (HEAP_GENERATE_EXCEPTIONS | HEAP_NO_SERIALIZE), maximum, false);
}

BOOL WINAPI HeapDestroy(HANDLE h) {
  heap *hp = heap_of(h);
  if (!hp || hp->process) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::unique_lock<std::shared_mutex> g(heaps().m);
    heaps().live.erase(hp);
  }
  for (block_header *b = hp->list.next; b != &hp->list;) {
    block_header *n = b->next;
    b->magic = 0;
    std::free(b);
    b = n;
  }
  hp->magic = 0;
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
  size_t old_size;
  {
    std::lock_guard<std::mutex> g(hp->m);
    block_header *b = header_of(hp, mem);
    if (!b) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    old_size = b->size;
  }
  if (flags & HEAP_REALLOC_IN_PLACE_ONLY) {
    if (size <= old_size) {
      std::lock_guard<std::mutex> g(hp->m);
      block_header *b = header_of(hp, mem);
      hp->used -= b->size - size;
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
  std::lock_guard<std::mutex> g(hp->m);
  block_header *b = header_of(hp, mem);
  return b ? b->size : static_cast<SIZE_T>(-1);
}

BOOL WINAPI HeapValidate(HANDLE h, DWORD flags, LPCVOID mem) {
  (void)flags;
  heap *hp = heap_of(h);
  if (!hp) return FALSE;
  if (!mem) return TRUE;
  std::lock_guard<std::mutex> g(hp->m);
  return header_of(hp, mem) ? TRUE : FALSE;
}

HANDLE WINAPI GetProcessHeap(void) { return process_heap(); }

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
  heap *hp = local_heap();
  std::lock_guard<std::mutex> g(hp->m);
  block_header *b = header_of(hp, mem);
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
  f.any.store(true, std::memory_order_release);
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
  f.any.store(false, std::memory_order_release);
}

std::size_t injected(site where) {
  auto &f = fault_state_get();
  std::lock_guard<std::mutex> g(f.m);
  return f.injected[static_cast<int>(where)];
}

}  // namespace standin::faults
