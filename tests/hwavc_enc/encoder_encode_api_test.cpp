// Encoding through the exports with the synthetic stand-in: the order in
// which coded frames come back, their types and timestamps, draining, what
// reaches the encoder's surfaces, and every failure code of an encode call.
// The same tests run natively and under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "encoder_test_support.h"

using namespace enc_test;

namespace {

// What one encode call gave back.
struct Result {
  int rc;
  SyntheticPayload payload;  // valid when a frame came back
  int frame_type = -1;
  int64_t pts = 0, dts = 0;
  const quarn_frame *record = nullptr;
};

class EncodeApi : public ::testing::Test {
 public:
  void SetUp() override { ASSERT_EQ(lib.load(), ""); }
  void TearDown() override {
    close();
    standin.reset();
    lib.unload();
  }

  // Steers the stand-in for the sessions opened from now on.
  void steer(std::initializer_list<std::pair<std::string, std::string>> vars) {
    standin.reset();  // first: it removes its variables
    standin.reset(new Standin(vars));
  }
  void close() {
    if (enc) EXPECT_EQ(lib.close(enc), 0);
    enc = nullptr;
  }

  void open(int width, int height, int buf_num, int bitrate = 2000, int luma_pitch = 0) {
    settings = make_settings(width, height, 30, 1, bitrate, buf_num);
    ASSERT_EQ(lib.open(&enc, &settings, nullptr), 0) << lib.message();
    frame.reset(new TestFrame(width, height, luma_pitch));
  }

  // Encodes picture t of the pattern with the given pts, or drains.
  Result call(int t, int64_t pts) {
    quarn_frame *in = nullptr;
    if (t >= 0) {
      frame->paint(t);
      frame->get()->pts = pts;
      in = frame->get();
    }
    return collect(lib.encode(enc, in, &out));
  }
  Result encode(int t) { return call(t, t); }
  Result drain() { return call(-1, 0); }

  Result collect(int rc) {
    Result r;
    r.rc = rc;
    if (out) {
      r.payload = parse_payload(out);
      r.frame_type = out->frame_type;
      r.pts = out->pts;
      r.dts = out->dts;
      r.record = out;
    }
    return r;
  }

  // Encodes pictures 0..n-1, then drains until nothing comes back; the
  // frames in the order they came.
  std::vector<Result> run(int n, int64_t first_pts = 0) {
    std::vector<Result> got;
    for (int t = 0; t < n; t++) {
      Result r = call(t, first_pts + t);
      EXPECT_EQ(r.rc, 0) << t << ": " << lib.message();
      if (r.payload.valid) got.push_back(r);
    }
    for (int guard = 0; guard < 64; guard++) {
      Result r = drain();
      EXPECT_EQ(r.rc, 0) << lib.message();
      if (!r.payload.valid) break;
      got.push_back(r);
    }
    return got;
  }

  EncoderLibrary lib;
  hwavc_enc_settings settings;
  hwavc_enc_data *enc = nullptr;
  quarn_frame *out = nullptr;
  std::unique_ptr<TestFrame> frame;
  std::unique_ptr<Standin> standin;  // outlives the session: its trace gets the close
};

using EncodeApiPtr = EncodeApi *;

std::vector<uint32_t> indices(const std::vector<Result> &results) {
  std::vector<uint32_t> v;
  for (const Result &r : results) v.push_back(r.payload.index);
  return v;
}

TEST_F(EncodeApi, OneSlotHandsBackThePreviousFrameEachCall) {
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}});
  open(320, 240, 1);
  Result first = encode(0);
  EXPECT_EQ(first.rc, 0);
  EXPECT_EQ(first.record, nullptr);
  for (int t = 1; t < 6; t++) {
    Result r = encode(t);
    ASSERT_TRUE(r.payload.valid) << t;
    EXPECT_EQ(r.payload.index, (uint32_t)t - 1);
    EXPECT_EQ(r.pts, t - 1);
  }
  EXPECT_TRUE(standin->reached());
}

