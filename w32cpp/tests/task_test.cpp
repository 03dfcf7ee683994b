#include <w32cpp/task.h>

#include <standin/clock.h>
#include <standin/thread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "thread_helpers.h"
#include "zephtest/wait.h"

using namespace w32cpp;

namespace {

// True once cond holds, within a deadline.
template <class F> bool eventually(F cond) { return zephtest::wait_until(cond); }

// Records events from any thread.
struct journal {
  std::mutex m;
  std::vector<std::string> lines;
  void add(const std::string &s) {
    std::lock_guard<std::mutex> g(m);
    lines.push_back(s);
  }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> g(m);
    return lines;
  }
};

// A task whose steps count, and which can end itself or block.
class counting_task : public task {
public:
  counting_task(DWORD period = 0, int priority = THREAD_PRIORITY_NORMAL) : task(period, priority) {}

  std::atomic<int> steps{0};
  std::atomic<int> finishes{0};
  std::atomic<DWORD> end_with{STILL_ACTIVE}; // the code the next step returns
  HANDLE gate = nullptr;                     // when set, each step waits on it, not alertably
  std::atomic<bool> in_step{false};
  std::vector<int> history;      // touched only by the task's thread
  std::vector<DWORD> step_ticks; // likewise: GetTickCount at each step

protected:
  DWORD step() override {
    in_step = true;
    if (gate)
      WaitForSingleObject(gate, zephtest::deadline_ms);
    step_ticks.push_back(GetTickCount());
    history.push_back(steps.fetch_add(1));
    in_step = false;
    return end_with.load();
  }
  void on_finish() override { finishes.fetch_add(1); }
};

using counting = task_instance<counting_task>;

class Tasks : public ::testing::Test {
protected:
  void TearDown() override { standin::clock::reset(); }
};

} // namespace

TEST_F(Tasks, StopOnNeverStartedTaskSucceeds) {
  task t;
  EXPECT_EQ(t.stop().get_code(), 0u);
  EXPECT_EQ(t.exit_code(), 0u);
  EXPECT_FALSE(t.is_valid());
}

TEST_F(Tasks, StartOnRunningTaskMakesNoSecondThread) {
  task t;
  ASSERT_EQ(t.start().get_code(), 0u);
  const DWORD id = t.id();
  const HANDLE h = t.raw_handle();
  EXPECT_NE(id, 0u);
  EXPECT_EQ(t.exit_code(), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(t.start().get_code(), 0u);
  EXPECT_EQ(t.id(), id);
  EXPECT_EQ(t.raw_handle(), h);
  EXPECT_EQ(t.stop().get_code(), 0u);
  EXPECT_EQ(t.id(), 0u);
  EXPECT_FALSE(t.is_valid());
}

TEST_F(Tasks, ThousandQuickStartStopCyclesAllEndCleanly) {
  task t;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(t.start().get_code(), 0u) << "cycle " << i;
    ASSERT_EQ(t.stop().get_code(), 0u) << "cycle " << i;
    ASSERT_EQ(t.exit_code(), 0u) << "cycle " << i;
  }
}

TEST_F(Tasks, QuickCyclesOfAPeriodicTask) {
  counting t(5000);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(t.start().get_code(), 0u) << "cycle " << i;
    ASSERT_EQ(t.stop().get_code(), 0u) << "cycle " << i;
    ASSERT_EQ(t.exit_code(), 0u) << "cycle " << i;
  }
}

TEST_F(Tasks, RestartAfterStop) {
  counting t;
  ASSERT_EQ(t.start().get_code(), 0u);
  ASSERT_TRUE(eventually([&] { return t.steps.load() >= 3; }));
  ASSERT_EQ(t.stop().get_code(), 0u);
  EXPECT_EQ(t.finishes.load(), 1);
  const int before = t.steps.load();

  ASSERT_EQ(t.start().get_code(), 0u);
  EXPECT_TRUE(eventually([&] { return t.steps.load() >= before + 3; }));
  EXPECT_EQ(t.stop().get_code(), 0u);
  EXPECT_EQ(t.finishes.load(), 2);
  EXPECT_EQ(t.exit_code(), 0u);
}

