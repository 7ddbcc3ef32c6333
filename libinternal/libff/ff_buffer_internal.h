// Test seam of the byte buffer: makes a chosen allocation of the record or
// of the storage fail. Not part of the public interface.
#ifndef FF_BUFFER_INTERNAL_H
#define FF_BUFFER_INTERNAL_H

// The allocation after `skip` successful ones fails, once; -1 disarms.
void ff_buffer_fail_after(int skip);

#endif
