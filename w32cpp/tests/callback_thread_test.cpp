// Listener lists used from several threads: a subscriber runs with the list unlocked, a removal waits
// only for a call of what it removes, and a thread ended inside a subscriber leaves the list usable.
#include <w32cpp/callback.h>

#include <gtest/gtest.h>

#include <atomic>

#include "thread_helpers.h"
#include "zephtest/wait.h"

using namespace w32cpp;

namespace {

using list0 = listener_list<>;

// Blocks on its gate while the test looks at the list from other threads.
struct blocker {
  HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> entered{0}, returned{0};
  std::atomic<bool> hold{true};
  ~blocker() {
    CloseHandle(gate);
    CloseHandle(inside);
  }
  void hit() {
    ++entered;
    if (hold.load()) {
      SetEvent(inside);
      WaitForSingleObject(gate, zephtest::deadline_ms);
    }
    ++returned;
  }
};

struct counter {
  std::atomic<int> hits{0};
  void hit() { ++hits; }
};

// Runs fn on its own thread: true when it returned within ms.
bool returns_within(std::function<void()> fn, DWORD ms = 5000) {
  HANDLE h = w32t::run_thread(std::move(fn));
  return h && w32t::join(h, ms);
}

} // namespace

TEST(ListenerListThreads, OtherThreadsAddNotifyAndRemoveWhileASubscriberRuns) {
  list0 list;
  blocker b;
  counter c;
  auto cb = make_member_callback(&b, &blocker::hit);
  auto cc = make_member_callback(&c, &counter::hit);
  list.add(cb);
  HANDLE walker = w32t::run_thread([&] { list.notify(); });
  ASSERT_EQ(WaitForSingleObject(b.inside, zephtest::deadline_ms), WAIT_OBJECT_0);
  b.hold = false;
  // None of these waits for the walk in progress.
  EXPECT_TRUE(returns_within([&] {
    list.add(cc);
    list.notify();
    list.remove(cc);
  }));
  EXPECT_EQ(c.hits.load(), 1);
  EXPECT_EQ(b.returned.load(), 1); // the second walk's call, not the blocked one
  // Removing the subscriber that runs waits until its call has returned.
  std::atomic<bool> removed{false};
  HANDLE remover = w32t::run_thread([&] {
    list.remove(cb);
    removed = true;
  });
  EXPECT_FALSE(zephtest::wait_until([&] { return removed.load(); }, std::chrono::milliseconds(300)));
  SetEvent(b.gate);
  ASSERT_TRUE(w32t::join(remover));
  EXPECT_EQ(b.returned.load(), 2);
  ASSERT_TRUE(w32t::join(walker));
  list.notify();
  EXPECT_EQ(b.entered.load(), 2);
  EXPECT_EQ(list.size(), 0u);
}

TEST(ListenerListThreads, AThreadEndedInsideASubscriberLeavesTheListUsable) {
  list0 list;
  blocker b;
  counter c;
  list.add(make_member_callback(&b, &blocker::hit));
  HANDLE walker = w32t::run_thread([&] { list.notify(); });
  ASSERT_NE(walker, nullptr);
  ASSERT_EQ(WaitForSingleObject(b.inside, zephtest::deadline_ms), WAIT_OBJECT_0);
  ASSERT_TRUE(TerminateThread(walker, 1));
  CloseHandle(walker);
  b.hold = false;
  auto cc = make_member_callback(&c, &counter::hit);
  EXPECT_TRUE(returns_within([&] {
    list.add(cc);
    list.notify();
    list.remove(cc);
  }));
  EXPECT_EQ(c.hits.load(), 1);
  SetEvent(b.gate);
}
