// The flat API's close of a serial link, through the built library as a caller loads it, over a COM
// port (a pseudo-terminal to the simulated instrument's serial face), with the platform's real
// clock: the close holds a fixed 5000 ms alertable sleep, so the baseline is that sleep alone and
// the ratio shows what the close adds to it.
#include <benchmark/benchmark.h>

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>

#include <simdev/instrument.h>
#include <simdev/serial_device.h>
#include <standin/comm.h>

#include <tavobridge/tavo.h>

#include "ratio_table.h"

namespace {

constexpr DWORD com = 9;
constexpr DWORD timeout = 10000;

struct flat_link {
  std::shared_ptr<simdev::instrument> model = std::make_shared<simdev::instrument>();
  simdev::pseudo_terminal pty;
  std::unique_ptr<simdev::serial_device> device;
  HMODULE module = nullptr;
  TAVO_initSerialComm_fn init = nullptr;
  TAVO_closeComm_fn close = nullptr;

  bool ready() {
    device = std::make_unique<simdev::serial_device>(model, pty.master());
    device->start();
    standin::comm::map_port("COM" + std::to_string(com), pty.path());
    module = LoadLibraryA("tavobridge");
    if (!module) return false;
    init = reinterpret_cast<TAVO_initSerialComm_fn>(
        reinterpret_cast<void *>(GetProcAddress(module, "TAVO_initSerialComm")));
    close = reinterpret_cast<TAVO_closeComm_fn>(reinterpret_cast<void *>(GetProcAddress(module, "TAVO_closeComm")));
    return init && close;
  }
  bool up() { return init(timeout, com, 115200, 0) == 0; }
  ~flat_link() {
    if (close) close();
    if (module) FreeLibrary(module);
    if (device) device->stop();
    standin::comm::map_port("COM" + std::to_string(com), "");
  }
};

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Each pass brings the link up and closes it; with_open times both, otherwise the close alone.
void open_and_close(benchmark::State &state, bool with_open) {
  flat_link link;
  if (!link.ready()) {
    state.SkipWithError("no flat library");
    return;
  }
  for (auto _ : state) {
    auto start = clock_type::now();
    if (!link.up()) {
      state.SkipWithError("the link did not come up");
      return;
    }
    if (!with_open) start = clock_type::now();
    link.close();
    state.SetIterationTime(seconds_since(start));
  }
}

void BM_OpenThenClose(benchmark::State &state) { open_and_close(state, true); }
void BM_CloseAlone(benchmark::State &state) { open_and_close(state, false); }

// What the close may not avoid.
void BM_TheFixedSleep(benchmark::State &state) {
  for (auto _ : state) {
    const auto start = clock_type::now();
    SleepEx(5000, TRUE);
    state.SetIterationTime(seconds_since(start));
  }
}

BENCHMARK(BM_TheFixedSleep)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenThenClose)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloseAlone)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  return bench::run(argc, argv,
                    {{"serial close / 5000 ms sleep", "BM_CloseAlone/iterations:2/manual_time",
                      "BM_TheFixedSleep/iterations:1/manual_time", 1.1, "<= 1.10"},
                     {"serial open + close / 5000 ms sleep", "BM_OpenThenClose/iterations:2/manual_time",
                      "BM_TheFixedSleep/iterations:1/manual_time", 0, "-"}});
}