TEST_F(Tasks, StopAfterTheTaskEndedItself) {
  counting t;
  t.end_with = 0;
  ASSERT_EQ(t.start().get_code(), 0u);
  EXPECT_EQ(t.wait_for(10000).get_code(), 0u); // the thread handle is signalled at its end
  EXPECT_EQ(t.steps.load(), 1);
  EXPECT_EQ(t.finishes.load(), 1);
  EXPECT_EQ(t.exit_code(), 0u);
  EXPECT_EQ(t.stop().get_code(), 0u);
  EXPECT_EQ(t.exit_code(), 0u);

  t.end_with = 42;
  ASSERT_EQ(t.start().get_code(), 0u);
  EXPECT_EQ(t.wait_for(10000).get_code(), 0u);
  EXPECT_EQ(t.exit_code(), 42u);
  EXPECT_EQ(t.stop().get_code(), 0u);
  EXPECT_EQ(t.exit_code(), 42u);
}

TEST_F(Tasks, StepBlockedPastTheStopTimeoutIsTerminatedWithWaitTimeout) {
  HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const size_t stopped_before = standin::thread::stopped_count();
  {
    counting t;
    t.gate = gate;
    ASSERT_EQ(t.start().get_code(), 0u);
    ASSERT_TRUE(eventually([&] { return t.in_step.load(); }));
    EXPECT_EQ(t.stop().get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(t.exit_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(t.is_valid());
    EXPECT_EQ(t.id(), 0u);
    EXPECT_EQ(t.finishes.load(), 0);
  }
  // The victim never comes back from its wait.
  EXPECT_TRUE(eventually([&] { return standin::thread::stopped_count() == stopped_before + 1; }));
  SetEvent(gate);
  CloseHandle(gate);
}

// A task that says its thread must not be ended yet: the stop waits on past its second, asking
// again each second, and ends the thread once allowed (or takes its own end).
TEST_F(Tasks, StopWaitsWhileTheTaskRefusesAForcedEnd) {
  struct refusing_task : counting_task {
    std::atomic<bool> refuse{true};
    std::atomic<int> asked{0};
    bool may_end_by_force() override {
      ++asked;
      return !refuse.load();
    }
  };
  HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  {
    task_instance<refusing_task> t;
    t.gate = gate;
    ASSERT_EQ(t.start().get_code(), 0u);
    ASSERT_TRUE(eventually([&] { return t.in_step.load(); }));
    std::atomic<DWORD> stopped{WAIT_FAILED - 1};
    HANDLE stopper = w32t::run_thread([&] { stopped = t.stop().get_code(); });
    ASSERT_TRUE(eventually([&] { return t.asked.load() >= 2; }));
    EXPECT_EQ(stopped.load(), WAIT_FAILED - 1);
    // The step returns: the thread takes the stop request and ends by itself.
    SetEvent(gate);
    ASSERT_TRUE(w32t::join(stopper));
    EXPECT_EQ(stopped.load(), 0u);
    EXPECT_EQ(t.finishes.load(), 1);

    // Allowed at last: ended by force as any task.
    ResetEvent(gate);
    t.asked = 0;
    ASSERT_EQ(t.start().get_code(), 0u);
    ASSERT_TRUE(eventually([&] { return t.in_step.load(); }));
    stopper = w32t::run_thread([&] { stopped = t.stop().get_code(); });
    ASSERT_TRUE(eventually([&] { return t.asked.load() >= 1; }));
    t.refuse = false;
    ASSERT_TRUE(w32t::join(stopper));
    EXPECT_EQ(stopped.load(), static_cast<DWORD>(WAIT_TIMEOUT));
  }
  SetEvent(gate);
  CloseHandle(gate);
}

TEST_F(Tasks, IdlePriorityGoesBackToNormalOnStop) {
  task t(0, THREAD_PRIORITY_IDLE);
  struct probe {
    std::atomic<int> running{99}, finishing{99};
    void on_post() { running = GetThreadPriority(GetCurrentThread()); }
    void on_finish() { finishing = GetThreadPriority(GetCurrentThread()); }
  } p;
  t.set_finish_callback(make_member_callback(&p, &probe::on_finish));
  ASSERT_EQ(t.start().get_code(), 0u);
  ASSERT_TRUE(standin::thread::wait_until_blocked(t.raw_handle(), 10000)); // in its idle step
  ASSERT_EQ(t.post(make_member_callback(&p, &probe::on_post)).get_code(), 0u);
  ASSERT_TRUE(eventually([&] { return p.running.load() != 99; }));
  EXPECT_EQ(p.running.load(), THREAD_PRIORITY_IDLE);
  EXPECT_EQ(t.stop().get_code(), 0u);
  EXPECT_EQ(p.finishing.load(), THREAD_PRIORITY_NORMAL);
}

TEST_F(Tasks, PeriodicTaskStepsAtOnceThenByPeriod) {
  counting t(30);
  const DWORD started = GetTickCount();
  ASSERT_EQ(t.start().get_code(), 0u);
  EXPECT_TRUE(eventually([&] { return t.steps.load() >= 4; }));
  EXPECT_EQ(t.stop().get_code(), 0u);
  // The task keeps to its period: step k never comes before k periods after the start (a
  // millisecond less for the tick count's rounding), however late any step ran.
  ASSERT_GE(t.step_ticks.size(), 4u);
  for (size_t k = 1; k < t.step_ticks.size(); ++k)
    EXPECT_GE(t.step_ticks[k] - started, k * 30 - 1) << "step " << k;
}

TEST_F(Tasks, PeriodicTaskStopsWellWithinItsPeriod) {
  // A stop that waited for the next period would run into the 1000 ms limit and end with WAIT_TIMEOUT.
  counting t(60000);
  ASSERT_EQ(t.start().get_code(), 0u);
  ASSERT_TRUE(eventually([&] { return t.steps.load() == 1; }));
  ASSERT_TRUE(standin::thread::wait_until_blocked(t.raw_handle(), 10000));
  EXPECT_EQ(t.stop().get_code(), 0u);
  EXPECT_EQ(t.exit_code(), 0u);
  EXPECT_EQ(t.steps.load(), 1); // no step after the stop request
  EXPECT_EQ(t.finishes.load(), 1);
}

TEST_F(Tasks, PostedWorkRunsBeforeTheStopRequest) {
  counting t;
  journal j;
  HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  t.gate = gate;
  struct poster {
    journal *j;
    task *t;
    std::string name;
    void run() { j->add(name + (t->is_stop_requested() ? ":stopping" : ":running")); }
  } first{&j, &t, "first"}, second{&j, &t, "second"};
  ASSERT_EQ(t.start().get_code(), 0u);
  ASSERT_TRUE(eventually([&] { return t.in_step.load(); })); // blocked, nothing runs now
  ASSERT_EQ(t.post(make_member_callback(&first, &poster::run)).get_code(), 0u);
  ASSERT_EQ(t.post(make_member_callback(&second, &poster::run)).get_code(), 0u);

  // Opens the gate once the stop request is queued behind both.
  const HANDLE th = t.raw_handle();
  HANDLE opener = w32t::run_thread([&] {
    eventually([&] { return standin::thread::queued_apcs(th) == 3; });
    SetEvent(gate);
  });
  EXPECT_EQ(t.stop().get_code(), 0u);
  ASSERT_TRUE(w32t::join(opener));
  EXPECT_EQ(j.get(), (std::vector<std::string>{"first:running", "second:running"}));
  EXPECT_EQ(t.exit_code(), 0u);
  CloseHandle(gate);
}

TEST_F(Tasks, FailingPostedCallbackDoesNotEndTheTask) {
  task t;
  struct work {
    std::atomic<int> done{0};
    void fail() { throw std::runtime_error("posted work failed"); }
    void ok() { done.fetch_add(1); }
  } w;
  ASSERT_EQ(t.start().get_code(), 0u);
  ASSERT_EQ(t.post(make_member_callback(&w, &work::fail)).get_code(), 0u);
  ASSERT_EQ(t.post(make_member_callback(&w, &work::ok)).get_code(), 0u);
  EXPECT_TRUE(eventually([&] { return w.done.load() == 1; }));
  EXPECT_EQ(WaitForSingleObject(t.raw_handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(t.stop().get_code(), 0u);
}

TEST_F(Tasks, PostWithoutThreadFailsAndKeepsNothing) {
  task t;
  struct work {
    void run() {}
  } w;
  auto cb = make_member_callback(&w, &work::run);
  EXPECT_EQ(t.post(cb).get_code(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(cb.use_count(), 1u);
}

TEST_F(Tasks, StepCallbackDrivesAPlainTask) {
  task t;
  struct stepper {
    std::atomic<int> calls{0};
    void step() { calls.fetch_add(1); }
  } s;
  t.set_step_callback(make_member_callback(&s, &stepper::step));
  ASSERT_EQ(t.start().get_code(), 0u);
  EXPECT_TRUE(eventually([&] { return s.calls.load() >= 5; })); // a polling task: about 500 steps a second
  EXPECT_EQ(t.stop().get_code(), 0u);
}

TEST_F(Tasks, StopFromTheTasksOwnThreadOnlyRequestsIt) {
  class self_stopping : public task {
  public:
    std::atomic<DWORD> stop_code{0xDEADu};
    std::atomic<int> steps{0};

  protected:
    DWORD step() override {
      if (steps.fetch_add(1) == 2)
        stop_code = stop().get_code();
      return STILL_ACTIVE;
    }
  };
  task_instance<self_stopping> t;
  ASSERT_EQ(t.start().get_code(), 0u);
  EXPECT_EQ(t.wait_for(10000).get_code(), 0u);
  EXPECT_EQ(t.stop_code.load(), 0u);
  EXPECT_EQ(t.steps.load(), 3);
  EXPECT_EQ(t.exit_code(), 0u);
}

// The thread may stop itself at once, before start() has stored its handle: the request holds.
TEST_F(Tasks, StopFromTheFirstStartIsNotLost) {
  class stops_at_start : public task {
  protected:
    void on_start() override { stop(); }
  };
  for (int i = 0; i < 200; ++i) {
    task_instance<stops_at_start> t;
    ASSERT_EQ(t.start().get_code(), 0u);
    ASSERT_EQ(t.wait_for(10000).get_code(), 0u) << "cycle " << i;
  }
}

// Holds the thread that set it, at that thread's very end (its task's loop and on_finish done),
// until released.
struct linger_at_exit {
  zephtest::flag *reached = nullptr;
  zephtest::flag *release = nullptr;
  ~linger_at_exit() {
    if (!reached)
      return;
    reached->set();
    release->wait();
  }
};
thread_local linger_at_exit t_linger;

// A task that, once its loop has ended, holds its thread until released: in on_finish, or at the
// thread's very end (loop and on_finish done).
class lingering : public counting_task {
public:
  explicit lingering(bool in_finish) : in_finish(in_finish) {}
  zephtest::flag reached, release;

protected:
  void on_finish() override {
    counting_task::on_finish();
    if (in_finish) {
      reached.set();
      release.wait();
    } else {
      t_linger.reached = &reached;
      t_linger.release = &release;
    }
  }

private:
  const bool in_finish;
};

// A start from another thread while the task's thread is held there waits for it and starts a new
// one: the start is not lost (as it was when taken for "already running").
void start_while_leaving(task_instance<lingering> &t) {
  t.end_with = 0;
  ASSERT_EQ(t.start().get_code(), 0u);
  ASSERT_TRUE(t.reached.wait());
  struct starter_args {
    task *t;
    std::atomic<DWORD> started{WAIT_FAILED};
  } a{&t};
  HANDLE starter = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto *a = static_cast<starter_args *>(p);
        a->started = a->t->start().get_code();
        return 0;
      },
      &a, 0, nullptr);
  ASSERT_NE(starter, nullptr);
  // The start waits for the leaving thread (or, as before, returned at once without a thread).
  standin::thread::wait_until_blocked(starter, zephtest::deadline_ms);
  t.release.set();
  EXPECT_EQ(WaitForSingleObject(starter, zephtest::deadline_ms), WAIT_OBJECT_0);
  CloseHandle(starter);
  EXPECT_EQ(a.started.load(), 0u);
  EXPECT_TRUE(eventually([&] { return t.steps.load() == 2 && t.finishes.load() == 2; }));
  EXPECT_EQ(t.wait_for(zephtest::deadline_ms).get_code(), 0u);
  EXPECT_EQ(t.stop().get_code(), 0u);
}

TEST_F(Tasks, StartWhileTheLastThreadIsLeavingIsNotLost) {
  task_instance<lingering> t(false);
  start_while_leaving(t);
}

TEST_F(Tasks, StartWhileOnFinishRunsIsNotLost) {
  task_instance<lingering> t(true);
  start_while_leaving(t);
}

TEST_F(Tasks, StopResumesASuspendedThread) {
  counting t;
  ASSERT_EQ(t.start().get_code(), 0u);
  ASSERT_TRUE(eventually([&] { return t.steps.load() >= 1; }));
  ASSERT_NE(SuspendThread(t.raw_handle()), 0xFFFFFFFFu);
  ASSERT_NE(SuspendThread(t.raw_handle()), 0xFFFFFFFFu);
  EXPECT_EQ(t.stop().get_code(), 0u);
  EXPECT_EQ(t.exit_code(), 0u);
}

TEST_F(Tasks, DerivedTaskMustBeATaskInstance) {
  counting_task bare;
  EXPECT_EQ(bare.start().get_code(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_FALSE(bare.is_valid());
}

TEST_F(Tasks, DestroyingARunningDerivedTaskStopsItBeforeItsMembersGo) {
  for (int i = 0; i < 20; ++i) {
    auto *t = new counting();
    ASSERT_EQ(t->start().get_code(), 0u);
    ASSERT_TRUE(eventually([&] { return t->steps.load() >= 2; }));
    delete t; // step() keeps writing `history` until the thread is gone
  }
}

TEST_F(Tasks, PostsFromOtherThreadsWhileTheOwnerStartsAndStops) {
  task t;
  struct work {
    std::atomic<int> ran{0};
    void run() { ran.fetch_add(1); }
  } w;
  auto cb = make_member_callback(&w, &work::run);
  std::atomic<bool> done{false};
  std::atomic<int> accepted{0};
  std::vector<HANDLE> posters;
  for (int i = 0; i < 3; ++i) {
    posters.push_back(w32t::run_thread([&] {
      while (!done.load()) {
        if (t.post(cb).succeeded())
          accepted.fetch_add(1);
        // Paced: an alertable wait drains every APC, also those queued meanwhile, so an endless
        // burst would keep the task in its last sleep.
        Sleep(1);
      }
    }));
  }
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(t.start().get_code(), 0u);
    Sleep(1);
    const DWORD stopped = t.stop().get_code();
    EXPECT_EQ(stopped, 0u) << "cycle " << i;
    if (stopped != 0)
      break;
  }
  done = true;
  for (HANDLE p : posters)
    ASSERT_TRUE(w32t::join(p));
  // Work accepted while a thread ran either ran or was dropped with that thread, never twice.
  EXPECT_LE(w.ran.load(), accepted.load());
  EXPECT_GT(w.ran.load(), 0);
  EXPECT_EQ(cb.use_count(), 1u); // no posted copy is left behind
}
