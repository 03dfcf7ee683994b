// Fiber-local storage: per-thread values, the index callback at a thread's end and at FlsFree.
#include "zephtest/wait.h"
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct seen {
  std::mutex m;
  std::vector<std::pair<void *, DWORD>> calls;  // value, thread that ran the callback
};
seen g_seen;

void WINAPI record(PVOID v) {
  std::lock_guard<std::mutex> g(g_seen.m);
  g_seen.calls.emplace_back(v, GetCurrentThreadId());
}

class Fls : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> g(g_seen.m);
    g_seen.calls.clear();
  }
  std::vector<std::pair<void *, DWORD>> calls() {
    std::lock_guard<std::mutex> g(g_seen.m);
    return g_seen.calls;
  }
};

// A successful get sets the last error to 0, as on Windows: a null value is told from a failure so.
TEST_F(Fls, ValuesArePerThreadAGetClearsTheLastErrorAndABadIndexFails) {
  const DWORD i = FlsAlloc(nullptr);
  ASSERT_NE(i, FLS_OUT_OF_INDEXES);
  int mine = 0, theirs = 0;
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FlsGetValue(i), nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(FlsSetValue(i, &mine));
  void *other_before = &theirs, *other_after = nullptr;
  DWORD other_error = 0;
  zephtest::join(std::thread([&] {
    SetLastError(ERROR_ACCESS_DENIED);  // a thread the platform does not know yet
    other_before = FlsGetValue(i);
    other_error = GetLastError();
    FlsSetValue(i, &theirs);
    other_after = FlsGetValue(i);
  }));
  EXPECT_EQ(other_before, nullptr);
  EXPECT_EQ(other_error, 0u);
  EXPECT_EQ(other_after, &theirs);
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FlsGetValue(i), &mine);
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(FlsFree(i));
  SetLastError(0);
  EXPECT_EQ(FlsGetValue(i), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(FlsSetValue(i, &mine));
  EXPECT_FALSE(FlsFree(i));
  EXPECT_FALSE(FlsSetValue(FLS_OUT_OF_INDEXES, &mine));
}

DWORD WINAPI set_and_return(LPVOID p) {
  FlsSetValue(*static_cast<DWORD *>(p), p);
  return GetCurrentThreadId();
}

// An ending thread hands its value to the callback itself (platform threads and others alike); a
// thread that set nothing, or cleared its value, causes no call.
TEST_F(Fls, AnEndingThreadHandsItsValueToTheCallback) {
  DWORD i = FlsAlloc(record);
  ASSERT_NE(i, FLS_OUT_OF_INDEXES);
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, set_and_return, &i, 0, &id);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(t, zephtest::deadline_ms), WAIT_OBJECT_0);
  CloseHandle(t);
  int value = 0;
  DWORD std_id = 0;
  zephtest::join(std::thread([&] {
    std_id = GetCurrentThreadId();
    FlsSetValue(i, &value);
  }));
  zephtest::join(std::thread([&] {}));
  zephtest::join(std::thread([&] {
    FlsSetValue(i, &value);
    FlsSetValue(i, nullptr);
  }));
  const auto c = calls();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0], std::make_pair(static_cast<void *>(&i), id));
  EXPECT_EQ(c[1], std::make_pair(static_cast<void *>(&value), std_id));
  ASSERT_TRUE(FlsFree(i));
  EXPECT_EQ(calls().size(), 2u);
}

// FlsFree hands every live thread's value to the callback on the calling thread; after it, an ending
// thread calls nothing.
TEST_F(Fls, FreeingTheIndexHandsEveryThreadsValueToTheCallback) {
  const DWORD i = FlsAlloc(record);
  ASSERT_NE(i, FLS_OUT_OF_INDEXES);
  int mine = 0, theirs = 0;
  ASSERT_TRUE(FlsSetValue(i, &mine));
  zephtest::flag value_set, freed;
  std::thread other([&] {
    FlsSetValue(i, &theirs);
    value_set.set();
    freed.wait();
  });
  ASSERT_TRUE(value_set.wait());
  ASSERT_TRUE(FlsFree(i));
  freed.set();
  zephtest::join(other);
  auto c = calls();
  ASSERT_EQ(c.size(), 2u);
  std::sort(c.begin(), c.end());
  std::vector<std::pair<void *, DWORD>> want{{&mine, GetCurrentThreadId()}, {&theirs, GetCurrentThreadId()}};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(c, want);
}

}  // namespace
