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
// aligned address.
struct Source {
  std::vector<uint8_t> bytes;
  quarn_frame f = {};
  Source(int width, int height, int skew, std::mt19937 &rng) {
    size_t luma = (size_t)width * height, chroma = luma / 4;  // the media server's layout
    bytes.resize(luma + 2 * chroma + 32);
    for (uint8_t &b : bytes) b = (uint8_t)rng();
    uint8_t *base = bytes.data() + ((16 - (uintptr_t)bytes.data() % 16) % 16) + skew;
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

// What both routines do to the luma: rows of the source pitch until plane 1.
void reference_luma(quarn_frame *d, const quarn_frame *s) {
  int rows = (int)((s->plane[1] - s->plane[0] + s->pitch[0] - 1) / s->pitch[0]);
  for (int y = 0; y < rows; y++) {
    for (int x = 0; x < s->pitch[0]; x++) d->plane[0][y * d->pitch[0] + x] = s->plane[0][y * s->pitch[0] + x];
  }
}

void reference_general(quarn_frame *d, const quarn_frame *s, int rows) {
  reference_luma(d, s);
  int w = d->width < s->width ? d->width : s->width;
  for (int r = 0; r < rows / 2; r++) {
    for (int j = 0; j < w / 2; j++) {
      d->plane[1][r * d->width + 2 * j] = s->plane[1][s->width * r / 2 + j];
      d->plane[1][r * d->width + 2 * j + 1] = s->plane[2][s->width * r / 2 + j];
    }
  }
}

void reference_fast(quarn_frame *d, const quarn_frame *s, int rows) {
  reference_luma(d, s);
  int total = s->width * rows / 2;
  for (int k = 0; k < total / 2; k++) {
    d->plane[1][2 * k] = s->plane[1][k];
    d->plane[1][2 * k + 1] = s->plane[2][k];
  }
}

// Bytes of the surface outside the picture that the copy wrote. An odd
// height has a last chroma row for its last picture row.
int padding_written(const Surface &s, int width, int height) {
  int written = 0;
  for (int y = 0; y < s.padded_h; y++) {
    for (int x = 0; x < s.padded_w; x++) {
      bool picture = x < width && y < height;
      if (!picture && s.f.plane[0][y * s.padded_w + x] != kPadding) written++;
    }
  }
  for (int y = 0; y < s.padded_h / 2; y++) {
    for (int x = 0; x < s.padded_w; x++) {
      bool picture = x < width && y < (height + 1) / 2;
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
    for (int height : {1, 2, 3, 5, 16, 17, 31}) check(copy_yuv420p_to_nv12, reference_general, width, height, width % 3, rng);
  }
}

TEST(FrameCopy, FastCopyMatchesTheReferenceForWidthsOfSixteen) {
  std::mt19937 rng(2);
  for (int width = 16; width <= 80; width += 16) {
    for (int height = 1; height <= 35; height += 2) {
      for (int skew : {0, 1, 7}) check(copy_yuv420p_to_nv12_fast, reference_fast, width, height, skew, rng);
    }
  }
  // Long rows: bulk blocks of 32 output bytes plus a tail.
  check(copy_yuv420p_to_nv12_fast, reference_fast, 1920, 1081, 3, rng);
  check(copy_yuv420p_to_nv12_fast, reference_fast, 208, 9, 0, rng);
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
