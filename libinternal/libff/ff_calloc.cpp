// Aligned, zero-filled blocks that carry their offset in the byte before the
// returned pointer, and the copy entry point.
#include "ff_calloc.h"

#include <stdint.h>
#include <stdlib.h>

#include "ff.h"
#include "ff_calloc_internal.h"
#include "ff_fail_point.h"

namespace {

const size_t kAlign = 16;

ff_fail_point calloc_failure;

// The offset stored before an aligned block, or abort when the block did not
// come from this allocator: freeing it would corrupt the heap.
size_t block_offset(void *ptr, int line) {
  int v = ((signed char *)ptr)[-1];
  if (v < 1 || v > (int)kAlign) {
    ff_set_msg("ff_calloc", line, "Assertion failed at %s:%d", "ff_calloc", line);
    abort();
  }
  return (size_t)v;
}

}  // namespace

void ff_calloc_fail_after(int skip) { calloc_failure.arm(skip); }

void *ff_calloc(size_t size) {
  if (size > SIZE_MAX - kAlign || calloc_failure.hit()) return nullptr;
  uint8_t *base = (uint8_t *)calloc(1, size + kAlign);
  if (!base) return nullptr;
  size_t offset = kAlign - ((uintptr_t)base % kAlign);
  uint8_t *p = base + offset;
  p[-1] = (uint8_t)offset;
  return p;
}

void *ff_realloc(void *ptr, size_t size) {
  if (!ptr) return ff_calloc(size);
  size_t offset = block_offset(ptr, __LINE__);
  if (size > SIZE_MAX - offset || calloc_failure.hit()) return nullptr;
  uint8_t *base = (uint8_t *)realloc((uint8_t *)ptr - offset, size + offset);
  return base ? base + offset : nullptr;
}

void ff_free(void *ptr) {
  if (!ptr) return;
  size_t offset = block_offset(ptr, __LINE__);
  free((uint8_t *)ptr - offset);
}

int ff_alignment_size(size_t size) { return (int)FF_PTR_ALIGNMENT_SIZE((uint32_t)size, 16u); }

void *ff_ptr_align(void *ptr, int alignment) {
  uintptr_t diff = (((uintptr_t)alignment - 1) & ~(uintptr_t)ptr) + 1;
  uint8_t *p = (uint8_t *)ptr + diff;
  p[-1] = (uint8_t)diff;
  return p;
}

void *ff_ptr_unalign(void *ptr) { return (uint8_t *)ptr - ((signed char *)ptr)[-1]; }

void ff_ptr_alignment_test(void) {
  for (int i = 0; i < 50; i++) fflog_line("FF_PTR_ALIGNMENT_SIZE(%d, 4) = %d", i, FF_PTR_ALIGNMENT_SIZE(i, 4));
  uint8_t *block = (uint8_t *)ff_calloc(128);
  if (!block) return;
  for (int i = 0; i < 64; i++) {
    uint8_t *address = block + i;
    uintptr_t rounded = ((uintptr_t)address + 3) & ~(uintptr_t)3;
    void *aligned = ff_ptr_align(address, 4);
    fflog_line("%p %p %p %p", (void *)address, (void *)rounded, aligned, ff_ptr_unalign(aligned));
  }
  ff_free(block);
}

void *ff_memcpy(void *to, const void *from, size_t len) { return sse_memcpy(to, from, len); }
