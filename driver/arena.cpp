#include "arena.h"

namespace vantrel {

namespace {
// Constant-initialised storage; the objects are built at entry and torn down at unload.
alignas(16) UCHAR g_nonpaged[sizeof(nonpaged_arena)];
alignas(16) UCHAR g_paged[sizeof(paged_arena)];
}  // namespace

nonpaged_arena &nonpaged() { return *reinterpret_cast<nonpaged_arena *>(g_nonpaged); }
paged_arena &paged() { return *reinterpret_cast<paged_arena *>(g_paged); }

void arena::init_empty(POOL_TYPE type) {
  type_ = type;
  block_ = tail_ = nullptr;
  block_size_ = tail_size_ = 0;
  InitializeListHead(&by_size_);
  InitializeListHead(&by_address_);
  spare_ = nullptr;
  spare_count_ = records_in_use_ = free_count_ = 0;
}

NTSTATUS arena::create(ksize_t size, POOL_TYPE type) {
  init_empty(type);
  block_ = static_cast<UCHAR *>(kl::allocate(size, type));
  if (!block_) return STATUS_INSUFFICIENT_RESOURCES;
  block_size_ = tail_size_ = size;
  tail_ = block_;
  return STATUS_SUCCESS;
}

void arena::release() {
  kl::release(block_);
  init_empty(type_);
}

void arena::carve_spares() {
  while (spare_count_ < 2 * records_in_use_ + 2 && tail_size_ >= record_size) {
    auto *r = reinterpret_cast<free_record *>(tail_);
    tail_ += record_size;
    tail_size_ -= record_size;
    r->address = reinterpret_cast<UCHAR *>(spare_);
    spare_ = r;
    ++spare_count_;
  }
}

arena::free_record *arena::new_record() {
  free_record *r = spare_;
  if (!r) return nullptr;
  spare_ = reinterpret_cast<free_record *>(r->address);
  --spare_count_;
  ++records_in_use_;
  return r;
}

void arena::unlink(free_record *r) {
  RemoveEntryList(&r->by_size);
  RemoveEntryList(&r->by_address);
  r->address = reinterpret_cast<UCHAR *>(spare_);
  spare_ = r;
  ++spare_count_;
  --records_in_use_;
  --free_count_;
}

// Largest first.
void arena::insert_by_size(free_record *r) {
  LIST_ENTRY *e = by_size_.Flink;
  while (e != &by_size_ && CONTAINING_RECORD(e, free_record, by_size)->size > r->size) e = e->Flink;
  InsertTailList(e, &r->by_size);
}

void arena::insert_by_address(free_record *r) {
  LIST_ENTRY *e = by_address_.Flink;
  while (e != &by_address_ && CONTAINING_RECORD(e, free_record, by_address)->address < r->address) e = e->Flink;
  InsertTailList(e, &r->by_address);
}

void *arena::take_locked(ksize_t need) {
  carve_spares();
  // An exact fit first, else the front of the largest free block, else the untouched tail.
  for (LIST_ENTRY *e = by_size_.Flink; e != &by_size_; e = e->Flink) {
    free_record *r = CONTAINING_RECORD(e, free_record, by_size);
    if (r->size == need) {
      UCHAR *p = r->address;
      unlink(r);
      return p;
    }
  }
  if (!IsListEmpty(&by_size_)) {
    free_record *r = CONTAINING_RECORD(by_size_.Flink, free_record, by_size);
    if (r->size > need) {
      UCHAR *p = r->address;
      r->address += need;
      r->size -= need;
      RemoveEntryList(&r->by_size);
      insert_by_size(r);
      return p;
    }
  }
  if (tail_size_ >= need) {
    UCHAR *p = tail_;
    tail_ += need;
    tail_size_ -= need;
    return p;
  }
  return nullptr;
}

void *arena::allocate(ksize_t size) {
  if (size == 0) return nullptr;
  ksize_t need = (size + header + 7) & ~(ksize_t)7;
  lock();
  UCHAR *p = static_cast<UCHAR *>(take_locked(need));
  unlock();
  if (!p) {
    if (!hook_) return nullptr;
    hook_(size, type_);
    // Exhausted: the system pool serves it. No raise: callers run up to DISPATCH_LEVEL and get none.
    p = static_cast<UCHAR *>(kl::allocate(need, type_));
    if (!p) return nullptr;
  }
  *reinterpret_cast<ksize_t *>(p) = need;
  return p + header;
}

void arena::free(void *user) {
  if (!user) return;
  UCHAR *p = static_cast<UCHAR *>(user) - header;
  if (!contains(p)) {
    kl::release(p);
    return;
  }
  ksize_t size = *reinterpret_cast<ksize_t *>(p);
  lock();
  free_record *before = nullptr, *after = nullptr;
  for (LIST_ENTRY *e = by_address_.Flink; e != &by_address_; e = e->Flink) {
    free_record *r = CONTAINING_RECORD(e, free_record, by_address);
    if (r->address + r->size == p) before = r;
    if (r->address == p + size) after = r;
  }
  if (before && after) {
    before->size += size + after->size;
    unlink(after);
    RemoveEntryList(&before->by_size);
    insert_by_size(before);
  } else if (before) {
    before->size += size;
    RemoveEntryList(&before->by_size);
    insert_by_size(before);
  } else if (after) {
    after->address = p;
    after->size += size;
    RemoveEntryList(&after->by_size);
    insert_by_size(after);
  } else if (p + size == tail_) {
    // Back into the untouched tail.
    tail_ = p;
    tail_size_ += size;
  } else {
    carve_spares();
    free_record *r = new_record();
    if (r) {
      r->address = p;
      r->size = size;
      insert_by_size(r);
      insert_by_address(r);
      ++free_count_;
    }
    // Without a record the block stays unusable until the arena is released: nothing is corrupted.
  }
  unlock();
}

}  // namespace vantrel
