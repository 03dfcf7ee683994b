#include <w32cpp/callback.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace w32cpp;

namespace {

struct recorder {
  std::vector<std::string> *calls;
  std::string name;
  void hit() { calls->push_back(name); }
  void pair(int &a, std::string &b) { calls->push_back(name + ":" + std::to_string(a) + b); }
};

struct base_with_method {
  int hits = 0;
  void on_event() { ++hits; }
};
struct derived_object : base_with_method {};

using list0 = listener_list<>;

} // namespace

TEST(MemberCallback, BindsCallsAndUnbinds) {
  std::vector<std::string> calls;
  recorder r{&calls, "r"};
  auto cb = make_member_callback(&r, &recorder::hit);
  EXPECT_TRUE(cb->is_bound());
  cb->invoke();
  EXPECT_EQ(calls.size(), 1u);
  cb->unbind();
  EXPECT_FALSE(cb->is_bound());

  derived_object d;
  auto inherited = make_member_callback(&d, &base_with_method::on_event);
  inherited->invoke();
  EXPECT_EQ(d.hits, 1);
}

TEST(ListenerList, EmptyNotifyCallsNothing) {
  list0 list;
  EXPECT_NO_THROW(list.notify());
  EXPECT_EQ(list.size(), 0u);
}

TEST(ListenerList, CallsInOrderTwiceAddedTwiceCalledRemoveTakesBoth) {
  std::vector<std::string> calls;
  recorder a{&calls, "a"}, b{&calls, "b"};
  auto ca = make_member_callback(&a, &recorder::hit);
  auto cb = make_member_callback(&b, &recorder::hit);
  list0 list;
  list.add(ca);
  list.add(cb);
  list.add(ca);
  list.notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"a", "b", "a"}));
  EXPECT_EQ(ca.use_count(), 3u);

  calls.clear();
  list.remove(ca);
  EXPECT_EQ(ca.use_count(), 1u);
  list.notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"b"}));

  // A handle whose object is not listed changes nothing.
  recorder c{&calls, "c"};
  list.remove(make_member_callback(&c, &recorder::hit));
  EXPECT_EQ(list.size(), 1u);
}

TEST(ListenerList, TwoArgumentListPassesItsValues) {
  std::vector<std::string> calls;
  recorder a{&calls, "a"};
  listener_list<int &, std::string &> list;
  list.add(make_member_callback(&a, &recorder::pair));
  int n = 7;
  std::string s = "x";
  list.notify(n, s);
  EXPECT_EQ(calls, (std::vector<std::string>{"a:7x"}));
}

TEST(ListenerList, UnboundAndEmptyEntriesAreSkipped) {
  std::vector<std::string> calls;
  recorder a{&calls, "a"}, b{&calls, "b"};
  auto ca = make_member_callback(&a, &recorder::hit);
  list0 list;
  list.add(ca);
  list.add(list0::handle_type());
  list.add(make_member_callback(&b, &recorder::hit));
  ca->unbind();
  list.notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"b"}));
  EXPECT_EQ(list.size(), 3u);
}

namespace {
struct thrower {
  int calls = 0;
  void fail() {
    ++calls;
    throw std::runtime_error("callback failed");
  }
};
} // namespace

TEST(ListenerList, ExceptionEndsTheWalkAndFreesTheLock) {
  std::vector<std::string> calls;
  recorder a{&calls, "a"}, b{&calls, "b"};
  thrower t;
  list0 list;
  list.add(make_member_callback(&a, &recorder::hit));
  list.add(make_member_callback(&t, &thrower::fail));
  list.add(make_member_callback(&b, &recorder::hit));
  EXPECT_THROW(list.notify(), std::runtime_error);
  EXPECT_EQ(calls, (std::vector<std::string>{"a"}));

  // The lock is free for another thread.
  struct ctx {
    list0 *list;
    recorder *rec;
  } c{&list, &b};
  HANDLE other = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto *c = static_cast<ctx *>(p);
        c->list->add(make_member_callback(c->rec, &recorder::hit));
        return 0;
      },
      &c, 0, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(WaitForSingleObject(other, 10000), WAIT_OBJECT_0);
  CloseHandle(other);
  EXPECT_EQ(list.size(), 4u);
}

namespace {
// Adds a newcomer, notifies the same list again from inside the walk, and removes entries.
struct reentrant {
  list0 *list = nullptr;
  std::vector<std::string> *calls = nullptr;
  list0::handle_type self;
  list0::handle_type victim;
  list0::handle_type newcomer;
  int depth = 0;

  void add_one() {
    calls->push_back("adder");
    list->remove(self);
    list->add(newcomer);
  }
  void nest() {
    calls->push_back("nest" + std::to_string(depth));
    if (depth++ == 0)
      list->notify();
  }
  void remove_victim_and_self() {
    // After this the list holds the only reference to the callback that is running.
    list0::handle_type mine;
    mine.swap(self);
    list->remove(victim);
    list->remove(mine);
    mine.reset();
    calls->push_back("remover");
  }
};
} // namespace

TEST(ListenerList, CallbackAddingDuringNotifyIsCalledInTheSameWalk) {
  std::vector<std::string> calls;
  recorder late{&calls, "late"};
  list0 list;
  reentrant r;
  r.list = &list;
  r.calls = &calls;
  r.self = make_member_callback(&r, &reentrant::add_one);
  r.newcomer = make_member_callback(&late, &recorder::hit);
  list.add(r.self);
  list.notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"adder", "late"}));
  calls.clear();
  list.notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"late"}));
}

TEST(ListenerList, NestedNotifyRunsTheWholeListAgain) {
  std::vector<std::string> calls;
  recorder tail{&calls, "tail"};
  list0 list;
  reentrant r;
  r.list = &list;
  r.calls = &calls;
  list.add(make_member_callback(&r, &reentrant::nest));
  list.add(make_member_callback(&tail, &recorder::hit));
  list.notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"nest0", "nest1", "tail", "tail"}));
}

TEST(ListenerList, RemoveDuringNotifyIsSafe) {
  std::vector<std::string> calls;
  recorder before{&calls, "before"}, victim{&calls, "victim"}, after{&calls, "after"};
  list0 list;
  reentrant r;
  r.list = &list;
  r.calls = &calls;
  // A callback removes itself and a later entry (listed twice) while the walk runs.
  list.add(make_member_callback(&before, &recorder::hit));
  {
    auto self = make_member_callback(&r, &reentrant::remove_victim_and_self);
    auto v = make_member_callback(&victim, &recorder::hit);
    list.add(self);
    list.add(v);
    r.self = self;
    r.victim = v;
  }
  list.add(make_member_callback(&after, &recorder::hit));
  list.add(r.victim);
  list.notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"before", "remover", "after"}));
  EXPECT_EQ(list.size(), 2u);
  calls.clear();
  list.notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"before", "after"}));
  EXPECT_EQ(r.victim.use_count(), 1u);
}
