// The handle from inside: the pools built from the runtime's answer, every
// out-of-memory path closing the session and freeing what was made
// (LeakSanitizer checks the latter at exit), and what encoding must not do.
#include <gtest/gtest.h>

#include "encoder_test_support.h"
#include "hwavc_enc_internal.h"

using namespace enc_test;

namespace {

TEST(EncoderOpen, PoolsFollowTheRuntimesAnswerAndTheSettings) {
  Standin standin;
  hwavc_enc_settings settings = make_settings(1000, 562, 25, 1, 2000, 3);
  hwavc_enc_data *enc = nullptr;
  ASSERT_EQ(hwavc_enc_open(&enc, &settings, nullptr), 0);
  ASSERT_TRUE(standin.reached());
  EXPECT_EQ(enc->request.NumFrameSuggested, 5);  // AsyncDepth + one frame held for B pictures + its reference
  EXPECT_EQ(enc->surface_count, 5);
  for (int i = 0; i < HWAVC_MAX_SURFACES; i++) {
    const hwavc_surface_entry &e = enc->surfaces[i];
    if (i >= enc->surface_count) {
      EXPECT_EQ(e.frame, nullptr);
      continue;
    }
    ASSERT_NE(e.frame, nullptr);
    EXPECT_EQ(e.frame->width, 1008);
    EXPECT_EQ(e.frame->height, 576);
    EXPECT_EQ(e.surface.Data.Pitch, 1008);
    EXPECT_EQ(e.surface.Data.Y, e.frame->plane[0]);
    EXPECT_EQ(e.surface.Data.UV, e.frame->plane[1]);
    EXPECT_EQ(e.surface.Data.Locked, 0);
    EXPECT_EQ(memcmp(&e.surface.Info, &enc->param.mfx.FrameInfo, sizeof e.surface.Info), 0);
  }
  for (int k = 0; k < HWAVC_MAX_BS_SLOTS; k++) {
    const hwavc_bs_slot &slot = enc->bs_slots[k];
    if (k > 3) {
      EXPECT_EQ(slot.rec.data, nullptr);
      continue;
    }
    EXPECT_EQ(slot.sync, nullptr);
    EXPECT_EQ(slot.rec.format, QUARN_FORMAT_H264);
    EXPECT_EQ(slot.rec.width, 1000);
    EXPECT_EQ(slot.rec.height, 562);
    EXPECT_EQ(slot.rec.fps_num, 25);
    EXPECT_EQ(slot.rec.fps_den, 1);
    EXPECT_DOUBLE_EQ(slot.rec.fps, 25.0);
    EXPECT_EQ(slot.rec.own_data, 0);
    EXPECT_EQ(slot.rec.capacity, 871000);  // the runtime asks for an uncompressed 1008x576 picture
    EXPECT_EQ(slot.rec.size, 871000);
    EXPECT_EQ(slot.bs.Data, slot.rec.data);
    EXPECT_EQ(slot.bs.MaxLength, 871000u);
    EXPECT_EQ(slot.bs.DataLength, 0u);
  }
  EXPECT_EQ(enc->bs_head, 0u);
  EXPECT_EQ(enc->ts_base_set, 0u);
  EXPECT_EQ(hwavc_enc_close(enc), 0);
}

TEST(EncoderOpen, OutOfMemoryAnywhereClosesTheSessionAndFreesEverything) {
  // Allocations: the handle, then two per surface (record, pixels), then one
  // per bitstream slot. Five surfaces and four slots here.
  struct Case {
    int skip;
    const char *message;
  };
  const Case cases[] = {
      {0, "failed calloc hwavc_enc_data"},
      {1, "failed calloc quarn_frame_video_calloc @ 0"},
      {6, "failed calloc quarn_frame_video_calloc @ 2"},
      {8, "failed calloc quarn_frame_video_calloc @ 3"},
      {9, "failed calloc quarn_frame_video_calloc @ 4"},
      {11, "failed to calloc frame"},
      {14, "failed to calloc frame"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.skip);
    Standin standin;
    hwavc_enc_settings settings = make_settings(320, 240, 30, 1, 1000, 3);
    hwavc_enc_data *enc = nullptr;
    quarn_calloc_fail_after(c.skip);
    EXPECT_EQ(hwavc_enc_open(&enc, &settings, nullptr), -1);
    quarn_calloc_fail_after(-1);
    EXPECT_EQ(enc, nullptr);
    char msg[HWAVC_ENC_MSG_SIZE];
    hwavc_enc_get_msg(msg);
    EXPECT_TRUE(is_slot_text(msg, c.message)) << msg;
    if (c.skip > 0) EXPECT_NE(standin.trace().find("mfx_standin close"), std::string::npos);
  }
  // The sixteenth allocation is past the last one: open succeeds.
  Standin standin;
  hwavc_enc_settings settings = make_settings(320, 240, 30, 1, 1000, 3);
  hwavc_enc_data *enc = nullptr;
  quarn_calloc_fail_after(15);
  EXPECT_EQ(hwavc_enc_open(&enc, &settings, nullptr), 0);
  quarn_calloc_fail_after(-1);
  EXPECT_EQ(hwavc_enc_close(enc), 0);
}

TEST(EncoderEncode, WhileTheRuntimeHoldsAFrameTheSurfaceWaitIsTheLongOne) {
  // Surfaces never unlocked, B pictures: the runtime keeps picture 1 back for
  // reordering, so a surface may still come free and the wait is the long one.
  Standin standin{{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_HOLD_SURFACES", "1"}};
  hwavc_enc_settings settings = make_settings(320, 240, 30, 1, 1000, 1);
  hwavc_enc_data *enc = nullptr;
  ASSERT_EQ(hwavc_enc_open(&enc, &settings, nullptr), 0);
  ASSERT_EQ(enc->surface_count, 3);
  TestFrame frame(320, 240);
  quarn_frame *out = nullptr;
  for (int t = 0; t < 3; t++) {
    frame.get()->pts = t;
    EXPECT_EQ(hwavc_enc_encode(enc, frame.get(), &out), 0) << t;
  }
  EXPECT_EQ(enc->frames_held, 1);
  int saved_limit = hwavc_surface_wait_limit_ms;
  hwavc_surface_wait_limit_ms = 150;  // above the wait with nothing held
  frame.get()->pts = 3;
  EXPECT_EQ(hwavc_enc_encode(enc, frame.get(), &out), HWAVC_ENC_ERR_NO_SURFACE);
  hwavc_surface_wait_limit_ms = saved_limit;
  char msg[HWAVC_ENC_MSG_SIZE];
  hwavc_enc_get_msg(msg);
  EXPECT_TRUE(is_slot_text(msg, "failed to get free surface and timeout 150ms")) << msg;
  EXPECT_EQ(hwavc_enc_close(enc), 0);
}

TEST(EncoderEncode, ASurfaceFreedByWaitingForTheOldestFrameIsTakenWithoutSleeping) {
  Standin standin{{"MFXSTANDIN_MODE", "synthetic"}, {"MFXSTANDIN_NO_B", "1"}, {"MFXSTANDIN_SURFACES", "1:1"}};
  hwavc_enc_settings settings = make_settings(320, 240, 30, 1, 1000, 2);
  hwavc_enc_data *enc = nullptr;
  ASSERT_EQ(hwavc_enc_open(&enc, &settings, nullptr), 0);
  TestFrame frame(320, 240);
  quarn_frame *out = nullptr;
  int saved_limit = hwavc_idle_surface_wait_ms;
  hwavc_idle_surface_wait_ms = 0;  // no sleeping for a surface at all
  for (int t = 0; t < 4; t++) {
    frame.get()->pts = t;
    EXPECT_EQ(hwavc_enc_encode(enc, frame.get(), &out), 0) << t;
  }
  hwavc_idle_surface_wait_ms = saved_limit;
  EXPECT_EQ(hwavc_enc_close(enc), 0);
}

TEST(EncoderEncode, EncodingAndDrainingAllocateNothing) {
  Standin standin{{"MFXSTANDIN_MODE", "synthetic"}};
  hwavc_enc_settings settings = make_settings(640, 360, 30, 1, 1000, 4);
  hwavc_enc_data *enc = nullptr;
  ASSERT_EQ(hwavc_enc_open(&enc, &settings, nullptr), 0);
  TestFrame frame(640, 360);
  quarn_frame *out = nullptr;
  quarn_calloc_fail_after(0);  // the library's next allocation would fail
  int returned = 0;
  for (int t = 0; t < 40; t++) {
    frame.paint(t);
    frame.get()->pts = t;
    ASSERT_EQ(hwavc_enc_encode(enc, frame.get(), &out), 0);
    returned += out != nullptr;
  }
  do {
    ASSERT_EQ(hwavc_enc_encode(enc, nullptr, &out), 0);
    returned += out != nullptr;
  } while (out);
  EXPECT_EQ(quarn_calloc(1), nullptr) << "an encode call allocated";
  quarn_calloc_fail_after(-1);
  EXPECT_EQ(returned, 40);
  EXPECT_EQ(hwavc_enc_close(enc), 0);
}

TEST(EncoderOpen, LongMessagesStayWithinTheSlot) {
  std::string huge(3 * HWAVC_ENC_MSG_SIZE, 'm');
  hwavc_set_msg(__LINE__, "%s", huge.c_str());
  std::vector<char> buf(HWAVC_ENC_MSG_SIZE + 64, 'x');
  int n = hwavc_enc_get_msg(buf.data());
  EXPECT_EQ(n, HWAVC_ENC_MSG_SIZE - 1);
  EXPECT_EQ(buf[n], '\0');
  EXPECT_EQ(buf[HWAVC_ENC_MSG_SIZE], 'x');
  hwavc_set_msg(__LINE__, "%s", "");
  hwavc_enc_get_msg(buf.data());
  EXPECT_TRUE(is_slot_text(buf.data(), "")) << buf.data();
}

}  // namespace
