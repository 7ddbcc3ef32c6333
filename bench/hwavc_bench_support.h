// Shared by the encoder benchmarks: raw test frames and the runtime stand-in
// loaded ahead of the dispatcher; bench_results.h gives the tables their
// figures.
#ifndef HWAVC_BENCH_SUPPORT_H
#define HWAVC_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include "bench_results.h"
#include "hwavc_enc.h"
#include "quarn_common.h"

namespace hwavc_bench {

const int kWidth = 1920, kHeight = 1080;

// What the encoder benchmarks encode: 1080p at 30 fps, high profile,
// veryfast, 4000 kbit/s.
inline hwavc_enc_settings settings_1080p(int buf_num) {
  hwavc_enc_settings s = {};
  s.profile = "high";
  s.preset = "veryfast";
  s.width = kWidth;
  s.height = kHeight;
  s.fps_num = 30;
  s.fps_den = 1;
  s.bitrate = 4000;
  s.buf_num = buf_num;
  return s;
}

// An encoder with those settings, or NULL after marking the benchmark failed.
inline hwavc_enc_data *open_1080p(benchmark::State &state, int buf_num) {
  hwavc_enc_settings s = settings_1080p(buf_num);
  hwavc_enc_data *enc = nullptr;
  if (hwavc_enc_open(&enc, &s, nullptr) != 0) {
    char msg[HWAVC_ENC_MSG_SIZE];
    hwavc_enc_get_msg(msg);
    state.SkipWithError(msg);
    return nullptr;
  }
  return enc;
}

// A raw frame as the media server hands it over, with a moving pattern.
inline quarn_frame *make_frame(int width, int height, int t) {
  quarn_frame *f = quarn_frame_video_calloc(width, height, 30, 1);
  if (!f) return nullptr;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) f->plane[0][(size_t)y * width + x] = (uint8_t)(x + 2 * y + 3 * t);
  }
  for (int y = 0; y < height / 2; y++) {
    for (int x = 0; x < width / 2; x++) {
      f->plane[1][(size_t)y * (width / 2) + x] = (uint8_t)(128 + ((x + t) & 31));
      f->plane[2][(size_t)y * (width / 2) + x] = (uint8_t)(128 - ((y + t) & 31));
    }
  }
  return f;
}

// The dispatcher finds a runtime by name (libmfx-gen.so.1.2); with the
// stand-in already loaded from its build folder, the loader matches that
// name to the stand-in's soname, so no LD_LIBRARY_PATH is needed.
inline void load_standin(const char *mode) {
  setenv("MFXSTANDIN_MODE", mode, 1);
  if (!dlopen(MFX_STANDIN_PATH, RTLD_NOW | RTLD_GLOBAL)) {
    fprintf(stderr, "cannot load the runtime stand-in %s: %s\n", MFX_STANDIN_PATH, dlerror());
    exit(1);
  }
}

}  // namespace hwavc_bench

#endif
