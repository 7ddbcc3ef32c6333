// Settings -> encoder parameters, the derived values, the settings check and
// the frame-type mapping, on the library's internals.
#include <gtest/gtest.h>

#include <string>

#include "encoder_test_support.h"
#include "hwavc_enc_internal.h"

using namespace enc_test;

namespace {

struct Mapped {
  hwavc_enc_data *enc;
  explicit Mapped(const hwavc_enc_settings &settings, hwavc_enc_log_func log = LogCapture::callback) {
    enc = (hwavc_enc_data *)quarn_calloc(sizeof(hwavc_enc_data));
    enc->log_func = log;
    EXPECT_EQ(hwavc_fill_param(enc, &settings), 0);
  }
  ~Mapped() { quarn_free(enc); }
  const mfxInfoMFX &mfx() const { return enc->param.mfx; }
  const mfxFrameInfo &info() const { return enc->param.mfx.FrameInfo; }
};

// The log lines without their "hwavc_enc(<line>): " prefix.
std::vector<std::string> log_texts() {
  std::vector<std::string> texts;
  for (const std::string &line : LogCapture::lines) {
    EXPECT_EQ(line.rfind("hwavc_enc(", 0), 0u) << line;
    texts.push_back(line.substr(line.find("): ") + 3));
  }
  return texts;
}

TEST(EncoderParam, FullHdHighVeryfastMapsEveryField) {
  LogCapture log;
  Mapped m(make_settings(1920, 1080, 30, 1, 4000, 4, "high", "veryfast"));
  EXPECT_EQ(m.mfx().CodecId, (mfxU32)MFX_CODEC_AVC);
  EXPECT_EQ(m.mfx().CodecProfile, 100);
  EXPECT_EQ(m.mfx().TargetUsage, 4);
  EXPECT_EQ(m.mfx().RateControlMethod, MFX_RATECONTROL_CBR);
  EXPECT_EQ(m.mfx().TargetKbps, 3200);
  EXPECT_EQ(m.mfx().MaxKbps, 3200);
  EXPECT_EQ(m.mfx().BRCParamMultiplier, 0);
  EXPECT_EQ(m.mfx().GopPicSize, 30);
  EXPECT_EQ(m.mfx().GopRefDist, 2);
  EXPECT_EQ(m.mfx().GopOptFlag, MFX_GOP_CLOSED);
  EXPECT_EQ(m.mfx().IdrInterval, 0);
  EXPECT_EQ(m.mfx().NumSlice, 0);
  EXPECT_EQ(m.mfx().EncodedOrder, 0);
  EXPECT_EQ(m.mfx().CodecLevel, 0);
  EXPECT_EQ(m.info().FrameRateExtN, 30u);
  EXPECT_EQ(m.info().FrameRateExtD, 1u);
  EXPECT_EQ(m.info().FourCC, (mfxU32)MFX_FOURCC_NV12);
  EXPECT_EQ(m.info().PicStruct, MFX_PICSTRUCT_PROGRESSIVE);
  EXPECT_EQ(m.info().ChromaFormat, MFX_CHROMAFORMAT_YUV420);
  EXPECT_EQ(m.info().Width, 1920);
  EXPECT_EQ(m.info().Height, 1088);
  EXPECT_EQ(m.info().CropX, 0);
  EXPECT_EQ(m.info().CropY, 0);
  EXPECT_EQ(m.info().CropW, 1920);
  EXPECT_EQ(m.info().CropH, 1080);
  EXPECT_EQ(m.enc->param.AsyncDepth, 4);
  EXPECT_EQ(m.enc->param.IOPattern, MFX_IOPATTERN_IN_SYSTEM_MEMORY);
  EXPECT_EQ(m.enc->param.NumExtParam, 0);
  EXPECT_EQ(m.enc->min_height, 1080);
  EXPECT_EQ(m.enc->timescaling, 3000);
  EXPECT_EQ(m.enc->copy_frame, &copy_yuv420p_to_nv12_fast);
  const std::vector<std::string> expected = {
      "profile:high", "preset:veryfast", "bitrate:3200", "gop:30", "fr:30/1", "coded_wh:1920x1088 xywh:0 0 1920 1080",
      "min_height: 1080", "buf_num:4 timescaling:3000"};
  EXPECT_EQ(log_texts(), expected);
}

TEST(EncoderParam, WidthChoosesTheCopyRoutine) {
  {
    LogCapture log;
    Mapped m(make_settings(1080, 720));
    EXPECT_EQ(m.enc->copy_frame, &copy_yuv420p_to_nv12);
    EXPECT_EQ(m.info().Width, 1088);
    EXPECT_TRUE(log.contains("width: 1080 not aligned 0.500000"));
  }
  {
    LogCapture log;
    Mapped m(make_settings(1280, 720));
    EXPECT_EQ(m.enc->copy_frame, &copy_yuv420p_to_nv12_fast);
    EXPECT_FALSE(log.contains("not aligned"));
  }
  {
    Mapped m(make_settings(1000, 562));
    EXPECT_EQ(m.enc->copy_frame, &copy_yuv420p_to_nv12);
    EXPECT_EQ(m.info().Width, 1008);
    EXPECT_EQ(m.info().Height, 576);
    EXPECT_EQ(m.enc->min_height, 562);
  }
}

TEST(EncoderParam, NtscRateKeepsWholeGopAndTimescaling) {
  Mapped m(make_settings(1280, 720, 30000, 1001));
  EXPECT_EQ(m.mfx().GopPicSize, 30);
  EXPECT_EQ(m.info().FrameRateExtN, 30000u);
  EXPECT_EQ(m.info().FrameRateExtD, 1001u);
  EXPECT_EQ(m.enc->timescaling, 3000);
  Mapped pal(make_settings(720, 576, 25, 1));
  EXPECT_EQ(pal.enc->timescaling, 3600);
}

TEST(EncoderParam, NamesMatchWholeAndCaseSensitive) {
  struct Case {
    const char *profile, *preset;
    int codec_profile, target_usage;
  };
  const Case cases[] = {{"high", "ultrafast", 100, 7}, {"main", "veryfast", 77, 4}, {"baseline", "slow", 66, 1},
                        {"High", "VeryFast", 0, 0},    {"hig", "slower", 0, 0},    {"", "", 0, 0}};
  for (const Case &c : cases) {
    LogCapture log;
    Mapped m(make_settings(640, 480, 30, 1, 4000, 4, c.profile, c.preset));
    EXPECT_EQ(m.mfx().CodecProfile, c.codec_profile) << c.profile;
    EXPECT_EQ(m.mfx().TargetUsage, c.target_usage) << c.preset;
    EXPECT_EQ(log_texts()[0], std::string("profile:") + c.profile);
    EXPECT_EQ(log_texts()[1], std::string("preset:") + c.preset);
  }
  LogCapture log;
  Mapped m(make_settings(640, 480, 30, 1, 4000, 4, nullptr, nullptr));
  EXPECT_EQ(m.mfx().CodecProfile, 0);
  EXPECT_EQ(log_texts()[0], "profile:(null)");
}

TEST(EncoderParam, LogLinesStayWithinTheirBuffer) {
  LogCapture log;
  std::string profile(3 * HWAVC_ENC_MSG_SIZE, 'p');
  Mapped m(make_settings(640, 480, 30, 1, 4000, 4, profile.c_str(), "slow"));
  ASSERT_FALSE(LogCapture::lines.empty());
  EXPECT_EQ(LogCapture::lines[0].size(), (size_t)HWAVC_ENC_MSG_SIZE - 1);
  EXPECT_EQ(log_texts()[1], "preset:slow");
}

TEST(EncoderParam, BitratesAboveSixteenBitsUseTheMultiplier) {
  struct Case {
    int bitrate, target, multiplier, logged;
  };
  const Case cases[] = {
      {81918, 65534, 0, 65534},    // the largest rate that fits the field
      {81920, 32768, 2, 65536},    // one above: halved, exact
      {100000, 40000, 2, 80000},   // would wrap to 14464 without the multiplier
      {7158278, 65075, 88, 5726600},  // the highest rate accepted: 5726622 kbit/s within 0.001%
  };
  for (const Case &c : cases) {
    LogCapture log;
    Mapped m(make_settings(1920, 1080, 30, 1, c.bitrate));
    EXPECT_EQ(m.mfx().TargetKbps, c.target) << c.bitrate;
    EXPECT_EQ(m.mfx().MaxKbps, c.target) << c.bitrate;
    EXPECT_EQ(m.mfx().BRCParamMultiplier, c.multiplier) << c.bitrate;
    EXPECT_TRUE(log.contains("bitrate:" + std::to_string(c.logged))) << c.bitrate;
  }
}

TEST(EncoderParam, FpsToRatioPrefersWholeThenNtscThenFourDecimals) {
  struct Case {
    double fps;
    mfxU32 num, den;
  };
  const Case cases[] = {{0, 0, 1},           {25, 25, 1},          {29.97, 30000, 1001}, {23.976, 24000, 1001},
                        {59.94, 60000, 1001}, {12.5, 125000, 10000}, {30000.0 / 1001, 30000, 1001},
                        {0.5, 5000, 10000},   {65535, 65535, 1}};
  for (const Case &c : cases) {
    mfxU32 num = 7, den = 7;
    fps_to_ratio(c.fps, &num, &den);
    EXPECT_EQ(num, c.num) << c.fps;
    EXPECT_EQ(den, c.den) << c.fps;
  }
}

TEST(EncoderParam, SettingsCheckAcceptsTheEdgesOfEachRange) {
  const hwavc_enc_settings good[] = {
      make_settings(16, 16, 1, 2, 2, 1),  make_settings(4096, 2160, 65535, 1, 7158278, 9),
      make_settings(1, 1),                make_settings(65520, 16),
  };
  for (const hwavc_enc_settings &s : good) EXPECT_EQ(hwavc_check_settings(&s), 0) << s.width << "x" << s.height;
  const hwavc_enc_settings bad[] = {
      make_settings(640, 480, 2, 5),  // 0.4 frames per second rounds to 0
      make_settings(640, 480, 131071, 2),  // 65535.5 rounds to 65536
      make_settings(16, 65521),
      make_settings(640, 480, 30, 1, 1),  // 80% of 1 kbit/s is no rate at all
  };
  for (const hwavc_enc_settings &s : bad) EXPECT_EQ(hwavc_check_settings(&s), -1) << s.fps_num << "/" << s.fps_den;
}

TEST(EncoderParam, FrameTypeBitsMapToQuarnTypes) {
  EXPECT_EQ(hwavc_frame_type(MFX_FRAMETYPE_I | MFX_FRAMETYPE_IDR | MFX_FRAMETYPE_REF), QUARN_FRAME_I);
  EXPECT_EQ(hwavc_frame_type(MFX_FRAMETYPE_xI | MFX_FRAMETYPE_xREF), QUARN_FRAME_I);
  EXPECT_EQ(hwavc_frame_type(MFX_FRAMETYPE_P | MFX_FRAMETYPE_REF), QUARN_FRAME_P);
  EXPECT_EQ(hwavc_frame_type(MFX_FRAMETYPE_xP), QUARN_FRAME_P);
  EXPECT_EQ(hwavc_frame_type(MFX_FRAMETYPE_B), QUARN_FRAME_B);
  EXPECT_EQ(hwavc_frame_type(MFX_FRAMETYPE_xB | MFX_FRAMETYPE_REF), QUARN_FRAME_B);
  EXPECT_EQ(hwavc_frame_type(MFX_FRAMETYPE_I | MFX_FRAMETYPE_xP), QUARN_FRAME_I);
  EXPECT_EQ(hwavc_frame_type(0), -1);
  EXPECT_EQ(hwavc_frame_type(MFX_FRAMETYPE_REF | MFX_FRAMETYPE_IDR), -1);
}

}  // namespace
