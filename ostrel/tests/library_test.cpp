#include <gtest/gtest.h>

#include <windows.h>

#include <ostrel/ostrel_lib.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "zephtest/wait.h"

namespace {

TEST(OstrelLibrary, LoadsByNameAndSharesOneAllocator) {
  ostrel::ostrel_lib first;
  ASSERT_TRUE(first);
  ostrel::ostrel_lib second;
  ASSERT_TRUE(second);
  EXPECT_EQ(first.get(), second.get());

  HMODULE module = LoadLibraryA("ostrel8");
  ASSERT_NE(module, nullptr);
  using factory = w32cpp::auto_handle<ostrel::api>* (*)();
  auto entry = reinterpret_cast<factory>(reinterpret_cast<void (*)()>(GetProcAddress(module, "ostrel_get_instance")));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry(), entry());
  EXPECT_EQ(entry()->get(), first.get());
  FreeLibrary(module);

  ostrel::mem_block b = first->allocate(5000, true);
  ASSERT_NE(b.data(), nullptr);
  EXPECT_EQ(b.size(), 5000u);
  EXPECT_EQ(b.capacity(), 8192u);
  for (uint32_t i = 0; i < b.capacity(); ++i) ASSERT_EQ(b.bytes()[i], 0);
}

struct churn {
  ostrel::api* pool;
  std::atomic<int>* bad;
};

DWORD WINAPI churn_thread(LPVOID p) {
  const churn& c = *static_cast<churn*>(p);
  ostrel::mem_block held[12];
  for (unsigned i = 0; i < 3000; ++i) {
    ostrel::mem_block& b = held[i % 12];
    b = c.pool->allocate(1500, false);
    if (!b.data())
      c.bad->fetch_add(1);
    else
      std::memset(b.data(), static_cast<int>(i), b.size());
  }
  return 0;
}

// Rounds of threads that use the pool and end, each round within its deadline: every thread gives
// its slot back at its end, so that the next round finds them free.
TEST(OstrelLibrary, ThreadsThatUsedThePoolEndRoundAfterRound) {
  ostrel::ostrel_lib lib;
  ASSERT_TRUE(lib);
  std::atomic<int> bad{0};
  churn c{lib.get(), &bad};
  for (int round = 0; round < 10; ++round) {
    HANDLE threads[4];
    for (HANDLE& t : threads) {
      t = CreateThread(nullptr, 0, churn_thread, &c, 0, nullptr);
      ASSERT_NE(t, nullptr);
    }
    ASSERT_EQ(WaitForMultipleObjects(4, threads, TRUE, zephtest::deadline_ms), WAIT_OBJECT_0) << "round " << round;
    for (HANDLE t : threads) CloseHandle(t);
  }
  EXPECT_EQ(bad.load(), 0);
}

// A thread that used the pool may end after the library is unloaded: its end calls nothing in the
// library any more.
TEST(OstrelLibrary, AThreadThatUsedThePoolMayOutliveTheLibrary) {
  zephtest::flag used, unloaded;
  std::atomic<bool> allocated{false};
  std::thread t([&] {
    {
      ostrel::ostrel_lib lib;
      if (lib) allocated = lib->allocate(5000, false).data() != nullptr;
    }
    used.set();
    unloaded.wait();
  });
  const bool ok = used.wait();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(allocated.load());
  EXPECT_EQ(GetModuleHandleA("ostrel8"), nullptr) << "the library is still loaded";
  unloaded.set();
  if (ok)
    zephtest::join(t);
  else
    t.detach();
}

}  // namespace
