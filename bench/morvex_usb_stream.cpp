// End-to-end stream throughput over USB: a measurement run read through zeph_session's read stream
// (morvex8, quillon8, the driver, the simulated bus) against the same run read with overlapped
// ReadFile on the driver's handle, both with 50 reads of 64 KiB in flight, each read checked complete
// and in order. The ratio of their times per run (bench/ratio_table.h) is the instrument API's own
// overhead.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include <w32cpp/loader.h>
#include <w32cpp/waitable.h>

#include <morvex/morvex.h>
#include <morvex/wire.h>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>

#include "ratio_table.h"

namespace {

using namespace zeph_wire;

constexpr uint32_t block = 64 * 1024;  // one message per block, one block per read
constexpr int blocks_per_run = 400;
constexpr int depth = 50;  // reads in flight, as the stream keeps them

struct api_lib : w32cpp::dynamic_link_instance<morvex::iapi> {
  api_lib() : dynamic_link_instance("morvex8", "morvex_get_instance") {}
};

// One instrument on the bus with the driver, and the instrument API with its USB transport running.
struct rig {
  api_lib api;
  std::shared_ptr<simdev::instrument> model;
  std::shared_ptr<simdev::usb_device> usb;
  std::string instance;

  rig() {
    standin::pnp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
    api->start();
    simdev::instrument_config cfg;
    cfg.block_payload = block - 4;
    model = std::make_shared<simdev::instrument>(cfg);
    usb = std::make_shared<simdev::usb_device>(model);
    instance = standin::usbbus::plug(usb);
    standin::pnp::settle();
  }
};

rig &the_rig() {
  static rig *r = new rig;  // lives for the process: the stand-in outlives every benchmark
  return *r;
}

// Checks one read: "1, payload size, payload" continuing the run's stream at *offset.
bool in_order(const uint8_t *data, uint32_t bytes, uint64_t *offset) {
  if (bytes != block || data[0] != 1) return false;
  if (simdev::check_pattern(simdev::seed::measurement, *offset, std::span(data + 4, block - 4))) return false;
  *offset += block - 4;
  return true;
}

// Reads on the driver's handle: 50 overlapped reads in flight, taken in the order posted.
void BM_RunThroughTheDriver(benchmark::State &state) {
  rig &r = the_rig();
  HANDLE h = CreateFileA("\\\\.\\VANTRELDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    state.SkipWithError("the driver's device did not open");
    return;
  }
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto control = [&](DWORD code, void *in, DWORD in_size) {
    OVERLAPPED o{};
    o.hEvent = ev;
    DWORD got = 0;
    if (!DeviceIoControl(h, code, in, in_size, nullptr, 0, nullptr, &o)) {
      if (GetLastError() != ERROR_IO_PENDING) return GetLastError();
      WaitForSingleObject(ev, 10000);
    }
    return GetOverlappedResult(h, &o, &got, FALSE) ? DWORD(0) : GetLastError();
  };
  uint8_t mode[4] = {MODE_BULK, 0, 0, 0};
  control(IOCTL_SELECT_MODE, mode, 4);
  struct slot {
    OVERLAPPED o{};
    std::vector<uint8_t> buf = std::vector<uint8_t>(block);
  };
  std::vector<slot> slots(depth);
  for (auto &s : slots) s.o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (auto _ : state) {
    uint8_t run[HEADER_SIZE + 3];
    header_view{run}.write(0x000003, 1, 1);
    put24(run + HEADER_SIZE, blocks_per_run);
    if (control(IOCTL_VENDOR_WRITE, run, sizeof run) != 0) {
      state.SkipWithError("the run did not start");
      break;
    }
    int posted = 0, taken = 0;
    uint64_t offset = 0;
    auto post = [&](slot &s) {
      ResetEvent(s.o.hEvent);
      ReadFile(h, s.buf.data(), block, nullptr, &s.o);
      ++posted;
    };
    for (int i = 0; i < depth && posted < blocks_per_run; ++i) post(slots[i]);
    bool good = true;
    while (taken < blocks_per_run && good) {
      slot &s = slots[taken % depth];
      DWORD got = 0;
      WaitForSingleObject(s.o.hEvent, 10000);
      good = GetOverlappedResult(h, &s.o, &got, FALSE) && in_order(s.buf.data(), got, &offset);
      ++taken;
      if (posted < blocks_per_run) post(s);
    }
    if (!good) {
      state.SkipWithError("a read failed or came out of order");
      break;
    }
  }
  for (auto &s : slots) CloseHandle(s.o.hEvent);
  mode[0] = MODE_IDLE;
  control(IOCTL_SELECT_MODE, mode, 4);
  CloseHandle(ev);
  CloseHandle(h);
  state.SetBytesProcessed(state.iterations() * blocks_per_run * int64_t(block));
}

struct checking_receiver : morvex::zeph_stream_receiver {
  void completed(DWORD status, const ostrel::mem_block &buffer, uint32_t bytes) override {
    if (status != 0 || buffer.empty() || !in_order(buffer.bytes(), bytes, &offset)) failed = true;
    if (++count == blocks_per_run || failed) done.set();
  }
  int count = 0;
  uint64_t offset = 0;
  bool failed = false;
  w32cpp::waitable_event done{FALSE};
};

// The same runs through the instrument API's read stream (50 reads in flight, results in order).
void BM_RunThroughTheStream(benchmark::State &state) {
  rig &r = the_rig();
  karnet::interface_list list = r.api->device_manager()->device_interfaces(karnet::guid(device_interface_guid_bulk));
  if (list.empty()) {
    state.SkipWithError("no instrument listed");
    return;
  }
  morvex::zeph_session session = r.api->open_session(r.api->device_manager()->create_session(list.front()));
  if (!session.is_open() || session.set_mode(1, 0, 0).get_code() != 0) {
    state.SkipWithError("the session did not open");
    return;
  }
  w32cpp::auto_handle<checking_receiver> rx(new checking_receiver());
  session.stream().client().set(rx);
  for (auto _ : state) {
    rx->count = 0;
    rx->offset = 0;
    morvex::zeph_set_param run = session.make_set_param(0x000003, 1, 1);
    run.set_word(0, blocks_per_run);
    if (session.control_and_wait(run, 10000).get_code() != 0 || !session.stream().start(block, blocks_per_run)) {
      state.SkipWithError("the run did not start");
      break;
    }
    if (rx->done.wait(60000, FALSE).get_code() != WAIT_OBJECT_0 || rx->failed) {
      state.SkipWithError("a read failed or came out of order");
      break;
    }
    session.stream().stop();
  }
  session.stream().client().reset();
  session.set_mode(0, 0, 0);
  session.on_device_removed();
  state.SetBytesProcessed(state.iterations() * blocks_per_run * int64_t(block));
}

BENCHMARK(BM_RunThroughTheDriver)->UseRealTime();
BENCHMARK(BM_RunThroughTheStream)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  return bench::run(argc, argv,
                    {{"USB run 64 KiB x 400: stream / ReadFile", "BM_RunThroughTheStream/real_time",
                      "BM_RunThroughTheDriver/real_time", 0, "-"}});
}
