// The process handle table and the namespace of named objects.
#include <standin/handles.h>

#include <unistd.h>

#include <mutex>
#include <new>
#include <unordered_map>

#include "internal.h"

namespace wb {

// ---- handle table and names --------------------------------------------------------------

namespace {

// Handle values index a two-level array of slots, read without a table-wide lock: a lookup holds
// only its slot's lock bit while it takes its reference, so a close on another thread cannot free
// the object in between. Insertions and closes also take the table's mutex, for the count and the
// next value. Chunks are never freed.
constexpr uintptr_t k_handle_first = 0x104;
constexpr uintptr_t k_handle_limit = 0x7FFFFFF0;
constexpr size_t k_chunk_bits = 12;
constexpr size_t k_chunk_size = size_t{1} << k_chunk_bits;
constexpr size_t k_chunk_count = ((k_handle_limit - k_handle_first) / 4 >> k_chunk_bits) + 1;

using handle_slot = std::atomic<uintptr_t>;  // object pointer, bit 0 the slot's lock

// Read on every look-up: constant-initialised, so no guard is checked (its pages are touched only as
// chunks are made).
std::atomic<handle_slot *> g_handle_chunks[k_chunk_count];

// GetCurrentThread()'s value, told without a call.
bool is_current_thread_pseudo(HANDLE h) { return reinterpret_cast<uintptr_t>(h) == ~uintptr_t{1}; }

struct handle_table {
  std::mutex m;
  size_t live = 0;
  uintptr_t next = 0x100;
};

handle_table &table() {
  static auto *t = new handle_table;
  return *t;
}

// The slot of a handle value, or null when no handle of that value was ever made.
handle_slot *slot_of(uintptr_t v) {
  if (v < k_handle_first || v >= k_handle_limit || (v & 3)) return nullptr;
  const size_t i = (v - k_handle_first) / 4;
  handle_slot *chunk = g_handle_chunks[i >> k_chunk_bits].load(std::memory_order_acquire);
  return chunk ? &chunk[i & (k_chunk_size - 1)] : nullptr;
}

// Locks the slot and returns what it holds. An empty slot is never locked (0 is returned): a lookup
// of a stale value must not hold a slot an insertion is filling, or its unlock would wipe the new entry.
uintptr_t lock_slot(handle_slot *s) {
  for (;;) {
    uintptr_t v = s->load(std::memory_order_relaxed);
    if (v == 0) return 0;
    if (v & 1) {
      __builtin_ia32_pause();
      continue;
    }
    if (s->compare_exchange_weak(v, v | 1, std::memory_order_acquire, std::memory_order_relaxed)) return v;
  }
}

struct name_table {
  std::mutex m;
  std::unordered_map<std::string, kobject *> by_name;
  std::unordered_map<kobject *, std::string> by_object;
};

name_table &names() {
  static auto *n = new name_table;
  return *n;
}

// The highest value handed out so far, and the calls that named a value at or below it whose handle
// was closed (standin/handles.h).
std::atomic<uintptr_t> g_highest_handle{0};
std::atomic<std::uint64_t> g_closed_uses{0};

}  // namespace

void note_missing_handle(HANDLE h) {
  const uintptr_t v = reinterpret_cast<uintptr_t>(h);
  if (v >= k_handle_first && v < k_handle_limit && !(v & 3) && v <= g_highest_handle.load(std::memory_order_acquire))
    g_closed_uses.fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t closed_handle_uses() { return g_closed_uses.load(std::memory_order_relaxed); }

HANDLE insert_handle(kobject *obj) {
  if (!obj) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto &t = table();
  std::lock_guard<std::mutex> g(t.m);
  if (t.live >= (k_handle_limit - k_handle_first) / 4) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  handle_slot *s;
  for (;;) {
    t.next += 4;
    if (t.next >= k_handle_limit) t.next = k_handle_first;
    const size_t i = (t.next - k_handle_first) / 4;
    auto &chunk = g_handle_chunks[i >> k_chunk_bits];
    if (!chunk.load(std::memory_order_relaxed)) {
      auto *fresh = new (std::nothrow) handle_slot[k_chunk_size]();
      if (!fresh) {
        set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
      }
      chunk.store(fresh, std::memory_order_release);
    }
    s = &chunk.load(std::memory_order_relaxed)[i & (k_chunk_size - 1)];
    if (s->load(std::memory_order_relaxed) == 0) break;  // values in use are skipped after a wrap
  }
  obj->add_ref();
  obj->handles_.fetch_add(1, std::memory_order_acq_rel);
  ++t.live;
  s->store(reinterpret_cast<uintptr_t>(obj), std::memory_order_release);
  if (t.next > g_highest_handle.load(std::memory_order_relaxed)) g_highest_handle.store(t.next, std::memory_order_release);
  return reinterpret_cast<HANDLE>(t.next);
}

handle_pin::handle_pin(HANDLE h) {
  if (is_current_thread_pseudo(h)) {
    obj_ = current_thread();  // lives as long as the calling thread
    return;
  }
  handle_slot *s = slot_of(reinterpret_cast<uintptr_t>(h));
  if (const uintptr_t v = s ? lock_slot(s) : 0) {
    slot_ = s;
    value_ = v;
    obj_ = reinterpret_cast<kobject *>(v);
  }
}

kref<kobject> lookup_handle(HANDLE h) {
  if (is_current_thread_pseudo(h)) return kref<kobject>::share(current_thread());
  handle_slot *s = slot_of(reinterpret_cast<uintptr_t>(h));
  if (const uintptr_t v = s ? lock_slot(s) : 0) {
    auto *obj = reinterpret_cast<kobject *>(v);
    obj->add_ref();
    s->store(v, std::memory_order_release);
    return kref<kobject>::adopt(obj);
  }
  note_missing_handle(h);
  set_last_error(ERROR_INVALID_HANDLE);
  return {};
}

bool close_handle(HANDLE h) {
  kobject *obj = nullptr;
  {
    auto &t = table();
    std::lock_guard<std::mutex> g(t.m);
    handle_slot *s = slot_of(reinterpret_cast<uintptr_t>(h));
    if (s) {
      obj = reinterpret_cast<kobject *>(lock_slot(s));
      if (obj) s->store(0, std::memory_order_release);
    }
    if (!obj) {
      note_missing_handle(h);
      set_last_error(ERROR_INVALID_HANDLE);
      return false;
    }
    --t.live;
  }
  bool last;
  {
    // Under the name lock so that a concurrent open by name never revives a closing object.
    auto &n = names();
    std::lock_guard<std::mutex> g(n.m);
    last = obj->handles_.fetch_sub(1, std::memory_order_acq_rel) == 1;
    if (last) {
      auto it = n.by_object.find(obj);
      if (it != n.by_object.end()) {
        n.by_name.erase(it->second);
        n.by_object.erase(it);
      }
    }
  }
  if (last) obj->on_last_handle_closed();
  obj->release();
  return true;
}

HANDLE named_create(const char *name, const char *type, kobject *(*make)(void *), void *ctx) {
  if (name && !*name) name = nullptr;  // an empty name makes an unnamed object
  if (!name) {
    kobject *o = make(ctx);
    if (!o) return nullptr;
    HANDLE h = insert_handle(o);
    o->release();
    if (h) set_last_error(ERROR_SUCCESS);
    return h;
  }
  auto &n = names();
  std::lock_guard<std::mutex> g(n.m);
  auto it = n.by_name.find(name);
  if (it != n.by_name.end()) {
    if (std::string(it->second->type_name()) != type) {
      set_last_error(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    HANDLE h = insert_handle(it->second);
    if (h) set_last_error(ERROR_ALREADY_EXISTS);
    return h;
  }
  kobject *o = make(ctx);
  if (!o) return nullptr;
  HANDLE h = insert_handle(o);
  if (h) {
    n.by_name.emplace(name, o);
    n.by_object.emplace(o, name);
    set_last_error(ERROR_SUCCESS);
  }
  o->release();
  return h;
}

HANDLE named_open(const char *name, const char *type) {
  if (!name) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto &n = names();
  std::lock_guard<std::mutex> g(n.m);
  auto it = n.by_name.find(name);
  if (it == n.by_name.end()) {
    set_last_error(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (std::string(it->second->type_name()) != type) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return insert_handle(it->second);
}

}  // namespace wb

using namespace wb;

extern "C" {

BOOL WINAPI CloseHandle(HANDLE h) {
  if (h == GetCurrentThread()) return TRUE;  // pseudo handles need no closing
  return close_handle(h) ? TRUE : FALSE;
}

BOOL WINAPI DuplicateHandle(HANDLE src_process, HANDLE src, HANDLE dst_process, LPHANDLE out, DWORD access,
                            BOOL inherit, DWORD options) {
  (void)access;
  (void)inherit;
  if (src_process != GetCurrentProcess() || dst_process != GetCurrentProcess() || !out) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  kref<kobject> o = lookup_handle(src);
  if (!o) return FALSE;
  HANDLE h = insert_handle(o.get());
  if (!h) return FALSE;
  if ((options & DUPLICATE_CLOSE_SOURCE) && src != GetCurrentThread()) close_handle(src);
  *out = h;
  return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

}  // extern "C"

namespace standin::handles {
std::uint64_t closed_uses() { return wb::closed_handle_uses(); }
}  // namespace standin::handles
