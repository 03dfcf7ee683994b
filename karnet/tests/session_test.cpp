#include "zephtest/wait.h"
#include <gtest/gtest.h>

#include <cstring>

#include "manager_fixture.h"

namespace {

using namespace karnet_test;
using karnet::guid;

class SessionTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    usb->plug("dev-1", class_a);
    usb->start();
    device = manager().device_interfaces(guid(class_a)).front();
  }
  void TearDown() override {
    usb->complete_all(ERROR_OPERATION_ABORTED);
    ManagerTest::TearDown();
  }
  karnet::io_device_interface device;
};

TEST_F(SessionTest, SessionOnADetachedWrapperIsNeverOpen) {
  karnet::io_session s = manager().create_session(karnet::io_device_interface());
  EXPECT_FALSE(s.is_open());
  karnet::io_read op = s.read_empty();
  EXPECT_FALSE(s.submit_read(op));
  EXPECT_EQ(s.read_and_wait(op, 0).get_code(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(s.cancel().get_code(), 0u);
  EXPECT_EQ(usb->opens("dev-1"), 0);
}

TEST_F(SessionTest, OpenFailureLeavesTheSessionClosed) {
  usb->fail_open = true;
  karnet::io_session s = manager().create_session(device);
  EXPECT_EQ(usb->opens("dev-1"), 1);
  EXPECT_FALSE(s.is_open());
  karnet::io_control op = s.control_empty(0x222004);
  EXPECT_EQ(s.control_and_wait(op, zephtest::deadline_ms).get_code(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(s.cancel().get_code(), 0u);
}

TEST_F(SessionTest, RequestsCompleteWithTheProtocolsResult) {
  karnet::io_session s = manager().create_session(device);
  ASSERT_TRUE(s.is_open());
  EXPECT_EQ(device.session_count(), 1u);

  karnet::io_read read = s.read_of_size(64, true);
  ASSERT_NE(read.buffer().data(), nullptr);
  EXPECT_EQ(read.buffer().size(), 64u);
  for (uint32_t i = 0; i < 64; ++i) ASSERT_EQ(read.buffer().bytes()[i], 0);
  karnet::assync_handle request = s.submit_read(read);
  ASSERT_TRUE(request);
  EXPECT_TRUE(read.submitted());
  EXPECT_FALSE(read.finished());
  usb->complete_all(0, 64);
  EXPECT_TRUE(read.finished());
  EXPECT_EQ(request->result(false).get_code(), 0u);

  unsigned char reply[64];
  karnet::io_control control = s.control_on_memory(0x2220C0, reply, sizeof reply, nullptr, 0);
  EXPECT_EQ(control.output().size(), 64u);
  EXPECT_EQ(control.output().data(), reply);
  EXPECT_EQ(control.input().size(), 0u);
  EXPECT_EQ(control.code(), 0x2220C0u);
  ASSERT_TRUE(s.submit_control(control));
  usb->complete_all(ERROR_CRC);
  EXPECT_EQ(control.request()->result(false).get_code(), static_cast<DWORD>(ERROR_CRC));

  usb->complete_with = ERROR_DEVICE_REMOVED;
  EXPECT_EQ(s.control_and_wait(control, zephtest::deadline_ms).get_code(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
  usb->complete_with = 0;
  karnet::io_write write = s.write_of_size(10, false);
  EXPECT_EQ(s.write_and_wait(write, zephtest::deadline_ms).get_code(), 0u);
  EXPECT_EQ(write.request()->bytes(), 1u);
}

TEST_F(SessionTest, TimedOutRequestStaysPendingAndIsFreedByDisposalOnceDone) {
  watched_heap heap;
  karnet::io_session s = manager().create_session(device);
  ASSERT_TRUE(s.is_open());
  {
    karnet::io_read read = s.read_on_block(ostrel::mem_block(100, 128, &heap, false));
    EXPECT_EQ(s.read_and_wait(read, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(read.finished());
  }
  // Handed to disposal: still held while the device may write it.
  EXPECT_EQ(heap.frees, 0);
  usb->complete_all(0, 100);
  EXPECT_TRUE(heap.wait_frees(1));

  // A control request keeps both of its buffers.
  {
    karnet::io_control control =
        s.control_on_blocks(1, ostrel::mem_block(8, 8, &heap, false), ostrel::mem_block(8, 8, &heap, false));
    EXPECT_EQ(s.control_and_wait(control, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  }
  EXPECT_EQ(heap.frees, 1);
  usb->complete_all(0);
  EXPECT_TRUE(heap.wait_frees(3));
  EXPECT_EQ(heap.frees, 3);
}

TEST_F(SessionTest, DoneRequestIsFreedAtOnce) {
  watched_heap heap;
  karnet::io_session s = manager().create_session(device);
  {
    karnet::io_write write = s.write_on_block(ostrel::mem_block(10, 10, &heap, false));
    usb->complete_with = 0;
    EXPECT_EQ(s.write_and_wait(write, zephtest::deadline_ms).get_code(), 0u);
    EXPECT_TRUE(write.finished());
  }
  EXPECT_EQ(heap.frees, 1);
}

TEST_F(SessionTest, ShutdownGivesUpOnPendingRequestsUntilTheTaskRunsAgain) {
  // Outlive the manager, which may still hold their blocks when the test ends.
  static watched_heap done_heap;
  static watched_heap stuck_heap;
  done_heap.frees = 0;
  stuck_heap.frees = 0;
  karnet::io_session s = manager().create_session(device);
  karnet::assync_handle stuck_request;
  {
    karnet::io_read stuck = s.read_on_block(ostrel::mem_block(4, 4, &stuck_heap, false));
    stuck_request = s.submit_read(stuck);
    ASSERT_TRUE(stuck_request);
  }
  manager().shutdown();
  EXPECT_EQ(stuck_heap.frees, 0);

  // The device finishes it afterwards; the next discard starts the task again, which frees both.
  usb->complete_all(0);
  stuck_request.reset();
  EXPECT_EQ(stuck_heap.frees, 0);
  {
    karnet::io_read read = s.read_on_block(ostrel::mem_block(4, 4, &done_heap, false));
    ASSERT_TRUE(s.submit_read(read));
  }
  usb->complete_all(0);
  EXPECT_TRUE(done_heap.wait_frees(1));
  EXPECT_TRUE(stuck_heap.wait_frees(1));
}

// A transport's stop ends in a shutdown, and what it completed must go while the transport is loaded.
TEST_F(SessionTest, ShutdownFreesWhatAnEarlierShutdownGaveUpOnAndHasEndedSince) {
  static watched_heap heap;  // may outlive the manager
  heap.frees = 0;
  karnet::io_session s = manager().create_session(device);
  {
    karnet::io_read read = s.read_on_block(ostrel::mem_block(4, 4, &heap, false));
    ASSERT_TRUE(s.submit_read(read));
  }
  manager().shutdown();
  usb->complete_all(0);
  EXPECT_EQ(heap.frees, 0);
  manager().shutdown();
  EXPECT_EQ(heap.frees, 1) << "not freed by the shutdown itself";
}

TEST_F(SessionTest, RemovalClosesTheSessionOnce) {
  karnet::io_session s = manager().create_session(device);
  ASSERT_TRUE(s.is_open());
  plain_counter closed;
  s.close_listeners().add(w32cpp::make_member_callback<plain_counter>(&closed, &plain_counter::seen));

  usb->unplug("dev-1");
  usb->leave(class_a);
  EXPECT_FALSE(s.is_open());
  EXPECT_EQ(usb->closes("dev-1"), 1);
  EXPECT_EQ(closed.count, 1);

  // Again by hand: the listeners run, the device is not closed twice.
  karnet::io_session::session_handle inner = s.session();
  ASSERT_TRUE(inner);
  inner->on_device_removed();
  EXPECT_EQ(closed.count, 2);
  EXPECT_EQ(usb->closes("dev-1"), 1);

  karnet::io_read op = s.read_empty();
  EXPECT_EQ(s.read_and_wait(op, 0).get_code(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SessionTest, WrapperClosedByHandIsEmpty) {
  karnet::io_session s = manager().create_session(device);
  ASSERT_TRUE(s.is_open());
  s.on_device_removed();
  EXPECT_FALSE(s.session());
  EXPECT_FALSE(s.is_open());
  EXPECT_EQ(usb->closes("dev-1"), 1);
  karnet::io_read op = s.read_of_size(16, false);
  EXPECT_FALSE(s.submit_read(op));
  // The device itself stays listed.
  EXPECT_EQ(manager().device_interfaces(guid(class_a)).size(), 1u);
}

TEST_F(SessionTest, DestroyingTheSessionClosesTheDevice) {
  {
    karnet::io_session s = manager().create_session(device);
    ASSERT_TRUE(s.is_open());
    karnet::io_session copy(s);
    EXPECT_EQ(copy.handle(), s.handle());
    karnet::io_session assigned;
    EXPECT_FALSE(assigned.is_open());
    assigned = copy;
    EXPECT_TRUE(assigned.is_open());
    EXPECT_EQ(assigned.name(), "dev-1");
    EXPECT_EQ(usb->closes("dev-1"), 0);
  }
  EXPECT_EQ(usb->closes("dev-1"), 1);
  EXPECT_EQ(device.session_count(), 0u);
}

}  // namespace
