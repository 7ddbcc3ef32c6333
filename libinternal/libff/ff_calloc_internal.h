// Test seam of the allocator: makes a chosen ff_calloc/ff_realloc fail, so
// tests can walk every out-of-memory path. Not part of the public interface.
#ifndef FF_CALLOC_INTERNAL_H
#define FF_CALLOC_INTERNAL_H

// The allocation after `skip` successful ones fails, once; -1 disarms.
void ff_calloc_fail_after(int skip);

#endif
