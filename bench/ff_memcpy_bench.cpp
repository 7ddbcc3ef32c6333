// Streaming copies against the C library's memcpy, at sizes from cache-resident
// to far beyond the last-level cache. Prints, per size, each routine's
// throughput as a ratio of memcpy's measured in the same run.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "ff.h"

namespace {

using CopyFn = void *(*)(void *, const void *, size_t);

void *libc_memcpy(void *to, const void *from, size_t len) { return memcpy(to, from, len); }

void copy_bench(benchmark::State &state, CopyFn copy) {
  size_t len = (size_t)state.range(0);
  // Aligned 16, as the tray's and the encoder's buffers are.
  uint8_t *from = (uint8_t *)ff_calloc(len);
  uint8_t *to = (uint8_t *)ff_calloc(len);
  memset(from, 0x5A, len);
  memset(to, 0, len);
  for (auto _ : state) {
    copy(to, from, len);
    benchmark::DoNotOptimize(to);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)len);
  ff_free(from);
  ff_free(to);
}

const int64_t kSizes[] = {4 << 10, 256 << 10, 4 << 20, 64 << 20};

// Remembers bytes per second per (routine, size) while printing as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      std::string name = run.benchmark_name();  // "routine/size"
      size_t slash = name.find('/');
      auto it = run.counters.find("bytes_per_second");
      if (slash == std::string::npos || it == run.counters.end()) continue;
      throughput[name.substr(0, slash)][std::stoll(name.substr(slash + 1))] = it->second;
    }
  }
  std::map<std::string, std::map<int64_t, double>> throughput;
};

std::string size_text(int64_t size) {
  return size >= (1 << 20) ? std::to_string(size >> 20) + " MiB" : std::to_string(size >> 10) + " KiB";
}

}  // namespace

int main(int argc, char **argv) {
  for (auto &[name, fn] : std::vector<std::pair<const char *, CopyFn>>{
           {"memcpy", libc_memcpy}, {"ff_memcpy", ff_memcpy}, {"sse2_memcpy", sse2_memcpy}}) {
    auto *b = benchmark::RegisterBenchmark(name, copy_bench, fn);
    for (int64_t size : kSizes) b->Arg(size);
    b->MinTime(0.2);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const auto &base = reporter.throughput["memcpy"];
  printf("\nthroughput ratio to memcpy (same run; > 1 is faster)\n");
  printf("%-10s %12s %12s\n", "size", "ff_memcpy", "sse2_memcpy");
  for (int64_t size : kSizes) {
    auto ratio = [&](const char *routine) {
      auto &t = reporter.throughput[routine];
      return t.count(size) && base.count(size) ? t.at(size) / base.at(size) : 0.0;
    };
    printf("%-10s %12.2f %12.2f\n", size_text(size).c_str(), ratio("ff_memcpy"), ratio("sse2_memcpy"));
  }
  benchmark::Shutdown();
  return 0;
}