TEST_F(EncodeApi, FourSlotsHandBackTheFirstFrameOnTheFifthCall) {
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}});
  open(320, 240, 4);
  for (int t = 0; t < 4; t++) EXPECT_EQ(encode(t).record, nullptr) << t;
  const quarn_frame *record = nullptr;
  for (int t = 4; t < 12; t++) {
    Result r = encode(t);
    ASSERT_TRUE(r.payload.valid) << t;
    EXPECT_EQ(r.payload.index, (uint32_t)t - 4);
    if (record) EXPECT_EQ(r.record, record) << "the output record moved";
    record = r.record;
    EXPECT_EQ(record->format, QUARN_FORMAT_H264);
    EXPECT_EQ(record->plane[0], record->data);
    EXPECT_EQ(record->width, 320);
    EXPECT_EQ(record->height, 240);
    EXPECT_EQ(record->fps_num, 30);
    EXPECT_DOUBLE_EQ(record->fps, 30.0);
  }
}

TEST_F(EncodeApi, BPicturesComeBackInDecodeOrderWithTheirTypes) {
  steer({{"MFXSTANDIN_MODE", "synthetic"}});
  open(320, 240, 4);
  std::vector<Result> got = run(12);
  // Display order I0 B1 P2 B3 ... closed GOPs of 30: decode order below.
  const std::vector<uint32_t> order = {0, 2, 1, 4, 3, 6, 5, 8, 7, 10, 9, 11};
  EXPECT_EQ(indices(got), order);
  for (const Result &r : got) {
    int expected = r.payload.index == 0 ? QUARN_FRAME_I : (r.payload.index % 2 ? QUARN_FRAME_B : QUARN_FRAME_P);
    if (r.payload.index == 11) expected = QUARN_FRAME_P;  // no reference after it: the drain makes it P
    EXPECT_EQ(r.frame_type, expected) << r.payload.index;
    EXPECT_EQ(r.pts, (int64_t)r.payload.index);
    EXPECT_EQ(r.payload.timestamp, 3000u * r.payload.index) << "pts enters as 90 kHz";
    EXPECT_LE(r.dts, r.pts);
  }
  for (size_t i = 1; i < got.size(); i++) EXPECT_LT(got[i - 1].dts, got[i].dts) << i;
  EXPECT_EQ(got[0].dts, -1);  // one frame interval before the first pts
}

// Encodes pictures 0..n-1 (the runtime refuses some), then drains until
// nothing comes back; every picture taken must come back exactly once (the
// pts tells which).
void expect_every_frame_once(EncodeApiPtr t, int n, int buf_num) {
  std::vector<int64_t> taken, got;
  for (int i = 0; i < n; i++) {
    Result r = t->encode(i);
    if (r.rc == 0) taken.push_back(i);
    if (r.payload.valid) got.push_back(r.pts);
  }
  for (int guard = 0; guard <= n + buf_num; guard++) {
    Result r = t->drain();
    EXPECT_EQ(r.rc, 0) << t->lib.message();
    if (!r.record) break;
    got.push_back(r.pts);
  }
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, taken) << n << " frames, buf_num " << buf_num;
  // Once drained, further calls return nothing.
  Result after = t->drain();
  EXPECT_EQ(after.rc, 0);
  EXPECT_EQ(after.record, nullptr);
}

TEST_F(EncodeApi, DrainingHandsBackEveryFrameOnceForEveryClipAndRing) {
#ifdef _WIN32
  // Each session start costs Wine seconds of Direct3D probing.
  const std::vector<int> rings = {1, 9};
  auto lengths = [](int b) { return std::vector<int>{0, 1, b, b + 1, 3 * b + 2}; };
#else
  const std::vector<int> rings = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  auto lengths = [](int b) {
    std::vector<int> v;
    for (int n = 0; n <= 3 * b + 2; n++) v.push_back(n);
    return v;
  };
#endif
  for (int buf_num : rings) {
    for (int n : lengths(buf_num)) {
      steer({{"MFXSTANDIN_MODE", "synthetic"}});
      open(320, 240, buf_num);
      expect_every_frame_once(this, n, buf_num);
      close();
    }
  }
}

