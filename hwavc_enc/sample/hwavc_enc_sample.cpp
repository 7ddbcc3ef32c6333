// hwavc_enc_sample: encodes raw planar YUV 4:2:0 (I420) to an H.264
// elementary stream through hwavc_enc, the way the media server drives it.
// Shows the calling sequence (open, encode, drain, close), the frame record
// the library expects and what comes back, and reports the speed and the
// picture types.
//
//   hwavc_enc_sample -i clip.yuv -w 1280 -h 720 -o clip.h264
//   hwavc_enc_sample --pattern 300 -w 1920 -h 1080 -r 30000/1001 -b 6000 -o out.h264
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "hwavc_enc.h"

namespace {

struct Options {
  std::string input, output;
  int pattern_frames = 0;
  int width = 0, height = 0;
  int fps_num = 30, fps_den = 1;
  int bitrate = 4000;
  int buf_num = 4;
  std::string profile = "high", preset = "veryfast";
};

void usage() {
  fprintf(stderr,
          "usage: hwavc_enc_sample (-i input.yuv | --pattern FRAMES) -w WIDTH -h HEIGHT -o output.h264\n"
          "                        [-r NUM/DEN] [-b KBITS] [-n BUF_NUM] [-p PROFILE] [-s PRESET]\n"
          "  -i        raw I420 frames, WIDTH x HEIGHT x 3/2 bytes each\n"
          "  --pattern generate FRAMES pictures of a moving test pattern instead\n"
          "  -r        frame rate (default 30/1)   -b bit rate in kbit/s (default 4000)\n"
          "  -n        frames in flight, 1..9 (default 4)\n"
          "  -p        baseline | main | high (default high)\n"
          "  -s        ultrafast | veryfast | slow (default veryfast)\n");
}

bool parse(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char *v = argv[++i];
    if (a == "-i") o->input = v;
    else if (a == "-o") o->output = v;
    else if (a == "--pattern") o->pattern_frames = atoi(v);
    else if (a == "-w") o->width = atoi(v);
    else if (a == "-h") o->height = atoi(v);
    else if (a == "-r" && sscanf(v, "%d/%d", &o->fps_num, &o->fps_den) == 2) continue;
    else if (a == "-b") o->bitrate = atoi(v);
    else if (a == "-n") o->buf_num = atoi(v);
    else if (a == "-p") o->profile = v;
    else if (a == "-s") o->preset = v;
    else return false;
  }
  return !o->output.empty() && o->width > 0 && o->height > 0 && (o->input.empty() != (o->pattern_frames == 0));
}

// The library reads a frame as three planes, plane 1 right after the luma
// rows and the chroma planes as packed rows of half the width.
struct RawFrame {
  std::vector<uint8_t> pixels;
  quarn_frame *record;
  RawFrame(int width, int height) : pixels((size_t)width * height * 3 / 2) {
    record = new quarn_frame();
    memset(record, 0, sizeof *record);
    size_t luma = (size_t)width * height;
    record->format = QUARN_FORMAT_YUV420P;
    record->width = width;
    record->height = height;
    record->data = pixels.data();
    record->size = record->capacity = (int32_t)pixels.size();
    record->plane[0] = pixels.data();
    record->plane[1] = pixels.data() + luma;
    record->plane[2] = pixels.data() + luma + luma / 4;
    record->pitch[0] = width;
    record->pitch[1] = record->pitch[2] = width / 2;
    record->plane_count = 3;
  }
  ~RawFrame() { delete record; }
  RawFrame(const RawFrame &) = delete;
  RawFrame &operator=(const RawFrame &) = delete;

  void paint(int t) {
    int w = record->width, h = record->height;
    for (int y = 0; y < h; y++) {
      for (int x = 0; x < w; x++) {
        int check = (((x + 2 * t) >> 4) ^ ((y + t) >> 4)) & 1;
        record->plane[0][(size_t)y * w + x] = (uint8_t)(40 + 120 * check + ((x + y + 3 * t) & 63));
      }
    }
    for (int y = 0; y < h / 2; y++) {
      for (int x = 0; x < w / 2; x++) {
        record->plane[1][(size_t)y * (w / 2) + x] = (uint8_t)(128 + ((x - t) & 63) - 32);
        record->plane[2][(size_t)y * (w / 2) + x] = (uint8_t)(128 + ((y + t) & 63) - 32);
      }
    }
  }
};

