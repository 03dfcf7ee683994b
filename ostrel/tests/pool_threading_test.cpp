#include <gtest/gtest.h>

#include <standin/faults.h>
#include <standin/thread.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "pool.h"
#include "pool_wait.h"
#include "zephtest/wait.h"

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
  for (auto& th : threads) zephtest::join(th);
  EXPECT_EQ(overwritten.load(), 0);
  for (int c = 0; c < ostrel::pool::bucket_count; ++c) {
    ASSERT_TRUE(ostrel_test::wait_bucket(p, c, [](const auto& s) {
      return s.in_use == 0 && !s.trim_pending && s.cached <= s.target;
    })) << "bucket " << c;
  }
}

// A class with a target of one block, used by four threads at once: once each thread has its block,
// taking and giving back needs no heap allocation, on the caller's side or the worker's. A thread that
// ends gives its slot back, and the trim that asks for may take a block from the slot of a thread still
// busy: so no thread ends before all are done with the class.
TEST(PoolThreads, BusyClassIsNotTrimmedAndRefilledInALoop) {
  constexpr int k_threads = 4;
  ostrel::pool p;
  std::mutex m;
  std::condition_variable cv;
  int warmed = 0;
  int finished = 0;
  zephtest::flag go;
  std::atomic<int> failures{0};
  std::atomic<int> stalled{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < k_threads; ++t)
    threads.emplace_back([&] {
      { ostrel::mem_block b = p.allocate(200000, false); }
      {
        std::lock_guard<std::mutex> g(m);
        ++warmed;
      }
      cv.notify_all();
      if (!go.wait()) {
        stalled.fetch_add(1);
        return;
      }
      for (int i = 0; i < 2000; ++i) {
        try {
          ostrel::mem_block b = p.allocate(200000, true);
          if (!b.data()) failures.fetch_add(1);
        } catch (...) {
          failures.fetch_add(1);
        }
      }
      std::unique_lock<std::mutex> l(m);
      ++finished;
      cv.notify_all();
      if (!zephtest::wait_on(cv, l, [&] { return finished == k_threads; })) stalled.fetch_add(1);
    });
  {
    std::unique_lock<std::mutex> l(m);
    EXPECT_TRUE(zephtest::wait_on(cv, l, [&] { return warmed == k_threads; }));
  }
  EXPECT_TRUE(ostrel_test::wait_bucket(p, 7, [](const auto& s) { return !s.trim_pending && !s.refill_pending; }));
  // From here the bucket's heap refuses every block.
  standin::faults::rule r;
  r.where = standin::faults::site::heap_alloc;
  r.count = 0;
  r.heap = static_cast<ostrel::w32heap*>(static_cast<ostrel::w32heap_sized*>(p.bucket(7)))->handle();
  standin::faults::add(r);
  go.set();
  for (auto& th : threads) zephtest::join(th);
  EXPECT_EQ(stalled.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(standin::faults::injected(standin::faults::site::heap_alloc), 0u);
  standin::faults::clear();
  // The ended threads' blocks went back to the class, and the worker trims them to its target.
  EXPECT_TRUE(ostrel_test::wait_bucket(p, 7, [](const auto& s) {
    return s.in_use == 0 && !s.trim_pending && !s.refill_pending && s.cached == s.target;
  }));
}

// The blocks a thread kept for itself go back to the class's shared cache when it ends (none is left
// in its slot), where another thread takes them.
TEST(PoolThreads, EndedThreadGivesItsBlocksBack) {
  ostrel::pool p;
  zephtest::join(std::thread([&] {
    std::vector<ostrel::mem_block> held;
    for (int i = 0; i < 8; ++i) held.push_back(p.allocate(5000, false));
  }));
  // Class 2: target 8.
  ASSERT_TRUE(ostrel_test::wait_bucket(p, 2, [](const auto& s) {
    return s.in_use == 0 && !s.trim_pending && !s.refill_pending && s.cached == 8;
  }));
  EXPECT_EQ(p.bucket_state(2)->cached_in_slots, 0u);
  // They are in the shared cache now: this thread takes all eight without a new block (the worker may
  // refill meanwhile).
  standin::faults::rule r;
  r.where = standin::faults::site::heap_alloc;
  r.count = 0;
  r.this_thread_only = true;
  r.heap = static_cast<ostrel::w32heap*>(static_cast<ostrel::w32heap_sized*>(p.bucket(2)))->handle();
  standin::faults::add(r);
  std::vector<ostrel::mem_block> mine;
  for (int i = 0; i < 8; ++i) EXPECT_NO_THROW(mine.push_back(p.allocate(5000, false)));
  EXPECT_EQ(standin::faults::injected(standin::faults::site::heap_alloc), 0u);
  standin::faults::clear();
}

// More threads than thread slots make small blocks and hand half of them to others to release: the
// small heap's count of blocks out stays exact (own cells and the shared one alike), and a block whose
// record was used before starts afresh (one use, its own size and heap).
TEST(PoolThreads, BlocksReleasedAcrossMoreThreadsThanSlotsAreCountedExactly) {
  ostrel::pool p;
  auto* small = static_cast<ostrel::retained_heap<ostrel::w32heap_private>*>(p.small_heap());
  constexpr int k_threads = ostrel::thread_slots + 4;
  constexpr int k_rounds = 300;
  std::mutex m;
  std::vector<ostrel::mem_block> handed;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < k_threads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < k_rounds; ++i) {
        const uint32_t size = 16 + static_cast<uint32_t>((t + i) % 8) * 16;
        ostrel::mem_block b = p.allocate(size, (i & 1) != 0);
        ostrel::mem_block copy = b;
        if (b.use_count() != 2 || b.size() != size || b.capacity() != size || b.heap() != small || !b.data())
          wrong.fetch_add(1);
        if (i & 1) {
          std::lock_guard<std::mutex> g(m);
          handed.push_back(std::move(copy));
        }
        std::lock_guard<std::mutex> g(m);
        if (handed.size() > 16) handed.erase(handed.begin(), handed.begin() + 8);  // released here, by whoever
      }
    });
  for (auto& th : threads) zephtest::join(th);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(small->outstanding(), static_cast<int64_t>(handed.size()));
  handed.clear();
  EXPECT_EQ(small->outstanding(), 0);
  ostrel::mem_block again = p.allocate(64, false);
  EXPECT_EQ(again.use_count(), 1u);
  EXPECT_EQ(small->outstanding(), 1);
}

