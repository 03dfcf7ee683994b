#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <ostrel/heap.h>

namespace {

// Hands out plain memory and records every free.
class recording_heap : public ostrel::iheap {
 public:
  void* alloc(uint32_t size, bool zero) override {
    ++allocs;
    if (fail) return nullptr;
    void* p = ::operator new(size);
    if (zero) std::memset(p, 0, size);
    return p;
  }
  void free(void* pointer, uint32_t size) override {
    frees.push_back(size);
    ::operator delete(pointer);
  }
  bool fail = false;
  int allocs = 0;
  std::vector<uint32_t> frees;
};

TEST(MemBlock, EmptyBlockHasNothingToFree) {
  ostrel::mem_block b;
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.capacity(), 0u);
  EXPECT_EQ(b.heap(), nullptr);
}

TEST(MemBlock, CopiesShareOneRecordAndFreeOnceWithTheCapacity) {
  recording_heap heap;
  {
    ostrel::mem_block a(100, 4096, &heap, false);
    EXPECT_EQ(a.size(), 100u);
    EXPECT_EQ(a.capacity(), 4096u);
    ostrel::mem_block b = a;
    EXPECT_EQ(b.data(), a.data());
    EXPECT_EQ(a.use_count(), 2u);
    { ostrel::mem_block c = b; }
    EXPECT_TRUE(heap.frees.empty());
  }
  ASSERT_EQ(heap.frees.size(), 1u);
  EXPECT_EQ(heap.frees[0], 4096u);
}

TEST(MemBlock, HeapWithoutMemoryGivesABlockThatReadsAsFailed) {
  recording_heap heap;
  heap.fail = true;
  {
    ostrel::mem_block b(300000, 300000, &heap, false);
    EXPECT_EQ(heap.allocs, 1);
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.capacity(), 0u);
  }
  EXPECT_TRUE(heap.frees.empty());
}

TEST(MemBlock, CallerMemoryIsZeroedOverExactlyItsLengthAndNeverFreed) {
  unsigned char buffer[64];
  std::memset(buffer, 0xCC, sizeof buffer);
  {
    ostrel::mem_block b(buffer + 8, 16, true);
    EXPECT_EQ(b.data(), buffer + 8);
    EXPECT_EQ(b.size(), 16u);
    EXPECT_EQ(b.capacity(), 16u);
    EXPECT_EQ(b.heap(), nullptr);
  }
  for (int i = 0; i < 64; ++i) EXPECT_EQ(buffer[i], (i >= 8 && i < 24) ? 0 : 0xCC) << "byte " << i;

  std::memset(buffer, 0xCC, sizeof buffer);
  { ostrel::mem_block untouched(buffer, 64, false); }
  for (unsigned char c : buffer) EXPECT_EQ(c, 0xCC);
}

}  // namespace
