// Text: UTF-8 <-> UTF-16 conversion.
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

// Converts into the caller's area, writing at most max_out_len units; stops
// at the first character that would not fit whole. *out_len gets the units
// written. Returns 0.
int ff_utf8_to_utf16(const char *in, int in_len, uint16_t *out, int *out_len, int max_out_len);
// A new zero-filled area (ff_calloc; release with ff_free) that stays
// NUL-terminated; *out_len2, when given, gets the units written. NULL with
// "failed to calloc %d" in the slot when memory runs out.
uint16_t *ff_utf8_to_utf16_2(const char *in, int in_len, int *out_len2);

// Same pair for the other direction; max_out_len and *out_len count bytes.
int ff_utf16_to_utf8(const uint16_t *in, int in_len, char *out, int *out_len, int max_out_len);
char *ff_utf16_to_utf8_2(const uint16_t *in, int in_len, int *out_len2);

// Exchanges the two bytes of each of the in_len units in place. Returns 0.
int ff_utf16_swap(uint16_t *in, int in_len);

#endif
