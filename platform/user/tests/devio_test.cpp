// Device I/O from user mode: the test driver is loaded like a .sys for a device on the root bus and used
// through CreateFileA, DeviceIoControl, ReadFile, WriteFile, OVERLAPPED, GetOverlappedResult and CancelIo.
#include "zephtest/overlapped.h"
#include "zephtest/wait.h"
#include <windows.h>

#include <gtest/gtest.h>
#include <standin/kernel.h>
#include <zephtest/kernel.h>
#include <standin/pnp.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <cstdlib>
#include <thread>

#include "testdrv.h"

namespace {

namespace sk = standin::kernel;
namespace sp = standin::pnp;

class DevIo : public ::testing::Test {
 protected:
  void SetUp() override {
    zephtest::forget_violations();
    sp::install_driver("WbTest", WB_TESTDRV_PATH, {"WBTEST\\DEV"});
    instance = sp::add_root_device("WBTEST\\DEV", std::to_string(++serial));
    ASSERT_TRUE(sp::settle());
    ASSERT_EQ(sp::device_state(instance), "started");
    h = open(true);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    CloseHandle(ev);
    if (sp::device_state(instance) != "absent") sp::remove_device(instance, false);
    EXPECT_TRUE(sp::settle());
    zephtest::expect_no_violations();
  }

  HANDLE open(bool overlapped) {
    return CreateFileA("\\\\.\\WbTest0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }
  OVERLAPPED fresh() {
    OVERLAPPED o{};
    o.hEvent = ev;
    return o;
  }
  td_stats stats(HANDLE on) {
    td_stats s{};
    DWORD n = 0;
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED o{};
    o.hEvent = e;
    if (!DeviceIoControl(on, IOCTL_TD_STATS, nullptr, 0, &s, sizeof s, &n, &o)) zephtest::finish(on, o, &n);
    CloseHandle(e);
    return s;
  }
  bool release(DWORD status) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED o{};
    o.hEvent = e;
    DWORD n = 0, count = 0;
    BOOL ok = DeviceIoControl(h, IOCTL_TD_RELEASE, &status, 4, &count, 4, &n, &o);
    CloseHandle(e);
    return ok && count > 0;
  }

  static inline int serial = 0;
  std::string instance;
  HANDLE h = INVALID_HANDLE_VALUE;
  HANDLE ev = nullptr;
};

TEST_F(DevIo, ImmediateCompletionReturnsTrueWithTheBytes) {
  OVERLAPPED o = fresh();
  char in[5] = {'h', 'e', 'l', 'l', 'o'}, out[16] = {};
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_TD_ECHO, in, 5, out, sizeof out, &n, &o)) << GetLastError();
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(out, 5), "hello");
  EXPECT_EQ(o.Internal, 0u);
  EXPECT_EQ(o.InternalHigh, 5u);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  // A failure at once: FALSE with the mapped code.
  o = fresh();
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_TD_FAIL, nullptr, 0, nullptr, 0, &n, &o));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CRC);
  EXPECT_EQ(o.Internal, 0xC000009Cu);
}

