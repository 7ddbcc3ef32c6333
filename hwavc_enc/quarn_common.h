// Frame records and their aligned buffers, shared by the encoder's units.
#ifndef QUARN_COMMON_H
#define QUARN_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "hwavc_enc.h"

// Zero-filled blocks aligned to 16 bytes. The distance to the block that
// calloc returned (1 to 16) sits in the byte just before the block; freeing a
// block whose byte is out of range aborts the process.
void *quarn_calloc(size_t size);
void quarn_free(void *block);  // null is ignored

// A raw YUV 4:2:0 frame owning one buffer of width x height x 3 / 2 bytes;
// null when out of memory or when the size does not fit 32 bits.
quarn_frame *quarn_frame_video_calloc(int width, int height, int fps_num, int fps_den);
// Points the planes into `buffer` as the frame's format lays them out; 0.
int quarn_plane_setup(quarn_frame *frame, uint8_t *buffer);
// Frees the frame and, when it owns it, its buffer; -1 for null.
int quarn_frame_free(quarn_frame *frame);

// Test seam: the allocation after `skip` successful ones fails, once; -1
// disarms. Not exported from the library.
void quarn_calloc_fail_after(int skip);

#endif
