// COM ports of the stand-in over a pseudo-terminal: names, settings, time-outs, purging, cancellation.
#include <gtest/gtest.h>
#include <windows.h>

#include <simdev/serial_device.h>
#include <standin/comm.h>
#include <standin/registry.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "zephtest/overlapped.h"
#include "zephtest/wait.h"

namespace {

struct Comm : ::testing::Test {
  void SetUp() override {
    pty = std::make_unique<simdev::pseudo_terminal>();
    standin::comm::map_port("COM7", pty->path());
  }
  void TearDown() override {
    for (HANDLE h : handles) CloseHandle(h);
    standin::comm::map_port("COM7", "");
  }
  HANDLE open(const char* name = "COM7", DWORD flags = FILE_FLAG_OVERLAPPED) {
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) handles.push_back(h);
    return h;
  }
  void set_baud(HANDLE h, DWORD baud) {
    DCB d{};
    ASSERT_TRUE(GetCommState(h, &d));
    d.BaudRate = baud;
    ASSERT_TRUE(SetCommState(h, &d));
  }
  // Reads from the instrument's side until n bytes came or the deadline passed.
  std::vector<std::uint8_t> peer_read(size_t n, int ms = 5000) {
    std::vector<std::uint8_t> out(n);
    size_t got = 0;
    const DWORD start = GetTickCount();
    while (got < n && GetTickCount() - start < DWORD(ms)) {
      const long k = pty->master()->read(out.data() + got, n - got, 50);
      if (k < 0) break;
      got += size_t(k);
    }
    out.resize(got);
    return out;
  }
  std::unique_ptr<simdev::pseudo_terminal> pty;
  std::vector<HANDLE> handles;
};

struct Overlapped {
  Overlapped() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() { CloseHandle(ov.hEvent); }
  OVERLAPPED ov{};
};

BOOL finish(HANDLE h, Overlapped& o, DWORD* n) { return zephtest::finish(h, o.ov, n); }

}  // namespace

TEST_F(Comm, NamesMappingAndExclusiveOpen) {
  EXPECT_EQ(open("COM8"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  HANDLE a = open("\\\\.\\com7");
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open("COM7"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(a);
  handles.clear();
  // The environment wins over the registry.
  simdev::pseudo_terminal other;
  setenv("ZEPH_COM7", other.path().c_str(), 1);
  HANDLE b = open("COM7");
  unsetenv("ZEPH_COM7");
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  Overlapped o;
  const BYTE x = 0x5A;
  if (!WriteFile(b, &x, 1, &n, &o.ov)) {
    ASSERT_TRUE(finish(b, o, &n));
  }
  std::uint8_t got = 0;
  long k = 0;
  for (int i = 0; i < 100 && k == 0; ++i) k = other.master()->read(&got, 1, 50);
  EXPECT_EQ(k, 1);
  EXPECT_EQ(got, 0x5A);
}

TEST(CommSettings, BuildCommDcbForms) {
  DCB d{};
  d.BaudRate = 1234;
  d.ByteSize = 7;
  EXPECT_TRUE(BuildCommDCBA("", &d));
  EXPECT_EQ(d.BaudRate, 1234u);  // nothing given, nothing changed
  EXPECT_TRUE(BuildCommDCBA("COM3:", &d));
  EXPECT_EQ(d.ByteSize, 7);
  ASSERT_TRUE(BuildCommDCBA("COM12: baud=19200 data=8 stop=1 parity=N", &d));
  EXPECT_EQ(d.BaudRate, 19200u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);
  EXPECT_EQ(d.Parity, NOPARITY);
  EXPECT_EQ(d.fOutX, 0u);
  ASSERT_TRUE(BuildCommDCBA("9600,e,7,2", &d));
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.Parity, EVENPARITY);
  EXPECT_EQ(d.ByteSize, 7);
  EXPECT_EQ(d.StopBits, TWOSTOPBITS);
  ASSERT_TRUE(BuildCommDCBA("baud=4800 octs=on rts=hs stop=1.5", &d));
  EXPECT_EQ(d.fOutxCtsFlow, 1u);
  EXPECT_EQ(d.fRtsControl, DWORD(RTS_CONTROL_HANDSHAKE));
  EXPECT_EQ(d.StopBits, ONE5STOPBITS);
  const DCB before = d;
  for (const char* bad : {"baud=", "data=9", "parity=q", "speed=9600", "baud=fast", "9600,n,8,1,z"}) {
    EXPECT_FALSE(BuildCommDCBA(bad, &d)) << bad;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << bad;
    EXPECT_EQ(memcmp(&d, &before, sizeof d), 0) << bad;
  }
}

TEST_F(Comm, StateRoundTripAndRefusedSettings) {
  HANDLE h = open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB d{};
  ASSERT_TRUE(GetCommState(h, &d));
  EXPECT_EQ(d.BaudRate, 9600u);
  ASSERT_TRUE(BuildCommDCBA("baud=115200 parity=O data=7", &d));
  ASSERT_TRUE(SetCommState(h, &d));
  DCB back{};
  ASSERT_TRUE(GetCommState(h, &back));
  EXPECT_EQ(back.BaudRate, 115200u);
  EXPECT_EQ(back.Parity, ODDPARITY);
  d.ByteSize = 9;
  EXPECT_FALSE(SetCommState(h, &d));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &d));
  EXPECT_TRUE(SetupComm(h, 16384, 0));
  EXPECT_TRUE(EscapeCommFunction(h, SETDTR));
  EXPECT_FALSE(EscapeCommFunction(h, 77));
}