TEST_F(DevIo, PendingRequestReportsIoPendingThenCompletes) {
  OVERLAPPED o = fresh();
  char out[8] = {};
  DWORD n = 77;
  ASSERT_FALSE(DeviceIoControl(h, IOCTL_TD_PARK, nullptr, 0, out, sizeof out, &n, &o));
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  EXPECT_EQ(o.Internal, 0x103u);  // already STATUS_PENDING when the call returns
  EXPECT_FALSE(HasOverlappedIoCompleted(&o));
  EXPECT_FALSE(GetOverlappedResult(h, &o, &n, FALSE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
  EXPECT_EQ(WaitForSingleObject(ev, 0), (DWORD)WAIT_TIMEOUT);
  ASSERT_TRUE(release(0));
  ASSERT_TRUE(zephtest::finish(h, o, &n));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ((unsigned char)out[7], 0xABu);
  EXPECT_TRUE(HasOverlappedIoCompleted(&o));
}

// A driver that keeps a request but returns a final status breaks a rule: the call returns at once
// with that status and the request is abandoned, so its later completion writes nothing the caller
// has (its buffer, its OVERLAPPED) and reaches no wait that is gone.
TEST_F(DevIo, RequestKeptWithoutPendingIsAbandoned) {
  HANDLE s = open(false);
  ASSERT_NE(s, INVALID_HANDLE_VALUE);
  unsigned char out[8] = {}, out_ov[8] = {};
  DWORD n = 77;
  EXPECT_FALSE(DeviceIoControl(s, IOCTL_TD_PARK_NOT_PENDING, nullptr, 0, out, sizeof out, &n, nullptr));
  EXPECT_EQ(n, 0u);
  OVERLAPPED o = fresh();
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_TD_PARK_NOT_PENDING, nullptr, 0, out_ov, sizeof out_ov, &n, &o));
  EXPECT_NE(GetLastError(), (DWORD)ERROR_IO_PENDING);
  EXPECT_TRUE(HasOverlappedIoCompleted(&o));
  auto v = sk::take_violations();
  EXPECT_EQ(std::count_if(v.begin(), v.end(),
                          [](const std::string &m) { return m.find("without completing the IRP") != m.npos; }),
            2)
      << zephtest::joined(v);
  ResetEvent(ev);
  ASSERT_TRUE(release(0));  // completes both with their buffers filled with 0xAB
  EXPECT_EQ(out[0], 0u);
  EXPECT_EQ(out_ov[0], 0u);
  EXPECT_EQ(o.InternalHigh, 0u);
  EXPECT_EQ(WaitForSingleObject(ev, 0), (DWORD)WAIT_TIMEOUT);
  EXPECT_EQ(stats(h).parked, 0u);
  CloseHandle(s);
}

TEST_F(DevIo, CompletionFromADpcCarriesStatusAndBytes) {
  struct {
    DWORD status, count;
  } in{0, 6};
  unsigned char out[10] = {};
  OVERLAPPED o = fresh();
  DWORD n = 0;
  if (!DeviceIoControl(h, IOCTL_TD_COMPLETE_DPC, &in, sizeof in, out, sizeof out, &n, &o)) {
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(zephtest::finish(h, o, &n));
  }
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(out[5], 0x5Au);
  EXPECT_EQ(out[6], 0u);  // only Information bytes come back
  in = {0xC00000B5, 0};   // a device time-out
  o = fresh();
  if (!DeviceIoControl(h, IOCTL_TD_COMPLETE_DPC, &in, sizeof in, out, sizeof out, &n, &o)) {
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
  }
  EXPECT_FALSE(zephtest::finish(h, o, &n));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SEM_TIMEOUT);
}

TEST_F(DevIo, GetOverlappedResultWaitsOnTheHandleWhenThereIsNoEvent) {
  OVERLAPPED o{};
  DWORD n = 0;
  char out[4];
  ASSERT_FALSE(DeviceIoControl(h, IOCTL_TD_PARK, nullptr, 0, out, 4, &n, &o));
  std::thread t([&] { release(0); });
  {
    // The wait without limit is what is checked here: a request that is not released is cancelled.
    zephtest::watchdog dog([&] {
      ADD_FAILURE() << "GetOverlappedResult did not return";
      CancelIoEx(h, &o);
    });
    EXPECT_TRUE(GetOverlappedResult(h, &o, &n, TRUE));
  }
  zephtest::join(t);
  EXPECT_EQ(n, 4u);
}

