// The library as its caller sees it: loaded by file name, the six exports found
// by their plain names, opening through the real dispatcher into the runtime
// stand-in, and every way opening can fail, with the message each leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoder_test_support.h"

using namespace enc_test;

namespace {

class OpenApi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lib.load(), ""); }
  void TearDown() override { lib.unload(); }

  // Opens with `settings`; on failure checks that the handle slot was not
  // touched and returns the message.
  std::string open_fails(const hwavc_enc_settings &settings) {
    hwavc_enc_data *const untouched = (hwavc_enc_data *)&settings;
    hwavc_enc_data *enc = untouched;
    EXPECT_EQ(lib.open(&enc, &settings, LogCapture::callback), -1);
    EXPECT_EQ(enc, untouched);
    return lib.message();
  }

  EncoderLibrary lib;
};

TEST_F(OpenApi, MessageIsEmptyBeforeAnyFailureAndHelpersAnswer) {
  char buf[HWAVC_ENC_MSG_SIZE];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(lib.get_msg(buf), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(lib.done(nullptr), 0);
  EXPECT_EQ(lib.done(buf), 0);
  EXPECT_EQ(lib.close(nullptr), -1);
  EXPECT_EQ(lib.reset(nullptr), -1);
  EXPECT_EQ(lib.get_msg(buf), 0);
  // A null handle is refused with a reason, not a crash.
  quarn_frame *out = nullptr;
  EXPECT_EQ(lib.encode(nullptr, nullptr, &out), HWAVC_ENC_ERR_BAD_CALL);
  EXPECT_NE(lib.message().find("null handle"), std::string::npos) << lib.message();
}

TEST_F(OpenApi, OpensThroughTheDispatcherIntoTheStandin) {
  Standin standin;
  LogCapture log;
  hwavc_enc_settings settings = make_settings(1920, 1080);
  hwavc_enc_data *enc = nullptr;
  ASSERT_EQ(lib.open(&enc, &settings, LogCapture::callback), 0) << lib.message();
  ASSERT_NE(enc, nullptr);
  EXPECT_TRUE(standin.reached()) << "the dispatcher loaded another runtime";
  std::string trace = standin.trace();
  // The parameters arrived as mapped.
  EXPECT_NE(trace.find("queryiosurf CodecId=541283905 CodecProfile=100 TargetUsage=4 RateControlMethod=1 "
                       "TargetKbps=3200 MaxKbps=3200 BRCParamMultiplier=0 GopPicSize=30 GopRefDist=2 GopOptFlag=1 "
                       "IdrInterval=0 NumSlice=0 EncodedOrder=0 FrameRateExtN=30 FrameRateExtD=1 FourCC=842094158 "
                       "PicStruct=1 ChromaFormat=1 Width=1920 Height=1088 CropX=0 CropY=0 CropW=1920 CropH=1080 "
                       "AsyncDepth=4 IOPattern=2"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("encode_init"), std::string::npos);
  EXPECT_TRUE(log.contains("Intel Media SDK 1.35"));
  EXPECT_TRUE(log.contains("mode MFX_IMPL_HARDWARE via "));
  // AsyncDepth + 1 held for B pictures + their reference: 6 surfaces of 1920x1088 NV12.
  EXPECT_TRUE(log.contains("yuv_frame:6 size:3133440"));
  // The runtime asks for room for an uncompressed picture, more than 2.4 s at 4000 kbit/s.
  EXPECT_TRUE(log.contains("encoder profile:100 gop:30 ref_dist:2 async_depth:4 bitrate:3200 buffer:3134KB"));
  EXPECT_TRUE(log.contains("bs_frame:4+1 size:3134000 "));
  for (const std::string &line : LogCapture::lines) EXPECT_EQ(line.rfind("hwavc_enc(", 0), 0u) << line;
  EXPECT_EQ(lib.close(enc), 0);
  EXPECT_NE(standin.trace().find("mfx_standin close"), std::string::npos);
  EXPECT_EQ(lib.message(), "") << "success leaves the slot alone";
}

TEST_F(OpenApi, EveryHardwareImplementationIsAccepted) {
  for (int impl : {2, 5, 6, 7}) {
    Standin standin{{"MFXSTANDIN_IMPL", std::to_string(impl)}};
    LogCapture log;
    hwavc_enc_settings settings = make_settings(640, 480);
    hwavc_enc_data *enc = nullptr;
    ASSERT_EQ(lib.open(&enc, &settings, LogCapture::callback), 0) << impl << ": " << lib.message();
    std::string mode =
        impl == 2 ? "mode MFX_IMPL_HARDWARE via 0x0" : "mode MFX_IMPL_HARDWARE" + std::to_string(impl - 3);
    EXPECT_TRUE(log.contains(mode)) << impl;
    EXPECT_EQ(lib.close(enc), 0);
  }
}

// Index of the last log line holding `text`; -1 when none does.
int last_line_of(const std::string &text) {
  int i = (int)LogCapture::lines.size() - 1;
  while (i >= 0 && LogCapture::lines[i].find(text) == std::string::npos) i--;
  return i;
}

// Failures that the stand-in (behind the dispatcher) causes: the text each
// leaves, with the Media SDK status where there is one. Each fails the
// Direct3D 11 attempt and then the one without an interface.
struct RuntimeFailure {
  const char *var;
  const char *value;
  const char *message;
  const char *first_attempt;  // where and with which status the first attempt stopped
};

TEST_F(OpenApi, RuntimeRefusalsFailOpenWithTheirStatus) {
  const RuntimeFailure cases[] = {
      {"MFXSTANDIN_IMPL", "1", "only software qsv encoder, quit", "impl with 0"},
      {"MFXSTANDIN_IMPL", "3", "unknow qsv encoder 3", "impl with 0"},
      // via D3D9: the base type decides
      {"MFXSTANDIN_IMPL", "0x0201", "only software qsv encoder, quit", "impl with 0"},
      {"MFXSTANDIN_SURFACES", "12:11", "NumFrameMin 11 are over of 10", "surfaces with 0"},
      {"MFXSTANDIN_QUERYIOSURF_STATUS", "-15", "failed to query encoding param -15", "query with -15"},
      {"MFXSTANDIN_INIT_STATUS", "-17", "failed to query encoding param -17", "init with -17"},
      {"MFXSTANDIN_GETVIDEOPARAM_STATUS", "-17", "failed to get encoding param -17", "params with -17"},
  };
  for (const RuntimeFailure &c : cases) {
    SCOPED_TRACE(std::string(c.var) + "=" + c.value);
    Standin standin{{c.var, c.value}};
    LogCapture log;
    hwavc_enc_settings settings = make_settings(1280, 720);
    std::string msg = open_fails(settings);
    EXPECT_TRUE(is_slot_text(msg, c.message)) << msg;
    EXPECT_TRUE(log.contains(std::string("D3D11 open failed at ") + c.first_attempt + ", trying D3D9"));
    EXPECT_LT(last_line_of("trying D3D9"), last_line_of("Intel Media SDK")) << "logged once, between the attempts";
    EXPECT_TRUE(standin.reached());
    EXPECT_NE(standin.trace().find("mfx_standin close"), std::string::npos) << "the session was not closed";
  }
}

// The implementation of the first session the stand-in was asked for.
unsigned first_request(const std::string &trace) {
  size_t at = trace.find("impl=0x");
  return at == std::string::npos ? 0 : (unsigned)std::stoul(trace.substr(at + 5), nullptr, 16);
}

// Machines as their runtimes answer, behind the real dispatcher: Direct3D 11
// is asked for first, and what the runtime refuses there is asked again with
// no interface, which Windows' dispatcher turns into Direct3D 9.
struct MachineCase {
  const char *machine;
  const char *fallback;  // the fallback's log line, or null
  const char *via;       // the interface the session got under Windows
  std::vector<std::string> lines;
};

TEST_F(OpenApi, EachMachineOpensThroughAnInterfaceItHas) {
  const MachineCase cases[] = {
      {"", nullptr, "D3D11", {"Intel Media SDK 1.35"}},
      {"no-d3d9", nullptr, "D3D11", {}},
      {"api-1.255", nullptr, "D3D11", {"Intel Media SDK 1.255"}},
      {"no-d3d11", "D3D11 open failed at session with -3, trying D3D9", "D3D9", {}},
      {"d3d11-init", "D3D11 open failed at init with -3, trying D3D9", "D3D9", {}},
      {"low-power", nullptr, "D3D11",
       {"MFXVideoENCODE_Init warning 5", "encoder profile:100 gop:30 ref_dist:1 ",
        "runtime corrected ref_dist from 2 to 1"}},
  };
  for (const MachineCase &c : cases) {
    SCOPED_TRACE(c.machine);
    Standin standin{{"MFXSTANDIN_MACHINE", c.machine}, {"MFXSTANDIN_MODE", "synthetic"}};
    LogCapture log;
    hwavc_enc_settings settings = make_settings(1280, 720);
    hwavc_enc_data *enc = nullptr;
    int rc = lib.open(&enc, &settings, LogCapture::callback);
    EXPECT_EQ(rc, 0) << lib.message();
    EXPECT_EQ(lib.message(), "") << "an open that succeeds leaves the slot alone";
    EXPECT_EQ(first_request(standin.trace()) & 0xF00, 0x300u) << standin.trace();
#ifdef _WIN32
    const std::string mode = std::string("mode MFX_IMPL_HARDWARE via ") + c.via;
#else
    const std::string mode = "mode MFX_IMPL_HARDWARE via VAAPI";  // what the stand-in reports natively
#endif
    EXPECT_TRUE(log.contains(mode)) << mode;
    for (const std::string &line : c.lines) EXPECT_TRUE(log.contains(line)) << line;
    EXPECT_EQ(log.contains("trying D3D9"), c.fallback != nullptr);
    // The fallback is logged before the second attempt's lines.
    if (c.fallback) EXPECT_TRUE(log.contains(c.fallback));
    if (c.fallback) EXPECT_LT(last_line_of(c.fallback), last_line_of("Intel Media SDK"));
    if (rc == 0) EXPECT_EQ(lib.close(enc), 0);
  }
#ifdef _WIN32
  // Neither interface: the status of the last attempt, in the usual text.
  Standin standin{{"MFXSTANDIN_MACHINE", "no-d3d"}};
  LogCapture log;
  std::string msg = open_fails(make_settings(1280, 720));
  EXPECT_TRUE(is_slot_text(msg, "failed initializing an internal MFX session -3")) << msg;
  EXPECT_TRUE(log.contains("D3D11 open failed at session with -3, trying D3D9"));
  std::string trace = standin.trace();
  EXPECT_EQ(first_request(trace), 0x302u) << trace;
  EXPECT_NE(trace.find("refused impl=0x202"), std::string::npos) << trace;
  EXPECT_FALSE(standin.reached());
#endif
}

TEST_F(OpenApi, SettingsTheEncoderRefusesFailAtQuery) {
  // Within the library's limits, beyond the encoder's (the stand-in's is 4096).
  const std::pair<int, int> sizes[] = {{5000, 720}, {65520, 16}, {16, 65520}, {65520, 21840}};
  for (const auto &size : sizes) {
    SCOPED_TRACE(testing::Message() << size.first << "x" << size.second);
    Standin standin;
    hwavc_enc_settings settings = make_settings(size.first, size.second);
    EXPECT_TRUE(is_slot_text(open_fails(settings), "failed to query encoding param -15")) << lib.message();
    EXPECT_TRUE(standin.reached());
  }
}

TEST_F(OpenApi, SurfacesBeyondTenAndPartialAccelerationAreAccepted) {
  for (const char *surfaces : {"10", "11:3"}) {
    SCOPED_TRACE(surfaces);
    Standin standin{{"MFXSTANDIN_SURFACES", surfaces}};
    LogCapture log;
    hwavc_enc_settings settings = make_settings(320, 240);
    hwavc_enc_data *enc = nullptr;
    ASSERT_EQ(lib.open(&enc, &settings, LogCapture::callback), 0) << lib.message();
    EXPECT_TRUE(log.contains("yuv_frame:10 size:115200"));
    EXPECT_EQ(lib.close(enc), 0);
  }
  // The line on standard output comes whatever the log callback.
  for (hwavc_enc_log_func callback : {LogCapture::callback, (hwavc_enc_log_func) nullptr}) {
    Standin standin{{"MFXSTANDIN_INIT_STATUS", "4"}};
    LogCapture log;
    hwavc_enc_settings settings = make_settings(320, 240);
    hwavc_enc_data *enc = nullptr;
    testing::internal::CaptureStdout();
    int rc = lib.open(&enc, &settings, callback);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(rc, 0) << lib.message();
    EXPECT_NE(out.find("Encoder will work with partial HW acceleration\n"), std::string::npos) << out;
    EXPECT_EQ(log.contains("MFXVideoENCODE_Init warning 4"), callback != nullptr);
    EXPECT_TRUE(standin.reached());
    EXPECT_EQ(lib.close(enc), 0);
  }
}

TEST_F(OpenApi, TheRuntimesCorrectionsAreLoggedAsItMadeThem) {
  struct Case {
    const char *what;
    const char *var, *value;
    const char *profile;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"baseline has no B pictures", "MFXSTANDIN_TRACE", "", "baseline",
       {"MFXVideoENCODE_QueryIOSurf warning 5", "MFXVideoENCODE_Init warning 5",
        "encoder profile:66 gop:25 ref_dist:1 async_depth:3 bitrate:2400 buffer:600KB", "yuv_frame:4 "}},
      {"fewer operations at once", "MFXSTANDIN_ASYNC_DEPTH", "2", "high",
       {"MFXVideoENCODE_QueryIOSurf warning 5", "MFXVideoENCODE_Init warning 5",
        "encoder profile:100 gop:25 ref_dist:2 async_depth:2 bitrate:2400 buffer:600KB", "bs_frame:3+1 size:900000 "}},
      {"a bigger buffer", "MFXSTANDIN_BUFFER_KB", "2500", "main",
       {"encoder profile:77 gop:25 ref_dist:2 async_depth:3 bitrate:2400 buffer:2500KB",
        "bs_frame:3+1 size:2500000 "}},
      {"a profile left to the encoder", "MFXSTANDIN_TRACE", "", "High",
       {"encoder profile:100 gop:25 ref_dist:2 async_depth:3 bitrate:2400 buffer:600KB"}},
  };
  const std::vector<std::string> corrections[] = {{"runtime corrected ref_dist from 2 to 1"},
                                                  {"runtime corrected async_depth from 3 to 2"},
                                                  {},
                                                  {}};
  size_t row = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Standin standin{{c.var, c.value}};
    LogCapture log;
    hwavc_enc_settings settings = make_settings(640, 480, 25, 1, 3000, 3, c.profile);
    hwavc_enc_data *enc = nullptr;
    ASSERT_EQ(lib.open(&enc, &settings, LogCapture::callback), 0) << lib.message();
    for (const std::string &line : c.lines) EXPECT_TRUE(log.contains(line)) << line;
    // Only what the settings decided and the runtime changed.
    std::vector<std::string> corrected;
    for (const std::string &line : LogCapture::lines) {
      size_t at = line.find("runtime corrected");
      if (at != std::string::npos) corrected.push_back(line.substr(at));
    }
    EXPECT_EQ(corrected, corrections[row++]);
    // What was asked is still logged before it.
    EXPECT_TRUE(log.contains(std::string("profile:") + c.profile));
    EXPECT_EQ(log.contains("warning"), c.lines[0].find("warning") != std::string::npos);
    EXPECT_EQ(lib.close(enc), 0);
  }
  // A buffer beyond what a slot can hold fails the open instead of wrapping.
  Standin standin{{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_BUFFER_KB", "65535"}};
  LogCapture log;
  std::string msg = open_fails(make_settings(640, 480, 25, 1, 7158278));
  EXPECT_TRUE(is_slot_text(msg, "bitstream buffer of 5767080000 bytes asked, over 2147483647")) << msg;
  EXPECT_TRUE(log.contains("D3D11 open failed at params with 0, trying D3D9"));
  EXPECT_NE(standin.trace().find("mfx_standin close"), std::string::npos);
}

// Settings that cannot make a working encoder are refused before any session
// opens.
struct BadSettings {
  const char *what;
  hwavc_enc_settings settings;
  const char *message;
};

TEST_F(OpenApi, UnworkableSettingsAreRefusedBeforeTheSessionOpens) {
  const BadSettings cases[] = {
      {"buf_num 0", make_settings(640, 480, 30, 1, 4000, 0), "buf_num 0 outside 1..9"},
      {"buf_num 10", make_settings(640, 480, 30, 1, 4000, 10), "buf_num 10 outside 1..9"},
      {"fps 0/1", make_settings(640, 480, 0, 1), "frame rate 0/1: numerator and denominator must be above 0"},
      {"fps 30/0", make_settings(640, 480, 30, 0), "frame rate 30/0: numerator and denominator must be above 0"},
      {"fps -30/-1", make_settings(640, 480, -30, -1),
       "frame rate -30/-1: numerator and denominator must be above 0"},
      {"fps 1/3", make_settings(640, 480, 1, 3), "frame rate 1/3 rounds to 0 frames per second, outside 1..65535"},
      {"fps 70000", make_settings(640, 480, 70000, 1),
       "frame rate 70000/1 rounds to 70000 frames per second, outside 1..65535"},
      {"fps 131071/2", make_settings(640, 480, 131071, 2),
       "frame rate 131071/2 rounds to 65536 frames per second, outside 1..65535"},
      {"bitrate -1", make_settings(640, 480, 30, 1, -1), "bitrate -1 kbit/s outside 2..7158278"},
      {"bitrate 0", make_settings(640, 480, 30, 1, 0), "bitrate 0 kbit/s outside 2..7158278"},
      {"bitrate 1: nothing left at 80%", make_settings(640, 480, 30, 1, 1), "bitrate 1 kbit/s outside 2..7158278"},
      {"bitrate over 32-bit slots", make_settings(640, 480, 30, 1, 7158279),
       "bitrate 7158279 kbit/s outside 2..7158278"},
      {"width 0", make_settings(0, 480), "picture size 0x480: width outside 1..65520"},
      {"height -16", make_settings(640, -16), "picture size 640x-16: height outside 1..65520"},
      {"width beyond 16 bits", make_settings(65521, 16), "picture size 65521x16: width outside 1..65520"},
      {"height beyond 16 bits", make_settings(16, 65521), "picture size 16x65521: height outside 1..65520"},
      {"width padded past INT32_MAX", make_settings(INT32_MAX - 15, 16),
       "picture size 2147483632x16: width outside 1..65520"},
      {"height INT32_MAX", make_settings(16, INT32_MAX), "picture size 16x2147483647: height outside 1..65520"},
      {"frame beyond 32 bits", make_settings(40000, 40000),
       "picture size 40000x40000: padded to 40000x40000 it takes 2400000000 bytes in 4:2:0, over 2147483647"},
      {"one row of macroblocks beyond 32 bits", make_settings(65520, 21841),
       "picture size 65520x21841: padded to 65520x21856 it takes 2148007680 bytes in 4:2:0, over 2147483647"},
  };
  for (const BadSettings &c : cases) {
    SCOPED_TRACE(c.what);
    Standin standin;
    std::string msg = open_fails(c.settings);
    EXPECT_TRUE(is_slot_text(msg, c.message)) << msg;
    EXPECT_FALSE(standin.reached());
  }
  hwavc_enc_settings settings = make_settings(640, 480);
  EXPECT_EQ(lib.open(nullptr, &settings, LogCapture::callback), -1);
  EXPECT_NE(lib.message().find("open needs a handle slot and settings"), std::string::npos) << lib.message();
  hwavc_enc_data *enc = nullptr;
  EXPECT_EQ(lib.open(&enc, nullptr, LogCapture::callback), -1);
  EXPECT_EQ(enc, nullptr);
}

TEST_F(OpenApi, TheSmallestAndLargestSettingsOpenWithoutALogCallback) {
  struct Case {
    hwavc_enc_settings settings;
    std::vector<std::string> reached;  // in the stand-in's trace
    const char *mode;                  // of the stand-in; x264 is as strict about sizes as the hardware
  };
  const Case cases[] = {
      // 0.5 frames per second rounds to 1
      {make_settings(320, 240, 1, 2), {"GopPicSize=1 ", "FrameRateExtN=5000 FrameRateExtD=10000"}, "synthetic"},
      {make_settings(320, 240, 65535, 1), {"GopPicSize=65535 "}, "synthetic"},
      {make_settings(320, 240, 30, 1, 2), {"TargetKbps=1 "}, "synthetic"},
      {make_settings(1, 1), {"Width=16 Height=16 CropX=0 CropY=0 CropW=1 CropH=1 ", "init mode=x264"}, "x264"},
      {make_settings(33, 17), {"Width=48 Height=32 CropX=0 CropY=0 CropW=33 CropH=17 ", "init mode=x264"}, "x264"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.reached[0]);
    Standin standin{{"MFXSTANDIN_MODE", c.mode}};
    hwavc_enc_data *enc = nullptr;
    ASSERT_EQ(lib.open(&enc, &c.settings, nullptr), 0) << lib.message();
    for (const std::string &text : c.reached) EXPECT_NE(standin.trace().find(text), std::string::npos) << standin.trace();
    EXPECT_EQ(lib.close(enc), 0);
  }
}

TEST_F(OpenApi, BitratesBeyondSixteenBitsReachTheEncoderWhole) {
  Standin standin;
  LogCapture log;
  hwavc_enc_settings settings = make_settings(1920, 1080, 30, 1, 100000);
  hwavc_enc_data *enc = nullptr;
  ASSERT_EQ(lib.open(&enc, &settings, LogCapture::callback), 0) << lib.message();
  EXPECT_NE(standin.trace().find("TargetKbps=40000 MaxKbps=40000 BRCParamMultiplier=2 "), std::string::npos)
      << standin.trace();
  EXPECT_TRUE(log.contains("bitrate:80000"));
  EXPECT_EQ(lib.close(enc), 0);
}

TEST_F(OpenApi, RepeatedOpenAndCloseKeepsWorking) {
  Standin standin;
  hwavc_enc_settings settings = make_settings(1280, 720, 25, 1, 3000, 9);
#ifdef _WIN32
  const int rounds = 3;  // each session start costs Wine seconds of Direct3D probing
#else
  const int rounds = 20;  // leaks show at exit under LeakSanitizer
#endif
  for (int i = 0; i < rounds; i++) {
    hwavc_enc_data *enc = nullptr;
    ASSERT_EQ(lib.open(&enc, &settings, LogCapture::callback), 0) << i << ": " << lib.message();
    ASSERT_EQ(lib.close(enc), 0);
  }
  std::string trace = standin.trace();
  size_t closes = 0;
  for (size_t at = trace.find("mfx_standin close"); at != std::string::npos; at = trace.find("mfx_standin close", at + 1))
    closes++;
  EXPECT_GE(closes, (size_t)rounds);
}

}  // namespace
