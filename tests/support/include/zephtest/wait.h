// Bounded waits for tests: every wait in a test has a deadline, so a fault fails the case instead of
// hanging the pass.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <source_location>
#include <thread>

namespace zephtest {

// The longest a test waits for anything that should happen "soon". Generous for sanitizer builds on
// a loaded machine, far below the per-case CTest time-out.
inline constexpr std::chrono::milliseconds default_deadline{20000};
// The same deadline for the platform's own waits (milliseconds, as a DWORD time-out).
inline constexpr unsigned long deadline_ms = 20000;

// Polls pred until it holds or the deadline passes; returns pred's last value.
template <class Pred>
bool wait_until(Pred&& pred, std::chrono::milliseconds deadline = default_deadline,
                std::chrono::milliseconds step = std::chrono::milliseconds(1)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(step);
    }
}

// Waits on a condition variable with a deadline; lock must be held.
template <class Pred>
bool wait_on(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Pred&& pred,
             std::chrono::milliseconds deadline = default_deadline) {
    return cv.wait_for(lock, deadline, std::forward<Pred>(pred));
}

// A latch a callback sets and a test waits on, with a deadline.
class flag {
public:
    void set() {
        {
            std::lock_guard<std::mutex> g(m_);
            set_ = true;
        }
        cv_.notify_all();
    }
    bool wait(std::chrono::milliseconds deadline = default_deadline) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, deadline, [&] { return set_; });
    }
    bool is_set() const {
        std::lock_guard<std::mutex> g(m_);
        return set_;
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool set_ = false;
};

// Runs `rescue` once, on a thread of its own, unless disarmed (or destroyed) within the deadline:
// for a wait the test keeps without a time-out of its own (INFINITE where that is what it checks, a
// modal loop, a join), the rescue fails the case and ends that wait.
class watchdog {
public:
    template <class F>
    explicit watchdog(F rescue, std::chrono::milliseconds deadline = default_deadline)
        : thread_([this, rescue = std::move(rescue), deadline]() mutable {
              std::unique_lock<std::mutex> l(m_);
              if (cv_.wait_for(l, deadline, [&] { return disarmed_; })) return;
              fired_ = true;
              l.unlock();
              rescue();
          }) {}
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;
    ~watchdog() { disarm(); }
    // Ends the watch (after a rescue that is running); true when no rescue was needed.
    bool disarm() {
        {
            std::lock_guard<std::mutex> g(m_);
            disarmed_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
        return !fired_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool disarmed_ = false;
    bool fired_ = false;
    std::thread thread_;  // last: starts once the rest is there
};

// For a wait the case cannot walk away from (a thread or a request still using its objects): fails
// the case by ending the process, with the waiting line.
[[noreturn]] inline void give_up(const char* what, std::chrono::milliseconds deadline = default_deadline,
                                 std::source_location at = std::source_location::current()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%u: Failure\n%s did not end within %lld ms\n", at.file_name(), unsigned(at.line()), what,
                 static_cast<long long>(deadline.count()));
    std::fflush(stderr);
    std::_Exit(1);
}

// Joins t within the deadline (see give_up).
inline void join(std::thread& t, std::chrono::milliseconds deadline = default_deadline,
                 std::source_location at = std::source_location::current()) {
    watchdog dog([&] { give_up("a thread", deadline, at); }, deadline);
    t.join();
}
inline void join(std::thread&& t, std::chrono::milliseconds deadline = default_deadline,
                 std::source_location at = std::source_location::current()) {
    join(t, deadline, at);
}

}  // namespace zephtest