int print_log(const char *line) {
  printf("  %s\n", line);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    usage();
    return 2;
  }
  FILE *in = nullptr;
  if (!o.input.empty() && !(in = fopen(o.input.c_str(), "rb"))) {
    fprintf(stderr, "cannot open %s\n", o.input.c_str());
    return 1;
  }
  FILE *out = fopen(o.output.c_str(), "wb");
  if (!out) {
    fprintf(stderr, "cannot create %s\n", o.output.c_str());
    return 1;
  }

  hwavc_enc_settings settings;
  memset(&settings, 0, sizeof settings);
  settings.profile = o.profile.c_str();
  settings.preset = o.preset.c_str();
  settings.width = o.width;
  settings.height = o.height;
  settings.fps_num = o.fps_num;
  settings.fps_den = o.fps_den;
  settings.bitrate = o.bitrate;
  settings.buf_num = (uint16_t)o.buf_num;

  char msg[HWAVC_ENC_MSG_SIZE];
  hwavc_enc_data *enc = nullptr;
  printf("opening the encoder:\n");
  if (hwavc_enc_open(&enc, &settings, print_log) != 0) {
    hwavc_enc_get_msg(msg);
    fprintf(stderr, "hwavc_enc_open failed: %s\n", msg);
    return 1;
  }

  RawFrame frame(o.width, o.height);
  long frames_in = 0, frames_out = 0, counts[3] = {0, 0, 0};
  int64_t bytes = 0;
  int rc = 0;
  // Only the library's calls are timed, not reading or painting frames.
  std::chrono::steady_clock::duration busy{};
  auto encode = [&](const quarn_frame *raw, quarn_frame **coded) {
    auto start = std::chrono::steady_clock::now();
    int result = hwavc_enc_encode(enc, raw, coded);
    busy += std::chrono::steady_clock::now() - start;
    return result;
  };
  // A coded frame stays valid until the next call: write it out at once.
  auto take = [&](const quarn_frame *coded) {
    if (!coded) return;
    fwrite(coded->data, 1, (size_t)coded->size, out);
    bytes += coded->size;
    frames_out++;
    if (coded->frame_type >= 0 && coded->frame_type <= 2) counts[coded->frame_type]++;
  };
  for (;;) {
    if (in) {
      if (fread(frame.pixels.data(), 1, frame.pixels.size(), in) != frame.pixels.size()) break;
    } else {
      if (frames_in == o.pattern_frames) break;
      frame.paint((int)frames_in);
    }
    frame.record->pts = frames_in++;
    quarn_frame *coded = nullptr;
    rc = encode(frame.record, &coded);
    take(coded);
    if (rc != 0) break;
  }
  // Drain: calls without a frame until nothing comes back.
  for (quarn_frame *coded = nullptr; rc == 0;) {
    rc = encode(nullptr, &coded);
    take(coded);
    if (!coded) break;
  }
  double seconds = std::chrono::duration<double>(busy).count();
  if (rc != 0) {
    hwavc_enc_get_msg(msg);
    fprintf(stderr, "hwavc_enc_encode failed (%d): %s\n", rc, msg);
  }
  hwavc_enc_close(enc);
  fclose(out);
  if (in) fclose(in);

  double duration = (double)frames_in * o.fps_den / o.fps_num;
  printf("%ld frames in, %ld coded frames out to %s\n", frames_in, frames_out, o.output.c_str());
  printf("%.1f frames per second (%.2f s)\n", seconds > 0 ? frames_in / seconds : 0.0, seconds);
  printf("I %ld, P %ld, B %ld pictures; %lld bytes, %.0f kbit/s\n", counts[0], counts[1], counts[2], (long long)bytes,
         duration > 0 ? bytes * 8 / duration / 1000 : 0.0);
  return rc == 0 && frames_out == frames_in ? 0 : 1;
}
