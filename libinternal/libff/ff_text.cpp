// Text: UTF-8 <-> UTF-16 conversion, and decoding of any text to UTF-8 on
// the uchardet detector and iconv.
#include "ff_text.h"

#include <emmintrin.h>
#include <iconv.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <uchardet.h>

#include "ff.h"
#include "ff_dir.h"

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

int ff_utf8_valid(const char *in, int in_len) {
  const unsigned char *bytes = (const unsigned char *)in;
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // the smallest value of each length
  for (int pos = 0; pos < in_len;) {
    uint32_t v;
    int len = decode_utf8(bytes + pos, in_len - pos, &v);
    if (len == 0 || v < kLeast[len] || is_high_surrogate(v) || is_low_surrogate(v)) return 0;
    pos += len;
  }
  return 1;
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

// ---------------------------------------------------------------------------
// Decoding any text to UTF-8.

namespace {

const uint8_t *bytes_of(ff_buffer *p) { return (const uint8_t *)ff_buffer_data(p); }

// Appends, reporting a buffer that cannot grow instead of losing text.
int push_or_report(ff_buffer *dst, const char *data, int size, int line) {
  if (ff_buffer_push(dst, data, size) < 0) {
    ff_set_msg(kTag, line, "failed to buffer_push %d", size);
    return -1;
  }
  return 0;
}

// The UTF-16 scan shared by both byte orders: at least one unit in U+0001 to
// U+00FF, no zero unit, and no surrogate out of order.
int scan_utf16(const uint8_t *d, int size, bool big_endian) {
  int ok = 0;
  bool high_pending = false;
  for (int i = 0; i + 1 < size; i += 2) {
    uint8_t low = big_endian ? d[i + 1] : d[i];
    uint8_t high = big_endian ? d[i] : d[i + 1];
    if (high == 0) {
      if (low == 0) return 0;
      ok = 1;
    } else if (high >= 0xD8 && high <= 0xDB) {
      if (high_pending) return 0;
      high_pending = true;
    } else if (high >= 0xDC && high <= 0xDF) {
      if (!high_pending) return 0;
      high_pending = false;
    }
  }
  return ok;
}

// UTF-16 in the machine's order at data to UTF-8 appended to dst. The units
// are read from an aligned copy when the data does not start on a unit.
// -1 with the slot set, or 1 without a message when no UTF-8 came out: that
// text belongs to the caller's place.
int utf16_to_dst(const char *data, int units, ff_buffer *dst) {
  uint16_t *copy = nullptr;
  const uint16_t *in = (const uint16_t *)data;
  if ((uintptr_t)data % alignof(uint16_t) != 0) {
    copy = (uint16_t *)calloc_terminated(units, 2, __LINE__);
    if (!copy) return -1;
    memcpy(copy, data, (size_t)units * 2);
    in = copy;
  }
  int utf8_len = 0;
  char *utf8 = ff_utf16_to_utf8_2(in, units, &utf8_len);
  ff_free(copy);
  if (!utf8) return -1;
  int rc = 0;
  if (utf8_len < 1) {
    rc = 1;
  } else if (push_or_report(dst, utf8, utf8_len, __LINE__) == 0) {
    fflog_line("text: to UTF-8: %d OK", utf8_len);
  } else {
    rc = -1;
  }
  ff_free(utf8);
  return rc;
}

// GNU libiconv and glibc decode SHIFT_JIS with 0x5C as a yen sign and 0x7E as
// an overline, so a Windows path "C:\dir" in Japanese text would lose its
// backslashes. The Windows superset keeps ASCII, reads every SHIFT_JIS
// sequence, and gives the few symbols whose mappings differ (wave dash, minus,
// cent sign...) the code points Windows itself gives them.
const char *superset_of(const char *charset) {
  static const struct {
    const char *detected, *superset;
  } kSupersets[] = {{"SHIFT_JIS", "CP932"}};
  for (const auto &s : kSupersets) {
    if (strcmp(charset, s.detected) == 0) return s.superset;
  }
  return charset;
}

// Detector names that GNU libiconv does not know, and its name for the same
// table: glibc's MAC-CYRILLIC is the Mac OS 9 table with Ukrainian letters,
// which GNU libiconv calls MACUKRAINE (its MACCYRILLIC is the older table).
// The detector's name is tried first, as glibc knows only that one.
iconv_t open_iconv(const char *to, const char *from) {
  static const struct {
    const char *name, *alias;
  } kAliases[] = {{"MAC-CENTRALEUROPE", "MACCENTRALEUROPE"}, {"MAC-CYRILLIC", "MACUKRAINE"}};
  iconv_t cd = iconv_open(to, from);
  for (const auto &a : kAliases) {
    if (cd == (iconv_t)-1 && strcmp(from, a.name) == 0) cd = iconv_open(to, a.alias);
  }
  return cd;
}

// glibc declares iconv's input as char **, GNU libiconv as const char **.
template <typename In>
size_t call_iconv(size_t (*fn)(iconv_t, In, size_t *, char **, size_t *), iconv_t cd, char **in, size_t *in_left,
                  char **out, size_t *out_left) {
  return fn(cd, (In)in, in_left, out, out_left);
}

// The length of the text up to its first NUL byte, within size.
int text_len(const char *data, int size) {
  const char *nul = (const char *)memchr(data, 0, (size_t)size);
  return nul ? (int)(nul - data) : size;
}

// Copies n bytes in 16-byte pieces: up to 15 bytes more are read and written.
void copy_run(char *to, const char *from, int n) {
  for (int j = 0; j < n; j += 16) _mm_storeu_si128((__m128i *)(to + j), _mm_loadu_si128((const __m128i *)(from + j)));
}

// Copies in[0..size) to out with the CR of each CR LF before the first NUL
// byte dropped; returns the bytes written. 64 bytes at a time: a chunk
// without CR is stored as loaded, otherwise the runs between the pairs are
// copied in 16-byte pieces whose overshoot the next run overwrites. From a
// chunk with a NUL on, and near the end, where the pieces would reach past
// size, byte by byte.
int fold_crlf(char *out, const char *in, int size) {
  const __m128i cr = _mm_set1_epi8('\r'), zero = _mm_setzero_si128();
  int i = 0, o = 0;
  for (; i + 80 <= size; i += 64) {
    __m128i v[4];
    uint64_t crs = 0;  // bit k: in[i + k] is a CR
    for (int q = 0; q < 4; q++) {
      v[q] = _mm_loadu_si128((const __m128i *)(in + i + 16 * q));
      crs |= (uint64_t)(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v[q], cr)) << (16 * q);
    }
    __m128i low = _mm_min_epu8(_mm_min_epu8(v[0], v[1]), _mm_min_epu8(v[2], v[3]));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(low, zero))) break;
    char *to = out + o;
    if (!crs) {
      for (int q = 0; q < 4; q++) _mm_storeu_si128((__m128i *)(to + 16 * q), v[q]);
      o += 64;
      continue;
    }
    const char *from = in + i;
    int start = 0;
    for (; crs; crs &= crs - 1) {
      int k = __builtin_ctzll(crs);
      if (from[k + 1] != '\n') continue;
      copy_run(to, from + start, k - start);
      to += k - start;
      start = k + 1;
    }
    copy_run(to, from + start, 64 - start);
    o = (int)(to - out) + 64 - start;
  }
  int len = i + text_len(in + i, size - i);
  for (; i < len; i++) {
    out[o] = in[i];
    o += !(in[i] == '\r' && i + 1 < len && in[i + 1] == '\n');
  }
  memcpy(out + o, in + len, (size_t)(size - len));
  return o + size - len;
}

}  // namespace

