#include "zephtest/wait.h"
#include <w32cpp/handle.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace w32cpp;

namespace {

struct counted_object {
  explicit counted_object(std::atomic<int> *deaths) : deaths(deaths) {}
  ~counted_object() { deaths->fetch_add(1); }
  std::atomic<int> *deaths;
  int payload = 0;
};

struct shared_start {
  auto_handle<counted_object> *source;
  HANDLE go;
  int rounds;
};

DWORD WINAPI copy_and_release(LPVOID p) {
  auto *s = static_cast<shared_start *>(p);
  WaitForSingleObject(s->go, zephtest::deadline_ms);
  std::vector<auto_handle<counted_object>> mine;
  for (int i = 0; i < s->rounds; ++i) {
    mine.emplace_back(*s->source);
    if (mine.size() > 8)
      mine.erase(mine.begin());
    auto_handle<counted_object> other(mine.back());
    other = mine.front();
    (void)other->payload;
  }
  return 0;
}

} // namespace

TEST(AutoHandleThreads, CopiesAndReleasesFromManyThreads) {
  std::atomic<int> deaths{0};
  auto *source = new auto_handle<counted_object>(new counted_object(&deaths));
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  shared_start start{source, go, 2000};

  std::vector<HANDLE> threads;
  for (int i = 0; i < 8; ++i) {
    HANDLE t = CreateThread(nullptr, 0, &copy_and_release, &start, 0, nullptr);
    ASSERT_NE(t, nullptr);
    threads.push_back(t);
  }
  SetEvent(go);
  for (HANDLE t : threads) {
    EXPECT_EQ(WaitForSingleObject(t, 60000), WAIT_OBJECT_0);
    CloseHandle(t);
  }
  CloseHandle(go);

  EXPECT_EQ(deaths.load(), 0);
  EXPECT_EQ(source->use_count(), 1u);
  delete source;
  EXPECT_EQ(deaths.load(), 1);
}

TEST(AutoHandleThreads, LastReleaseOnAnyThreadDeletesOnce) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> deaths{0};
    auto *source = new auto_handle<counted_object>(new counted_object(&deaths));
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct job {
      auto_handle<counted_object> *mine;
      HANDLE go;
    };
    std::vector<job> jobs;
    for (int i = 0; i < 4; ++i)
      jobs.push_back(job{new auto_handle<counted_object>(*source), go});
    delete source;
    std::vector<HANDLE> threads;
    for (job &j : jobs) {
      threads.push_back(CreateThread(
          nullptr, 0,
          [](LPVOID p) -> DWORD {
            auto *j = static_cast<job *>(p);
            WaitForSingleObject(j->go, zephtest::deadline_ms);
            delete j->mine;
            return 0;
          },
          &j, 0, nullptr));
    }
    SetEvent(go);
    for (HANDLE t : threads) {
      ASSERT_EQ(WaitForSingleObject(t, 60000), WAIT_OBJECT_0);
      CloseHandle(t);
    }
    CloseHandle(go);
    ASSERT_EQ(deaths.load(), 1);
  }
}
