#include "encoder_decode_proof.h"

#include <gtest/gtest.h>
#include <stdio.h>

namespace enc_test {

namespace {

// About 0.15 bits per pixel per picture, and no less than 300 kbit/s (the
// headers and the moving square weigh more in small pictures). At this rate
// x264 (veryfast) keeps the moving pattern at 36.8 dB or better in every
// plane of every picture (measured: 38.2 dB at 1920x1080 and 1280x720, 36.8
// dB at 1000x562, 44.4 dB at 320x240). The pattern's 8-pixel checks make a
// picture that is one pixel off (a wrong crop, stride or plane offset) fall
// to about 24 dB, and a swapped or missing chroma plane far lower.
int bitrate_for(int width, int height) {
  int rate = (int)((int64_t)width * height * kProofFps * 15 / 100 / 1000 * 10 / 8);
  return rate < 300 ? 300 : rate;
}

}  // namespace

std::string proof_name(const ProofCase &c) {
  std::string name = std::to_string(c.width) + "x" + std::to_string(c.height) + "_buf" + std::to_string(c.buf_num);
  if (c.machine[0]) name += "_";
  for (const char *p = c.machine; *p; p++) name += *p == '-' ? '_' : *p;  // test names take no '-'
  return name;
}

std::vector<ProofCase> windows_proof_cases() {
  return {{320, 240, 1}, {320, 240, 4}, {320, 240, 9}, {328, 184, 4}, {320, 240, 4, "low-power"}, {1920, 1080, 4}};
}

void encode_clip(EncoderLibrary &lib, const ProofCase &c, std::vector<Packet> *packets) {
  hwavc_enc_settings settings =
      make_settings(c.width, c.height, kProofFps, 1, bitrate_for(c.width, c.height), c.buf_num, "high", "veryfast");
  hwavc_enc_data *enc = nullptr;
  ASSERT_EQ(lib.open(&enc, &settings, nullptr), 0) << lib.message();
  TestFrame frame(c.width, c.height);
  quarn_frame *out = nullptr;
  auto keep = [packets, &out]() {
    if (out) packets->push_back({std::vector<uint8_t>(out->data, out->data + out->size), out->pts, out->dts, out->frame_type});
  };
  for (int t = 0; t < kProofFrames; t++) {
    frame.paint(t);
    frame.get()->pts = t;
    ASSERT_EQ(lib.encode(enc, frame.get(), &out), 0) << lib.message();
    keep();
  }
  do {
    ASSERT_EQ(lib.encode(enc, nullptr, &out), 0) << lib.message();
    keep();
  } while (out);
  EXPECT_EQ(lib.close(enc), 0);
}

std::string write_stream(const std::string &base, const std::vector<Packet> &packets) {
  FILE *h264 = fopen((base + ".h264").c_str(), "wb");
  FILE *index = fopen((base + ".txt").c_str(), "w");
  bool ok = h264 && index;
  for (const Packet &p : packets) {
    if (!ok) break;
    ok = fwrite(p.bytes.data(), 1, p.bytes.size(), h264) == p.bytes.size() &&
         fprintf(index, "%lld %lld %d %zu\n", (long long)p.pts, (long long)p.dts, p.frame_type, p.bytes.size()) > 0;
  }
  if (h264 && fclose(h264) != 0) ok = false;
  if (index && fclose(index) != 0) ok = false;
  return ok ? "" : "cannot write " + base + ".h264 / .txt";
}

std::string read_stream(const std::string &base, std::vector<Packet> *packets) {
  FILE *h264 = fopen((base + ".h264").c_str(), "rb");
  FILE *index = fopen((base + ".txt").c_str(), "r");
  std::string error = h264 && index ? "" : "cannot open " + base + ".h264 / .txt";
  long long pts, dts;
  int type;
  size_t size;
  while (error.empty() && fscanf(index, "%lld %lld %d %zu", &pts, &dts, &type, &size) == 4) {
    Packet p{std::vector<uint8_t>(size), pts, dts, type};
    if (fread(p.bytes.data(), 1, size, h264) != size) error = base + ".h264 is shorter than its index";
    packets->push_back(p);
  }
  if (error.empty() && (!feof(index) || fgetc(h264) != EOF)) error = base + ".txt and .h264 disagree";
  if (h264) fclose(h264);
  if (index) fclose(index);
  return error;
}

}  // namespace enc_test
