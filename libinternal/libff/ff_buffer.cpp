// Growable byte queue over the runtime allocator.
#include "ff_buffer.h"

#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ff_buffer_internal.h"
#include "ff_fail_point.h"

namespace {

ff_fail_point buffer_failure;

void *buffer_realloc(void *ptr, size_t size) { return buffer_failure.hit() ? nullptr : realloc(ptr, size); }

void release_storage(ff_buffer *p) {
  free(p->buf_head);
  p->buf_head = p->buf_tail = p->data_head = p->data_tail = nullptr;
}

// The live bytes and, when it lies in the block, the byte behind them: moving
// that one too keeps the terminator of an earlier append.
size_t bytes_to_move(const ff_buffer *p) {
  return (size_t)(p->data_tail - p->data_head) + (p->data_tail < p->buf_tail ? 1 : 0);
}

// Moves the live bytes to the start of the block.
void compact(ff_buffer *p) {
  if (p->data_head == p->buf_head) return;
  size_t data_size = (size_t)(p->data_tail - p->data_head);
  memmove(p->buf_head, p->data_head, bytes_to_move(p));
  p->data_head = p->buf_head;
  p->data_tail = p->buf_head + data_size;
}

void set_block(ff_buffer *p, char *block, int data_size, int block_size) {
  p->buf_head = p->data_head = block;
  p->data_tail = block + data_size;
  p->buf_tail = block + block_size;
}

// Appends size bytes, written by write(dst, arg) after room has been made.
// -1 with the buffer untouched when there is no room to be had.
template <typename Write>
int append(ff_buffer *p, int size, Write write) {
  if (size < 0 || ff_buffer_increase_buf(p, size) < 0) return -1;
  write(p->data_tail);
  p->data_tail += size;
  *p->data_tail = '\0';
  return size;
}

}  // namespace

void ff_buffer_fail_after(int skip) { buffer_failure.arm(skip); }

ff_buffer *ff_buffer_new(int block_size) {
  if (block_size <= 0 || buffer_failure.hit()) return nullptr;
  ff_buffer *p = (ff_buffer *)calloc(1, sizeof(ff_buffer));
  if (p) p->block_size = block_size;
  return p;
}

int ff_buffer_free(ff_buffer *p) {
  if (!p) return 0;
  free(p->buf_head);
  free(p);
  return 1;
}

int ff_buffer_reset(ff_buffer *p) {
  if (!p) return -1;
  release_storage(p);
  return 0;
}

int ff_buffer_reset_light(ff_buffer *p) {
  p->data_head = p->data_tail = p->buf_head;
  return 0;
}

char *ff_buffer_data(ff_buffer *p) { return p->data_head; }

int ff_buffer_data_size(ff_buffer *p) { return (int)(p->data_tail - p->data_head); }

char *ff_buffer_buf(ff_buffer *p) { return p->buf_head; }

int ff_buffer_buf_size(ff_buffer *p) { return (int)(p->buf_tail - p->buf_head); }

int ff_buffer_increase_buf(ff_buffer *p, int size) {
  if (size < 0) return -1;
  int remain_size = (int)(p->buf_tail - p->data_tail);
  if (size < remain_size) return 0;  // the bytes and the terminator fit
  int data_size = ff_buffer_data_size(p);
  // The smallest multiple of the block size strictly above data and request:
  // the consumed front of the old block is reclaimed.
  int64_t wanted = (int64_t)p->block_size * (((int64_t)data_size + size) / p->block_size + 1);
  if (wanted > INT_MAX) return -1;
  int buf_size_new = (int)wanted;
  int buf_size_old = ff_buffer_buf_size(p);
  if (buf_size_new > buf_size_old) {
    // Grow first and move afterwards, so a refusal leaves everything as it was.
    size_t head_offset = (size_t)(p->data_head - p->buf_head);
    size_t move = bytes_to_move(p);
    char *block = (char *)buffer_realloc(p->buf_head, (size_t)buf_size_new);
    if (!block) return -1;
    memmove(block, block + head_offset, move);
    set_block(p, block, data_size, buf_size_new);
  } else {
    // The new block is smaller: move the live bytes down before cutting. If
    // the smaller block cannot be had the old one still has the room.
    compact(p);
    char *block = buf_size_new < buf_size_old ? (char *)buffer_realloc(p->buf_head, (size_t)buf_size_new) : nullptr;
    if (block) set_block(p, block, data_size, buf_size_new);
  }
  return ff_buffer_buf_size(p) - data_size - remain_size;
}

int ff_buffer_push(ff_buffer *p, const char *buf, int size) {
  return append(p, size, [&](char *dst) {
    if (size > 0) memcpy(dst, buf, (size_t)size);  // an empty append may come without bytes
  });
}

int ff_buffer_copy(ff_buffer *dst, ff_buffer *src) {
  // Growing dst would move the bytes being copied when both are one buffer.
  if (!dst || !src || dst == src) return -1;
  return ff_buffer_push(dst, src->data_head, ff_buffer_data_size(src)) < 0 ? -1 : 0;
}

int ff_buffer_push_sprintf(ff_buffer *p, const char *fmt, ...) {
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  int len = vsnprintf(p->tmp, sizeof p->tmp, fmt, ap);
  va_end(ap);
  int rc;
  if (len < 0) {
    rc = -1;
  } else if (len < (int)sizeof p->tmp) {
    rc = ff_buffer_push(p, p->tmp, len);
  } else {
    // Too long for the scratch area: format again straight into the storage,
    // whose room includes the terminator's byte.
    rc = append(p, len, [&](char *dst) { vsnprintf(dst, (size_t)len + 1, fmt, again); });
  }
  va_end(again);
  return rc;
}

int ff_buffer_decrease_buf(ff_buffer *p, int size) {
  if (size < 0) return 0;
  int data_size = ff_buffer_data_size(p);
  if (size < data_size) {
    p->data_head += size;
    return size;
  }
  release_storage(p);
  return data_size;
}

int ff_buffer_remove(ff_buffer *p, int size) { return ff_buffer_decrease_buf(p, size); }

int ff_buffer_pop(ff_buffer *p, char *buf, int size) {
  if (size < 0) return 0;
  int data_size = ff_buffer_data_size(p);
  int pop_size = size < data_size ? size : data_size;
  if (buf && pop_size > 0) memcpy(buf, p->data_head, (size_t)pop_size);
  return ff_buffer_decrease_buf(p, pop_size);
}

int ff_buffer_set_buf_size(ff_buffer *p, int size) {
  if (size < 0 || ff_buffer_increase_buf(p, size) < 0) return -1;
  p->data_tail += size;
  return size;
}