TEST_F(EncodeApi, DrainingHandsBackEveryFrameOnceAfterRefusedFrames) {
  for (int buf_num : {1, 4}) {
    SCOPED_TRACE(buf_num);
    steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_ENCODE_ERROR", "3:-15"}});
    open(320, 240, buf_num);
    expect_every_frame_once(this, 11, buf_num);
    close();
  }
}

TEST_F(EncodeApi, DecodingTimestampsAreTheRuntimesOrTheCounterAndRiseForEveryFirstPts) {
  // The counter stands in for a runtime that gives none, moved back as the
  // runtime's would be for B pictures.
  std::vector<std::pair<std::string, int64_t>> cases;
  for (const char *no_dts : {"0", "1"})
    for (int64_t first : {0, 1, 1000, -5}) cases.push_back({no_dts, first});
  for (const auto &[no_dts, first] : cases) {
    SCOPED_TRACE(testing::Message() << first << (no_dts == "1" ? " counter" : " runtime"));
    steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_DTS", no_dts}});
    open(320, 240, 4);
    std::vector<Result> got = run(12, first);
    ASSERT_EQ(got.size(), 12u);
    EXPECT_EQ(got[0].dts, first - 1);  // one frame interval before the first pts, 0 for a first pts of 1
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_LE(got[i].dts, got[i].pts) << i;
      if (i > 0) EXPECT_LT(got[i - 1].dts, got[i].dts) << i;
    }
    close();
  }
}

TEST_F(EncodeApi, AFrameAfterTheDrainIsRefused) {
  steer({{"MFXSTANDIN_MODE", "synthetic"}});
  open(320, 240, 2);
  EXPECT_EQ(run(3).size(), 3u);
  out = (quarn_frame *)&settings;  // must come back null
  Result r = encode(3);
  EXPECT_EQ(r.rc, HWAVC_ENC_ERR_BAD_CALL);
  EXPECT_EQ(r.record, nullptr);
  EXPECT_TRUE(is_slot_text(lib.message(), "frame after the drain: close and open the encoder for more frames"))
      << lib.message();
  close();
  EXPECT_NE(standin->trace().find("close frames_in=3 frames_out=3"), std::string::npos) << standin->trace();
}

TEST_F(EncodeApi, DecodingTimestampsFallBackToTheCounterAndResetReseedsIt) {
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}, {"MFXSTANDIN_NO_DTS", "1"}});
  open(320, 240, 1);
  std::vector<int64_t> dts;
  auto keep = [&dts](const Result &r) {
    if (r.record) dts.push_back(r.dts);
  };
  keep(call(0, 100));
  keep(call(1, 101));
  keep(call(2, 102));
  EXPECT_EQ(lib.reset(enc), 0);
  keep(call(3, 500));  // collects picture 2 before the new pts seeds the counter
  keep(call(4, 501));
  keep(drain());
  EXPECT_EQ(dts, (std::vector<int64_t>{100, 101, 102, 500, 501}));
}

TEST_F(EncodeApi, NegativePtsComeBackIntact) {
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}});
  open(320, 240, 1);
  std::vector<int64_t> pts;
  for (int64_t p : {-30000, -2, -1, 0, 1}) {
    Result r = call((int)(p & 7), p);
    if (r.record) pts.push_back(r.pts);
  }
  for (Result r = drain(); r.record; r = drain()) pts.push_back(r.pts);
  EXPECT_EQ(pts, (std::vector<int64_t>{-30000, -2, -1, 0, 1}));
}

// The fields of a raw frame the library does not read.
void scribble_unread_fields(quarn_frame *f) {
  quarn_frame read = *f;
  memset(f, 0xA5, sizeof *f);
  f->format = read.format;
  f->width = read.width;
  f->height = read.height;
  f->pts = read.pts;
  memcpy(f->plane, read.plane, sizeof f->plane);
  f->pitch[0] = read.pitch[0];
}

