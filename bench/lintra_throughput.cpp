// Bulk IN throughput of the serial transport's engines over the in-memory line to the simulated
// instrument: payload bytes per second against the line's capacity and against what the packet
// framing leaves of it, and the host worker's CPU time per payload byte. Line rates: 115200 baud and
// unlimited. Ratios are taken against the same run's own line capacity and framing.
#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include <simdev/faults.h>

#include "rig.h"

using namespace lintra;
using namespace lintra_test;

namespace {

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Reads framed messages the way the request layer does: the header's completion (on the worker)
// queues the data stage at once.
struct Reader {
    EPBulkIN* ep = nullptr;
    BYTE header[3] = {};
    std::vector<BYTE> data;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool ok = false;
    DWORD total = 0;
    double worker_cpu = 0;  // the worker thread's CPU clock at the last completion

    static void on_header(void* context, DWORD, DWORD, DWORD total, DWORD status) {
        Reader* self = static_cast<Reader*>(context);
        const DWORD n = DWORD(self->header[0]) | (DWORD(self->header[1]) << 8) | (DWORD(self->header[2]) << 16);
        if (!result_succeeded(status) || total != 3 || n > self->data.size()) return self->finish(false, 0);
        self->ep->set_callback(on_data);
        self->ep->queue(kind_in, self->data.data(), n, self, true, true);
    }
    static void on_data(void* context, DWORD, DWORD, DWORD total, DWORD status) {
        static_cast<Reader*>(context)->finish(result_succeeded(status), total);
    }
    void finish(bool good, DWORD bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        worker_cpu = thread_cpu_seconds();
        ok = good;
        total = bytes;
        done = true;
        cv.notify_all();
    }
    bool read_one() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = false;
        }
        ep->set_callback(on_header);
        ep->queue(kind_in, header, 3, this, false, true);
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return done; });
        return ok;
    }
};

// Device-direction bytes of one framed message: the header packet, then data packets of at most 1024.
double framing_efficiency(size_t payload) {
    const size_t packets = (payload + 1023) / 1024;
    return double(payload) / double(payload + (1 + 2 + 3 + 2) + packets * (1 + 2 + 2));
}

void BM_BulkIn(benchmark::State& state) {
    const std::uint32_t baud = std::uint32_t(state.range(0));
    const size_t message = size_t(state.range(1));
    MemoryLine line("MEM1", 2000);
    if (!line.bring_up()) {
        state.SkipWithError("bring-up failed");
        return;
    }
    line.model->faults().line_rate(baud);
    line.port->set_line_rate(baud);
    Reader reader;
    reader.ep = line.emulation->bulk_in();
    reader.data.resize(message);
    const std::vector<BYTE> payload = pattern(message);

    // One message first, so the worker's CPU clock has a starting sample.
    line.model->queue_bulk_message(payload);
    if (!reader.read_one()) {
        state.SkipWithError("read failed");
        return;
    }
    const double cpu_start = reader.worker_cpu;
    size_t bytes = 0;
    for (auto _ : state) {
        line.model->queue_bulk_message(payload);
        if (!reader.read_one() || reader.total != message) {
            state.SkipWithError("read failed");
            return;
        }
        bytes += message;
    }
    const double cpu = reader.worker_cpu - cpu_start;
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["payload_Bps"] = benchmark::Counter(double(bytes), benchmark::Counter::kIsRate);
    state.counters["framing_eff"] = framing_efficiency(message);
    if (baud) {
        const double capacity = baud / 10.0;
        state.counters["of_capacity"] =
            benchmark::Counter(double(bytes) / capacity, benchmark::Counter::kIsRate);
        state.counters["of_framing"] =
            benchmark::Counter(double(bytes) / (capacity * framing_efficiency(message)), benchmark::Counter::kIsRate);
    }
    state.counters["worker_cpu_ns_per_B"] = bytes ? cpu * 1e9 / double(bytes) : 0.0;
}

}  // namespace

BENCHMARK(BM_BulkIn)->Args({115200, 16384})->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BulkIn)->Args({0, 16384})->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BulkIn)->Args({0, 262144})->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
