#include <w32cpp/status.h>
#include <w32cpp/trace.h>
#include <w32cpp/waitable.h>

#include <gtest/gtest.h>

using namespace w32cpp;

TEST(Status, Win32SucceedsOnlyOnZero) {
  EXPECT_TRUE(status_win32(0u).succeeded());
  EXPECT_TRUE(status_win32(0u).ok());
  for (DWORD code : {1u, 6u, 192u, 259u, 0xFFFFFFFFu}) {
    const status_win32 s(code);
    EXPECT_TRUE(s.failed()) << code;
    EXPECT_TRUE(s.not_ok()) << code;
    EXPECT_FALSE(s.ok()) << code;
  }
}

TEST(Status, WaitClassification) {
  EXPECT_TRUE(status_wait(0u).succeeded());
  EXPECT_TRUE(status_wait(63u).succeeded());
  EXPECT_TRUE(status_wait(64u).failed());
  EXPECT_TRUE(status_wait(128u).failed());
  EXPECT_TRUE(status_wait(WAIT_TIMEOUT).failed());
  EXPECT_TRUE(status_wait(WAIT_FAILED).failed());

  const status_wait apc(WAIT_IO_COMPLETION);
  EXPECT_FALSE(apc.succeeded());
  EXPECT_FALSE(apc.failed());
  EXPECT_TRUE(apc.ok());
  EXPECT_FALSE(apc.not_ok());
  EXPECT_EQ(status_wait().get_code(), 0u);
}

TEST(Status, ThreadClassification) {
  const status_thread running(STILL_ACTIVE);
  EXPECT_TRUE(running.ok());
  EXPECT_FALSE(running.succeeded());
  EXPECT_FALSE(running.failed());
  EXPECT_TRUE(running.still_active());
  EXPECT_TRUE(status_thread(1).failed());
  EXPECT_TRUE(status_thread(WAIT_TIMEOUT).failed());
  EXPECT_TRUE(status_thread(0).succeeded());
  EXPECT_FALSE(status_thread(0).still_active());
}

TEST(Status, FromBoolReadsLastErrorOnlyOnFailure) {
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(status_win32(TRUE, bool_result).get_code(), 0u);
  EXPECT_EQ(status_wait(TRUE, bool_result).get_code(), 0u);
  EXPECT_EQ(code_from_bool(TRUE), 0u);
  EXPECT_EQ(status_win32(FALSE, bool_result).get_code(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(ERROR_INVALID_PARAMETER);
  EXPECT_EQ(code_from_bool(FALSE), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  status_thread t;
  t.set_from_bool(FALSE);
  EXPECT_EQ(t.get_code(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Status, FailedBoolNeverReadsAsAWaitSuccess) {
  // ERROR_INVALID_HANDLE (6) taken as a wait result would be WAIT_OBJECT_0 + 6.
  for (DWORD error :
       {DWORD{ERROR_INVALID_HANDLE}, DWORD{0}, DWORD{63}, DWORD{WAIT_IO_COMPLETION}, DWORD{ERROR_INVALID_PARAMETER}}) {
    SetLastError(error);
    const status_wait s(FALSE, bool_result);
    EXPECT_TRUE(s.failed()) << error;
    EXPECT_EQ(s.get_code(), WAIT_FAILED) << error;
    EXPECT_EQ(GetLastError(), error); // the reason stays with the thread
    status_wait w;
    w.set_from_bool(FALSE);
    EXPECT_TRUE(w.failed()) << error;
  }
  status_wait ok(WAIT_TIMEOUT);
  ok.set_from_bool(TRUE);
  EXPECT_TRUE(ok.succeeded());
}

TEST(Status, PlainIntegerIsACodeNotABool) {
  SetLastError(0);
  // An integer literal must not be taken for a BOOL result.
  EXPECT_EQ(status_win32(258).get_code(), 258u);
  EXPECT_EQ(status_wait(258).get_code(), 258u);
}

TEST(Status, CopiesKeepTheirClassAndCompareByCode) {
  const status_wait apc(WAIT_IO_COMPLETION);
  const status_win32 copy = apc; // a status_win32 now: WAIT_IO_COMPLETION fails
  EXPECT_EQ(copy.get_code(), WAIT_IO_COMPLETION);
  EXPECT_TRUE(copy.failed());
  EXPECT_TRUE(copy == apc);
  EXPECT_TRUE(status_thread(6) == status_win32(6u));
  EXPECT_FALSE(status_thread(6) == status_win32(7u));

  status_thread t;
  t.assign(status_wait(WAIT_TIMEOUT));
  EXPECT_EQ(t.get_code(), WAIT_TIMEOUT);
}

TEST(Status, FailedSetReadsAsFailed) {
  // A timer whose kernel handle is gone: the set fails with ERROR_INVALID_HANDLE (6).
  waitable_timer timer;
  timer.close_holder();
  const status_win32 set = timer.set(0, 0);
  EXPECT_TRUE(set.failed());
  EXPECT_EQ(set.get_code(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(timer.cancel().failed());
  // Taken as a wait status it must not read as WAIT_OBJECT_0 + 6.
  EXPECT_TRUE(status_wait(set).failed());
  EXPECT_TRUE(status_wait(timer.set(0, 0)).failed());
  EXPECT_TRUE(status_wait(status_win32(0u)).succeeded());

  waitable_event event;
  event.close_holder();
  EXPECT_TRUE(event.set().failed());
  EXPECT_TRUE(status_wait(event.set()).failed());
  waitable_signal signal;
  signal.close_holder();
  EXPECT_TRUE(signal.set().failed());
}

TEST(Status, MessageForKnownAndUnknownCodes) {
  const std::string known = status_win32(static_cast<DWORD>(ERROR_INVALID_HANDLE)).message();
  EXPECT_FALSE(known.empty());
  EXPECT_EQ(status_wait(0x7654321u).message(), "");
}

TEST(Status, Win32ExceptionCarriesItsText) {
  try {
    throw w32_exception("word out of range");
  } catch (const std::exception &e) {
    EXPECT_STREQ(e.what(), "word out of range");
    const auto &w = dynamic_cast<const w32_exception &>(e);
    EXPECT_EQ(w.message(), "word out of range");
    EXPECT_EQ(w.full_message(), "word out of range");
  }
}

TEST(Trace, AcceptsAnyMixAndNeverThrows) {
  DBGTrace trace("POOL");
  DBGTrace unnamed("");
  EXPECT_NO_THROW(trace << "api destruction\n" << 42 << ' ' << 3.5 << std::endl << "after the line end");
  EXPECT_NO_THROW(unnamed << "- lib_instance count: " << 1u << "\n");
  EXPECT_NO_THROW(trace.flush());
  // Strings and numbers are taken whole without a buffer behind them.
  EXPECT_TRUE(unnamed.good());
}
