// The encoder's frame copies (planar YUV 4:2:0 into an NV12 surface) at 1080p
// and 2160p, against libyuv's I420ToNV12 and against one memcpy of the same
// number of bytes, all measured in this run. Goals: the fast copy no slower
// than libyuv and at least 70% of memcpy's throughput.
#include <string.h>

#include <libyuv/convert_from.h>

#include "hwavc_bench_support.h"
#include "hwavc_enc_internal.h"

namespace {

enum class Routine { fast, general, libyuv, memcpy };

void copy_bench(benchmark::State &state, Routine routine, int width, int height) {
  quarn_frame *src = hwavc_bench::make_frame(width, height, 0);
  quarn_frame *dst = quarn_frame_video_calloc((width + 15) & ~15, (height + 15) & ~15, 30, 1);
  size_t bytes = (size_t)width * height * 3 / 2;
  for (auto _ : state) {
    switch (routine) {
      case Routine::fast:
        copy_yuv420p_to_nv12_fast(dst, src, height);
        break;
      case Routine::general:
        copy_yuv420p_to_nv12(dst, src, height);
        break;
      case Routine::libyuv:
        libyuv::I420ToNV12(src->plane[0], src->pitch[0], src->plane[1], src->pitch[1], src->plane[2], src->pitch[2],
                           dst->plane[0], dst->pitch[0], dst->plane[1], dst->pitch[0], width, height);
        break;
      case Routine::memcpy:
        memcpy(dst->data, src->data, bytes);
        break;
    }
    benchmark::DoNotOptimize(dst->data);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)bytes);
  quarn_frame_free(src);
  quarn_frame_free(dst);
}

struct Size {
  const char *name;
  int width, height;
};
const Size kSizes[] = {{"1080p", 1920, 1080}, {"2160p", 3840, 2160}};
const std::pair<const char *, Routine> kRoutines[] = {
    {"fast", Routine::fast}, {"general", Routine::general}, {"libyuv", Routine::libyuv}, {"memcpy", Routine::memcpy}};

}  // namespace

int main(int argc, char **argv) {
  for (const Size &size : kSizes) {
    for (auto &[name, routine] : kRoutines) {
      std::string label = std::string(name) + "/" + size.name;
      benchmark::RegisterBenchmark(label.c_str(), copy_bench, routine, size.width, size.height)
          ->MinTime(0.2)
          ->Repetitions(5)
          ->ReportAggregatesOnly(true)
          ->UseRealTime();
    }
  }
  benchmark::Initialize(&argc, argv);
  bench::ResultReporter results;
  benchmark::RunSpecifiedBenchmarks(&results);

  bool missing = false;
  printf("\nthroughput ratios, same run (median of 5; > 1: the first is faster)\n");
  printf("%-6s %12s %15s %12s %15s\n", "frame", "fast/libyuv", "general/libyuv", "fast/memcpy", "general/memcpy");
  for (const Size &size : kSizes) {
    // Throughput of a over b: b's time over a's.
    auto ratio = [&](const char *a, const char *b) {
      double ta = 0, tb = 0;
      bool measured = results.seconds(std::string(a) + "/" + size.name, &ta) &&
                      results.seconds(std::string(b) + "/" + size.name, &tb);
      return bench::cell(measured, measured ? tb / ta : 0, &missing);
    };
    printf("%-6s %12s %15s %12s %15s\n", size.name, ratio("fast", "libyuv").c_str(), ratio("general", "libyuv").c_str(),
           ratio("fast", "memcpy").c_str(), ratio("general", "memcpy").c_str());
  }
  printf("goals: fast/libyuv >= 1.00, fast/memcpy >= 0.70\n");
  bench::note_missing(missing);
  benchmark::Shutdown();
  return 0;
}
