// The transport's own faces: start and stop, enumeration through the device installer, opening, and
// overlapped requests on the test driver.
#include "fixture.h"
#include "zephtest/wait.h"

#include <cstring>
#include <thread>

namespace quillon_test {
namespace {

// The record's identity part on an NT-family system.
void expect_nt_record(const karnet::device_description& d, const std::string& instance) {
  EXPECT_EQ(d.instance_id, instance);
  EXPECT_EQ(d.key_prefix, "SYSTEM\\CurrentControlSet\\Enum\\");
  EXPECT_EQ(d.key_suffix, "\\Device Parameters");
  EXPECT_EQ(d.protocol_name, "wdm");
}

TEST_F(QuillonTest, StartAndStopTwiceKeepOneProtocol) {
  EXPECT_FALSE(protocol());
  transport().start();
  karnet::protocol_handle first = protocol();
  ASSERT_TRUE(first);
  transport().start();
  EXPECT_EQ(protocol().get(), first.get());
  plug("S1");
  karnet::interface_list listed = manager().device_interfaces(karnet::guid(main_class()));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_TRUE(listed.front().protocol());
  transport().stop();
  EXPECT_FALSE(protocol());
  EXPECT_FALSE(first->self()) << "a stopped protocol still answers as the library's";
  EXPECT_EQ(listed.front().name(), "") << "unregistering detaches the transport's interfaces";
  transport().stop();
  // A new start makes a new protocol, which the manager asks for the classes listed before.
  transport().start();
  ASSERT_TRUE(protocol());
  EXPECT_NE(protocol().get(), first.get());
  EXPECT_EQ(names(manager().device_interfaces(karnet::guid(main_class()))), std::vector<std::string>{main_path("S1")});
}

TEST_F(QuillonTest, OlderBuildRegistersWithTheOlderDeviceManager) {
  w32cpp::dynamic_link_instance<fileio::iapi> older("quillon71", "quillon_get_instance");
  ASSERT_TRUE(older) << "quillon71 did not load";
  older->start();
  ASSERT_TRUE(older->protocol());
  plug("V1");
  // karnet8 never hears of it: the older build binds karnet71.
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(main_class())).empty());
  // Its interfaces are made by the older device manager it loaded.
  EXPECT_EQ(older->protocol()->enumerate(karnet::guid(main_class())).size(), 1u);
  older->stop();
  EXPECT_FALSE(older->protocol());
}

TEST_F(QuillonTest, NoDeviceGivesAnEmptyList) {
  transport().start();
  add_root("R0");  // a device of another class
  EXPECT_TRUE(protocol()->enumerate(karnet::guid(main_class())).empty());
  EXPECT_TRUE(protocol()->enumerate(karnet::guid()).empty());
}

TEST_F(QuillonTest, TwoInstrumentsInIndexOrderEachWithItsDescription) {
  transport().start();
  std::string a = plug("B7", "First product", 0x0105);
  std::string b = plug("A3", "Second product", 0x0231);
  karnet::interface_list found = protocol()->enumerate(karnet::guid(main_class()));
  ASSERT_EQ(found.size(), 2u);
  // Index order is the system's (arrival), not the name order.
  EXPECT_EQ(names(found), (std::vector<std::string>{main_path("B7"), main_path("A3")}));
  const karnet::device_description d0 = found.front().description();
  const karnet::device_description d1 = found.back().description();
  expect_nt_record(d0, a);
  EXPECT_EQ(d0.product, "First product");
  EXPECT_EQ(d0.serial_number, "B7");
  EXPECT_EQ(d0.manufacturer, "Ondrel Fasko");
  EXPECT_EQ(d0.bcd_device, 0x0105u);
  expect_nt_record(d1, b);
  EXPECT_EQ(d1.product, "Second product");
  EXPECT_EQ(d1.serial_number, "A3");
  EXPECT_EQ(d1.bcd_device, 0x0231u);
  EXPECT_EQ(found.front().interface_class(), karnet::guid(main_class()));
  // The bulk interface of the same devices.
  EXPECT_EQ(protocol()->enumerate(karnet::guid(bulk_class())).size(), 2u);
}

