// Requests abandoned to the device manager's disposal task while the transport library goes away, with
// the libraries released in the instrument API's order: the transport first, then the device manager.
#include "fake_protocol.h"
#include "fixture.h"
#include "zephtest/modules.h"
#include "zephtest/wait.h"

namespace quillon_test {
namespace {

const GUID fake_class = {0x5E000001u, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

class DisposalTest : public SessionTest {
 protected:
  // A request the driver keeps, given up after a wait of 0: the disposal task takes it over.
  void abandon_parked_request() {
    karnet::io_control op = session->control_of_size(IOCTL_TD_PARK, 64, 0);
    ASSERT_EQ(session->control_and_wait(op, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  }

  // Another transport comes and goes; its unregistering stops the disposal task.
  void another_transport_comes_and_goes() {
    karnet::protocol_handle holder;
    karnet_test::fake_protocol::make(holder)->start();
    holder->stop();
  }

  // The USB request is done (its handle closed), the transport stops and its library is released.
  void close_stop_and_release_the_transport() {
    session.reset();
    transport().stop();
    transport_lib.release();
    EXPECT_FALSE(zephtest::mapped("quillon8.so")) << "the transport's library is still mapped";
  }
};

// The disposal task starts again for a request of another transport after the USB transport is gone.
TEST_F(DisposalTest, TaskStartedAfterTheTransportWentNeverTouchesItsRequests) {
  abandon_parked_request();
  another_transport_comes_and_goes();
  close_stop_and_release_the_transport();

  karnet::protocol_handle holder;
  karnet_test::fake_protocol* other = karnet_test::fake_protocol::make(holder);
  other->plug("F1", fake_class);
  other->start();
  karnet::interface_list listed = manager().device_interfaces(karnet::guid(fake_class));
  ASSERT_EQ(listed.size(), 1u);
  karnet::assync_handle request;
  {
    karnet::io_session s = manager().create_session(listed.front());
    karnet::io_read op = s.read_of_size(8, false);
    ASSERT_EQ(s.read_and_wait(op, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    request = op.request();
  }
  other->complete_all(0);
  EXPECT_TRUE(zephtest::wait_until([&] { return request.unique(); })) << "the task never freed the request";
  other->stop();
}

// The device manager goes after the USB transport: its disposal task's last look touches nothing of it.
TEST_F(DisposalTest, ManagerReleasedAfterTheTransportWentNeverTouchesItsRequests) {
  abandon_parked_request();
  another_transport_comes_and_goes();
  close_stop_and_release_the_transport();
  manager_lib.release();
  EXPECT_FALSE(zephtest::mapped("karnet8.so")) << "the device manager's library is still mapped";
}

// A request still pending when the transport's library is released keeps that library mapped until the
// request is done; then the task frees it and lets the library go.
TEST_F(DisposalTest, PendingRequestKeepsTheTransportMappedUntilItIsDone) {
  session.reset();
  // Opened by hand: the transport's stop closes its sessions, never this handle.
  karnet::device_handle handle = protocol()->open(main_path("D1"));
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  {
    karnet::io_control op(manager_lib, IOCTL_TD_PARK, manager().allocate(64, false), ostrel::mem_block());
    ASSERT_TRUE(protocol()->control(&handle, op));
    EXPECT_FALSE(op.finished());
  }
  transport().stop();
  transport_lib.release();
  EXPECT_TRUE(zephtest::mapped("quillon8.so")) << "released while its request is pending";
  // The driver cancels it at the handle's cleanup; the next shutdown frees it and lets the library go.
  ASSERT_TRUE(CloseHandle(handle));
  manager().shutdown();
  EXPECT_FALSE(zephtest::mapped("quillon8.so")) << "the transport's library stays mapped after its request ended";
  manager_lib.release();
  EXPECT_FALSE(zephtest::mapped("karnet8.so"));
}

}  // namespace
}  // namespace quillon_test