TEST_F(EncodeApi, SurfacesHoldTheCallersPictureAtEveryWidth) {
  // 1000: the general copy into 1008-wide surfaces, also with the widest
  // luma pitch it takes; 1280: the fast one; odd sizes: the caller's chroma
  // planes rounded down, the last column or row repeating its neighbour. The
  // stand-in hashes each surface when its frame is synchronised, so a
  // surface overwritten while the encoder held it shows up too. Every field
  // the library does not read holds garbage.
  struct Size {
    int width, height, luma_pitch;
  };
  for (Size size : {Size{1000, 562, 0}, Size{1000, 562, 1008}, Size{1280, 562, 0}, Size{642, 562, 0},
                    Size{641, 361, 0}, Size{1280, 361, 0}}) {
    SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " pitch " << size.luma_pitch);
    steer({{"MFXSTANDIN_MODE", "synthetic"}});
    open(size.width, size.height, 3, 2000, size.luma_pitch);
    std::vector<uint32_t> expected;
    std::vector<Result> got;
    for (int t = 0; t < 9; t++) {
      frame->paint(t);
      expected.push_back(frame->nv12_checksum());
      scribble_unread_fields(frame->get());
      Result r = encode(t);
      if (r.payload.valid) got.push_back(r);
    }
    for (Result r = drain(); r.payload.valid; r = drain()) got.push_back(r);
    ASSERT_EQ(got.size(), 9u);
    for (const Result &r : got) {
      EXPECT_EQ(r.payload.checksum, expected[r.payload.index]) << r.payload.index;
      EXPECT_EQ(r.pts, (int64_t)r.payload.index);
    }
    close();
  }
}

TEST_F(EncodeApi, PicturesFollowTheGopAndTheFirstComesBackOnCallBufNumPlusRefDist) {
#ifdef _WIN32
  const std::vector<int> rings = {1, 9};  // each session start costs Wine seconds
#else
  const std::vector<int> rings = {1, 2, 3, 4, 5, 6, 7, 8, 9};
#endif
  // ref_dist 2 as asked, and 1 where the low-power encoder drops B pictures.
  std::vector<std::pair<std::string, int>> cases;
  for (const char *machine : {"", "low-power"})
    for (int buf_num : rings) cases.push_back({machine, buf_num});
  for (const auto &[machine, buf_num] : cases) {
    SCOPED_TRACE(testing::Message() << "machine '" << machine << "' buf_num " << buf_num);
    const bool b_pictures = machine.empty();
    steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_MACHINE", machine}});
    open(320, 240, buf_num);
    // With B pictures one call is held for the B picture's later reference;
    // then every slot of the ring fills before the oldest comes back.
    int calls = 0;
    std::vector<Result> got;
    for (int t = 0; t < 61; t++) {
      Result r = encode(t);
      ASSERT_EQ(r.rc, 0) << lib.message();
      if (r.record && got.empty()) calls = t + 1;
      if (r.record) got.push_back(r);
    }
    EXPECT_EQ(calls, buf_num + (b_pictures ? 2 : 1));
    for (Result r = drain(); r.record; r = drain()) got.push_back(r);
    ASSERT_EQ(got.size(), 61u);
    // 30 frames/s: an IDR picture every 30 frames, a B picture between
    // references, with buf_num 1 too.
    for (const Result &r : got) {
      uint32_t at = r.payload.index;
      int expected = at % 30 == 0 ? QUARN_FRAME_I
                                  : (b_pictures && at % 2 && at % 30 != 29 ? QUARN_FRAME_B : QUARN_FRAME_P);
      EXPECT_EQ(r.frame_type, expected) << at;
      if (expected == QUARN_FRAME_I) EXPECT_TRUE(r.payload.frame_type & 0x0080) << at;  // MFX_FRAMETYPE_IDR
    }
    close();
  }
}

