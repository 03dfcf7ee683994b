#include "thread_helpers.h"
#include "zephtest/wait.h"
#include <w32cpp/handle.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
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
    EXPECT_EQ(WaitForSingleObject(t, zephtest::deadline_ms), WAIT_OBJECT_0);
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
      ASSERT_EQ(WaitForSingleObject(t, zephtest::deadline_ms), WAIT_OBJECT_0);
      CloseHandle(t);
    }
    CloseHandle(go);
    ASSERT_EQ(deaths.load(), 1);
  }
}

namespace {

// A counter that asks to be told when a release leaves one use, as a library's factory counter does.
// The hook reads the object (freed too early, the sanitizer sees it) and notes the count it finds.
class telling_count : public use_count_base_impl<counted_object *> {
public:
  telling_count(counted_object *p, std::function<void(telling_count &)> hook)
      : use_count_base_impl(p), object_(p), hook_(std::move(hook)) {
    tells_sole_use_ = true;
  }
  std::atomic<int> told{0};
  std::atomic<DWORD> most_seen{0}; // the highest count a hook found when it began

protected:
  void sole_use_left() override {
    (void)object_->payload;
    const DWORD n = use_count();
    for (DWORD m = most_seen.load(); n > m && !most_seen.compare_exchange_weak(m, n);) {
    }
    told.fetch_add(1);
    if (hook_)
      hook_(*this);
  }

private:
  counted_object *object_;
  std::function<void(telling_count &)> hook_;
};

auto_handle<counted_object> telling_handle(std::atomic<int> *deaths, telling_count **counter,
                                           std::function<void(telling_count &)> hook = {}) {
  auto *object = new counted_object(deaths);
  *counter = new telling_count(object, std::move(hook));
  return auto_handle<counted_object>::adopt(object, *counter);
}

// Threads that start each round together: they spin on the round number, so that their releases and
// copies meet within a few instructions.
struct rounds_gate {
  std::atomic<int> round{0};
  std::atomic<int> done{0};
  std::atomic<bool> stop{false};
  // False when the test is over.
  bool wait_round(int r) {
    while (round.load(std::memory_order_acquire) < r)
      if (stop.load(std::memory_order_acquire))
        return false;
    return true;
  }
};

} // namespace

// The library's holder and two clients; both clients let go at once (with, every other round, a third
// thread that copies the holder and lets the copy go meanwhile). The hook runs exactly once for every
// release that leaves one use: once in a round without the copy, once or twice with it (twice when
// the copy was made after the count had reached one), never before the count is one.
TEST(AutoHandleThreads, TheSoleUseHookRunsOnceForEveryReleaseThatLeavesOneUse) {
  std::atomic<int> deaths{0};
  telling_count *counter = nullptr;
  auto_handle<counted_object> holder = telling_handle(&deaths, &counter);
  constexpr int k_rounds = 20000;
  auto_handle<counted_object> *clients[2] = {};
  rounds_gate gate;
  std::vector<HANDLE> threads;
  for (int t = 0; t < 3; ++t) {
    threads.push_back(w32t::run_thread([&, t] {
      for (int r = 1; gate.wait_round(r); ++r) {
        if (t < 2) {
          delete clients[t];
        } else if (r % 2 == 0) {
          auto_handle<counted_object> copy(holder);
          (void)copy->payload;
        }
        gate.done.fetch_add(1, std::memory_order_acq_rel);
      }
    }));
    ASSERT_NE(threads.back(), nullptr);
  }
  // At least k_least rounds however loaded the machine is, then up to 10 s; a machine too slow for
  // k_least rounds in 30 s fails below.
  constexpr int k_least = 1000;
  int wrong = 0, rounds = 0;
  const DWORD start = GetTickCount();
  for (int r = 1; r <= k_rounds; ++r) {
    const DWORD spent = GetTickCount() - start;
    if ((rounds >= k_least && spent >= 10000) || spent >= 30000)
      break;
    clients[0] = new auto_handle<counted_object>(holder);
    clients[1] = new auto_handle<counted_object>(holder);
    const int told_before = counter->told.load();
    gate.done.store(0, std::memory_order_relaxed);
    gate.round.store(r, std::memory_order_release);
    if (!zephtest::wait_until([&] { return gate.done.load(std::memory_order_acquire) == 3; },
                              zephtest::default_deadline, std::chrono::milliseconds(0))) {
      ADD_FAILURE() << "round " << r << " did not end";
      break;
    }
    const int told = counter->told.load() - told_before;
    if (told < 1 || told > (r % 2 == 0 ? 2 : 1))
      ++wrong;
    ++rounds;
  }
  gate.stop = true;
  for (HANDLE t : threads)
    EXPECT_TRUE(w32t::join(t));
  EXPECT_GE(rounds, k_least);
  EXPECT_EQ(wrong, 0) << "of " << rounds << " rounds";
  // Begun before the count was one, a hook could find the holder, a client and the copy.
  EXPECT_LE(counter->most_seen.load(), 2u);
  EXPECT_EQ(holder.use_count(), 1u);
  EXPECT_EQ(deaths.load(), 0);
}

// While the hook of one release runs, another thread copies the holder and lets the copy go: the
// hook found one use, and the copy's release tells again. The last use may go while a hook still
// runs: the object lives until the hook is done, and goes once.
TEST(AutoHandleThreads, TheSoleUseHookKeepsTheObjectAndRunsAgainForACopyMadeMeanwhile) {
  for (bool drop_holder_meanwhile : {false, true}) {
    SCOPED_TRACE(drop_holder_meanwhile ? "the holder goes during the hook" : "the holder stays");
    std::atomic<int> deaths{0};
    zephtest::flag entered, go_on;
    std::atomic<int> seen_at_first{-1};
    telling_count *counter = nullptr;
    auto *holder = new auto_handle<counted_object>(telling_handle(&deaths, &counter, [&](telling_count &c) {
      if (seen_at_first.load() >= 0)
        return;
      seen_at_first = static_cast<int>(c.use_count());
      entered.set();
      go_on.wait();
    }));
    auto *client = new auto_handle<counted_object>(*holder);
    HANDLE releaser = w32t::run_thread([&] { delete client; });
    ASSERT_NE(releaser, nullptr);
    ASSERT_TRUE(entered.wait());
    EXPECT_EQ(seen_at_first.load(), 1);
    {
      auto_handle<counted_object> late(*holder);
      EXPECT_EQ(late.use_count(), 2u);
    }
    EXPECT_EQ(counter->told.load(), 2);
    if (drop_holder_meanwhile) {
      delete holder;
      holder = nullptr;
      EXPECT_EQ(deaths.load(), 0); // the hook still runs on it
    }
    go_on.set();
    EXPECT_TRUE(w32t::join(releaser));
    if (holder) {
      EXPECT_EQ(holder->use_count(), 1u);
      EXPECT_EQ(deaths.load(), 0);
      delete holder;
    }
    EXPECT_EQ(deaths.load(), 1);
  }
}
