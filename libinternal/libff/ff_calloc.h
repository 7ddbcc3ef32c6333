// Zero-filled, 16-byte-aligned blocks that carry their alignment offset (1 to
// 16) in the byte before the returned pointer, and streaming block copies.
#ifndef FF_CALLOC_H
#define FF_CALLOC_H

#include <stddef.h>

// The next multiple of alignment strictly above size.
#define FF_PTR_ALIGNMENT_SIZE(size, alignment) (((size) & ~((alignment) - 1)) + (alignment))

void *ff_calloc(size_t size);
void *ff_realloc(void *ptr, size_t size);  // NULL: old block still valid
void ff_free(void *ptr);
int ff_alignment_size(size_t size);
void *ff_ptr_align(void *ptr, int alignment);
void *ff_ptr_unalign(void *ptr);
void ff_ptr_alignment_test(void);

// Non-overlapping copies that stream with non-temporal stores.
void *ff_memcpy(void *to, const void *from, size_t len);
void *sse_memcpy(void *to, const void *from, size_t len);
void *sse2_memcpy(void *to, const void *from, size_t len);

#endif
