/* An integrator's C caller of hwavc_enc.dll, linked through one of the
 * package's import libraries: it encodes a short clip and drains it, and says
 * by its exit code how far it got (0: every frame came back as H.264).
 *
 * It uses no C library, so that the MSVC-format builds (clang's MSVC target,
 * clang-cl) need no MSVC runtime: the records are static, hence zeroed, and
 * the entry point returns the exit code. */
#include "../support/caller_clip.h"

#define FRAMES 12

enum { CALLER_OK, CALLER_OPEN, CALLER_ENCODE, CALLER_COUNT, CALLER_NOT_H264, CALLER_CLOSE, CALLER_NO_LOG };

static hwavc_enc_settings settings;
static quarn_frame raw;
static uint8_t picture[CALLER_PICTURE_SIZE];
static int log_lines;

static int count_line(const char *line) {
  log_lines += line != 0;
  return 0;
}

/* An Annex B start code (00 00 01 or 00 00 00 01) opens every coded frame. */
static int starts_h264(const quarn_frame *coded) {
  const uint8_t *d = coded->data;
  if (coded->size < 4) return 0;
  return d[0] == 0 && d[1] == 0 && (d[2] == 1 || (d[2] == 0 && d[3] == 1));
}

int caller_main(void) {
  hwavc_enc_data *enc = 0;
  quarn_frame *out = 0;
  int taken = 0, back = 0, i;
  caller_clip_settings(&settings, "main");
  if (hwavc_enc_open(&enc, &settings, count_line) != 0) return CALLER_OPEN;

  caller_clip_frame(&raw, picture);
  for (i = 0; i <= FRAMES; i++) {
    /* A moving gradient, so that no two pictures are alike. */
    int p;
    for (p = 0; p < CALLER_WIDTH * CALLER_HEIGHT; p++) picture[p] = (uint8_t)(p % CALLER_WIDTH + i * 7);
    for (; p < (int)sizeof picture; p++) picture[p] = 128;
    raw.pts = raw.dts = i;
    do {
      if (hwavc_enc_encode(enc, i < FRAMES ? &raw : 0, &out) != 0) return CALLER_ENCODE;
      taken += i < FRAMES;
      if (out && !starts_h264(out)) return CALLER_NOT_H264;
      back += out != 0;
    } while (i == FRAMES && out);
  }
  if (hwavc_enc_close(enc) != 0) return CALLER_CLOSE;
  if (taken != FRAMES || back != FRAMES) return CALLER_COUNT;
  return log_lines > 0 ? CALLER_OK : CALLER_NO_LOG;
}

#ifdef __MINGW32__
int main(void) { return caller_main(); }
#endif
