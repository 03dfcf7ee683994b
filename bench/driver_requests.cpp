// The driver's request overhead and bulk streaming on the kernel stand-in, each against a baseline in
// the same run: a vendor request through DeviceIoControl, the driver, the bus and the instrument model
// against a direct call into the model; 50 bulk reads of 64 KiB in flight against the model handing out
// the same stream directly. Prints the differences and ratios, with process CPU time per unit.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <morvex/wire.h>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>

#include <time.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

using namespace zeph_wire;

double process_cpu_us() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

double wall_us() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

constexpr uint32_t block = 64 * 1024;

// One instrument on the bus with the driver, opened in mode 1.
struct rig {
  std::shared_ptr<simdev::instrument> model;
  std::shared_ptr<simdev::usb_device> usb;
  std::string instance;
  HANDLE h = INVALID_HANDLE_VALUE;
  HANDLE ev = nullptr;

  rig() {
    standin::pnp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
    simdev::instrument_config cfg;
    cfg.block_payload = block - 4;  // one 64 KiB message per block: one message per read
    model = std::make_shared<simdev::instrument>(cfg);
    usb = std::make_shared<simdev::usb_device>(model);
    instance = standin::usbbus::plug(usb);
    standin::pnp::settle();
    h = CreateFileA("\\\\.\\VANTRELDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED, nullptr);
    ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint8_t mode[4] = {MODE_BULK, 0, 0, 0};
    control(IOCTL_SELECT_MODE, mode, 4, nullptr, 0);
  }
  ~rig() {
    CloseHandle(h);
    CloseHandle(ev);
    standin::usbbus::unplug(instance);
    standin::pnp::settle();
  }
  DWORD control(DWORD code, void *in, DWORD in_size, void *out, DWORD out_size) {
    OVERLAPPED o{};
    o.hEvent = ev;
    DWORD bytes = 0;
    if (!DeviceIoControl(h, code, in, in_size, out, out_size, nullptr, &o)) {
      if (GetLastError() != ERROR_IO_PENDING) return GetLastError();
      WaitForSingleObject(ev, 10000);
    }
    return GetOverlappedResult(h, &o, &bytes, FALSE) ? 0 : GetLastError();
  }
};

rig &the_rig() {
  static rig *r = new rig;  // lives for the process: the stand-in outlives every benchmark
  return *r;
}

double g_stack_us = 0, g_direct_us = 0, g_stack_cpu = 0, g_direct_cpu = 0;

// The vendor read of the five state words.
void BM_VendorRequest_Driver(benchmark::State &state) {
  rig &r = the_rig();
  uint8_t buf[HEADER_SIZE + 15];
  double w0 = wall_us(), c0 = process_cpu_us();
  int64_t n = 0;
  for (auto _ : state) {
    header_view{buf}.write(0x000004, 1, 5);
    if (r.control(IOCTL_VENDOR_READ, buf, HEADER_SIZE, buf, sizeof buf) != 0) state.SkipWithError("request failed");
    ++n;
  }
  g_stack_us = (wall_us() - w0) / n;
  g_stack_cpu = (process_cpu_us() - c0) / n;
  state.counters["cpu_us_per_request"] = g_stack_cpu;
}

void BM_VendorRequest_DirectModel(benchmark::State &state) {
  rig &r = the_rig();
  uint8_t buf[15];
  simdev::setup_packet s;
  s.bmRequestType = 0xC0;
  s.bRequest = 0x00;
  s.wValue = 0x0004;
  s.wIndex = 1;
  s.wLength = 15;
  double w0 = wall_us(), c0 = process_cpu_us();
  int64_t n = 0;
  for (auto _ : state) {
    auto res = r.usb->control(s, buf);
    benchmark::DoNotOptimize(res);
    ++n;
  }
  g_direct_us = (wall_us() - w0) / n;
  g_direct_cpu = (process_cpu_us() - c0) / n;
  state.counters["cpu_us_per_request"] = g_direct_cpu;
}

double g_stream_rate = 0, g_stream_cpu = 0, g_direct_rate = 0, g_direct_cpu_mib = 0;

// 50 reads of 64 KiB kept in flight during a measurement run; each is checked complete and in order.
void BM_BulkStream_Driver(benchmark::State &state) {
  rig &r = the_rig();
  constexpr int depth = 50;
  struct slot {
    OVERLAPPED o{};
    std::vector<uint8_t> buf = std::vector<uint8_t>(block);
  };
  std::vector<slot> slots(depth);
  uint8_t start[HEADER_SIZE + 3];
  header_view{start}.write(0x000003, 1, 1);
  put24(start + HEADER_SIZE, 0);
  r.control(IOCTL_VENDOR_WRITE, start, sizeof start, nullptr, 0);
  for (auto &s : slots) {
    s.o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ReadFile(r.h, s.buf.data(), block, nullptr, &s.o);
  }
  uint64_t bytes = 0, offset = 0;
  int next = 0;
  double w0 = wall_us(), c0 = process_cpu_us();
  for (auto _ : state) {
    slot &s = slots[next];
    DWORD got = 0;
    WaitForSingleObject(s.o.hEvent, 10000);
    if (!GetOverlappedResult(r.h, &s.o, &got, FALSE) || got != block) {
      state.SkipWithError("read failed or short");
      break;
    }
    // Messages are "1, payload size, payload": the payload continues the run's stream.
    if (s.buf[0] != 1 || simdev::check_pattern(simdev::seed::measurement, offset, std::span(s.buf.data() + 4, block - 4))) {
      state.SkipWithError("data out of order or damaged");
      break;
    }
    offset += block - 4;
    bytes += got;
    ReadFile(r.h, s.buf.data(), block, nullptr, &s.o);
    next = (next + 1) % depth;
  }
  double secs = (wall_us() - w0) / 1e6;
  double mib = bytes / (1024.0 * 1024.0);
  g_stream_rate = bytes / secs;
  g_stream_cpu = (process_cpu_us() - c0) / mib;
  state.SetBytesProcessed((int64_t)bytes);
  state.counters["cpu_us_per_MiB"] = g_stream_cpu;
  uint8_t stop[HEADER_SIZE];
  header_view{stop}.write(0x000003, 3, 0);
  r.control(IOCTL_VENDOR_COMMAND, stop, sizeof stop, nullptr, 0);
  CancelIo(r.h);
  for (auto &s : slots) {
    WaitForSingleObject(s.o.hEvent, 10000);
    CloseHandle(s.o.hEvent);
  }
  // The stopped stream's rest is dropped with the pipe word.
  uint8_t word[HEADER_SIZE];
  header_view{word}.write(WORD_READ_PIPE_RESET, 0, 0);
  r.control(IOCTL_VENDOR_COMMAND, word, sizeof word, nullptr, 0);
}

// The same stream taken straight from the model, segment by segment.
void BM_BulkStream_DirectModel(benchmark::State &state) {
  simdev::instrument_config cfg;
  cfg.block_payload = block - 4;
  simdev::instrument model(cfg);
  simdev::setup_packet set;
  set.bRequest = 9;
  set.wValue = 1;
  model.control(set, {});
  uint8_t w[3] = {0, 0, 0};
  simdev::setup_packet run;
  run.bmRequestType = 0x40;
  run.wValue = 0x0003;
  run.wIndex = 1;
  run.wLength = 3;
  model.control(run, w);
  std::vector<uint8_t> buf(block);
  uint64_t bytes = 0, offset = 0;
  double w0 = wall_us(), c0 = process_cpu_us();
  for (auto _ : state) {
    size_t n = 0;
    while (n < block) {
      auto seg = model.bulk_in_peek(block - n);
      if (seg.size() == 3) {
        model.bulk_in_consume(3);
        continue;
      }
      memcpy(buf.data() + n, seg.data(), seg.size());
      model.bulk_in_consume(seg.size());
      n += seg.size();
    }
    if (simdev::check_pattern(simdev::seed::measurement, offset, std::span(buf.data() + 4, block - 4))) {
      state.SkipWithError("model stream out of order");
      break;
    }
    offset += block - 4;
    bytes += n;
  }
  double secs = (wall_us() - w0) / 1e6;
  double mib = bytes / (1024.0 * 1024.0);
  g_direct_rate = bytes / secs;
  g_direct_cpu_mib = (process_cpu_us() - c0) / mib;
  state.SetBytesProcessed((int64_t)bytes);
  state.counters["cpu_us_per_MiB"] = g_direct_cpu_mib;
}

BENCHMARK(BM_VendorRequest_DirectModel)->UseRealTime();
BENCHMARK(BM_VendorRequest_Driver)->UseRealTime();
BENCHMARK(BM_BulkStream_DirectModel)->UseRealTime();
BENCHMARK(BM_BulkStream_Driver)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_direct_us > 0 && g_stack_us > 0)
    std::printf("vendor request: %.1f us through the stack vs %.2f us direct: +%.1f us per request (x%.0f); "
                "CPU %.1f us vs %.2f us per request\n",
                g_stack_us, g_direct_us, g_stack_us - g_direct_us, g_stack_us / g_direct_us, g_stack_cpu,
                g_direct_cpu);
  if (g_direct_rate > 0 && g_stream_rate > 0)
    std::printf("bulk stream: %.1f MiB/s through the stack vs %.1f MiB/s direct (ratio %.3f); CPU %.0f us vs %.0f us "
                "per MiB\n",
                g_stream_rate / 1048576, g_direct_rate / 1048576, g_stream_rate / g_direct_rate, g_stream_cpu,
                g_direct_cpu_mib);
  return 0;
}
