// The table every speed benchmark prints: each row a subject benchmark against its baseline from
// the same run, as the ratio of their real times per repetition, then the median and the spread
// (lowest to highest) of those ratios, and the target. Rows start with "| " so that
// bench/speed_table.sh can gather the rows of several programs into one table.
#ifndef BENCH_RATIO_TABLE_H
#define BENCH_RATIO_TABLE_H

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct row {
  std::string label;     // what is compared, as printed
  std::string subject;   // benchmark name (with its arguments) of the thing measured
  std::string baseline;  // benchmark name of the baseline
  double limit;          // subject/baseline time ratio the target allows (0: no target, just shown)
  std::string target;    // the target as printed
  double scale = 1.0;    // subject time multiplier (threads, for the cost per operation of each thread)
  bool overhead = false;  // show subject - baseline in ns (and the limit in ns) instead of the ratio
};

class ratio_table : public benchmark::ConsoleReporter {
 public:
  explicit ratio_table(std::vector<row> rows)
      : ConsoleReporter(isatty(1) ? OO_Defaults : OO_Tabular), rows_(std::move(rows)) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs)
      if (!r.error_occurred && r.iterations > 0 && r.run_type == Run::RT_Iteration)
        times_[r.benchmark_name()].push_back(r.GetAdjustedRealTime());
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n| %-44s | %7s | %-15s | %10s | %10s | %-10s | %-4s |\n", "subject / baseline", "ratio",
                "spread", "subject ns", "base ns", "target", "met");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(9, '-').c_str(),
                std::string(17, '-').c_str(), std::string(12, '-').c_str(), std::string(12, '-').c_str(),
                std::string(12, '-').c_str(), std::string(6, '-').c_str());
    for (const row &r : rows_) {
      auto s = times_.find(r.subject);
      auto b = times_.find(r.baseline);
      if (s == times_.end() || b == times_.end()) continue;
      std::vector<double> ratios;
      const size_t n = std::min(s->second.size(), b->second.size());
      for (size_t i = 0; i < n; ++i) {
        if (r.overhead)
          ratios.push_back(r.scale * s->second[i] - b->second[i]);
        else if (b->second[i] > 0)
          ratios.push_back(r.scale * s->second[i] / b->second[i]);
      }
      if (ratios.empty()) continue;
      const double med = median(ratios);
      const auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
      char spread[32];
      std::snprintf(spread, sizeof spread, r.overhead ? "%.0f-%.0f ns" : "%.2f-%.2f", *lo, *hi);
      std::printf(r.overhead ? "| %-44s | %4.0f ns |" : "| %-44s | %7.2f |", r.label.c_str(), med);
      std::printf(" %-15s | %10.1f | %10.1f | %-10s | %-4s |\n", spread,
                  r.scale * median(s->second), median(b->second), r.target.c_str(),
                  r.limit <= 0 ? "-" : med <= r.limit ? "yes" : "no");
    }
  }

 private:
  static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
  }

  std::vector<row> rows_;
  std::map<std::string, std::vector<double>> times_;
};

// Runs the registered benchmarks (3 repetitions unless the command line says otherwise) and prints
// the table.
inline int run(int argc, char **argv, std::vector<row> rows) {
  std::vector<char *> args(argv, argv + argc);
  std::string reps = "--benchmark_repetitions=3";
  bool given = false;
  for (int i = 1; i < argc; ++i) given |= std::string(argv[i]).rfind("--benchmark_repetitions", 0) == 0;
  if (!given) args.push_back(reps.data());
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  ratio_table table(std::move(rows));
  benchmark::RunSpecifiedBenchmarks(&table);
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench

#endif
