// Aligned blocks and raw-frame records.
#include <gtest/gtest.h>

#include <stdint.h>

#include "quarn_common.h"

namespace {

bool aligned16(const void *p) { return ((uintptr_t)p & 15) == 0; }

TEST(QuarnCommon, BlocksAreZeroedAlignedAndCarryTheirOffset) {
  for (size_t size : {0u, 1u, 15u, 16u, 17u, 4096u, 100001u}) {
    uint8_t *block = (uint8_t *)quarn_calloc(size);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(aligned16(block));
    EXPECT_GE(block[-1], 1);
    EXPECT_LE(block[-1], 16);
    for (size_t i = 0; i < size; i++) ASSERT_EQ(block[i], 0) << size << " at " << i;
    quarn_free(block);
  }
  quarn_free(nullptr);
  EXPECT_EQ(quarn_calloc(SIZE_MAX), nullptr);
}

TEST(QuarnCommon, VideoFrameHasTheRecordAndPlanesOfYuv420) {
  quarn_frame *f = quarn_frame_video_calloc(1008, 576, 30000, 1001);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(aligned16(f));
  EXPECT_TRUE(aligned16(f->data));
  EXPECT_EQ(f->reserved_0, 0);
  EXPECT_EQ(f->format, QUARN_FORMAT_YUV420P);
  EXPECT_EQ(f->pixel_format, QUARN_FORMAT_YUV420P);
  EXPECT_EQ(f->width, 1008);
  EXPECT_EQ(f->height, 576);
  EXPECT_DOUBLE_EQ(f->fps, 30000.0 / 1001);
  EXPECT_EQ(f->fps_num, 30000);
  EXPECT_EQ(f->fps_den, 1001);
  EXPECT_EQ(f->own_data, 1);
  EXPECT_EQ(f->size, 1008 * 576 * 3 / 2);
  EXPECT_EQ(f->capacity, f->size);
  EXPECT_EQ(f->plane[0], f->data);
  EXPECT_EQ(f->plane[1], f->data + 1008 * 576);
  EXPECT_EQ(f->plane[2], f->data + 1008 * 576 + 1008 * 576 / 4);
  EXPECT_EQ(f->pitch[0], 1008);
  EXPECT_EQ(f->pitch[1], 504);
  EXPECT_EQ(f->pitch[2], 504);
  EXPECT_EQ(f->plane_count, 3);
  for (int i = 0; i < f->capacity; i++) ASSERT_EQ(f->data[i], 0) << i;
  EXPECT_EQ(quarn_frame_free(f), 0);
}

TEST(QuarnCommon, PlaneSetupFollowsTheFormat) {
  uint8_t buffer[64];
  struct Case {
    int format;
    int plane1, plane2;  // offsets, -1 = not set
  };
  // width 4 x height 4: a = 16
  const Case cases[] = {{10, -1, -1}, {11, -1, -1}, {15, -1, -1}, {16, -1, -1}, {12, 16, 20},
                        {13, 16, 24}, {14, 16, 32}, {17, -1, -1}, {9, -1, -1}};
  for (const Case &c : cases) {
    quarn_frame f = {};
    f.format = c.format;
    f.width = f.height = 4;
    EXPECT_EQ(quarn_plane_setup(&f, buffer), 0);
    bool single = c.format == 10 || c.format == 11 || c.format == 15 || c.format == 16;
    EXPECT_EQ(f.plane[0], c.plane1 >= 0 || single ? buffer : nullptr) << c.format;
    EXPECT_EQ(f.plane[1], c.plane1 >= 0 ? buffer + c.plane1 : nullptr) << c.format;
    EXPECT_EQ(f.plane[2], c.plane2 >= 0 ? buffer + c.plane2 : nullptr) << c.format;
  }
}

TEST(QuarnCommon, FreeingRespectsOwnershipAndNull) {
  EXPECT_EQ(quarn_frame_free(nullptr), -1);
  quarn_frame *f = quarn_frame_video_calloc(16, 16, 25, 1);
  ASSERT_NE(f, nullptr);
  uint8_t *data = f->data;
  f->own_data = 0;
  EXPECT_EQ(quarn_frame_free(f), 0);  // data stays: the caller owns it now
  data[0] = 1;
  quarn_free(data);
}

TEST(QuarnCommon, FailedAllocationsLeaveNothingBehind) {
  quarn_calloc_fail_after(0);  // the record
  EXPECT_EQ(quarn_frame_video_calloc(64, 64, 25, 1), nullptr);
  quarn_calloc_fail_after(1);  // the pixels
  EXPECT_EQ(quarn_frame_video_calloc(64, 64, 25, 1), nullptr);
  quarn_calloc_fail_after(-1);
  EXPECT_EQ(quarn_frame_video_calloc(0, 64, 25, 1), nullptr);
  EXPECT_EQ(quarn_frame_video_calloc(46341, 46341, 25, 1), nullptr);  // over 32 bits
  quarn_frame *f = quarn_frame_video_calloc(64, 64, 25, 1);
  EXPECT_NE(f, nullptr);
  quarn_frame_free(f);
}

#if !defined(_WIN32)
TEST(QuarnCommonDeathTest, FreeingACorruptedBlockAborts) {
  uint8_t *block = (uint8_t *)quarn_calloc(32);
  ASSERT_NE(block, nullptr);
  uint8_t offset = block[-1];
  EXPECT_DEATH(
      {
        block[-1] = 17;
        quarn_free(block);
      },
      "");
  block[-1] = offset;
  quarn_free(block);
}
#endif

}  // namespace
