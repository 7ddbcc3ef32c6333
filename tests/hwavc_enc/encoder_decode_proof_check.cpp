// The checking half of the proof: the stream as the library handed it back,
// then the pictures as libavcodec decodes them.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "encoder_decode_proof.h"

namespace enc_test {

namespace {

const double kMinPsnr = 32.0;  // dB, luma and chroma of every picture; see bitrate_for

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

// Against the caller's plane of picture_w x picture_h samples; beyond it (an
// odd size decodes one larger) its last column and row repeat.
double psnr(const uint8_t *plane, int linesize, int width, int height, int picture_w, int picture_h, int index,
            int t) {
  double sum = 0;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      double d = (double)plane[(size_t)y * linesize + x] -
                 pattern(index, std::min(x, picture_w - 1), std::min(y, picture_h - 1), t);
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
std::vector<Decoded> decode(const std::vector<Packet> &packets, const ProofCase &c) {
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
      int cw = frame->width / 2, ch = frame->height / 2;
      d.psnr_min = std::min({psnr(frame->data[0], frame->linesize[0], frame->width, frame->height, c.width, c.height, 0, t),
                             psnr(frame->data[1], frame->linesize[1], cw, ch, c.width / 2, c.height / 2, 1, t),
                             psnr(frame->data[2], frame->linesize[2], cw, ch, c.width / 2, c.height / 2, 2, t)});
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

}  // namespace

double check_stream(const std::vector<Packet> &packets, const ProofCase &c) {
  // The stream as the library handed it back.
  EXPECT_EQ(packets.size(), (size_t)kProofFrames);
  if (packets.empty()) return 0;
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
    EXPECT_EQ(p.frame_type == QUARN_FRAME_I, p.pts % kProofFps == 0) << "pts " << p.pts << " type " << p.frame_type;
    EXPECT_EQ(idr, p.pts % kProofFps == 0) << "closed GOP: every I picture is an IDR picture, pts " << p.pts;
  }
  EXPECT_EQ(pts.size(), (size_t)kProofFrames);
  EXPECT_EQ(*pts.begin(), 0);
  EXPECT_EQ(*pts.rbegin(), kProofFrames - 1);
  std::vector<int> first = nal_types(packets[0].bytes);
  for (int nal : {7, 8, 5}) EXPECT_NE(std::find(first.begin(), first.end(), nal), first.end()) << "NAL type " << nal;
  int b_pictures = 0;
  for (const Packet &p : packets) b_pictures += p.frame_type == QUARN_FRAME_B;
  if (strcmp(c.machine, "low-power") == 0) {
    EXPECT_EQ(b_pictures, 0);
  } else {
    EXPECT_GT(b_pictures, kProofFrames / 4);
  }

  // The pictures as a decoder sees them.
  std::vector<Decoded> pictures = decode(packets, c);
  EXPECT_EQ(pictures.size(), (size_t)kProofFrames);
  double worst = pictures.empty() ? 0 : 99;
  for (const Decoded &d : pictures) {
    // H.264 crops 4:2:0 pictures in steps of two: an odd side comes out one larger.
    EXPECT_EQ(d.width, c.width + c.width % 2);
    EXPECT_EQ(d.height, c.height + c.height % 2);
    EXPECT_TRUE(type_by_pts.count(d.pts)) << d.pts;
    EXPECT_EQ(d.type, type_by_pts[d.pts]) << "pts " << d.pts;
    EXPECT_GT(d.psnr_min, kMinPsnr) << "pts " << d.pts;
    worst = std::min(worst, d.psnr_min);
  }
  printf("%dx%d buf_num %d: %zu frames, %d B pictures, worst PSNR %.1f dB\n", c.width, c.height, c.buf_num,
         pictures.size(), b_pictures, worst);
  return worst;
}

}  // namespace enc_test