TEST_F(EncodeApi, ADeviceThatWorksOnItsOwnTimeGetsEveryPictureIntactAndInOrder) {
  // Two engines, 3 ms per operation, finished by the device's own thread: a
  // surface comes free while the library is not asking, and a surface that
  // the library overwrote too early shows in the checksum read when the
  // device finishes its picture.
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_DEVICE", "2:3000"}});
  open(320, 240, 3);
  std::vector<uint32_t> expected;
  std::vector<Result> got;
  auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < 12; t++) {
    frame->paint(t);
    expected.push_back(frame->nv12_checksum());
    Result r = encode(t);
    EXPECT_EQ(r.rc, 0) << t << ": " << lib.message();
    if (r.payload.valid) got.push_back(r);
  }
  for (Result r = drain(); r.payload.valid; r = drain()) got.push_back(r);
  // Twelve operations on two engines cannot take less than six operations' time.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(18));
  EXPECT_EQ(indices(got), (std::vector<uint32_t>{0, 2, 1, 4, 3, 6, 5, 8, 7, 10, 9, 11}));
  for (const Result &r : got) EXPECT_EQ(r.payload.checksum, expected[r.payload.index]) << r.payload.index;
}

TEST_F(EncodeApi, ARuntimeThatRunsFewerOperationsOrHasFewerSurfacesIsWaitedFor) {
  // Lowered AsyncDepth: busy until the oldest operation is synchronised.
  // Three surfaces for a ring of four: none free until the oldest is done.
  // Busy answers with nothing in flight: retried.
  const std::pair<std::string, std::string> cases[] = {
      {"MFXSTANDIN_ASYNC_DEPTH", "2"}, {"MFXSTANDIN_SURFACES", "3:3"}, {"MFXSTANDIN_BUSY", "5"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.first + "=" + c.second);
    steer({{"MFXSTANDIN_MODE", "synthetic"}, c});
    open(320, 240, 4);
    std::vector<Result> got = run(12);
    EXPECT_EQ(indices(got), (std::vector<uint32_t>{0, 2, 1, 4, 3, 6, 5, 8, 7, 10, 9, 11}));
    close();
  }
}

TEST_F(EncodeApi, ADeviceBusyWithNothingInFlightEndsTheCallAndTheFrameGoesInLater) {
  // One busy answer more than the call takes.
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}, {"MFXSTANDIN_BUSY", "2001"}});
  open(320, 240, 2);
  auto start = std::chrono::steady_clock::now();
  Result r = encode(0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000)) << "asked again 1 ms apart";
  EXPECT_EQ(r.rc, HWAVC_ENC_ERR_BUSY);
  EXPECT_EQ(r.record, nullptr);
  EXPECT_TRUE(is_slot_text(lib.message(), "device busy for 2000 answers in a row with nothing in flight"))
      << lib.message();
  EXPECT_EQ(encode(0).rc, 0);
  Result back = drain();
  EXPECT_EQ(back.rc, 0);
  EXPECT_TRUE(back.payload.valid);
  EXPECT_EQ(back.pts, 0);
}

TEST_F(EncodeApi, ARefusedDrainRequestCollectsNothingAndTheNextCallAsksAgain) {
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}, {"MFXSTANDIN_DRAIN_ERROR", "-16"}});
  open(320, 240, 2);
  for (int t = 0; t < 4; t++) EXPECT_EQ(encode(t).rc, 0);
  Result first = drain();  // the ring is full: collected without asking the runtime
  EXPECT_EQ(first.rc, 0);
  EXPECT_EQ(first.pts, 2);
  Result refused = drain();
  EXPECT_EQ(refused.rc, -16);
  EXPECT_EQ(refused.record, nullptr);
  EXPECT_TRUE(is_slot_text(lib.message(), "failed to EncodeFrameAsync, ret -16")) << lib.message();
  Result last = drain();
  EXPECT_EQ(last.rc, 0);
  EXPECT_TRUE(last.payload.valid);
  EXPECT_EQ(last.pts, 3);
  EXPECT_EQ(drain().record, nullptr);
}

