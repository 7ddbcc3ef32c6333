// Proof by decoding: generated moving pictures go through the library, the
// real dispatcher and the x264 stand-in; the collected stream is decoded
// with libavcodec and compared with what went in.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "encoder_test_support.h"

using namespace enc_test;

namespace {

const int kFps = 10;       // GOP of 10 pictures: several closed GOPs in a short clip
const int kFrames = 25;    // two and a half GOPs
const double kMinPsnr = 32.0;  // dB, luma and chroma of every picture; see BitrateFor

struct Packet {
  std::vector<uint8_t> bytes;
  int64_t pts, dts;
  int frame_type;
};

// About 0.15 bits per pixel per picture. At this rate x264 (veryfast)
// keeps the moving pattern at 36.8 dB or better in every plane of every
// picture (measured: 38.2 dB at 1920x1080 and 1280x720, 36.8 dB at
// 1000x562). The pattern's 8-pixel checks make a picture that is one pixel
// off (a wrong crop, stride or plane offset) fall to about 24 dB, and a
// swapped or missing chroma plane far lower: 32 dB separates the two.
int BitrateFor(int width, int height) { return (int)((int64_t)width * height * kFps * 15 / 100 / 1000 * 10 / 8); }

std::vector<int> nal_types(const std::vector<uint8_t> &au) {
  std::vector<int> types;
  for (size_t i = 0; i + 3 < au.size(); i++) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      types.push_back(au[i + 3] & 0x1F);
      i += 2;
    }
  }
  return types;
}

double psnr(const uint8_t *plane, int linesize, int width, int height, int index, int t) {
  double sum = 0;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      double d = (double)plane[(size_t)y * linesize + x] - pattern(index, x, y, t);
      sum += d * d;
    }
  }
  double mse = sum / ((double)width * height);
  return mse == 0 ? 99.0 : 10.0 * log10(255.0 * 255.0 / mse);
}

int quarn_type_of(AVPictureType type) {
  switch (type) {
    case AV_PICTURE_TYPE_I:
      return QUARN_FRAME_I;
    case AV_PICTURE_TYPE_P:
      return QUARN_FRAME_P;
    case AV_PICTURE_TYPE_B:
      return QUARN_FRAME_B;
    default:
      return -1;
  }
}

struct Decoded {
  int64_t pts;
  int width, height;
  int type;
  double psnr_min;
};

// Decodes the packets in the order given; one entry per picture out.
std::vector<Decoded> decode(const std::vector<Packet> &packets) {
  std::vector<Decoded> out;
  const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!codec) return out;
  AVCodecContext *ctx = avcodec_alloc_context3(codec);
  ctx->thread_count = 1;
  if (avcodec_open2(ctx, codec, nullptr) < 0) return out;
  AVPacket *pkt = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  auto receive = [&]() {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      Decoded d;
      d.pts = frame->pts;
      d.width = frame->width;
      d.height = frame->height;
      d.type = quarn_type_of(frame->pict_type);
      int t = (int)frame->pts;
      d.psnr_min = std::min({psnr(frame->data[0], frame->linesize[0], frame->width, frame->height, 0, t),
                             psnr(frame->data[1], frame->linesize[1], frame->width / 2, frame->height / 2, 1, t),
                             psnr(frame->data[2], frame->linesize[2], frame->width / 2, frame->height / 2, 2, t)});
      out.push_back(d);
      av_frame_unref(frame);
    }
  };
  for (const Packet &p : packets) {
    av_new_packet(pkt, (int)p.bytes.size());
    memcpy(pkt->data, p.bytes.data(), p.bytes.size());
    pkt->pts = p.pts;
    pkt->dts = p.dts;
    avcodec_send_packet(ctx, pkt);
    av_packet_unref(pkt);
    receive();
  }
  avcodec_send_packet(ctx, nullptr);
  receive();
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  return out;
}

class DecodeProof : public ::testing::TestWithParam<std::tuple<std::pair<int, int>, int>> {
 protected:
  void SetUp() override { ASSERT_EQ(lib.load(), ""); }
  void TearDown() override { lib.unload(); }
  EncoderLibrary lib;
};

