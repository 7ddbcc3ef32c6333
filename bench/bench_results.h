// The benchmarks' tables read their figures from here: one result per
// benchmark, the median when the runs were repeated (--benchmark_repetitions,
// with or without --benchmark_report_aggregates_only), otherwise its run. A
// figure that was not measured (filtered out, failed) is reported missing,
// never as 0.
#ifndef BENCH_RESULTS_H
#define BENCH_RESULTS_H

#include <benchmark/benchmark.h>
#include <stdio.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace bench {

class ResultReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.error_occurred) continue;
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      if (median || !medians_.count(name)) results_[name] = run;
      if (median) medians_.insert(name);
    }
  }

  // Seconds per iteration of benchmark `name` ("function" or
  // "function/args"); false when it was not measured.
  bool seconds(const std::string &name, double *value) const {
    auto it = results_.find(name);
    if (it == results_.end()) return false;
    *value = it->second.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(it->second.time_unit);
    return true;
  }

  // A counter of benchmark `name` (bytes_per_second, items_per_second, ...).
  bool counter(const std::string &name, const char *counter, double *value) const {
    auto it = results_.find(name);
    if (it == results_.end()) return false;
    auto c = it->second.counters.find(counter);
    if (c == it->second.counters.end()) return false;
    *value = c->second;
    return true;
  }

 private:
  std::map<std::string, Run> results_;
  std::set<std::string> medians_;
};

// A table cell: the figure, or "n/a" (and `*missing` set) when one of its
// inputs was not measured.
inline std::string cell(bool measured, double value, bool *missing) {
  if (!measured) {
    *missing = true;
    return "n/a";
  }
  char text[32];
  snprintf(text, sizeof text, "%.2f", value);
  return text;
}

inline void note_missing(bool missing) {
  if (missing) printf("n/a: not measured in this run (filtered out or failed)\n");
}

}  // namespace bench

#endif
