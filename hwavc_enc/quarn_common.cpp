// Aligned blocks and raw-frame records.
#include "quarn_common.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

const size_t kAlign = 16;

// Counts down to an injected allocation failure; -1 when disarmed. Only the
// tests arm it, from one thread.
int fail_countdown = -1;

bool injected_failure() {
  if (fail_countdown < 0) return false;
  return fail_countdown-- == 0;
}

}  // namespace

void quarn_calloc_fail_after(int skip) { fail_countdown = skip; }

void *quarn_calloc(size_t size) {
  if (size > SIZE_MAX - kAlign || injected_failure()) return nullptr;
  uint8_t *base = (uint8_t *)calloc(1, size + kAlign);
  if (!base) return nullptr;
  size_t offset = kAlign - ((uintptr_t)base % kAlign);
  uint8_t *block = base + offset;
  block[-1] = (uint8_t)offset;
  return block;
}

void quarn_free(void *block) {
  if (!block) return;
  int offset = ((uint8_t *)block)[-1];
  if (offset < 1 || offset > (int)kAlign) {
    // Not one of ours, or its header was overwritten: freeing it would
    // corrupt the heap.
    printf("Assertion failed at %s:%d\n", "quarn_common", __LINE__);
    fflush(stdout);
    abort();
  }
  free((uint8_t *)block - offset);
}

int quarn_plane_setup(quarn_frame *frame, uint8_t *buffer) {
  int32_t a = frame->width * frame->height;
  switch (frame->format) {
    case 10:
    case 11:
    case 15:
    case 16:
      frame->plane[0] = buffer;
      break;
    case 12:  // YUV 4:2:0
      frame->plane[0] = buffer;
      frame->plane[1] = buffer + a;
      frame->plane[2] = buffer + a + a / 4;
      break;
    case 13:  // YUV 4:2:2
      frame->plane[0] = buffer;
      frame->plane[1] = buffer + a;
      frame->plane[2] = buffer + a + a / 2;
      break;
    case 14:  // YUV 4:4:4
      frame->plane[0] = buffer;
      frame->plane[1] = buffer + a;
      frame->plane[2] = buffer + 2 * a;
      break;
    default:
      break;
  }
  return 0;
}

quarn_frame *quarn_frame_video_calloc(int width, int height, int fps_num, int fps_den) {
  int64_t capacity = (int64_t)width * height * 3 / 2;
  if (width <= 0 || height <= 0 || capacity > INT32_MAX) return nullptr;
  quarn_frame *frame = (quarn_frame *)quarn_calloc(sizeof(quarn_frame));
  if (!frame) return nullptr;
  frame->reserved_0 = 0;
  frame->format = QUARN_FORMAT_YUV420P;
  frame->pixel_format = QUARN_FORMAT_YUV420P;
  frame->width = width;
  frame->height = height;
  frame->fps = (double)fps_num / fps_den;
  frame->fps_num = fps_num;
  frame->fps_den = fps_den;
  frame->own_data = 1;
  frame->size = frame->capacity = (int32_t)capacity;
  frame->pitch[0] = width;
  frame->pitch[1] = frame->pitch[2] = width / 2;
  frame->plane_count = 3;
  frame->data = (uint8_t *)quarn_calloc((size_t)capacity);
  if (!frame->data) {
    quarn_free(frame);
    return nullptr;
  }
  quarn_plane_setup(frame, frame->data);
  return frame;
}

int quarn_frame_free(quarn_frame *frame) {
  if (!frame) return -1;
  if (frame->own_data && frame->data) quarn_free(frame->data);
  quarn_free(frame);
  return 0;
}
