// Collects endpoint completion callbacks; the context of each queued transfer is a Recorder.
#ifndef LINTRA_TESTS_RECORDER_H
#define LINTRA_TESTS_RECORDER_H

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace lintra_test {

struct Completion {
    ULONGLONG number;
    DWORD total;
    DWORD status;
};

class Recorder {
public:
    static void callback(void* context, DWORD low, DWORD high, DWORD total, DWORD status) {
        Recorder* self = static_cast<Recorder*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->done_.push_back({ULONGLONG(low) | (ULONGLONG(high) << 32), total, status});
        self->cv_.notify_all();
    }

    // Waits until at least n completions arrived; false after the time-out.
    bool wait(size_t n, int timeout_ms = 20000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done_.size() >= n; });
    }
    std::vector<Completion> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return done_;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return done_.size();
    }
    Completion at(size_t i) {
        std::lock_guard<std::mutex> lock(mutex_);
        return done_.at(i);
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Completion> done_;
};

}  // namespace lintra_test

#endif
