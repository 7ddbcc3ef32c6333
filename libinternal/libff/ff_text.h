// Text: decoding of any text to UTF-8, and UTF-8 <-> UTF-16 conversion.
//
// UTF-8 lengths count bytes, UTF-16 lengths count 16-bit units in the
// machine's order; no length includes a terminator. Characters above U+FFFF
// travel as surrogate pairs in UTF-16 and as one 4-byte sequence in UTF-8.
// Bad input is never a failure: each invalid UTF-8 lead byte becomes '?' and a
// surrogate unit that is not part of a well-ordered pair is dropped, each with
// one log line.
#ifndef FF_TEXT_H
#define FF_TEXT_H

#include <stdint.h>

#include "ff_buffer.h"

// Reads a whole file (UTF-8 name) and appends it to dst. A file larger than
// file_size_limit bytes is refused (-1: no limit); an empty one gives 0 and
// appends nothing.
int ff_text_file_read(const char *file_name, ff_buffer *dst, int file_size_limit);

// Appends src's text to dst as UTF-8: UTF-8 and UTF-16 (either order) are
// recognised by their byte-order marks or by a scan, anything else is named by
// the detector and converted with iconv. src keeps what the tests did to it:
// a mark removed, UTF-16BE swapped to the machine's order.
int ff_text_convert_to_utf8(ff_buffer *src, ff_buffer *dst);

// 1 when src is taken as UTF-8 (a mark, or at least one multi-byte sequence
// and no NUL byte), UTF-16LE or UTF-16BE; with remove_bom a mark is removed.
int ff_text_is_utf8(ff_buffer *src, int remove_bom);
int ff_text_is_utf16le(ff_buffer *src, int remove_bom);
int ff_text_is_utf16be(ff_buffer *src, int remove_bom);

// The character set the detector names for src, upper-case, into out_charset
// (FF_TEXT_CHARSET_SIZE bytes); "ISO8859-1" when it names none.
#define FF_TEXT_CHARSET_SIZE 512
#define FF_TEXT_CHARSET_NONE "ISO8859-1"
int ff_text_detect(ff_buffer *src, char *out_charset);

// Converts src from in_charset to out_charset into a new buffer stored in
// *dst (release with ff_buffer_free); *dst is NULL on failure.
int ff_text_iconv(ff_buffer *src, const char *in_charset, ff_buffer **dst, const char *out_charset);

// Moves src's text to dst with every CR LF turned into LF. Returns 0.
int ff_text_convert_crlf_to_lf(ff_buffer *dst, ff_buffer *src);
// Overwrites every from in the NUL-terminated text with to. Returns 0.
int ff_text_replace(char *text, char from, char to);

// Converts into the caller's area, writing at most max_out_len units; stops
// at the first character that would not fit whole. *out_len gets the units
// written. Returns 0.
int ff_utf8_to_utf16(const char *in, int in_len, uint16_t *out, int *out_len, int max_out_len);
// A new zero-filled area (ff_calloc; release with ff_free) that stays
// NUL-terminated; *out_len2, when given, gets the units written. NULL with
// "failed to calloc %d" in the slot when memory runs out.
uint16_t *ff_utf8_to_utf16_2(const char *in, int in_len, int *out_len2);

// 1 when in holds only well-formed UTF-8: no byte that the conversion would
// replace, no overlong form, no encoded surrogate. Else 0.
int ff_utf8_valid(const char *in, int in_len);

// Same pair for the other direction; max_out_len and *out_len count bytes.
int ff_utf16_to_utf8(const uint16_t *in, int in_len, char *out, int *out_len, int max_out_len);
char *ff_utf16_to_utf8_2(const uint16_t *in, int in_len, int *out_len2);

// Exchanges the two bytes of each of the in_len units in place. Returns 0.
int ff_utf16_swap(uint16_t *in, int in_len);

#endif