TEST_P(DecodeProof, DecodedStreamMatchesTheInput) {
  const int width = std::get<0>(GetParam()).first, height = std::get<0>(GetParam()).second;
  const int buf_num = std::get<1>(GetParam());
  Standin standin;  // x264 mode
  hwavc_enc_settings settings =
      make_settings(width, height, kFps, 1, BitrateFor(width, height), buf_num, "high", "veryfast");
  hwavc_enc_data *enc = nullptr;
  ASSERT_EQ(lib.open(&enc, &settings, nullptr), 0) << lib.message();
  ASSERT_NE(standin.trace().find("mfx_standin init mode=x264"), std::string::npos) << standin.trace();

  TestFrame frame(width, height);
  std::vector<Packet> packets;
  quarn_frame *out = nullptr;
  auto keep = [&packets, &out]() {
    if (out) packets.push_back({std::vector<uint8_t>(out->data, out->data + out->size), out->pts, out->dts, out->frame_type});
  };
  for (int t = 0; t < kFrames; t++) {
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

  // The stream as the library handed it back.
  ASSERT_EQ(packets.size(), (size_t)kFrames);
  std::set<int64_t> pts;
  std::map<int64_t, int> type_by_pts;
  for (size_t i = 0; i < packets.size(); i++) {
    const Packet &p = packets[i];
    pts.insert(p.pts);
    type_by_pts[p.pts] = p.frame_type;
    EXPECT_LE(p.dts, p.pts) << i;
    if (i > 0) EXPECT_LT(packets[i - 1].dts, p.dts) << i;
    bool idr = false;
    for (int nal : nal_types(p.bytes)) idr |= nal == 5;
    EXPECT_EQ(p.frame_type == QUARN_FRAME_I, p.pts % kFps == 0) << "pts " << p.pts << " type " << p.frame_type;
    EXPECT_EQ(idr, p.pts % kFps == 0) << "closed GOP: every I picture is an IDR picture, pts " << p.pts;
  }
  EXPECT_EQ(pts.size(), (size_t)kFrames);
  EXPECT_EQ(*pts.begin(), 0);
  EXPECT_EQ(*pts.rbegin(), kFrames - 1);
  std::vector<int> first = nal_types(packets[0].bytes);
  for (int nal : {7, 8, 5}) EXPECT_NE(std::find(first.begin(), first.end(), nal), first.end()) << "NAL type " << nal;
  int b_pictures = 0;
  for (const Packet &p : packets) b_pictures += p.frame_type == QUARN_FRAME_B;
  EXPECT_GT(b_pictures, kFrames / 4);

  // The pictures as a decoder sees them.
  std::vector<Decoded> pictures = decode(packets);
  ASSERT_EQ(pictures.size(), (size_t)kFrames);
  double worst = 99;
  for (const Decoded &d : pictures) {
    EXPECT_EQ(d.width, width);
    EXPECT_EQ(d.height, height);
    ASSERT_TRUE(type_by_pts.count(d.pts)) << d.pts;
    EXPECT_EQ(d.type, type_by_pts[d.pts]) << "pts " << d.pts;
    EXPECT_GT(d.psnr_min, kMinPsnr) << "pts " << d.pts;
    worst = std::min(worst, d.psnr_min);
  }
  RecordProperty("worst_psnr_db", std::to_string(worst));
  printf("%dx%d buf_num %d: %zu frames, %d B pictures, worst PSNR %.1f dB\n", width, height, buf_num, pictures.size(),
         b_pictures, worst);
}

INSTANTIATE_TEST_SUITE_P(SizesAndRings, DecodeProof,
                         ::testing::Combine(::testing::Values(std::make_pair(1920, 1080), std::make_pair(1280, 720),
                                                              std::make_pair(1000, 562)),
                                            ::testing::Values(1, 4, 9)),
                         [](const auto &info) {
                           return std::to_string(std::get<0>(info.param).first) + "x" +
                                  std::to_string(std::get<0>(info.param).second) + "_buf" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
