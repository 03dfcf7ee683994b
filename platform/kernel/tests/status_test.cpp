// The I/O manager's NTSTATUS to Win32 table, whole: every failure a driver completes a request with
// reaches the caller as the mapped error, a code without an entry as ERROR_MR_MID_NOT_FOUND.
#include <windows.h>

#include <gtest/gtest.h>
#include <standin/pnp.h>
#include <zephtest/kernel.h>

#include <cstdint>
#include <string>

#include "kernel/kbridge.h"
#include "testdrv.h"

namespace {

namespace sp = standin::pnp;

struct entry {
  uint32_t status;
  DWORD error;
};

// Every failure code of the table (warnings fail a Win32 call too).
const entry kFailures[] = {
    {0x80000005, ERROR_MORE_DATA},
    {0x80000011, ERROR_BUSY},
    {0x8000001A, ERROR_NO_MORE_ITEMS},
    {0xC0000001, ERROR_GEN_FAILURE},
    {0xC0000002, ERROR_INVALID_FUNCTION},
    {0xC0000008, ERROR_INVALID_HANDLE},
    {0xC000000D, ERROR_INVALID_PARAMETER},
    {0xC000000E, ERROR_FILE_NOT_FOUND},
    {0xC0000010, ERROR_INVALID_FUNCTION},
    {0xC0000011, ERROR_HANDLE_EOF},
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},
    {0xC0000022, ERROR_ACCESS_DENIED},
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
    {0xC0000033, ERROR_INVALID_NAME},
    {0xC0000034, ERROR_FILE_NOT_FOUND},
    {0xC0000035, ERROR_ALREADY_EXISTS},
    {0xC000003A, ERROR_PATH_NOT_FOUND},
    {0xC0000043, ERROR_SHARING_VIOLATION},
    {0xC0000056, ERROR_ACCESS_DENIED},
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},
    {0xC000009C, ERROR_CRC},
    {0xC000009D, ERROR_DEVICE_NOT_CONNECTED},
    {0xC00000A3, ERROR_NOT_READY},
    {0xC00000B5, ERROR_SEM_TIMEOUT},
    {0xC00000BB, ERROR_NOT_SUPPORTED},
    {0xC00000E8, ERROR_INVALID_USER_BUFFER},
    {0xC0000120, ERROR_OPERATION_ABORTED},
    {0xC0000128, ERROR_INVALID_HANDLE},
    {0xC0000184, ERROR_BAD_COMMAND},
    {0xC0000185, ERROR_IO_DEVICE},
    {0xC0000206, ERROR_INVALID_USER_BUFFER},
    {0xC0000225, ERROR_NOT_FOUND},
    {0xC00002B6, ERROR_DEVICE_REMOVED},
};

// Codes the table does not know, warnings among them.
const uint32_t kUnknown[] = {0x80000900, 0x80000001, 0xC0000003, 0xC00000FF, 0xC0000999, 0xE0000001};

class StatusTable : public ::testing::Test {
 protected:
  void SetUp() override {
    zephtest::forget_violations();
    sp::install_driver("WbTest", WB_TESTDRV_PATH, {"WBTEST\\DEV"});
    instance = sp::add_root_device("WBTEST\\DEV", "status" + std::to_string(++serial));
    ASSERT_TRUE(sp::settle());
    h = CreateFileA("\\\\.\\WbTest0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  }
  void TearDown() override {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    sp::remove_device(instance, false);
    EXPECT_TRUE(sp::settle());
    zephtest::expect_no_violations();
  }
  // Completes a request with the status from the driver's DPC; the call's result and last error.
  BOOL complete_with(uint32_t status, DWORD *error) {
    struct {
      DWORD status, count;
    } in{status, 0};
    DWORD n = 0;
    SetLastError(0xDEAD);
    const BOOL ok = DeviceIoControl(h, IOCTL_TD_COMPLETE_DPC, &in, sizeof in, nullptr, 0, &n, nullptr);
    *error = GetLastError();
    return ok;
  }

  static inline int serial = 0;
  std::string instance;
  HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(StatusTable, EveryFailureReachesTheCallerAsItsWin32Error) {
  for (const entry &e : kFailures) {
    DWORD error = 0;
    EXPECT_FALSE(complete_with(e.status, &error)) << std::hex << e.status;
    EXPECT_EQ(error, e.error) << std::hex << "0x" << e.status;
    EXPECT_EQ(wbk::status_to_win32(static_cast<int32_t>(e.status)), e.error) << std::hex << "0x" << e.status;
  }
}

TEST_F(StatusTable, CodesWithoutAnEntryGiveTheNoTextError) {
  for (uint32_t status : kUnknown) {
    DWORD error = 0;
    EXPECT_FALSE(complete_with(status, &error)) << std::hex << status;
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND)) << std::hex << "0x" << status;
  }
}

TEST_F(StatusTable, SuccessCodesSucceedAndKeepTheirOwnMapping) {
  DWORD error = 0;
  EXPECT_TRUE(complete_with(0, &error));
  EXPECT_TRUE(complete_with(0x102, &error));  // STATUS_TIMEOUT is a success to the caller
  // Not seen as a last error from a call, but the table still answers for them.
  EXPECT_EQ(wbk::status_to_win32(0), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(wbk::status_to_win32(0x102), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(wbk::status_to_win32(0x103), static_cast<DWORD>(ERROR_IO_PENDING));
}

}  // namespace
