/* The short clip the C callers of hwavc_enc.dll encode: the settings and the
 * raw frame as an integrator fills them, in C99 and without the C library
 * (the MSVC-format callers link none). */
#ifndef CALLER_CLIP_H
#define CALLER_CLIP_H

#include "hwavc_enc.h"

#define CALLER_WIDTH 320
#define CALLER_HEIGHT 240
#define CALLER_PICTURE_SIZE (CALLER_WIDTH * CALLER_HEIGHT * 3 / 2)

/* Zero-filled by the caller (a static record is). */
static void caller_clip_settings(hwavc_enc_settings *settings, const char *profile) {
  settings->profile = profile;
  settings->preset = "veryfast";
  settings->width = CALLER_WIDTH;
  settings->height = CALLER_HEIGHT;
  settings->fps_num = 30;
  settings->fps_den = 1;
  settings->bitrate = 1000;
  settings->buf_num = 2;
}

/* A raw frame over `picture` (CALLER_PICTURE_SIZE bytes), zero-filled by the
 * caller, with its planes packed one after another. */
static void caller_clip_frame(quarn_frame *raw, uint8_t *picture) {
  raw->format = QUARN_FORMAT_YUV420P;
  raw->width = CALLER_WIDTH;
  raw->height = CALLER_HEIGHT;
  raw->plane[0] = picture;
  raw->plane[1] = picture + CALLER_WIDTH * CALLER_HEIGHT;
  raw->plane[2] = raw->plane[1] + (CALLER_WIDTH / 2) * (CALLER_HEIGHT / 2);
  raw->pitch[0] = CALLER_WIDTH;
  raw->pitch[1] = raw->pitch[2] = CALLER_WIDTH / 2;
  raw->plane_count = 3;
}

#endif
