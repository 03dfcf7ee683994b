#include <w32cpp/handle.h>

#include <gtest/gtest.h>

using namespace w32cpp;

// A thing whose counter hands out an empty counter that is already at zero, as a counter that a
// stray release took to zero would be.
struct zero_probe {};

namespace w32cpp {
template <> class use_count_base_impl<zero_probe *, checked_deleter<zero_probe>> : public use_count_base {
public:
  explicit use_count_base_impl(zero_probe *p) : use_count_base(1), object(p) {}
  use_count_base *make_empty() const override { return made = new use_count_base(0); }
  static inline use_count_base *made = nullptr;

protected:
  void dispose() override { delete object; }

private:
  zero_probe *object;
};
} // namespace w32cpp

namespace {

struct tracked {
  explicit tracked(int *deaths) : deaths(deaths) {}
  virtual ~tracked() { ++*deaths; }
  int *deaths;
};

struct tracked_child : tracked {
  using tracked::tracked;
  int extra[8] = {};
};

// No virtual destructor: the counter must still delete the type it was given.
struct plain_base {
  int value = 1;
};
struct plain_derived : plain_base {
  explicit plain_derived(int *deaths) : deaths(deaths) {}
  ~plain_derived() { ++*deaths; }
  int *deaths;
  char payload[64] = {};
};

} // namespace

TEST(AutoHandle, EmptyHandlesOwnACounter) {
  auto_handle<tracked> a;
  auto_handle<tracked> b(static_cast<tracked *>(nullptr));
  EXPECT_FALSE(a);
  EXPECT_FALSE(b);
  EXPECT_EQ(a.use_count(), 1u);
  EXPECT_EQ(b.use_count(), 1u);
  EXPECT_TRUE(a.unique());
}

TEST(AutoHandle, LastCopyDeletesOnce) {
  int deaths = 0;
  auto *first = new auto_handle<tracked>(new tracked(&deaths));
  auto_handle<tracked> copy(*first);
  EXPECT_EQ(copy.use_count(), 2u);
  EXPECT_FALSE(copy.unique());
  delete first;
  EXPECT_EQ(deaths, 0);
  EXPECT_TRUE(copy.unique());
  copy.reset();
  EXPECT_EQ(deaths, 1);
  EXPECT_FALSE(copy);
}

TEST(AutoHandle, SelfAssignmentAndAssignment) {
  int deaths = 0;
  auto_handle<tracked> a(new tracked(&deaths));
  tracked *object = a.get();
  auto &alias = a;
  a = alias;
  EXPECT_EQ(a.get(), object);
  EXPECT_EQ(a.use_count(), 1u);

  auto_handle<tracked> b(new tracked(&deaths));
  b = a; // b's own object goes
  EXPECT_EQ(deaths, 1);
  EXPECT_EQ(a.use_count(), 2u);
  EXPECT_TRUE(a == b);
}

TEST(AutoHandle, ResetOnSharedOnlyLowersCount) {
  int deaths = 0;
  auto_handle<tracked> a(new tracked(&deaths));
  auto_handle<tracked> b(a);
  b.reset();
  EXPECT_EQ(deaths, 0);
  EXPECT_EQ(a.use_count(), 1u);
  a.reset(new tracked(&deaths));
  EXPECT_EQ(deaths, 1);
  EXPECT_TRUE(a);
}

TEST(AutoHandle, DeletesTheTypeItWasGiven) {
  int deaths = 0;
  {
    auto_handle<plain_base> h(new plain_derived(&deaths));
    auto_handle<plain_base> copy(h);
    EXPECT_EQ(copy->value, 1);
  }
  EXPECT_EQ(deaths, 1); // and ASan sees no size mismatch
  {
    auto_handle<tracked_child> child(new tracked_child(&deaths));
    auto_handle<tracked> base(child);
    EXPECT_EQ(base.use_count(), 2u);
    EXPECT_EQ(base.get(), child.get());
  }
  EXPECT_EQ(deaths, 2);
}

TEST(AutoHandle, ResetByOwnerEmptiesAndDestroys) {
  int deaths = 0;
  auto_handle<tracked> a(new tracked(&deaths));
  a.reset_by_owner();
  EXPECT_EQ(deaths, 1);
  EXPECT_FALSE(a);
  EXPECT_EQ(a.use_count(), 1u);
}

TEST(UseCount, TakingAZeroCountThrows) {
  use_count_base *counter = new use_count_base(0);
  EXPECT_THROW(counter->add_ref(), use_count_base_is_zero);
  EXPECT_EQ(counter->use_count(), 0u);
  // The lock was left: the counter is still usable from here.
  EXPECT_THROW(counter->add_ref(), use_count_base_is_zero);
  delete counter;
}

TEST(UseCount, ReleaseBelowZeroIsCaughtNotWrapped) {
  use_count_base *counter = new use_count_base(0);
  try {
    counter->release();
    FAIL() << "release of a zero count went through";
  } catch (const use_count_base_is_zero &e) {
    EXPECT_STREQ(e.what(), "use_count_base_is_zero");
  }
  EXPECT_EQ(counter->use_count(), 0u);
  delete counter;
}

// The release in a handle's destructor meets a count that is already zero: the destructor cannot
// throw, so it must not end the process either; the count stays at zero.
TEST(UseCount, ReleaseBelowZeroInAHandlesDestructorDoesNotEndTheProcess) {
  using probe_counter = use_count_base_impl<zero_probe *, checked_deleter<zero_probe>>;
  {
    auto_handle<zero_probe> h(new zero_probe);
    h.reset_by_owner(); // h now holds a counter at zero
    ASSERT_NE(probe_counter::made, nullptr);
    EXPECT_EQ(h.use_count(), 0u);
  }
  EXPECT_EQ(probe_counter::made->use_count(), 0u);
  EXPECT_THROW(probe_counter::made->release(), use_count_base_is_zero); // the throwing form still throws
  delete probe_counter::made;
}
