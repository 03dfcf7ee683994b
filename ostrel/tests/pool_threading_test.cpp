#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "pool.h"
#include "pool_wait.h"

namespace {

// True when every byte of the block still holds the value written into it.
bool intact(const ostrel::mem_block& b, uint32_t size, unsigned char value) {
  const auto* bytes = static_cast<const unsigned char*>(b.data());
  return bytes[0] == value && std::memcmp(bytes, bytes + 1, size - 1) == 0;
}

TEST(PoolThreads, ConcurrentAllocateAndFreeKeepTheCountsRight) {
  ostrel::pool p;
  const uint32_t sizes[] = {64, 1500, 3000, 6000, 12000, 30000, 60000, 100000, 200000, 300000};
  std::vector<std::thread> threads;
  std::atomic<int> overwritten{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      struct held_block {
        ostrel::mem_block block;
        uint32_t size;
        unsigned char value;
      };
      std::vector<held_block> held;
      for (int i = 0; i < 400; ++i) {
        const uint32_t size = sizes[(i + t) % 10];
        // Distinct per thread and per block: a block handed out twice at once is overwritten.
        const auto value = static_cast<unsigned char>(t * 64 + i % 64);
        held.push_back({p.allocate(size, (i & 1) != 0), size, value});
        ASSERT_NE(held.back().block.data(), nullptr);
        std::memset(held.back().block.data(), value, size);
        if (held.size() > 8) {
          if (!intact(held.front().block, held.front().size, held.front().value)) ++overwritten;
          held.erase(held.begin());
        }
      }
      for (auto& h : held)
        if (!intact(h.block, h.size, h.value)) ++overwritten;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(overwritten.load(), 0);
  for (int c = 0; c < ostrel::pool::bucket_count; ++c) {
    ASSERT_TRUE(ostrel_test::wait_bucket(p, c, [](const auto& s) {
      return s.in_use == 0 && !s.trim_pending && s.cached <= s.target;
    })) << "bucket " << c;
  }
}

}  // namespace
