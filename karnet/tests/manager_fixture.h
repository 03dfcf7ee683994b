// The device manager as its clients reach it (karnet8 loaded by name), with two scripted transports.
#ifndef KARNET_TESTS_MANAGER_FIXTURE_H
#define KARNET_TESTS_MANAGER_FIXTURE_H

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include <karnet/iapi.h>

#include "fake_protocol.h"

namespace karnet_test {

// Interface classes of the tests; Data1 with bit 31 set checks the unsigned order too.
inline const GUID class_a = {0x9A000001u, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
inline const GUID class_b = {0x1B000002u, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
inline const GUID class_c = {0x9A000001u, 0x0002, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

inline std::vector<std::string> names(const karnet::interface_list& list) {
  std::vector<std::string> out;
  for (const auto& d : list) out.push_back(d.name());
  return out;
}

// Counts (protocol, class) notices of the manager's lists.
struct notice_counter {
  void seen(karnet::protocol_handle&, karnet::guid&) { ++count; }
  std::atomic<int> count{0};
};

// Counts no-argument notices.
struct plain_counter {
  void seen() { ++count; }
  std::atomic<int> count{0};
};

// A heap whose frees can be waited for: shows when the manager lets a buffer go.
class watched_heap : public ostrel::iheap {
 public:
  watched_heap() : freed_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~watched_heap() override { CloseHandle(freed_event_); }
  void* alloc(uint32_t size, bool) override { return ::operator new(size); }
  void free(void* pointer, uint32_t) override {
    ::operator delete(pointer);
    if (++frees == expected.load()) SetEvent(freed_event_);
  }
  // True once `n` blocks in all were freed, within the time-out.
  bool wait_frees(int n, DWORD milliseconds = 10000) {
    ResetEvent(freed_event_);
    expected = n;
    if (frees.load() >= n) return true;
    return WaitForSingleObject(freed_event_, milliseconds) == WAIT_OBJECT_0 || frees.load() >= n;
  }
  std::atomic<int> frees{0};
  std::atomic<int> expected{-1};

 private:
  HANDLE freed_event_;
};

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib) << "karnet8 did not load";
    usb = fake_protocol::make(usb_holder);
    serial = fake_protocol::make(serial_holder);
  }
  void TearDown() override {
    usb->stop();
    serial->stop();
  }

  karnet::iapi& manager() { return *lib.get(); }

  karnet::karnet_lib lib;
  karnet::protocol_handle usb_holder;
  karnet::protocol_handle serial_holder;
  fake_protocol* usb = nullptr;
  fake_protocol* serial = nullptr;
};

}  // namespace karnet_test

#endif
