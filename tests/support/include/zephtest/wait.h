// Bounded waits for tests: every wait in a test has a deadline, so a fault fails the case instead of
// hanging the pass.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
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
        { std::lock_guard<std::mutex> g(m_); set_ = true; }
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

}  // namespace zephtest
