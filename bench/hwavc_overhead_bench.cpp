// What the library costs per 1080p frame beyond the runtime's own work:
// hwavc_enc_encode with the runtime stand-in in pass-through mode (no
// encoding, no pixel reads) against one memcpy of the frame, measured in this
// run. The memcpy writes into as many rotating buffers as the library has
// surfaces. Goal: at most 1.3 times the memcpy.
#include <string.h>

#include "hwavc_bench_support.h"
#include "hwavc_enc_internal.h"

namespace {

using hwavc_bench::kHeight;
using hwavc_bench::kWidth;
const int kBufNum = 4;

void encode_bench(benchmark::State &state) {
  hwavc_enc_data *enc = hwavc_bench::open_1080p(state, kBufNum);
  if (!enc) return;
  quarn_frame *frame = hwavc_bench::make_frame(kWidth, kHeight, 0);
  quarn_frame *out = nullptr;
  int64_t pts = 0;
  for (auto _ : state) {
    frame->pts = pts++;
    if (hwavc_enc_encode(enc, frame, &out) != 0) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(out);
  }
  do hwavc_enc_encode(enc, nullptr, &out);
  while (out);
  state.counters["surfaces"] = enc->surface_count;
  hwavc_enc_close(enc);
  quarn_frame_free(frame);
}

void memcpy_bench(benchmark::State &state) {
  const int buffers = (int)state.range(0);
  quarn_frame *frame = hwavc_bench::make_frame(kWidth, kHeight, 0);
  std::vector<quarn_frame *> to;
  for (int i = 0; i < buffers; i++) to.push_back(quarn_frame_video_calloc(kWidth, kHeight + 8, 30, 1));
  size_t bytes = (size_t)kWidth * kHeight * 3 / 2;
  int next = 0;
  for (auto _ : state) {
    memcpy(to[next]->data, frame->data, bytes);
    next = (next + 1) % buffers;
    benchmark::ClobberMemory();
  }
  for (quarn_frame *f : to) quarn_frame_free(f);
  quarn_frame_free(frame);
}

}  // namespace

int main(int argc, char **argv) {
  hwavc_bench::load_standin("passthrough");
  // Pass-through holds no frame for B pictures: AsyncDepth + 1 surfaces.
  benchmark::RegisterBenchmark("memcpy_1080p_frame", memcpy_bench)->Arg(kBufNum + 1)->MinTime(0.3)->Repetitions(5)
      ->ReportAggregatesOnly(true)->UseRealTime();
  benchmark::RegisterBenchmark("hwavc_enc_encode_1080p_passthrough", encode_bench)->MinTime(0.3)->Repetitions(5)
      ->ReportAggregatesOnly(true)->UseRealTime();
  benchmark::Initialize(&argc, argv);
  bench::ResultReporter results;
  benchmark::RunSpecifiedBenchmarks(&results);
  double copy = 0, encode = 0;
  bool missing = false;
  bool measured = results.seconds("memcpy_1080p_frame/" + std::to_string(kBufNum + 1), &copy) &&
                  results.seconds("hwavc_enc_encode_1080p_passthrough", &encode);
  if (measured) {
    printf("\ntime per 1080p frame, same run (median of 5): memcpy %.1f us, hwavc_enc_encode %.1f us\n", copy * 1e6,
           encode * 1e6);
  }
  printf("hwavc_enc_encode / memcpy = %s (goal <= 1.30)\n", bench::cell(measured, encode / copy, &missing).c_str());
  bench::note_missing(missing);
  benchmark::Shutdown();
  return 0;
}
