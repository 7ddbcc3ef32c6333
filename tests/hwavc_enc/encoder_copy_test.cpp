// The two frame copies against a plain byte-by-byte reference of what they
// must do, on every small width and on odd heights, with guard bytes around
// the destination and the surface padding watched.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <vector>

#include "hwavc_enc_internal.h"

namespace {

const uint8_t kGuard = 0xCD;    // around the destination buffer
const uint8_t kPadding = 0xEE;  // the surface before the copy
const size_t kGuardBytes = 64;

// A caller's I420 frame, planes back to back, starting `skew` bytes past an
// aligned address, with nothing after plane 2.
struct Source {
  std::vector<uint8_t> bytes;
  quarn_frame f = {};
  Source(int width, int height, int skew, std::mt19937 &rng) {
    size_t luma = (size_t)width * height, chroma = (size_t)(width / 2) * (height / 2);
    bytes.resize(skew + luma + 2 * chroma);  // the heap's blocks are 16-byte aligned
    for (uint8_t &b : bytes) b = (uint8_t)rng();
    EXPECT_EQ((uintptr_t)bytes.data() % 16, 0u);
    uint8_t *base = bytes.data() + skew;
    f.format = QUARN_FORMAT_YUV420P;
    f.width = width;
    f.height = height;
    f.plane[0] = base;
    f.plane[1] = base + luma;
    f.plane[2] = base + luma + chroma;
    f.pitch[0] = width;
    f.pitch[1] = f.pitch[2] = width / 2;
  }
};

// A surface frame (padded to 16) inside guard bytes.
struct Surface {
  std::vector<uint8_t> bytes;
  quarn_frame f = {};
  int padded_w, padded_h;
  Surface(int width, int height) : padded_w((width + 15) & ~15), padded_h((height + 15) & ~15) {
    size_t size = (size_t)padded_w * padded_h * 3 / 2;
    bytes.assign(size + 2 * kGuardBytes + 16, kGuard);
    uint8_t *base = bytes.data() + kGuardBytes + ((16 - (uintptr_t)bytes.data() % 16) % 16);
    memset(base, kPadding, size);
    f.format = QUARN_FORMAT_YUV420P;
    f.width = padded_w;
    f.height = padded_h;
    f.data = base;
    quarn_plane_setup(&f, base);
    f.pitch[0] = padded_w;
    f.pitch[1] = f.pitch[2] = padded_w / 2;
  }
};

// What both routines do to the luma: rows of the source pitch until plane 1;
// an odd width's next column and an odd height's next row repeat the last.
void reference_luma(quarn_frame *d, const quarn_frame *s) {
  int rows = (int)((s->plane[1] - s->plane[0] + s->pitch[0] - 1) / s->pitch[0]);
  for (int y = 0; y < rows; y++) {
    for (int x = 0; x < s->pitch[0]; x++) d->plane[0][y * d->pitch[0] + x] = s->plane[0][y * s->pitch[0] + x];
  }
  for (int y = 0; y < rows + rows % 2; y++) {
    for (int x = 0; x < s->width + s->width % 2; x++) {
      int from_y = y < rows ? y : y - 1, from_x = x < s->width ? x : x - 1;
      d->plane[0][y * d->pitch[0] + x] = d->plane[0][from_y * d->pitch[0] + from_x];
    }
  }
}

// The chroma both routines write: the caller's planes hold width / 2 by
// height / 2 samples in rows width / 2 apart; an odd width's last pair and an
// odd height's last row repeat their neighbours.
void reference_nv12(quarn_frame *d, const quarn_frame *s, int rows) {
  reference_luma(d, s);
  int w = s->width, cw = w / 2, ch = rows / 2;
  for (int r = 0; r < (rows + 1) / 2 && ch > 0; r++) {
    for (int j = 0; j < (w + 1) / 2 && cw > 0; j++) {
      int from = (r < ch ? r : ch - 1) * cw + (j < cw ? j : cw - 1);
      d->plane[1][r * d->pitch[0] + 2 * j] = s->plane[1][from];
      d->plane[1][r * d->pitch[0] + 2 * j + 1] = s->plane[2][from];
    }
  }
}

// Bytes of the surface outside the picture that the copy wrote. An odd
// width or height has a luma column or row and a chroma pair or row more.
int padding_written(const Surface &s, int width, int height) {
  int written = 0;
  for (int y = 0; y < s.padded_h; y++) {
    for (int x = 0; x < s.padded_w; x++) {
      bool picture = x < (width + 1) / 2 * 2 && y < (height + 1) / 2 * 2;
      if (!picture && s.f.plane[0][y * s.padded_w + x] != kPadding) written++;
    }
  }
  for (int y = 0; y < s.padded_h / 2; y++) {
    for (int x = 0; x < s.padded_w; x++) {
      bool picture = x < (width + 1) / 2 * 2 && y < (height + 1) / 2;
      if (!picture && s.f.plane[1][y * s.padded_w + x] != kPadding) written++;
    }
  }
  return written;
}

const long kSame = -1000000;

// Offset from the surface start of the first byte that differs, guard bytes
// included; kSame when none does.
long first_difference(const Surface &a, const Surface &b) {
  long size = (long)a.padded_w * a.padded_h * 3 / 2;
  for (long i = -(long)kGuardBytes; i < size + (long)kGuardBytes; i++) {
    if (a.f.data[i] != b.f.data[i]) return i;
  }
  return kSame;
}

void check(hwavc_copy_func copy, void (*reference)(quarn_frame *, const quarn_frame *, int), int width, int height,
           int skew, std::mt19937 &rng) {
  Source src(width, height, skew, rng);
  Surface got(width, height), want(width, height);
  int rows = height;  // min_height: the picture height, never above the padded one
  copy(&got.f, &src.f, rows);
  reference(&want.f, &src.f, rows);
  long at = first_difference(got, want);
  ASSERT_EQ(at, kSame) << width << "x" << height << " skew " << skew << ": first difference at " << at;
  EXPECT_EQ(padding_written(got, width, height), 0) << width << "x" << height;
}

TEST(FrameCopy, GeneralCopyMatchesTheReferenceForEverySmallWidth) {
  std::mt19937 rng(1);
  for (int width = 2; width <= 80; width++) {
    for (int height : {1, 2, 3, 5, 16, 17, 31}) check(copy_yuv420p_to_nv12, reference_nv12, width, height, width % 3, rng);
  }
}

TEST(FrameCopy, FastCopyMatchesTheReferenceForWidthsOfSixteen) {
  std::mt19937 rng(2);
  for (int width = 16; width <= 80; width += 16) {
    for (int height = 1; height <= 35; height += 2) {
      for (int skew : {0, 1, 7}) check(copy_yuv420p_to_nv12_fast, reference_nv12, width, height, skew, rng);
    }
  }
  // Long rows: bulk blocks of 32 output bytes plus a tail.
  check(copy_yuv420p_to_nv12_fast, reference_nv12, 1920, 1081, 3, rng);
  check(copy_yuv420p_to_nv12_fast, reference_nv12, 208, 9, 0, rng);
}

TEST(FrameCopy, BothRoutinesAgreeWhereBothApply) {
  std::mt19937 rng(3);
  for (int width : {16, 48, 1280}) {
    for (int height : {2, 18, 720}) {
      Source src(width, height, 0, rng);
      Surface a(width, height), b(width, height);
      copy_yuv420p_to_nv12(&a.f, &src.f, height);
      copy_yuv420p_to_nv12_fast(&b.f, &src.f, height);
      EXPECT_EQ(first_difference(a, b), kSame) << width << "x" << height;
    }
  }
}

}  // namespace
