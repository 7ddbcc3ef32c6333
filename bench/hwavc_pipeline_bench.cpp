// How well the library keeps the device busy. The runtime stand-in's device
// model runs every encode operation for a set time on one of a set number of
// engines, finishing them in order, so no caller gets more than engines / task
// time frames per second out of it: the limit. For buf_num 1 to 9 and 1 to 3
// engines this prints the frames per second achieved over that limit, 300
// frames of 1080p each (pass-through payloads: the pixels are copied into the
// surfaces but the device model alone decides the time).
//
// Goals: at least 0.95 where buf_num >= engines + 1 (while the caller collects
// the oldest frame, the others keep every engine at work); buf_num 1 never
// above one engine's rate (1 / engines of the limit), as it has one operation
// in flight at a time.
#include <stdlib.h>

#include <string>
#include <vector>

#include "hwavc_bench_support.h"

namespace {

const int kFrames = 300;
const int kTaskUs = 10000;  // long against the machine's wake-up noise
const int kMaxEngines = 3;
const int kMaxBufNum = 9;

void pipeline(benchmark::State &state) {
  const int engines = (int)state.range(0), buf_num = (int)state.range(1);
  setenv("MFXSTANDIN_DEVICE", (std::to_string(engines) + ":" + std::to_string(kTaskUs)).c_str(), 1);
  quarn_frame *frame = hwavc_bench::make_frame(hwavc_bench::kWidth, hwavc_bench::kHeight, 0);
  for (auto _ : state) {
    state.PauseTiming();
    hwavc_enc_data *enc = hwavc_bench::open_1080p(state, buf_num);
    state.ResumeTiming();
    if (!enc) break;
    quarn_frame *out = nullptr;
    int returned = 0;
    bool ok = true;
    for (int64_t pts = 0; pts < kFrames; pts++) {
      frame->pts = pts;
      ok &= hwavc_enc_encode(enc, frame, &out) == 0;
      returned += out != nullptr;
    }
    do {
      ok &= hwavc_enc_encode(enc, nullptr, &out) == 0;
      returned += out != nullptr;
    } while (out);
    state.PauseTiming();
    hwavc_enc_close(enc);
    state.ResumeTiming();
    if (!ok || returned != kFrames) state.SkipWithError("encode failed or frames lost");
  }
  quarn_frame_free(frame);
}

std::string name(int engines, int buf_num) {
  return "pipeline/engines:" + std::to_string(engines) + "/buf_num:" + std::to_string(buf_num);
}

}  // namespace

int main(int argc, char **argv) {
  hwavc_bench::load_standin("passthrough");
  auto *b = benchmark::RegisterBenchmark("pipeline", pipeline);
  b->ArgNames({"engines", "buf_num"})->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
  for (int engines = 1; engines <= kMaxEngines; engines++) {
    for (int buf_num = 1; buf_num <= kMaxBufNum; buf_num++) b->Args({engines, buf_num});
  }
  benchmark::Initialize(&argc, argv);
  bench::ResultReporter results;
  benchmark::RunSpecifiedBenchmarks(&results);

  bool missing = false;
  std::vector<std::string> misses;
  printf("\nframes per second achieved over the device's limit (engines / %.1f ms), %d frames of 1080p each, same run\n",
         kTaskUs / 1000.0, kFrames);
  printf("%-8s", "buf_num");
  for (int engines = 1; engines <= kMaxEngines; engines++) printf(" %9d engine%s", engines, engines > 1 ? "s" : " ");
  printf("\n");
  for (int buf_num = 1; buf_num <= kMaxBufNum; buf_num++) {
    printf("%-8d", buf_num);
    for (int engines = 1; engines <= kMaxEngines; engines++) {
      double seconds = 0;
      bool measured = results.seconds(name(engines, buf_num), &seconds);
      double ratio = measured ? kFrames / seconds / (engines * 1e6 / kTaskUs) : 0;
      printf(" %16s", bench::cell(measured, ratio, &missing).c_str());
      bool short_of_goal = buf_num >= engines + 1 && ratio < 0.95;
      bool above_one_engine = buf_num == 1 && ratio > 1.0 / engines;
      if (measured && (short_of_goal || above_one_engine))
        misses.push_back("engines " + std::to_string(engines) + " buf_num " + std::to_string(buf_num));
    }
    printf("\n");
  }
  printf("goals: >= 0.95 where buf_num >= engines + 1; buf_num 1 at most 1/engines (1.00, 0.50, 0.33)\n");
  if (misses.empty()) {
    printf("every measured figure meets its goal\n");
  } else {
    printf("short of the goal:");
    for (const std::string &miss : misses) printf(" [%s]", miss.c_str());
    printf("\n");
  }
  bench::note_missing(missing);
  benchmark::Shutdown();
  return 0;
}
