// A DeviceIoControl round trip through the stand-in's I/O manager to the kernel tests' driver (its
// echo request: buffered input copied to the output), against a direct call doing the same copy.
// Prints the ratio table (bench/ratio_table.h) with the overhead per request in nanoseconds.
#include <benchmark/benchmark.h>
#include <standin/pnp.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "ratio_table.h"
#include "testdrv.h"

namespace {

constexpr DWORD k_bytes = 64;

HANDLE device() {
  static HANDLE h = [] {
    standin::pnp::install_driver("WbTest", WB_TESTDRV_PATH, {"WBTEST\\DEV"});
    standin::pnp::add_root_device("WBTEST\\DEV", "bench");
    standin::pnp::settle();
    return CreateFileA("\\\\.\\WbTest0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }();
  return h;
}

void BM_DeviceIoControl(benchmark::State &state) {
  const HANDLE h = device();
  if (h == INVALID_HANDLE_VALUE) {
    state.SkipWithError("the test driver did not open");
    return;
  }
  unsigned char in[k_bytes], out[k_bytes];
  std::memset(in, 0x5A, sizeof in);
  for (auto _ : state) {
    DWORD n = 0;
    if (!DeviceIoControl(h, IOCTL_TD_ECHO, in, k_bytes, out, k_bytes, &n, nullptr) || n != k_bytes) {
      state.SkipWithError("echo failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
}

// What the request does, without the I/O manager: the copy through a system buffer and back.
__attribute__((noinline)) BOOL direct_echo(const void *in, DWORD in_len, void *out, DWORD out_len, DWORD *n) {
  unsigned char system_buffer[k_bytes];
  std::memcpy(system_buffer, in, in_len);
  const DWORD copied = in_len < out_len ? in_len : out_len;
  std::memcpy(out, system_buffer, copied);
  *n = copied;
  return TRUE;
}

void BM_DirectCall(benchmark::State &state) {
  unsigned char in[k_bytes], out[k_bytes];
  std::memset(in, 0x5A, sizeof in);
  for (auto _ : state) {
    DWORD n = 0;
    direct_echo(in, k_bytes, out, k_bytes, &n);
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(n);
  }
}

BENCHMARK(BM_DeviceIoControl)->UseRealTime();
BENCHMARK(BM_DirectCall)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  bench::row r{"DeviceIoControl echo 64 B / direct call", "BM_DeviceIoControl/real_time", "BM_DirectCall/real_time",
               500.0, "<= 500 ns"};
  r.overhead = true;
  return bench::run(argc, argv, {r});
}