TEST_F(Comm, ReadTimeoutsEndWithWhatCame) {
  HANDLE h = open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // Total time-out: the read ends with the 3 bytes that came, as a success.
  COMMTIMEOUTS t{0, 0, 500, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  Overlapped o;
  BYTE buf[10] = {};
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(h, buf, 10, &n, &o.ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  const std::uint8_t three[3] = {1, 2, 3};
  ASSERT_TRUE(pty->master()->write(three, 3));
  ASSERT_TRUE(finish(h, o, &n));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(buf[2], 3);
  // MAXDWORD interval and no totals: at once, with nothing.
  t = {MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  EXPECT_TRUE(ReadFile(h, buf, 10, &n, &o.ov));
  EXPECT_EQ(n, 0u);
  // Interval: the read ends once the line falls quiet after the first bytes.
  t = {100, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  ASSERT_FALSE(ReadFile(h, buf, 10, &n, &o.ov));
  ASSERT_TRUE(pty->master()->write(three, 2));
  ASSERT_TRUE(finish(h, o, &n));
  EXPECT_EQ(n, 2u);
  // No time-outs: a read waits for its whole count.
  t = {0, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  ASSERT_FALSE(ReadFile(h, buf, 4, &n, &o.ov));
  ASSERT_TRUE(pty->master()->write(three, 3));
  EXPECT_EQ(WaitForSingleObject(o.ov.hEvent, 100), DWORD(WAIT_TIMEOUT));
  ASSERT_TRUE(pty->master()->write(three, 1));
  ASSERT_TRUE(finish(h, o, &n));
  EXPECT_EQ(n, 4u);
}

TEST_F(Comm, TimeoutsOutliveTheHandleUntilTheNameIsMappedAgain) {
  HANDLE h = open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS left{MAXDWORD, 0, 0, 7, 9};
  ASSERT_TRUE(SetCommTimeouts(h, &left));
  CloseHandle(h);
  handles.clear();
  // The next program that sets none gets what the last one left: reads return at once.
  h = open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS t{};
  ASSERT_TRUE(GetCommTimeouts(h, &t));
  EXPECT_EQ(memcmp(&t, &left, sizeof t), 0);
  Overlapped o;
  BYTE buf[4];
  DWORD n = 99;
  EXPECT_TRUE(ReadFile(h, buf, 4, &n, &o.ov));
  EXPECT_EQ(n, 0u);
  CloseHandle(h);
  handles.clear();
  standin::comm::map_port("COM7", pty->path());
  h = open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(GetCommTimeouts(h, &t));
  EXPECT_EQ(t.ReadIntervalTimeout + t.ReadTotalTimeoutConstant + t.WriteTotalTimeoutConstant, 0u);
}

TEST_F(Comm, WriteTimeoutAtASlowRate) {
  HANDLE h = open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  set_baud(h, 300);
  ASSERT_TRUE(SetupComm(h, 4096, 16));
  COMMTIMEOUTS t{0, 0, 0, 0, 100};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  std::vector<BYTE> data(200, 0x33);
  Overlapped o;
  DWORD n = 0;
  if (!WriteFile(h, data.data(), DWORD(data.size()), &n, &o.ov)) {
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_TRUE(finish(h, o, &n));
  }
  EXPECT_LT(n, 200u);
  EXPECT_GE(n, 16u);
}

TEST_F(Comm, TransmitClearDiscardsWhatHasNotGoneOut) {
  HANDLE h = open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  set_baud(h, 300);  // 30 bytes a second
  std::vector<BYTE> data(100, 0x44);
  Overlapped o;
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, data.data(), 100, &n, &o.ov));  // into the transmit queue at once
  EXPECT_EQ(n, 100u);
  COMSTAT st{};
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(h, &errors, &st));
  EXPECT_GT(st.cbOutQue, 50u);
  ASSERT_TRUE(PurgeComm(h, PURGE_TXCLEAR));
  const BYTE marker = 0xEE;
  ASSERT_TRUE(WriteFile(h, &marker, 1, &n, &o.ov));
  ASSERT_TRUE(FlushFileBuffers(h));
  ASSERT_TRUE(ClearCommError(h, &errors, &st));
  EXPECT_EQ(st.cbOutQue, 0u);
  std::vector<std::uint8_t> seen;
  for (int i = 0; i < 200 && (seen.empty() || seen.back() != 0xEE); ++i) {
    auto part = peer_read(1, 50);
    seen.insert(seen.end(), part.begin(), part.end());
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 0xEE);
  EXPECT_LT(seen.size(), 50u);  // most of the 100 bytes were discarded
}

TEST_F(Comm, AbortPurgeAndCancelEndPendingRequests) {
  HANDLE h = open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Overlapped r;
  BYTE buf[8];
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(h, buf, 8, &n, &r.ov));
  ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT));
  EXPECT_FALSE(finish(h, r, &n));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  // A write waiting for room in a small transmit queue ends on the transmit abort.
  set_baud(h, 300);
  ASSERT_TRUE(SetupComm(h, 4096, 8));
  std::vector<BYTE> data(64, 0x21);
  Overlapped w;
  ASSERT_FALSE(WriteFile(h, data.data(), 64, &n, &w.ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
  EXPECT_FALSE(finish(h, w, &n));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_LT(n, 64u);
  // CancelIo ends only the calling thread's requests.
  ASSERT_FALSE(ReadFile(h, buf, 8, &n, &r.ov));
  std::thread other([&] { CancelIo(h); });
  zephtest::join(other);
  EXPECT_EQ(WaitForSingleObject(r.ov.hEvent, 50), DWORD(WAIT_TIMEOUT));
  ASSERT_TRUE(CancelIo(h));
  EXPECT_FALSE(finish(h, r, &n));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  // Closing the port ends what is still pending.
  ASSERT_FALSE(ReadFile(h, buf, 8, &n, &r.ov));
  CloseHandle(h);
  handles.clear();
  EXPECT_FALSE(finish(h, r, &n));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
}

TEST_F(Comm, SynchronousHandleAndReceiveClear) {
  HANDLE h = open("COM7", 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::uint8_t junk[5] = {9, 9, 9, 9, 9};
  ASSERT_TRUE(pty->master()->write(junk, 5));
  COMSTAT st{};
  ASSERT_TRUE(zephtest::wait_until([&] { return ClearCommError(h, nullptr, &st) && st.cbInQue == 5; }));
  ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
  const std::uint8_t good[2] = {7, 8};
  ASSERT_TRUE(pty->master()->write(good, 2));
  BYTE buf[2] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, buf, 2, &n, nullptr));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(buf[0], 7);
  ASSERT_TRUE(WriteFile(h, buf, 2, &n, nullptr));
  EXPECT_EQ(peer_read(2), (std::vector<std::uint8_t>{7, 8}));
}
