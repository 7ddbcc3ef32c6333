// Text: UTF-8 <-> UTF-16 conversion.
#include "ff_text.h"

#include <limits.h>
#include <stdint.h>

#include "ff.h"

namespace {

const char kTag[] = "ff_text";

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }
bool is_high_surrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes the sequence at in[0..avail). Returns its length and the value, or
// 0 when the lead byte does not start a valid sequence. Overlong forms and
// encoded surrogates are let through; values above U+10FFFF are refused.
int decode_utf8(const unsigned char *in, int avail, uint32_t *value) {
  unsigned char lead = in[0];
  int len;
  uint32_t v;
  if (lead < 0x80) {
    *value = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    len = 2;
    v = lead & 0x1F;
    if (v < 2) return 0;  // C0 and C1 can only be overlong
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3;
    v = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4;
    v = lead & 0x07;
  } else {
    return 0;
  }
  if (len > avail) return 0;
  for (int i = 1; i < len; i++) {
    if (!is_continuation(in[i])) return 0;
    v = (v << 6) | (in[i] & 0x3F);
  }
  if (v > 0x10FFFF) return 0;
  *value = v;
  return len;
}

// Encodes one scalar value (at most U+10FFFF) into out; returns its length.
int encode_utf8(uint32_t v, unsigned char *out) {
  if (v < 0x80) {
    out[0] = (unsigned char)v;
    return 1;
  }
  if (v < 0x800) {
    out[0] = (unsigned char)(0xC0 | (v >> 6));
    out[1] = (unsigned char)(0x80 | (v & 0x3F));
    return 2;
  }
  if (v < 0x10000) {
    out[0] = (unsigned char)(0xE0 | (v >> 12));
    out[1] = (unsigned char)(0x80 | ((v >> 6) & 0x3F));
    out[2] = (unsigned char)(0x80 | (v & 0x3F));
    return 3;
  }
  out[0] = (unsigned char)(0xF0 | (v >> 18));
  out[1] = (unsigned char)(0x80 | ((v >> 12) & 0x3F));
  out[2] = (unsigned char)(0x80 | ((v >> 6) & 0x3F));
  out[3] = (unsigned char)(0x80 | (v & 0x3F));
  return 4;
}

// Zero-filled area of count elements of elem_size bytes plus one element for
// the terminator; NULL with the slot set when it cannot be had or its size
// would not fit an int.
void *calloc_terminated(int64_t count, int elem_size, int line) {
  int64_t size = (count + 1) * elem_size;
  void *area = size <= INT_MAX ? ff_calloc((size_t)size) : nullptr;
  if (!area) ff_set_msg(kTag, line, "failed to calloc %lld", (long long)size);
  return area;
}

}  // namespace

int ff_utf8_to_utf16(const char *in, int in_len, uint16_t *out, int *out_len, int max_out_len) {
  const unsigned char *bytes = (const unsigned char *)in;
  int pos = 0, written = 0;
  while (pos < in_len && written < max_out_len) {
    uint32_t v;
    int len = decode_utf8(bytes + pos, in_len - pos, &v);
    if (len == 0) {
      fflog_line("text: invalid utf-8 seq. %02X", bytes[pos]);
      out[written++] = '?';
      pos++;  // each byte of a broken sequence is looked at again
      continue;
    }
    if (v >= 0x10000) {
      if (max_out_len - written < 2) break;  // never half a pair
      v -= 0x10000;
      out[written++] = (uint16_t)(0xD800 | (v >> 10));
      out[written++] = (uint16_t)(0xDC00 | (v & 0x3FF));
    } else {
      out[written++] = (uint16_t)v;
    }
    pos += len;
  }
  *out_len = written;
  return 0;
}

uint16_t *ff_utf8_to_utf16_2(const char *in, int in_len, int *out_len2) {
  if (in_len < 0) in_len = 0;
  int64_t max_units = (int64_t)in_len * 2;
  uint16_t *out = (uint16_t *)calloc_terminated(max_units, 2, __LINE__);
  if (!out) return nullptr;
  int len = 0;
  ff_utf8_to_utf16(in, in_len, out, &len, (int)max_units);
  if (out_len2) *out_len2 = len;
  return out;
}

int ff_utf16_to_utf8(const uint16_t *in, int in_len, char *out, int *out_len, int max_out_len) {
  int pos = 0, written = 0;
  while (pos < in_len && written < max_out_len) {
    uint32_t u = in[pos];
    int units = 1;
    if (is_high_surrogate(u) && pos + 1 < in_len && is_low_surrogate(in[pos + 1])) {
      u = 0x10000 + ((u - 0xD800) << 10) + (in[pos + 1] - 0xDC00u);
      units = 2;
    } else if (is_high_surrogate(u) || is_low_surrogate(u)) {
      fflog_line("text: unknow utf-16 char %04X", (unsigned)u);
      pos++;
      continue;
    }
    unsigned char bytes[4];
    int len = encode_utf8(u, bytes);
    if (len > max_out_len - written) break;  // never part of a character
    for (int i = 0; i < len; i++) out[written++] = (char)bytes[i];
    pos += units;
  }
  *out_len = written;
  return 0;
}

char *ff_utf16_to_utf8_2(const uint16_t *in, int in_len, int *out_len2) {
  if (in_len < 0) in_len = 0;
  int64_t max_bytes = (int64_t)in_len * 4;
  char *out = (char *)calloc_terminated(max_bytes, 1, __LINE__);
  if (!out) return nullptr;
  int len = 0;
  ff_utf16_to_utf8(in, in_len, out, &len, (int)max_bytes);
  if (out_len2) *out_len2 = len;
  return out;
}

int ff_utf16_swap(uint16_t *in, int in_len) {
  for (int i = 0; i < in_len; i++) in[i] = (uint16_t)((in[i] >> 8) | (in[i] << 8));
  return 0;
}