TEST_F(EncodeApi, AFailedSyncKeepsTheFrameOnlyWhileTheRuntimeIsAtWork) {
  // Still in execution: picture 1 was not taken; the retry collects picture 0.
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}, {"MFXSTANDIN_SYNC_ERROR", "1"}});
  open(320, 240, 1);
  EXPECT_EQ(encode(0).rc, 0);
  testing::internal::CaptureStdout();
  Result failed = encode(1);
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(failed.rc, HWAVC_ENC_ERR_SYNC);
  EXPECT_EQ(failed.record, nullptr);
  std::string msg = lib.message();
  EXPECT_NE(msg.find("): failed to MFXVideoCORE_SyncOperation, timeout: 1500000, 1 "), std::string::npos) << msg;
  EXPECT_EQ(msg.substr(msg.size() - 3), ", 0") << msg;
  EXPECT_NE(printed.find("failed to MFXVideoCORE_SyncOperation, timeout: 1500000, 1 "), std::string::npos);
  Result retry = encode(1);
  EXPECT_EQ(retry.rc, 0);
  ASSERT_TRUE(retry.payload.valid);
  EXPECT_EQ(retry.payload.index, 0u);
  close();

  // Aborted: that picture is reported once and dropped; the others and new
  // frames go on.
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}, {"MFXSTANDIN_SYNC_ERROR", "-12"}});
  open(320, 240, 2);
  EXPECT_EQ(encode(0).rc, 0);
  EXPECT_EQ(encode(1).rc, 0);
  testing::internal::CaptureStdout();
  Result lost = encode(2);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(lost.rc, HWAVC_ENC_ERR_SYNC);
  EXPECT_NE(lib.message().find("timeout: 1500000, -12 "), std::string::npos) << lib.message();
  std::vector<uint32_t> back;
  for (int t = 2; t < 5; t++) {
    Result r = encode(t);
    EXPECT_EQ(r.rc, 0) << t << ": " << lib.message();
    if (r.payload.valid) back.push_back(r.payload.index);
  }
  for (Result r = drain(); r.record; r = drain()) back.push_back(r.payload.index);
  EXPECT_EQ(back, (std::vector<uint32_t>{1, 2, 3, 4}));
}

// Decode order of the synthetic stand-in's first GOP: I0 P2 B1 P4 B3 ...
uint32_t decode_order_index(uint32_t task) { return task == 0 ? 0 : task % 2 ? task + 1 : task - 1; }

// One encode call that must come back within 2 s, whatever the device does.
Result within_2s(EncodeApiPtr t, int picture) {
  auto start = std::chrono::steady_clock::now();
  Result r = picture >= 0 ? t->encode(picture) : t->drain();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "picture " << picture;
  return r;
}

// After a device failure: the call returns `status` at once with nothing
// handed back and says what to do.
void expect_ended(EncodeApiPtr t, const Result &r, int status) {
  EXPECT_EQ(r.rc, status);
  EXPECT_EQ(r.record, nullptr);
  EXPECT_TRUE(is_slot_text(t->lib.message(),
                           "device failed with status " + std::to_string(status) +
                               ": close the handle and open it again"))
      << t->lib.message();
}

