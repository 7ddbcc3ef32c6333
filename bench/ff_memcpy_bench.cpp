// Streaming copies against the C library's memcpy, at sizes from cache-resident
// to far beyond the last-level cache, and CR LF folding of a text against one
// memcpy of the same bytes. Prints each routine's throughput as a ratio of
// memcpy's measured in the same run.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "bench_results.h"
#include "ff.h"
#include "ff_text.h"

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

// A text of 12-byte lines (ten letters, CR, LF), the shape of a log or a
// configuration file written on Windows.
std::string crlf_text(size_t len) {
  std::string text(len, 'k');
  for (size_t i = 10; i + 1 < len; i += 12) {
    text[i] = '\r';
    text[i + 1] = '\n';
  }
  return text;
}

// The reference: one memcpy of the text into a buffer's storage.
void text_memcpy_bench(benchmark::State &state) {
  std::string text = crlf_text((size_t)state.range(0));
  std::vector<char> to(text.size());
  for (auto _ : state) {
    memcpy(to.data(), text.data(), text.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}

// Folding consumes its source: it is filled again outside the timing, and the
// destination keeps its storage, as the memcpy's does.
void crlf_bench(benchmark::State &state) {
  std::string text = crlf_text((size_t)state.range(0));
  ff_buffer *src = ff_buffer_new((int)text.size() + 1);
  ff_buffer *dst = ff_buffer_new((int)text.size() + 1);
  for (auto _ : state) {
    state.PauseTiming();
    ff_buffer_push(src, text.data(), (int)text.size());
    ff_buffer_reset_light(dst);
    state.ResumeTiming();
    ff_text_convert_crlf_to_lf(dst, src);
    benchmark::DoNotOptimize(ff_buffer_data(dst));
  }
  if (ff_buffer_data_size(dst) != (int)(text.size() - text.size() / 12)) state.SkipWithError("wrong folding");
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
  ff_buffer_free(src);
  ff_buffer_free(dst);
}

const int64_t kTextSize = 4 << 20;

// Throughput of `a` over that of `b` at `size`, as a table cell.
std::string ratio_cell(const bench::ResultReporter &results, const char *a, const char *b, int64_t size,
                       bool *missing) {
  double ta = 0, tb = 0;
  std::string arg = "/" + std::to_string(size);
  bool measured = results.counter(a + arg, "bytes_per_second", &ta) && results.counter(b + arg, "bytes_per_second", &tb);
  return bench::cell(measured, measured ? ta / tb : 0, missing);
}

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
  benchmark::RegisterBenchmark("text_memcpy", text_memcpy_bench)->Arg(kTextSize)->MinTime(0.2);
  benchmark::RegisterBenchmark("crlf_to_lf", crlf_bench)->Arg(kTextSize)->MinTime(0.2);
  benchmark::Initialize(&argc, argv);
  bench::ResultReporter results;
  benchmark::RunSpecifiedBenchmarks(&results);

  bool missing = false;
  printf("\nthroughput ratio to memcpy (same run, medians when repeated; > 1 is faster)\n");
  printf("%-10s %12s %12s\n", "size", "ff_memcpy", "sse2_memcpy");
  for (int64_t size : kSizes) {
    printf("%-10s %12s %12s\n", size_text(size).c_str(), ratio_cell(results, "ff_memcpy", "memcpy", size, &missing).c_str(),
           ratio_cell(results, "sse2_memcpy", "memcpy", size, &missing).c_str());
  }
  printf("\nCR LF to LF over %s of 12-byte lines: %s times the time of one memcpy of the same bytes\n",
         size_text(kTextSize).c_str(), ratio_cell(results, "text_memcpy", "crlf_to_lf", kTextSize, &missing).c_str());
  bench::note_missing(missing);
  benchmark::Shutdown();
  return 0;
}