TEST_F(QuillonTest, OlderPlatformUsesItsOwnRegistryPath) {
  standin::version::set(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222);
  transport().start();
  std::string a = plug("W9");
  karnet::interface_list found = protocol()->enumerate(karnet::guid(main_class()));
  ASSERT_EQ(found.size(), 1u);
  const karnet::device_description d = found.front().description();
  EXPECT_EQ(d.instance_id, a);
  EXPECT_EQ(d.key_prefix, "Enum\\");
  EXPECT_EQ(d.key_suffix, "");
  EXPECT_EQ(d.product, "");  // nothing is written there on this stand-in
}

TEST_F(QuillonTest, DeviceKeyWithoutTheValuesStillGivesAnInterface) {
  transport().start();
  std::string r = add_root("K1");
  karnet::interface_list found = protocol()->enumerate(karnet::guid(test_class));
  ASSERT_EQ(found.size(), 1u);
  const karnet::device_description d = found.front().description();
  expect_nt_record(d, r);
  EXPECT_EQ(d.product, "");
  EXPECT_EQ(d.serial_number, "");
  EXPECT_EQ(d.manufacturer, "");
  EXPECT_EQ(d.bcd_device, 0u);
}

TEST_F(QuillonTest, WithoutTheDeviceInstallerLibraryNothingIsFound) {
  standin::loader::hide_library("setupapi");
  transport().start();
  plug("N1");
  EXPECT_TRUE(protocol()->enumerate(karnet::guid(main_class())).empty());
  EXPECT_TRUE(manager().device_interfaces(karnet::guid(main_class())).empty());
}

TEST_F(QuillonTest, WithoutOneDeviceInstallerEntryNothingIsFound) {
  standin::loader::hide_entry("SetupDiGetDeviceInstanceIdA");
  transport().start();
  plug("N2");
  EXPECT_TRUE(protocol()->enumerate(karnet::guid(main_class())).empty());
}