TEST_F(EncodeApi, AHungDeviceEndsTheHandleAndNoCallWaitsForIt) {
  // The fifth operation (picture 3, a B picture) hangs and keeps its surface
  // and its reference locked, and so do the operations behind it and the
  // frames held for reordering; the first wait for it answers MFX_ERR_GPU_HANG.
  for (int buf_num : {1, 4, 9}) {
    SCOPED_TRACE(buf_num);
    steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_DEVICE_FAILURE", "-21:4"}});
    open(320, 240, buf_num);
    std::vector<uint32_t> back;
    int failed_at = -1;
    testing::internal::CaptureStdout();
    for (int t = 0; t < 30; t++) {
      Result r = within_2s(this, t);
      if (r.payload.valid) back.push_back(r.payload.index);
      if (failed_at >= 0) {
        expect_ended(this, r, HWAVC_ENC_ERR_GPU_HANG);
      } else if (r.rc != 0) {
        failed_at = t;
        EXPECT_EQ(r.rc, HWAVC_ENC_ERR_SYNC);
        EXPECT_NE(lib.message().find("timeout: 1500000, -21 "), std::string::npos) << lib.message();
      }
    }
    for (int calls = 0; calls < 3; calls++) expect_ended(this, within_2s(this, -1), HWAVC_ENC_ERR_GPU_HANG);
    testing::internal::GetCapturedStdout();
    EXPECT_GE(failed_at, 4);
    EXPECT_EQ(back, (std::vector<uint32_t>{0, 2, 1, 4}));
    close();
    EXPECT_NE(standin->trace().find("device failed status=-21 at task 4"), std::string::npos) << standin->trace();
  }
}

TEST_F(EncodeApi, ADeviceLostInTheDrainHandsBackWhatFinishedFirst) {
  // Twelve pictures give eleven operations (the last picture is still held);
  // the device goes away before the drain's first request for it, when
  // buf_num of them wait in the ring, finished.
  for (auto [buf_num, status] : {std::pair<int, int>{4, HWAVC_ENC_ERR_DEVICE_LOST}, {9, HWAVC_ENC_ERR_DEVICE_FAILED}}) {
    SCOPED_TRACE(status);
    steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_DEVICE_FAILURE", std::to_string(status) + ":11:submit"}});
    open(320, 240, buf_num);
    std::vector<uint32_t> back, expected;
    for (int t = 0; t < 12; t++) {
      Result r = encode(t);
      EXPECT_EQ(r.rc, 0) << t;
      if (r.payload.valid) back.push_back(r.payload.index);
    }
    Result r;
    for (int guard = 0; guard < 20 && (r = within_2s(this, -1)).rc == 0; guard++) {
      ASSERT_TRUE(r.payload.valid) << "a drain call returned 0 without a frame before the failure";
      back.push_back(r.payload.index);
    }
    expect_ended(this, r, status);
    expect_ended(this, within_2s(this, -1), status);
    expect_ended(this, within_2s(this, 12), status);
    for (uint32_t task = 0; task < 11; task++) expected.push_back(decode_order_index(task));
    EXPECT_EQ(back, expected);
    close();
  }
}

TEST_F(EncodeApi, ASurfaceThatNeverComesFreeEndsTheWaitSoonWhenNothingIsHeld) {
  // Surfaces never unlocked, no B pictures: after the second frame nothing
  // of the handle is in flight or held, so no surface can come free.
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}, {"MFXSTANDIN_HOLD_SURFACES", "1"}});
  open(320, 240, 1);
  EXPECT_EQ(encode(0).rc, 0);
  EXPECT_EQ(encode(1).rc, 0);
  auto start = std::chrono::steady_clock::now();
  Result r = within_2s(this, 2);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(r.rc, HWAVC_ENC_ERR_NO_SURFACE);
  EXPECT_TRUE(is_slot_text(lib.message(), "failed to get free surface and timeout 100ms")) << lib.message();
  ASSERT_TRUE(r.payload.valid) << "the frame collected before the wait is handed back";
  EXPECT_EQ(r.payload.index, 1u);
}

