// Frames per second of x264 reached through the library (the dispatcher and
// the runtime stand-in in x264 mode) against x264 driven directly with the
// same settings, 1080p, measured in this run. Goal: at least 0.97.
#include <string.h>

#include "hwavc_bench_support.h"
#include "hwavc_enc_internal.h"
#include "standin_x264.h"

namespace {

using hwavc_bench::TimeReporter;

using hwavc_bench::kHeight;
using hwavc_bench::kWidth;
const int kPictures = 8;

struct Pictures {
  quarn_frame *raw[kPictures];
  ~Pictures() {
    for (quarn_frame *f : raw) quarn_frame_free(f);
  }
  Pictures() {
    for (int t = 0; t < kPictures; t++) raw[t] = hwavc_bench::make_frame(kWidth, kHeight, t);
  }
};

void through_library(benchmark::State &state) {
  Pictures pictures;
  hwavc_enc_data *enc = hwavc_bench::open_1080p(state, 4);
  if (!enc) return;
  quarn_frame *out = nullptr;
  int64_t pts = 0;
  for (auto _ : state) {
    quarn_frame *frame = pictures.raw[pts % kPictures];
    frame->pts = pts++;
    if (hwavc_enc_encode(enc, frame, &out) != 0) state.SkipWithError("encode failed");
  }
  do hwavc_enc_encode(enc, nullptr, &out);
  while (out);
  hwavc_enc_close(enc);
  state.SetItemsProcessed(state.iterations());
}

void direct(benchmark::State &state) {
  Pictures pictures;
  // The parameters the library hands to the runtime, and the stand-in's
  // x264 set-up from them.
  hwavc_enc_data *enc = (hwavc_enc_data *)quarn_calloc(sizeof(hwavc_enc_data));
  hwavc_enc_settings s = hwavc_bench::settings_1080p(4);
  hwavc_fill_param(enc, &s);
  x264_param_t p;
  standin_x264_param(enc->param, enc->param.mfx.GopRefDist - 1, &p);
  x264_t *x264 = x264_encoder_open(&p);
  // NV12 surfaces as the runtime receives them.
  quarn_frame *nv12[kPictures];
  for (int t = 0; t < kPictures; t++) {
    nv12[t] = quarn_frame_video_calloc(enc->param.mfx.FrameInfo.Width, enc->param.mfx.FrameInfo.Height, 30, 1);
    copy_yuv420p_to_nv12_fast(nv12[t], pictures.raw[t], kHeight);
  }
  x264_picture_t in, out;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_NV12;
  in.img.i_plane = 2;
  x264_nal_t *nals;
  int nal_count;
  int64_t pts = 0;
  for (auto _ : state) {
    quarn_frame *f = nv12[pts % kPictures];
    in.img.plane[0] = f->plane[0];
    in.img.plane[1] = f->plane[1];
    in.img.i_stride[0] = in.img.i_stride[1] = f->pitch[0];
    in.i_pts = 3000 * pts++;
    if (x264_encoder_encode(x264, &nals, &nal_count, &in, &out) < 0) state.SkipWithError("x264 failed");
  }
  while (x264_encoder_delayed_frames(x264) > 0) x264_encoder_encode(x264, &nals, &nal_count, nullptr, &out);
  x264_encoder_close(x264);
  for (quarn_frame *f : nv12) quarn_frame_free(f);
  quarn_free(enc);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char **argv) {
  hwavc_bench::load_standin("x264");
  benchmark::RegisterBenchmark("x264_direct_1080p", direct)->MinTime(2)->Repetitions(3)->ReportAggregatesOnly(true)
      ->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("x264_through_hwavc_enc_1080p", through_library)->MinTime(2)->Repetitions(3)
      ->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  TimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double direct_s = reporter.at("x264_direct_1080p"), library_s = reporter.at("x264_through_hwavc_enc_1080p");
  printf("\nframes per second, same run (median of 3): direct %.1f, through hwavc_enc %.1f\n",
         direct_s > 0 ? 1 / direct_s : 0.0, library_s > 0 ? 1 / library_s : 0.0);
  printf("through hwavc_enc / direct = %.3f (goal >= 0.97)\n", library_s > 0 ? direct_s / library_s : 0.0);
  benchmark::Shutdown();
  return 0;
}