TEST_F(QuillonTest, DeviceHeldOpenElsewhereDoesNotOpen) {
  transport().start();
  plug("H1");
  HANDLE other = CreateFileA(main_path("H1").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(protocol()->open(main_path("H1")), INVALID_HANDLE_VALUE);
  karnet::interface_list listed = manager().device_interfaces(karnet::guid(main_class()));
  ASSERT_EQ(listed.size(), 1u);
  karnet::io_session session = manager().create_session(listed.front());
  EXPECT_FALSE(session.is_open());
  EXPECT_EQ(session.handle(), INVALID_HANDLE_VALUE);
  CloseHandle(other);
  karnet::io_session again = manager().create_session(listed.front());
  EXPECT_TRUE(again.is_open());
  EXPECT_EQ(protocol()->open("\\\\?\\usb#no#such#device"), INVALID_HANDLE_VALUE);
}

TEST_F(QuillonTest, RequestsAndCancelOnAClosedHandleFailAtOnce) {
  transport().start();
  plug("C1");
  karnet::device_handle h = protocol()->open(main_path("C1"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  protocol()->close(&h);
  karnet::io_control op(karnet::karnet_lib(nullptr), IOCTL_TD_ECHO, ostrel::mem_block(), ostrel::mem_block());
  karnet::assync_handle a = protocol()->control(&h, op);
  ASSERT_TRUE(a);
  EXPECT_EQ(op.request().get(), a.get());
  EXPECT_TRUE(a->done());
  EXPECT_EQ(a->result(false).get_code(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(a->wait_for(0).get_code(), 0u);
  EXPECT_EQ(protocol()->cancel(&h).get_code(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SessionTest, ReadsWritesAndControlsTheInstrument) {
  unsigned char descriptor[18] = {};
  karnet::io_control get =
      session->control_on_memory(IOCTL_TD_USB_DEVICE_DESCRIPTOR, descriptor, sizeof descriptor, nullptr, 0);
  ASSERT_EQ(session->control_and_wait(get, 10000).get_code(), 0u);
  EXPECT_EQ(get.request()->bytes(), 18u);
  EXPECT_EQ(descriptor[8] | descriptor[9] << 8, 0x1A2B);

  karnet::io_write write = session->write_of_size(300, false);
  for (uint32_t i = 0; i < 300; ++i) write.buffer().bytes()[i] = static_cast<unsigned char>(i * 7);
  ASSERT_EQ(session->write_and_wait(write, 10000).get_code(), 0u);
  EXPECT_EQ(write.request()->bytes(), 300u);
  karnet::io_read read = session->read_of_size(512, true);
  ASSERT_EQ(session->read_and_wait(read, 10000).get_code(), 0u);
  ASSERT_EQ(read.request()->bytes(), 300u);
  EXPECT_EQ(std::memcmp(read.buffer().data(), write.buffer().data(), 300), 0);
}

TEST_F(SessionTest, RequestCompletedAtOnceIsDoneWithItsBytes) {
  char in[5] = "echo";
  char out[16] = {};
  karnet::io_control op = session->control_on_memory(IOCTL_TD_ECHO, out, sizeof out, in, sizeof in);
  karnet::assync_handle a = session->submit_control(op);
  ASSERT_TRUE(a);
  EXPECT_EQ(op.request().get(), a.get());
  EXPECT_TRUE(a->is_valid());
  EXPECT_TRUE(a->done());
  EXPECT_EQ(a->wait_for(0).get_code(), 0u);
  EXPECT_EQ(a->result(false).get_code(), 0u);
  EXPECT_EQ(a->bytes(), 5u);
  EXPECT_STREQ(out, "echo");
}

TEST_F(SessionTest, ImmediateFailureIsADoneRequestWithItsError) {
  karnet::io_control op = session->control_empty(IOCTL_TD_FAIL);
  karnet::assync_handle a = session->submit_control(op);
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->done());
  EXPECT_EQ(a->wait_for(0).get_code(), 0u);
  EXPECT_EQ(a->result(false).get_code(), static_cast<DWORD>(ERROR_CRC));
  EXPECT_EQ(session->control_and_wait(op, 1000).get_code(), static_cast<DWORD>(ERROR_CRC));
}

TEST_F(SessionTest, EmptyReadPassesLengthZero) {
  karnet::io_read op = session->read_empty();
  EXPECT_EQ(session->read_and_wait(op, 10000).get_code(), 0u);
  EXPECT_EQ(op.request()->bytes(), 0u);
}

TEST_F(SessionTest, RequestThatNeverCompletesTimesOutAndStaysPending) {
  karnet::io_control op = session->control_empty(IOCTL_TD_PARK);
  karnet::assync_handle a = session->submit_control(op);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->wait_for(10).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(a->done());
  EXPECT_EQ(a->result(false).get_code(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(a->poll().get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(release_parked(0), 1u);
  EXPECT_EQ(a->wait_for(10000).get_code(), 0u);
  EXPECT_TRUE(a->done());
  EXPECT_EQ(a->result(true).get_code(), 0u);
}

TEST_F(SessionTest, CancelFromTheIssuingThread) {
  karnet::io_control op = session->control_empty(IOCTL_TD_PARK);
  EXPECT_EQ(session->control_and_wait(op, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(session->cancel().get_code(), 0u);
  ASSERT_EQ(op.request()->wait_for(10000).get_code(), 0u);
  EXPECT_EQ(op.request()->result(false).get_code(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  // Nothing left in flight: cancelling again is no error.
  EXPECT_EQ(session->cancel().get_code(), 0u);
}

TEST_F(SessionTest, CancelFromAnotherThreadCancelsTheRequest) {
  karnet::io_control op = session->control_empty(IOCTL_TD_PARK);
  EXPECT_EQ(session->control_and_wait(op, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD cancelled = 1;
  std::thread other([&] { cancelled = session->cancel().get_code(); });
  zephtest::join(other);
  EXPECT_EQ(cancelled, 0u);
  ASSERT_EQ(op.request()->wait_for(10000).get_code(), 0u);
  EXPECT_EQ(op.request()->result(false).get_code(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(SessionTest, WithoutCancelIoExOnlyTheIssuingThreadCancels) {
  // This process has not cancelled yet, so the transport binds the entry now and finds none.
  standin::loader::hide_entry("CancelIoEx");
  karnet::io_control op = session->control_empty(IOCTL_TD_PARK);
  EXPECT_EQ(session->control_and_wait(op, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  std::thread other([&] { EXPECT_EQ(session->cancel().get_code(), 0u); });
  zephtest::join(other);
  EXPECT_EQ(op.request()->wait_for(50).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(session->cancel().get_code(), 0u);
  ASSERT_EQ(op.request()->wait_for(10000).get_code(), 0u);
  EXPECT_EQ(op.request()->result(false).get_code(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

// One request cancelled by itself, from another thread: it ends with 995, another request of the
// handle runs on.
TEST_F(SessionTest, CancellingOneRequestLeavesTheOthersInFlight) {
  karnet::io_control mine = session->control_empty(IOCTL_TD_PARK);
  karnet::io_control theirs = session->control_empty(IOCTL_TD_PARK);
  EXPECT_EQ(session->control_and_wait(mine, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  std::thread issuer(
      [&] { EXPECT_EQ(session->control_and_wait(theirs, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT)); });
  zephtest::join(issuer);
  karnet::protocol_handle protocol = session->protocol();
  karnet::device_handle handle = session->handle();
  ASSERT_TRUE(protocol);
  std::thread canceller([&] { EXPECT_EQ(karnet::cancel_request(*protocol, &handle, *mine.request()).get_code(), 0u); });
  zephtest::join(canceller);
  ASSERT_EQ(mine.request()->wait_for(10000).get_code(), 0u);
  EXPECT_EQ(mine.request()->result(false).get_code(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(theirs.request()->wait_for(50).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
  // Done already: nothing to cancel, no error.
  EXPECT_EQ(karnet::cancel_request(*protocol, &handle, *mine.request()).get_code(), 0u);
  EXPECT_EQ(release_parked(0), 1u);
  ASSERT_EQ(theirs.request()->wait_for(10000).get_code(), 0u);
  EXPECT_EQ(theirs.request()->result(false).get_code(), 0u);
}

TEST_F(SessionTest, RemovalDuringOverlappedIoEndsTheRequestWithDeviceRemoved) {
  karnet::io_control op = session->control_empty(IOCTL_TD_PARK);
  karnet::assync_handle a = session->submit_control(op);
  ASSERT_TRUE(a);
  unplug(instance);
  ASSERT_EQ(a->wait_for(10000).get_code(), 0u);
  EXPECT_EQ(a->result(false).get_code(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
  EXPECT_EQ(a->bytes(), 0u);
}

TEST_F(SessionTest, AbandonedRequestIsFreedOnceTheDriverCompletesIt) {
  karnet::assync_handle request;
  {
    karnet::io_control op = session->control_of_size(IOCTL_TD_PARK, 64, 0);
    EXPECT_EQ(session->control_and_wait(op, 0).get_code(), static_cast<DWORD>(WAIT_TIMEOUT));
    request = op.request();
  }  // handed to the disposal task, which polls done() from its own thread
  // The disposal task keeps the pending request (and its buffer) while the driver still has it.
  ASSERT_TRUE(request);
  EXPECT_FALSE(request->done());
  EXPECT_GT(request.use_count(), 1u);
  EXPECT_EQ(release_parked(0), 1u);
  // Once the driver completes it, the task lets it go on its own: only this test's reference is left.
  EXPECT_TRUE(zephtest::wait_until([&] { return request.unique(); })) << request.use_count();
  EXPECT_TRUE(request->done());
  EXPECT_EQ(request->result(false).get_code(), 0u);
  manager().shutdown();
}

}  // namespace
}  // namespace quillon_test
