// A request that completes when its test (or its fake transport) says so.
#ifndef KARNET_TESTS_FAKE_ASSYNC_H
#define KARNET_TESTS_FAKE_ASSYNC_H

#include <windows.h>

#include <atomic>
#include <cstdint>

#include <w32cpp/waitable.h>

#include <karnet/io_assync.h>

#include "zephtest/wait.h"

namespace karnet_test {

class fake_assync : public karnet::io_assync {
 public:
  w32cpp::status_wait wait(DWORD milliseconds, BOOL alertable) override { return signal_.wait(milliseconds, alertable); }
  w32cpp::status_wait poll() override { return signal_.wait(0, FALSE); }
  w32cpp::status_wait wait_for(DWORD milliseconds) override { return signal_.wait_for(milliseconds); }
  bool is_valid() override { return signal_.is_valid(); }
  w32cpp::status_wait result(bool wait) override {
    if (wait) signal_.wait(zephtest::deadline_ms, FALSE);
    return w32cpp::status_wait(status_.load());
  }
  bool done() override { return status_.load() != ERROR_IO_PENDING; }
  uint32_t bytes() override { return bytes_.load(); }

  void complete(DWORD status, uint32_t bytes) {
    bytes_ = bytes;
    status_ = status;
    signal_.set();
  }

 private:
  std::atomic<DWORD> status_{ERROR_IO_PENDING};
  std::atomic<uint32_t> bytes_{0};
  w32cpp::waitable_signal signal_{FALSE};
};

}  // namespace karnet_test

#endif
