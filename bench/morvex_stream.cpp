// The instrument API's read stream against reads driven straight on the device manager's session,
// both keeping 50 reads in flight over the same transport (the fake instrument, which completes
// reads at once): the API's own cost per read. Prints stream/direct time ratios per read size.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include <w32cpp/loader.h>

#include <morvex/morvex.h>

#include "fake_instrument.h"

namespace {

constexpr int reads_per_iteration = 1000;

struct rig {
  struct api_lib : w32cpp::dynamic_link_instance<morvex::iapi> {
    api_lib() : dynamic_link_instance("morvex8", "morvex_get_instance") {}
  } api;
  karnet::protocol_handle holder;
  morvex::zeph_session session;
  rig() {
    auto* device = morvex_test::fake_instrument::make(holder);
    device->plug("inst1", zeph_wire::device_interface_guid_bulk);
    device->start();
    auto list = api->device_manager()->device_interfaces(karnet::guid(zeph_wire::device_interface_guid_bulk));
    session = api->open_session(api->device_manager()->create_session(list.front()));
    session.set_mode(1, 0, 0);
  }
  ~rig() {
    session.on_device_removed();
    static_cast<morvex_test::fake_instrument*>(holder.get())->stop();
  }
};

rig& the_rig() {
  static rig* r = new rig();
  return *r;
}

void BM_Direct(benchmark::State& state) {
  rig& r = the_rig();
  const auto bytes = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    std::deque<std::unique_ptr<karnet::io_read>> q;
    int posted = 0, taken = 0;
    while (taken < reads_per_iteration) {
      while (q.size() < morvex::zeph_stream::reads_in_flight && posted < reads_per_iteration) {
        auto read = std::make_unique<karnet::io_read>(r.session.library(), r.session.allocate(bytes, false));
        r.session.submit_read(*read);
        q.push_back(std::move(read));
        ++posted;
      }
      q.front()->request()->wait(INFINITE, TRUE);
      benchmark::DoNotOptimize(q.front()->buffer().bytes()[0]);
      q.pop_front();
      ++taken;
    }
  }
  state.SetItemsProcessed(state.iterations() * reads_per_iteration);
}

struct counting_receiver : morvex::zeph_stream_receiver {
  void completed(DWORD status, const ostrel::mem_block& buffer, uint32_t) override {
    if (status == 0) benchmark::DoNotOptimize(buffer.bytes()[0]);
    if (++count == reads_per_iteration) done.set();
  }
  int count = 0;
  w32cpp::waitable_event done{FALSE};
};

void BM_Stream(benchmark::State& state) {
  rig& r = the_rig();
  const auto bytes = static_cast<uint32_t>(state.range(0));
  w32cpp::auto_handle<counting_receiver> rx(new counting_receiver());
  r.session.stream().client().set(rx);
  for (auto _ : state) {
    rx->count = 0;
    r.session.stream().start(bytes, reads_per_iteration);
    rx->done.wait(INFINITE, FALSE);
    r.session.stream().stop();
  }
  r.session.stream().client().reset();
  state.SetItemsProcessed(state.iterations() * reads_per_iteration);
}

BENCHMARK(BM_Direct)->Arg(64)->Arg(4096)->Arg(65536)->UseRealTime();
BENCHMARK(BM_Stream)->Arg(64)->Arg(4096)->Arg(65536)->UseRealTime();

// Prints the usual table, then each stream figure as a ratio to the direct reads of the same size.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  ratio_reporter() : ConsoleReporter(isatty(1) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred && r.iterations > 0 && r.run_type == Run::RT_Iteration)
        times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nstream / direct time per read:\n");
    for (const auto& [name, t] : times_) {
      if (name.rfind("BM_Stream/", 0) != 0) continue;
      const std::string arg = name.substr(10);
      auto it = times_.find("BM_Direct/" + arg);
      if (it != times_.end() && it->second > 0) std::printf("  %-10s %8.2f\n", arg.c_str(), t / it->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
