// Heap interfaces and the counted buffer that every I/O request of the system carries.
#ifndef OSTREL_HEAP_H
#define OSTREL_HEAP_H

#include <windows.h>

#include <cstdint>
#include <cstring>

#include <w32cpp/handle.h>

namespace ostrel {

class mem_block;

// A heap that hands out raw memory; free() is given the capacity that was allocated.
class iheap {
 public:
  virtual void* alloc(uint32_t size, bool zero) = 0;
  virtual void free(void* pointer, uint32_t size) = 0;
  virtual ~iheap() = default;
};

// The allocator of every I/O buffer.
class api {
 public:
  virtual mem_block allocate(uint32_t size, bool zero) = 0;
  virtual ~api() = default;
};

// Counted buffer: copies share one record, whose memory goes back to the heap that made it with the last copy.
class mem_block {
 public:
  struct _mem {
    _mem() = default;
    _mem(const _mem&) = delete;
    _mem& operator=(const _mem&) = delete;
    ~_mem() {
      if (heap && data) heap->free(data, capacity);
    }

    void* data = nullptr;
    uint32_t size = 0;      // bytes asked for
    uint32_t capacity = 0;  // bytes reserved, at least size
    iheap* heap = nullptr;  // null: the memory belongs to the caller and is never freed here
    void* extra = nullptr;  // reserved; nothing stores anything here
  };

  // The empty block: no memory, size and capacity 0.
  mem_block() : block_(make_record()) {}

  // A block of `capacity` bytes from `heap`, `size` of them asked for. An exception of the heap passes
  // through and nothing is kept. A heap that returns no memory gives the empty block, so that a failed
  // allocation reads as failed (no data, size 0) whatever the caller checks.
  mem_block(uint32_t size, uint32_t capacity, iheap* heap, bool zero)
      : mem_block(new counted_record, size, capacity, heap, zero) {}

  // The record and its counter in one allocation; the record goes with the counter's last release.
  // An allocator may derive it, with its own operator new and delete, to keep records for reuse.
  struct counted_record : w32cpp::use_count_base {
    counted_record() : w32cpp::use_count_base(1) {}
    _mem record;
  };

  // The same with a record the caller made (fresh, count 1); the block owns it from here on.
  mem_block(counted_record* r, uint32_t size, uint32_t capacity, iheap* heap, bool zero) : block_(adopt(r)) {
    if (!heap || capacity == 0) return;
    void* p = heap->alloc(capacity, zero);
    if (!p) return;
    _mem& m = *block_;
    m.data = p;
    m.size = size;
    m.capacity = capacity;
    m.heap = heap;
  }

  // A block over the caller's memory, never freed by the block; zero clears exactly `length` bytes.
  mem_block(void* memory, uint32_t length, bool zero) : block_(make_record()) {
    if (!memory) return;
    if (zero && length) std::memset(memory, 0, length);
    _mem& m = *block_;
    m.data = memory;
    m.size = length;
    m.capacity = length;
  }

  void* data() const { return block_->data; }
  unsigned char* bytes() const { return static_cast<unsigned char*>(block_->data); }
  uint32_t size() const { return block_->size; }
  uint32_t capacity() const { return block_->capacity; }
  iheap* heap() const { return block_->heap; }
  bool empty() const { return block_->data == nullptr; }

  DWORD use_count() const { return block_.use_count(); }
  friend bool operator==(const mem_block& a, const mem_block& b) { return a.block_ == b.block_; }

 private:
  static w32cpp::auto_handle<_mem> adopt(counted_record* c) { return w32cpp::auto_handle<_mem>::adopt(&c->record, c); }
  static w32cpp::auto_handle<_mem> make_record() { return adopt(new counted_record); }

  w32cpp::auto_handle<_mem> block_;
};

}  // namespace ostrel

#endif
