// Aligned blocks and the streaming copies.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

#include "ff.h"
#include "ff_calloc_internal.h"

namespace {

bool aligned16(const void *p) { return ((uintptr_t)p & 15) == 0; }

TEST(AlignedMemory, ZeroSizeBlockIsUsableAndMarked) {
  uint8_t *p = (uint8_t *)ff_calloc(0);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(aligned16(p));
  EXPECT_GE(p[-1], 1);
  EXPECT_LE(p[-1], 16);
  ff_free(p);
  ff_free(nullptr);
}

TEST(AlignedMemory, BlocksAreZeroedAndAligned) {
  for (size_t size : {1u, 15u, 16u, 17u, 4096u, 100000u}) {
    uint8_t *p = (uint8_t *)ff_calloc(size);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(aligned16(p));
    for (size_t i = 0; i < size; i++) ASSERT_EQ(p[i], 0) << size << " at " << i;
    ff_free(p);
  }
}

TEST(AlignedMemory, ReallocKeepsContentAndAlignment) {
  uint8_t *p = (uint8_t *)ff_realloc(nullptr, 32);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 32; i++) p[i] = (uint8_t)i;
  p = (uint8_t *)ff_realloc(p, 1 << 20);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(aligned16(p));
  for (int i = 0; i < 32; i++) EXPECT_EQ(p[i], i);
  p = (uint8_t *)ff_realloc(p, 8);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 8; i++) EXPECT_EQ(p[i], i);
  ff_free(p);
}

TEST(AlignedMemory, FailedReallocLeavesOldBlockValid) {
  uint8_t *p = (uint8_t *)ff_calloc(16);
  ASSERT_NE(p, nullptr);
  memset(p, 7, 16);
  ff_calloc_fail_after(0);
  EXPECT_EQ(ff_realloc(p, 1024), nullptr);
  EXPECT_EQ(p[15], 7);
  EXPECT_EQ(ff_realloc(p, SIZE_MAX), nullptr);
  EXPECT_EQ(ff_calloc(SIZE_MAX), nullptr);
  ff_free(p);
}

TEST(AlignedMemoryDeathTest, ForeignPointerAborts) {
  alignas(16) static uint8_t foreign[32];
  foreign[15] = 0;  // no valid offset before foreign + 16
  EXPECT_DEATH(ff_free(foreign + 16), "");
  EXPECT_DEATH(ff_realloc(foreign + 16, 8), "");
}

TEST(AlignedMemory, AlignmentSizeIsStrictlyAbove) {
  EXPECT_EQ(ff_alignment_size(0), 16);
  EXPECT_EQ(ff_alignment_size(15), 16);
  EXPECT_EQ(ff_alignment_size(16), 32);
  EXPECT_EQ(ff_alignment_size(31), 32);
  EXPECT_EQ(ff_alignment_size(32), 48);
  EXPECT_EQ(FF_PTR_ALIGNMENT_SIZE(4, 4), 8);
}

TEST(AlignedMemory, PtrAlignRoundTrip) {
  alignas(64) uint8_t area[128] = {0};
  uint8_t *aligned = (uint8_t *)ff_ptr_align(area, 4);
  EXPECT_EQ(aligned, area + 4);
  EXPECT_EQ(aligned[-1], 4);
  EXPECT_EQ(ff_ptr_unalign(aligned), area);
  for (int start = 0; start < 64; start++) {
    for (int alignment : {4, 16, 64}) {
      uint8_t *p = (uint8_t *)ff_ptr_align(area + start, alignment);
      EXPECT_EQ((uintptr_t)p % alignment, 0u);
      EXPECT_GT(p, area + start);
      EXPECT_LE(p, area + start + alignment);
      EXPECT_EQ(ff_ptr_unalign(p), area + start);
    }
  }
}

using CopyFn = void *(*)(void *, const void *, size_t);

class StreamingCopy : public ::testing::TestWithParam<CopyFn> {};

// Every length 0..300 at every source and destination alignment: exactly
// len bytes copied, guard bytes around the destination untouched.
TEST_P(StreamingCopy, ExactBytesEveryAlignment) {
  CopyFn copy = GetParam();
  const size_t kMax = 300, kGuard = 32;
  std::vector<uint8_t> src(kMax + 64), dst(kMax + 64 + 2 * kGuard);
  for (size_t i = 0; i < src.size(); i++) src[i] = (uint8_t)(i * 7 + 3);
  uint8_t *src_base = (uint8_t *)(((uintptr_t)src.data() + 15) & ~(uintptr_t)15);
  uint8_t *dst_base = (uint8_t *)(((uintptr_t)dst.data() + kGuard + 15) & ~(uintptr_t)15);
  for (size_t len = 0; len <= kMax; len++) {
    for (int sa = 0; sa < 16; sa++) {
      for (int da = 0; da < 16; da++) {
        memset(dst.data(), 0xEE, dst.size());
        uint8_t *to = dst_base + da;
        ASSERT_EQ(copy(to, src_base + sa, len), to);
        ASSERT_EQ(memcmp(to, src_base + sa, len), 0) << len << " " << sa << " " << da;
        for (uint8_t *g = dst.data(); g < to; g++) ASSERT_EQ(*g, 0xEE);
        for (uint8_t *g = to + len; g < dst.data() + dst.size(); g++) ASSERT_EQ(*g, 0xEE);
      }
    }
  }
}

TEST_P(StreamingCopy, LargeBlock) {
  CopyFn copy = GetParam();
  std::vector<uint8_t> src(1 << 20), dst((1 << 20) + 16);
  for (size_t i = 0; i < src.size(); i++) src[i] = (uint8_t)(i ^ (i >> 8));
  copy(dst.data() + 3, src.data() + 1, src.size() - 1);
  EXPECT_EQ(memcmp(dst.data() + 3, src.data() + 1, src.size() - 1), 0);
}

INSTANTIATE_TEST_SUITE_P(Routines, StreamingCopy, ::testing::Values(ff_memcpy, sse_memcpy, sse2_memcpy));

}  // namespace
