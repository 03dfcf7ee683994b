// Bulk read throughput through the serial transport's protocol device (lintra8 loaded by name, a
// device-manager session, framing included) over the in-memory line to the simulated instrument.
// Ratios are taken against the same run's line capacity and against what the packet framing leaves
// of it, as for the engines' benchmark.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include <karnet/iapi.h>
#include <morvex/wire.h>
#include <simdev/faults.h>
#include <simdev/instrument.h>
#include <simdev/serial_device.h>

#include "lintra/iapi.h"
#include "test_ports.h"

namespace {

namespace wire = zeph_wire;

// Device-direction bytes of one framed message: the header packet, then data packets of at most 1024.
double framing_efficiency(size_t payload) {
  const size_t packets = (payload + 1023) / 1024;
  return double(payload) / double(payload + (1 + 2 + 3 + 2) + packets * (1 + 2 + 2));
}

struct Link {
  std::shared_ptr<simdev::instrument> model = std::make_shared<simdev::instrument>();
  std::shared_ptr<simdev::byte_stream> host_end, device_end;
  std::unique_ptr<simdev::serial_device> device;
  lintra_test::MemoryComPort* port = nullptr;
  w32cpp::auto_handle<IComPort> handle;
  w32cpp::dynamic_link_instance<lintra::iapi> lintra{"lintra8", "lintra_get_instance"};
  karnet::karnet_lib manager;
  karnet::io_session session;

  bool up(std::uint32_t baud) {
    auto ends = simdev::memory_line::make_pair();
    host_end = ends.first;
    device_end = ends.second;
    device = std::make_unique<simdev::serial_device>(model, device_end);
    device->start();
    port = new lintra_test::MemoryComPort(host_end, "BENCH1", 2000);
    handle = w32cpp::auto_handle<IComPort>(port);
    if (!lintra || !manager || !lintra->register_port(handle, 1)) return false;
    for (int i = 0; i < 2000; ++i) {
      auto listed = manager->device_interfaces(karnet::guid(wire::device_interface_guid_bulk));
      if (!listed.empty()) {
        session = manager->create_session(listed.front());
        break;
      }
      Sleep(5);
    }
    if (!session.is_open()) return false;
    BYTE mode[4] = {wire::MODE_BULK, 0, 0, 0};
    karnet::io_control op = session.control_on_memory(wire::IOCTL_SELECT_MODE, nullptr, 0, mode, 4);
    if (session.control_and_wait(op, 10000).get_code() != 0) return false;
    model->faults().line_rate(baud);
    port->set_line_rate(baud);
    return true;
  }

  ~Link() {
    session = karnet::io_session();
    if (lintra) lintra->serial_disable();
    device->stop();
    host_end->close();
  }
};

void BM_DeviceRead(benchmark::State& state) {
  const std::uint32_t baud = std::uint32_t(state.range(0));
  const size_t message = size_t(state.range(1));
  Link link;
  if (!link.up(baud)) {
    state.SkipWithError("link did not come up");
    return;
  }
  std::vector<BYTE> payload(message);
  simdev::fill_pattern(1, 0, std::span<std::uint8_t>(payload.data(), payload.size()));
  std::vector<BYTE> buffer(message);
  size_t bytes = 0;
  for (auto _ : state) {
    link.model->queue_bulk_message(payload);
    karnet::io_read op = link.session.read_on_memory(buffer.data(), DWORD(buffer.size()), false);
    if (link.session.read_and_wait(op, 60000).get_code() != 0 || op.request()->bytes() != message) {
      state.SkipWithError("read failed");
      return;
    }
    bytes += message;
  }
  state.SetBytesProcessed(int64_t(bytes));
  state.counters["payload_Bps"] = benchmark::Counter(double(bytes), benchmark::Counter::kIsRate);
  state.counters["framing_eff"] = framing_efficiency(message);
  if (baud) {
    const double capacity = baud / 10.0;
    state.counters["of_capacity"] = benchmark::Counter(double(bytes) / capacity, benchmark::Counter::kIsRate);
    state.counters["of_framing"] =
        benchmark::Counter(double(bytes) / (capacity * framing_efficiency(message)), benchmark::Counter::kIsRate);
  }
}

}  // namespace

BENCHMARK(BM_DeviceRead)->Args({115200, 16384})->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeviceRead)->Args({115200, 200})->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeviceRead)->Args({0, 16384})->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