TEST_F(EncodeApi, EncoderStatusesAreReturnedWithTheirMessage) {
  {
    // The runtime asks for more room than 2.4 s at the caller's rate: the
    // slots get it, and nothing is refused.
    steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_BUFFER_KB", "700"}});
    open(320, 240, 1);
    EXPECT_EQ(run(4).size(), 4u);
    close();
  }
  {
    // The third frame is refused with MFX_ERR_UNKNOWN, which is -1 as open's
    // failure is; the frame collected first still comes back, the refused
    // one is dropped and the handle goes on.
    steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}, {"MFXSTANDIN_ENCODE_ERROR", "2:-1"}});
    open(320, 240, 1);
    EXPECT_EQ(encode(0).rc, 0);
    EXPECT_EQ(encode(1).rc, 0);
    Result r = encode(2);
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(is_slot_text(lib.message(), "failed to EncodeFrameAsync, ret -1")) << lib.message();
    ASSERT_TRUE(r.payload.valid);
    EXPECT_EQ(r.payload.index, 1u);
    EXPECT_EQ(encode(3).rc, 0);
    Result last = drain();
    EXPECT_EQ(last.rc, 0);
    EXPECT_TRUE(last.payload.valid);
    EXPECT_EQ(last.pts, 3);
    close();
  }
  {
    // A coded frame that fills its whole slot is reported once and dropped:
    // the same frame goes in on the next call.
    steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}, {"MFXSTANDIN_FILL_BUFFER", "1"}});
    open(320, 240, 1);
    EXPECT_EQ(encode(0).rc, 0);
    Result r = encode(1);
    EXPECT_EQ(r.rc, HWAVC_ENC_ERR_DATA_LENGTH);
    EXPECT_EQ(r.record, nullptr);
    EXPECT_TRUE(is_slot_text(lib.message(), "data length of range :600000 600000")) << lib.message();
    EXPECT_EQ(encode(1).rc, 0);
    EXPECT_EQ(encode(2).rc, HWAVC_ENC_ERR_DATA_LENGTH);
  }
}

TEST_F(EncodeApi, FramesThatDoNotMatchAreRefusedBeforeAnythingChanges) {
  steer({{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}});
  open(1280, 720, 1);
  EXPECT_EQ(encode(0).rc, 0);
  TestFrame wide(1296, 720), tall(1280, 736);
  quarn_frame good = *frame->get();
  struct Case {
    const char *what;
    quarn_frame frame;
    const char *message;
  };
  std::vector<Case> cases;
  auto with = [&good](auto change) {
    quarn_frame f = good;
    change(f);
    return f;
  };
  cases.push_back({"format", with([](quarn_frame &f) { f.format = QUARN_FORMAT_H264; }), "frame format 15, expected 12"});
  cases.push_back({"width", *wide.get(), "frame size 1296x720, the encoder was opened for 1280x720"});
  cases.push_back({"height", *tall.get(), "frame size 1280x736, the encoder was opened for 1280x720"});
  for (int plane = 0; plane < 3; plane++) {
    cases.push_back({"a plane missing", with([plane](quarn_frame &f) { f.plane[plane] = nullptr; }), ""});
  }
  cases.push_back({"pitch above the surface", with([](quarn_frame &f) { f.pitch[0] = 1296; }),
                   "frame luma pitch 1296 outside 1280..1280"});
  cases.push_back({"pitch below the width", with([](quarn_frame &f) { f.pitch[0] = 640; }),
                   "frame luma pitch 640 outside 1280..1280"});
  cases.push_back({"plane 1 elsewhere", with([](quarn_frame &f) { f.plane[1] += 1280; }),
                   "frame plane 1 does not start after the 720 luma rows"});
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    out = (quarn_frame *)&c;  // must come back null
    EXPECT_EQ(lib.encode(enc, &c.frame, &out), HWAVC_ENC_ERR_BAD_FRAME);
    EXPECT_EQ(out, nullptr);
    std::string msg = lib.message();
    if (*c.message) {
      EXPECT_TRUE(is_slot_text(msg, c.message)) << msg;
    } else {
      EXPECT_NE(msg.find("): frame plane missing: "), std::string::npos) << msg;
    }
  }
  // Nothing was submitted and the ring is as it was: the next frame collects
  // picture 0, and the stand-in saw two frames in all.
  Result r = encode(1);
  ASSERT_TRUE(r.payload.valid);
  EXPECT_EQ(r.payload.index, 0u);
  EXPECT_EQ(lib.close(enc), 0);
  enc = nullptr;
  EXPECT_NE(standin->trace().find("close frames_in=2 frames_out=2"), std::string::npos) << standin->trace();
}

}  // namespace
