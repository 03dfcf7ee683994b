// Replays fuzz inputs without libFuzzer: every file named, or every file of every folder named, is
// handed to the target once, in name order. Built with the ordinary compiler so the test pass replays
// each corpus under the sanitizers without clang.
//
// The replay keeps the limits the fuzzer runs with (fuzz/limits, passed as libFuzzer's flags), so an
// input kept for what it once did (an out-of-memory, a hang) fails the replay when the fault is back:
//   -rss_limit_mb=N     the process's resident memory above N MB fails the run
//   -malloc_limit_mb=N  one allocation above N MB fails the run (0, the default: the RSS limit)
//   -timeout=N          one input running longer than N seconds fails the run
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
// A target that keeps state across inputs (a link) ends it here, while the process still runs whole.
extern "C" __attribute__((weak)) void fuzz_replay_end();
// The sanitizers' allocation hooks (absent from a build without one).
extern "C" __attribute__((weak)) int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, std::size_t), void (*free_hook)(const volatile void*));

namespace {

std::atomic<std::size_t> malloc_limit{0};  // bytes; 0: none
std::atomic<const char*> current_input{"(before the first input)"};

// Called inside the allocator: no allocation here.
[[noreturn]] void fail_now(const char* what) {
    char line[512];
    const int n = std::snprintf(line, sizeof line, "==%d== ERROR: replay: %s on input %s\n", int(getpid()), what,
                                current_input.load());
    if (n > 0) (void)!write(2, line, std::min<std::size_t>(std::size_t(n), sizeof line - 1));
    std::_Exit(1);
}

void on_malloc(const volatile void*, std::size_t size) {
    const std::size_t limit = malloc_limit.load(std::memory_order_relaxed);
    if (limit && size > limit) {
        char what[96];
        std::snprintf(what, sizeof what, "out-of-memory (malloc(%zu) above -malloc_limit_mb)", size);
        fail_now(what);
    }
}

void on_free(const volatile void*) {}

std::size_t resident_mb() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long pages = 0, resident = 0;
    const int got = std::fscanf(f, "%lu %lu", &pages, &resident);
    std::fclose(f);
    return got == 2 ? resident * std::size_t(sysconf(_SC_PAGESIZE)) / (1024 * 1024) : 0;
}

// Looks at the memory and the current input's time a few times a second, as the fuzzer's own watch does.
class watch {
public:
    watch(std::size_t rss_limit_mb, unsigned timeout_s) : rss_limit_mb_(rss_limit_mb), timeout_s_(timeout_s) {
        if (rss_limit_mb_ || timeout_s_) thread_ = std::thread([this] { run(); });
    }
    ~watch() {
        {
            std::lock_guard<std::mutex> g(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    void input_started() { started_ns_.store(now_ns()); }

private:
    static std::int64_t now_ns() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void run() {
        std::unique_lock<std::mutex> l(mu_);
        while (!cv_.wait_for(l, std::chrono::milliseconds(100), [this] { return stop_; })) {
            if (rss_limit_mb_) {
                const std::size_t mb = resident_mb();
                if (mb > rss_limit_mb_) {
                    char what[96];
                    std::snprintf(what, sizeof what, "out-of-memory (%zu MB resident, above -rss_limit_mb)", mb);
                    fail_now(what);
                }
            }
            const std::int64_t started = started_ns_.load();
            if (timeout_s_ && started && now_ns() - started > std::int64_t(timeout_s_) * 1000000000) {
                char what[64];
                std::snprintf(what, sizeof what, "timeout (more than %u s, -timeout)", timeout_s_);
                fail_now(what);
            }
        }
    }

    const std::size_t rss_limit_mb_;
    const unsigned timeout_s_;
    std::atomic<std::int64_t> started_ns_{0};
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

// "-name=value" of a libFuzzer flag, else -1.
long flag(const char* arg, const char* name) {
    const std::size_t n = std::strlen(name);
    if (arg[0] != '-' || std::strncmp(arg + 1, name, n) != 0 || arg[1 + n] != '=') return -1;
    return std::strtol(arg + 2 + n, nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    long rss_limit_mb = 0, malloc_limit_mb = 0, timeout_s = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            long v;
            if ((v = flag(argv[i], "rss_limit_mb")) >= 0) rss_limit_mb = v;
            else if ((v = flag(argv[i], "malloc_limit_mb")) >= 0) malloc_limit_mb = v;
            else if ((v = flag(argv[i], "timeout")) >= 0) timeout_s = v;
            else {
                std::fprintf(stderr, "replay: unknown flag %s\n", argv[i]);
                return 2;
            }
            continue;
        }
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::directory_iterator(p))
                if (e.is_regular_file()) files.push_back(e.path());
        } else {
            files.push_back(p);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 1;
    }
    // Before the target starts its threads: the set-up is held to the allocation limit too.
    malloc_limit = std::size_t(malloc_limit_mb > 0 ? malloc_limit_mb : rss_limit_mb) * 1024 * 1024;
    if (malloc_limit && !(__sanitizer_install_malloc_and_free_hooks &&
                          __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free)))
        std::fprintf(stderr, "replay: no allocation hooks in this build, -malloc_limit_mb not applied\n");
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> names;
    for (const auto& f : files) names.push_back(f.string());
    {
        watch limits{std::size_t(rss_limit_mb), unsigned(timeout_s)};
        for (std::size_t i = 0; i < files.size(); ++i) {
            std::ifstream in(files[i], std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            // An exact-size heap copy: a read past the input is a read past this block.
            std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
            current_input.store(names[i].c_str());
            limits.input_started();
            LLVMFuzzerTestOneInput(exact.data(), exact.size());
        }
        current_input.store("(the replay's end)");
        limits.input_started();
        if (fuzz_replay_end) fuzz_replay_end();
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