int ff_text_file_read(const char *file_name, ff_buffer *dst, int file_size_limit) {
  FILE *fp = ff_file_open(file_name, "rb");
  if (!fp) {
    ff_set_msg(kTag, __LINE__, "failed to open %s", file_name);
    return -1;
  }
  const int kChunk = 4096;
  char *chunk = (char *)ff_calloc(kChunk);
  if (!chunk) {
    ff_set_msg(kTag, __LINE__, "failed to calloc %d ", kChunk);
    fclose(fp);
    return -1;
  }
  int rc = 0;
  int64_t file_size = ff_file_size(fp);
  if (file_size_limit != -1 && file_size > file_size_limit) {
    ff_set_msg(kTag, __LINE__, "file '%s' size %lld over limit %d", file_name, (long long)file_size,
               file_size_limit);
    rc = -1;
  } else if (file_size == 0) {
    fflog_line("text: file '%s' empty. size %d", file_name, 0);
  } else {
    // Count what this read appends: dst may hold text already.
    int before = ff_buffer_data_size(dst);
    // One growth for the whole file instead of one per chunk, each of which
    // would move everything read so far. Should it fail, the appends fail
    // too and are reported as a short read.
    if (file_size < (int64_t)INT_MAX - before) ff_buffer_increase_buf(dst, (int)file_size);
    size_t n;
    while ((n = fread(chunk, 1, kChunk, fp)) > 0) {
      if (ff_buffer_push(dst, chunk, (int)n) < 0) break;  // reported below as a short read
    }
    int64_t read_size = (int64_t)ff_buffer_data_size(dst) - before;
    if (read_size != file_size) {
      ff_set_msg(kTag, __LINE__, "read size %lld not equlas with file size %lld", (long long)read_size,
                 (long long)file_size);
      rc = -1;
    }
  }
  ff_free(chunk);
  fclose(fp);
  return rc;
}