TEST_F(DevIo, CancelIoCancelsOnlyTheCallingThreadsRequests) {
  OVERLAPPED o = fresh();
  DWORD n = 0;
  ASSERT_FALSE(DeviceIoControl(h, IOCTL_TD_PARK, nullptr, 0, nullptr, 0, &n, &o));
  std::thread other([&] { EXPECT_TRUE(CancelIo(h)); });
  zephtest::join(other);
  EXPECT_FALSE(GetOverlappedResult(h, &o, &n, FALSE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
  EXPECT_TRUE(CancelIo(h));
  EXPECT_FALSE(zephtest::finish(h, o, &n));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
  EXPECT_EQ(stats(h).cancelled, 1u);
  // A request issued by another thread is cancelled by that thread's CancelIo.
  OVERLAPPED o2 = fresh();
  std::thread issuer([&] {
    DWORD m = 0;
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_TD_PARK, nullptr, 0, nullptr, 0, &m, &o2));
    EXPECT_TRUE(CancelIo(h));
  });
  zephtest::join(issuer);
  EXPECT_FALSE(zephtest::finish(h, o2, &n));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIo(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(DevIo, CancelIoExCancelsTheNamedRequestFromAnyThread) {
  OVERLAPPED a = fresh(), b = fresh();
  DWORD n = 0;
  ASSERT_FALSE(DeviceIoControl(h, IOCTL_TD_PARK, nullptr, 0, nullptr, 0, &n, &a));
  ASSERT_FALSE(DeviceIoControl(h, IOCTL_TD_PARK, nullptr, 0, nullptr, 0, &n, &b));
  std::thread other([&] { EXPECT_TRUE(CancelIoEx(h, &a)); });
  zephtest::join(other);
  EXPECT_FALSE(zephtest::finish(h, a, &n));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(GetOverlappedResult(h, &b, &n, FALSE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
  // Null: every request of the handle, whoever issued it.
  std::thread all([&] { EXPECT_TRUE(CancelIoEx(h, nullptr)); });
  zephtest::join(all);
  EXPECT_FALSE(zephtest::finish(h, b, &n));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIoEx(h, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
  EXPECT_FALSE(CancelIoEx(h, &a));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
  EXPECT_FALSE(CancelIoEx(INVALID_HANDLE_VALUE, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_EQ(stats(h).cancelled, 2u);
}

TEST_F(DevIo, CancelRacesWithCompletion) {
  for (int i = 0; i < 100; ++i) {
    OVERLAPPED o = fresh();
    DWORD n = 0;
    ASSERT_FALSE(DeviceIoControl(h, IOCTL_TD_PARK, nullptr, 0, nullptr, 0, &n, &o));
    std::thread t([&] { release(0); });
    CancelIo(h);
    zephtest::join(t);
    BOOL ok = zephtest::finish(h, o, &n);
    EXPECT_TRUE(ok || GetLastError() == ERROR_OPERATION_ABORTED);
  }
  EXPECT_EQ(stats(h).parked, 0u);
}

TEST_F(DevIo, CloseWithIoPendingCleansUpAndCloses) {
  OVERLAPPED o = fresh();
  DWORD n = 0;
  ASSERT_FALSE(DeviceIoControl(h, IOCTL_TD_PARK, nullptr, 0, nullptr, 0, &n, &o));
  HANDLE second = open(true);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  h = INVALID_HANDLE_VALUE;
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(o.Internal, 0xC0000120u);  // cancelled by the driver's cleanup
  td_stats s = stats(second);
  EXPECT_EQ(s.opens, 2u);
  EXPECT_EQ(s.cleanups, 1u);
  EXPECT_EQ(s.closes, 1u);
  h = second;
}

TEST_F(DevIo, RefusedOpenGivesTheMappedError) {
  LONG refuse = 1;
  DWORD n;
  OVERLAPPED o = fresh();
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_TD_REFUSE_OPENS, &refuse, 4, nullptr, 0, &n, &o));
  EXPECT_EQ(open(true), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateFileA("\\\\.\\NoSuchLink", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(DevIo, DirectAndBufferedTransfersOnASynchronousHandle) {
  HANDLE s = open(false);
  ASSERT_NE(s, INVALID_HANDLE_VALUE);
  const char msg[] = "direct i/o";
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(s, msg, sizeof msg, &n, nullptr));
  EXPECT_EQ(n, sizeof msg);
  char back[32] = {};
  ASSERT_TRUE(ReadFile(s, back, sizeof back, &n, nullptr));
  EXPECT_EQ(n, sizeof msg);
  EXPECT_STREQ(back, msg);
  unsigned char out[300];
  ASSERT_TRUE(DeviceIoControl(s, IOCTL_TD_DIRECT_OUT, nullptr, 0, out, sizeof out, &n, nullptr));
  EXPECT_EQ(n, 300u);
  EXPECT_EQ(out[299], (unsigned char)299);
  // A synchronous handle waits for a request that the driver pends.
  struct {
    DWORD status, count;
  } in{0, 3};
  char small[3];
  ASSERT_TRUE(DeviceIoControl(s, IOCTL_TD_COMPLETE_DPC, &in, sizeof in, small, 3, &n, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_FALSE(DeviceIoControl(s, IOCTL_TD_FAIL, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CRC);
  CloseHandle(s);
}

TEST_F(DevIo, CloseWhileAnotherThreadIssuesRequests) {
  // The last CloseHandle may run while another thread is already inside a call on the handle: that call
  // must keep the file object until it is done (no use after free), and every file still gets its close.
  for (int i = 0; i < 40; ++i) {
    HANDLE s = open(false);
    ASSERT_NE(s, INVALID_HANDLE_VALUE);
    std::atomic<bool> go{false};
    std::thread t([&] {
      char b[4] = {1, 2, 3, 4};
      DWORD n = 0;
      EXPECT_TRUE(
          zephtest::wait_until([&] { return go.load(); }, zephtest::default_deadline, std::chrono::milliseconds(0)));
      for (int k = 0; k < 100; ++k)
        if (!DeviceIoControl(s, IOCTL_TD_ECHO, b, 4, b, 4, &n, nullptr)) break;
    });
    go = true;
    std::this_thread::yield();
    CloseHandle(s);
    zephtest::join(t);
  }
  ASSERT_TRUE(sp::settle());
  td_stats st = stats(h);
  EXPECT_EQ(st.opens, st.closes + 1);  // only the fixture's handle is left
  EXPECT_EQ(sp::open_handles(instance), 1);
}

TEST_F(DevIo, SurpriseRemovalWithIoInFlight) {
  OVERLAPPED o = fresh();
  DWORD n = 0;
  ASSERT_FALSE(DeviceIoControl(h, IOCTL_TD_PARK, nullptr, 0, nullptr, 0, &n, &o));
  sp::unplug_root_device(instance);
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(h, &o, &n, FALSE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_REMOVED);
  ASSERT_TRUE(sp::settle());
  // REMOVE waits for the last handle.
  EXPECT_EQ(sp::device_state(instance), "surprise removed");
  EXPECT_EQ(sp::open_handles(instance), 1);
  EXPECT_EQ(open(true), INVALID_HANDLE_VALUE);
  o = fresh();
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_TD_ECHO, nullptr, 0, nullptr, 0, &n, &o));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_REMOVED);
  CloseHandle(h);
  h = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(sp::settle());
  EXPECT_EQ(sp::device_state(instance), "absent");
  EXPECT_NE(sk::debug_text().find("testdrv: unload"), std::string::npos);
}

TEST_F(DevIo, RemoveWithAHandleOpenKeepsTheHandleUsableUntilClosed) {
  ASSERT_EQ(sp::remove_device(instance, false), 0);
  ASSERT_TRUE(sp::settle());
  EXPECT_EQ(sp::device_state(instance), "absent");
  OVERLAPPED o = fresh();
  DWORD n = 0;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_TD_ECHO, nullptr, 0, nullptr, 0, &n, &o));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_REMOVED);
  sk::clear_debug();
  CloseHandle(h);  // the close reaches the deleted device object; then the driver unloads
  h = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(sp::settle());
  EXPECT_NE(sk::debug_text().find("testdrv: unload"), std::string::npos);
  EXPECT_FALSE(sp::driver_loaded("WbTest"));
}

// As the I/O manager does, no open reaches a stack once its removal has begun, even while its driver still
// has the link: the driver here keeps it for a while inside IRP_MN_REMOVE_DEVICE. An open already past that
// check when the removal begins still reaches the driver, which refuses it itself (STATUS_DELETE_PENDING);
// opening one at a time, that can happen once at most.
TEST_F(DevIo, OpensAreRefusedOnceTheRemovalHasBegun) {
  LONG ms = 300;
  OVERLAPPED o = fresh();
  DWORD n = 0;
  if (!DeviceIoControl(h, IOCTL_TD_HOLD_REMOVE, &ms, sizeof ms, nullptr, 0, &n, &o)) {
    ASSERT_TRUE(zephtest::finish(h, o, &n));
  }
  CloseHandle(h);
  h = INVALID_HANDLE_VALUE;
  std::thread remover([&] { sp::remove_device(instance, false); });
  int32_t refused = 0;
  int by_driver = 0;
  EXPECT_TRUE(zephtest::wait_until([&] {
    HANDLE x = open(true);
    if (x != INVALID_HANDLE_VALUE) {
      CloseHandle(x);
      return false;
    }
    refused = sk::last_open_status();
    if ((uint32_t)refused != 0xC0000056u) return true;
    ++by_driver;
    return false;
  }));
  zephtest::join(remover);
  // STATUS_NO_SUCH_DEVICE from the I/O manager, not a link already gone.
  EXPECT_EQ((uint32_t)refused, 0xC000000Eu);
  EXPECT_LE(by_driver, 1);
}

TEST(PlainFiles, CreateWriteReadSeekAndDispositions) {
  char tmpl[] = "/tmp/wbfileXXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string path = tmpl;
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(GetFileSize(h, nullptr), 10u);
  EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
  char buf[8] = {};
  ASSERT_TRUE(ReadFile(h, buf, 3, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "456");
  CloseHandle(h);
  EXPECT_EQ(CreateFileA((path + ".missing").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  unlink(path.c_str());
}

}  // namespace

namespace {

// The power manager's requests reach the driver with their type and state, and a device state the
// driver records is what the stack reports.
TEST_F(DevIo, PowerRequestsReachTheDriverWithTheirState) {
  const int set_power = 2, query_power = 3, sleeping3 = 4, d3 = 4, d0 = 1;
  ASSERT_EQ(sp::send_power(instance, query_power, true, sleeping3), 0);
  td_stats s = stats(h);
  EXPECT_EQ(s.power_irps, 1u);
  EXPECT_EQ(s.last_power_minor, unsigned(query_power));
  EXPECT_EQ(s.last_power_type, 0u);
  EXPECT_EQ(s.last_power_state, unsigned(sleeping3));
  EXPECT_EQ(sp::device_power_state(instance), d0);

  ASSERT_EQ(sp::send_power(instance, set_power, false, d3), 0);
  s = stats(h);
  EXPECT_EQ(s.power_irps, 2u);
  EXPECT_EQ(s.last_power_type, 1u);
  EXPECT_EQ(s.last_power_state, unsigned(d3));
  EXPECT_EQ(sp::device_power_state(instance), d3);

  ASSERT_EQ(sp::send_power(instance, set_power, false, d0), 0);
  EXPECT_EQ(sp::device_power_state(instance), d0);

  EXPECT_NE(sp::send_power(instance, 1 /* wait wake: not the power manager's to send */, false, d0), 0);
  EXPECT_NE(sp::send_power("WBTEST\\NONE\\0", set_power, false, d0), 0);
  EXPECT_EQ(sp::device_power_state("WBTEST\\NONE\\0"), 0);
}

}  // namespace
