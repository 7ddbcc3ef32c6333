// Block copies that stream whole blocks to the destination with non-temporal
// stores, keeping a non-temporal prefetch ahead of the loads, so a large copy
// does not evict the caller's working set from the cache.
#include <emmintrin.h>
#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

#include "ff_calloc.h"

namespace {

void prefetch_head(const uint8_t *from) {
  for (int off = 0; off <= 256; off += 64) _mm_prefetch((const char *)from + off, _MM_HINT_NTA);
}

// Bytes one at a time to align the destination to 16.
void align_destination(uint8_t *&to, const uint8_t *&from, size_t &len) {
  size_t misalign = (uintptr_t)to & 15;
  if (misalign == 0) return;
  size_t head = 16 - misalign;
  for (size_t i = 0; i < head; i++) to[i] = from[i];
  to += head;
  from += head;
  len -= head;
}

// The tail after the blocks: bytes for 1 to 3, else words, then a half word
// and a byte as the low bits ask.
void copy_rest(uint8_t *to, const uint8_t *from, size_t rest) {
  if (rest < 4) {
    for (size_t i = 0; i < rest; i++) to[i] = from[i];
    return;
  }
  size_t words = rest / 4;
  memcpy(to, from, words * 4);  // unaligned-safe four-byte moves
  to += words * 4;
  from += words * 4;
  if (rest & 2) {
    memcpy(to, from, 2);
    to += 2;
    from += 2;
  }
  if (rest & 1) *to = *from;
}

// One routine for both variants; the block size, the prefetch distance and
// the fence are what set them apart.
template <size_t Block, size_t PrefetchDistance, bool Sse2>
void *stream_copy(void *dst, const void *src, size_t len) {
  uint8_t *to = (uint8_t *)dst;
  const uint8_t *from = (const uint8_t *)src;
  prefetch_head(from);
  if (len >= 64) {
    align_destination(to, from, len);
    size_t blocks = len / Block;
    bool aligned_source = ((uintptr_t)from & 15) == 0;
    for (size_t b = 0; b < blocks; b++) {
      _mm_prefetch((const char *)from + PrefetchDistance, _MM_HINT_NTA);
      for (size_t piece = 0; piece < Block; piece += 16) {
        if (Sse2) {
          __m128i v = aligned_source ? _mm_load_si128((const __m128i *)(from + piece))
                                     : _mm_loadu_si128((const __m128i *)(from + piece));
          _mm_stream_si128((__m128i *)(to + piece), v);
        } else {
          __m128 v = aligned_source ? _mm_load_ps((const float *)(from + piece))
                                    : _mm_loadu_ps((const float *)(from + piece));
          _mm_stream_ps((float *)(to + piece), v);
        }
      }
      to += Block;
      from += Block;
    }
    if (Sse2)
      _mm_mfence();
    else
      _mm_sfence();
    len %= Block;
  }
  copy_rest(to, from, len);
  return dst;
}

}  // namespace

void *sse_memcpy(void *to, const void *from, size_t len) { return stream_copy<64, 320, false>(to, from, len); }

void *sse2_memcpy(void *to, const void *from, size_t len) { return stream_copy<128, 640, true>(to, from, len); }