int ff_text_convert_to_utf8(ff_buffer *src, ff_buffer *dst) {
  int src_size = ff_buffer_data_size(src);
  char src_enc[FF_TEXT_CHARSET_SIZE];
  memset(src_enc, 0, sizeof src_enc);

  if (ff_text_is_utf8(src, 1)) {
    int size = ff_buffer_data_size(src);
    if (push_or_report(dst, ff_buffer_data(src), size, __LINE__) != 0) return -1;
    fflog_line("text: from UTF8: %d", size);
    return 0;
  }
  bool little = ff_text_is_utf16le(src, 1) != 0;
  if (little || ff_text_is_utf16be(src, 1)) {
    int size = ff_buffer_data_size(src);
    int units = size / 2;  // an odd last byte is ignored
    uint8_t *d = (uint8_t *)ff_buffer_data(src);
    if (little) {
      int before_zero = 0;
      while (before_zero < units && (d[2 * before_zero] | d[2 * before_zero + 1]) != 0) before_zero++;
      fflog_line("text: from UTF-16LE: %d, %d, %d", size, before_zero, units);
    } else {
      fflog_line("text: from UTF-16BE: %d, %d", size, units);
      for (int i = 0; i < units; i++) {
        uint8_t t = d[2 * i];
        d[2 * i] = d[2 * i + 1];
        d[2 * i + 1] = t;
      }
    }
    int rc = utf16_to_dst(ff_buffer_data(src), units, dst);
    if (rc > 0) {
      ff_set_msg(kTag, __LINE__, "utf-8 empty");
    } else if (rc < 0) {
      ff_chain_msg(kTag, __LINE__);
    }
    return rc == 0 ? 0 : -1;
  }

  if (ff_text_detect(src, src_enc) != 0) {
    ff_chain_msg(kTag, __LINE__);
    return -1;
  }
  if (strcmp(src_enc, FF_TEXT_CHARSET_NONE) == 0) {
    fflog_line("text: from %s: %d", src_enc, src_size);
    return push_or_report(dst, ff_buffer_data(src), src_size, __LINE__);
  }
  ff_buffer *converted = nullptr;
  if (ff_text_iconv(src, superset_of(src_enc), &converted, "UTF-8") != 0) {
    ff_chain_msg(kTag, __LINE__);
    return -1;
  }
  int rc = push_or_report(dst, ff_buffer_data(converted), ff_buffer_data_size(converted), __LINE__);
  ff_buffer_free(converted);
  return rc;
}

int ff_text_is_utf8(ff_buffer *src, int remove_bom) {
  int size = ff_buffer_data_size(src);
  const uint8_t *d = bytes_of(src);
  if (size >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) {
    if (remove_bom) {
      fflog_line("text: remove 3 bytes UTF-8 BOM");
      ff_buffer_remove(src, 3);
    }
    return 1;
  }
  if (size == 0) return 0;
  int sequences = 0;
  int i = 0;
  while (i < size) {
    uint8_t lead = d[i++];
    int needed;
    if (lead == 0) return 0;
    if (lead < 0x80) continue;
    if (lead <= 0xDF) {
      needed = 1;  // stray continuation bytes and C0, C1 are let through as leads
    } else if (lead <= 0xEF) {
      needed = 2;
    } else if (lead <= 0xF4) {
      needed = 3;
    } else {
      return 0;
    }
    for (; needed > 0 && i < size; needed--, i++) {
      if ((d[i] & 0xC0) != 0x80) return 0;
    }
    if (needed == 0) sequences++;
  }
  return sequences > 0 ? 1 : 0;
}

