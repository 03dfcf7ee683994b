#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "pool.h"
#include "pool_wait.h"

namespace {

TEST(PoolThreads, ConcurrentAllocateAndFreeKeepTheCountsRight) {
  ostrel::pool p;
  const uint32_t sizes[] = {64, 1500, 3000, 6000, 12000, 30000, 60000, 100000, 200000, 300000};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<ostrel::mem_block> held;
      for (int i = 0; i < 400; ++i) {
        const uint32_t size = sizes[(i + t) % 10];
        held.push_back(p.allocate(size, (i & 1) != 0));
        auto* bytes = static_cast<unsigned char*>(held.back().data());
        bytes[0] = static_cast<unsigned char>(t);
        bytes[size - 1] = static_cast<unsigned char>(i);
        if (held.size() > 8) held.erase(held.begin());
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int c = 0; c < ostrel::pool::bucket_count; ++c) {
    ASSERT_TRUE(ostrel_test::wait_bucket(p, c, [](const auto& s) {
      return s.in_use == 0 && !s.trim_pending && s.cached <= s.target;
    })) << "bucket " << c;
  }
}

}  // namespace