// A record kept for reuse is out of bounds but for its link, and taken again it is in bounds to its own
// size and no further: the allocator's red zone after it still catches an overrun.
TEST(PoolThreads, AKeptRecordIsInBoundsExactlyToItsSizeWhenTakenAgain) {
#if defined(__SANITIZE_ADDRESS__)
  std::atomic<int> wrong{0};
  zephtest::join(std::thread([&] {
    constexpr size_t k_size = 48;
    auto* r = static_cast<char*>(::operator new(k_size));
    if (!ostrel::keep_spare_record(r, k_size)) {
      wrong.fetch_add(100);
      ::operator delete(r);
      return;
    }
    if (!__asan_address_is_poisoned(r + sizeof(void*)) || __asan_address_is_poisoned(r)) wrong.fetch_add(1);
    if (ostrel::take_spare_record(k_size) != r) wrong.fetch_add(100);
    if (__asan_region_is_poisoned(r, k_size) != nullptr) wrong.fetch_add(1);
    if (!__asan_address_is_poisoned(r + k_size)) wrong.fetch_add(1);
    ::operator delete(r);
  }));
  EXPECT_EQ(wrong.load(), 0);
#else
  GTEST_SKIP() << "poisoning is checked under AddressSanitizer";
#endif
}

struct lock_waiter {
  ostrel::detail::slot_lock* lock;
  std::atomic<bool> got{false};
};

DWORD WINAPI take_slot_lock(LPVOID p) {
  auto* w = static_cast<lock_waiter*>(p);
  w->lock->lock();
  w->got = true;
  w->lock->unlock();
  return 0;
}

// A thread that finds a slot's lock held past a short spin sleeps in the platform, giving its
// processor up (a yield would never let a preempted idle-priority holder run), and takes the lock
// once it is free.
TEST(PoolThreads, AWaiterForAHeldSlotLockSleepsUntilItIsFree) {
  ostrel::detail::slot_lock lock;
  lock.lock();
  lock_waiter w{&lock};
  HANDLE t = CreateThread(nullptr, 0, take_slot_lock, &w, 0, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(standin::thread::wait_until_blocked(t, zephtest::deadline_ms));
  EXPECT_FALSE(w.got.load());
  lock.unlock();
  EXPECT_EQ(WaitForSingleObject(t, zephtest::deadline_ms), WAIT_OBJECT_0);
  EXPECT_TRUE(w.got.load());
  CloseHandle(t);
}

}  // namespace