int ff_text_is_utf16le(ff_buffer *src, int remove_bom) {
  int size = ff_buffer_data_size(src);
  const uint8_t *d = bytes_of(src);
  if (size < 2) return 0;
  if (d[0] == 0xFF && d[1] == 0xFE) {
    if (size >= 4 && d[2] == 0 && d[3] == 0) return 0;  // the UTF-32LE mark
    if (remove_bom) {
      fflog_line("text: remove 2 bytes UTF-16LE BOM");
      ff_buffer_remove(src, 2);
    }
    return 1;
  }
  if (d[0] == 0xFE && d[1] == 0xFF) return 0;
  return scan_utf16(d, size, false);
}

int ff_text_is_utf16be(ff_buffer *src, int remove_bom) {
  int size = ff_buffer_data_size(src);
  const uint8_t *d = bytes_of(src);
  if (size < 2) return 0;
  if (d[0] == 0xFE && d[1] == 0xFF) {
    if (remove_bom) ff_buffer_remove(src, 2);
    return 1;
  }
  return scan_utf16(d, size, true);
}

int ff_text_detect(ff_buffer *src, char *out_charset) {
  uchardet_t detector = uchardet_new();
  if (!detector) {
    ff_set_msg(kTag, __LINE__, "failed to uchardet_new");
    return -1;
  }
  if (uchardet_handle_data(detector, ff_buffer_data(src), (size_t)ff_buffer_data_size(src)) != 0) {
    ff_set_msg(kTag, __LINE__, "failed to handle data");
    uchardet_delete(detector);
    return -1;
  }
  uchardet_data_end(detector);
  const char *name = uchardet_get_charset(detector);
  snprintf(out_charset, FF_TEXT_CHARSET_SIZE, "%s", name && name[0] ? name : FF_TEXT_CHARSET_NONE);
  ff_to_upper(out_charset);
  uchardet_delete(detector);
  return 0;
}

int ff_text_iconv(ff_buffer *src, const char *in_charset, ff_buffer **dst, const char *out_charset) {
  *dst = nullptr;
  iconv_t cd = open_iconv(out_charset, in_charset);
  if (cd == (iconv_t)-1) {
    ff_set_msg(kTag, __LINE__, "failed to open iconv");
    return -1;
  }
  int in_size = ff_buffer_data_size(src);
  // Four output bytes per input byte: enough for UTF-8 from any charset.
  char *area = (char *)calloc_terminated((int64_t)in_size * 4, 1, __LINE__);
  if (!area) {
    iconv_close(cd);
    return -1;
  }
  fflog_line("text: iconv from %s:%d to:%s", in_charset, in_size, out_charset);
  char *in = ff_buffer_data(src);
  size_t in_left = (size_t)in_size;
  char *out = area;
  size_t out_left = (size_t)in_size * 4;
  if (call_iconv(iconv, cd, &in, &in_left, &out, &out_left) == (size_t)-1) {
    iconv_close(cd);
    ff_set_msg(kTag, __LINE__, "failed to iconv");
    ff_free(area);
    return -1;
  }
  int out_size = (int)(out - area);
  *out = '\0';
  fflog_line("text: iconv to %s:%d OK.", out_charset, out_size);
  ff_buffer *result = ff_buffer_new(out_size + 1);
  int rc = 0;
  if (!result) {
    ff_set_msg(kTag, __LINE__, "failed to buffer_new %d", out_size);
    rc = -1;
  } else if (push_or_report(result, area, out_size, __LINE__) != 0) {
    ff_buffer_free(result);
    rc = -1;
  } else {
    *dst = result;
  }
  ff_free(area);
  iconv_close(cd);
  return rc;
}

int ff_text_convert_crlf_to_lf(ff_buffer *dst, ff_buffer *src) {
  int size = ff_buffer_data_size(src);
  if (size == 0) return 0;
  // Room first, so nothing leaves src that is not in dst.
  if (ff_buffer_increase_buf(dst, size) < 0) {
    ff_set_msg(kTag, __LINE__, "failed to buffer_push %d", size);
    return -1;
  }
  char *out = ff_buffer_data(dst) + ff_buffer_data_size(dst);
  // The search ends at a NUL byte: CR LF behind one is copied unchanged.
  int written = fold_crlf(out, ff_buffer_data(src), size);
  ff_buffer_set_buf_size(dst, written);  // within the room made above
  out[written] = '\0';
  ff_buffer_remove(src, size);
  return 0;
}

int ff_text_replace(char *text, char from, char to) {
  for (; *text; text++) {
    if (*text == from) *text = to;
  }
  return 0;
}
