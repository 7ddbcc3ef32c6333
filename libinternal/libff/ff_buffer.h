// Growable byte queue: bytes are appended at the tail and consumed from the
// head. The storage grows in whole multiples of the block size, is
// NUL-terminated behind the data after every append (so text can be read in
// place), and is released as soon as everything has been consumed.
//
// Sizes are int: a buffer holds less than 2^31 bytes. A negative size does
// nothing (appends return -1, consumes 0). Bytes handed to an append must not
// lie in the same buffer's storage. No operation records a message.
#ifndef FF_BUFFER_H
#define FF_BUFFER_H

#include <stddef.h>

typedef struct ff_buffer {
  char *buf_head;   // start of the storage; NULL while there is none
  char *buf_tail;   // one past the end of the storage
  char *data_head;  // first live byte
  char *data_tail;  // one past the last live byte; 0 here after an append
  int block_size;   // growth unit, fixed at creation
  char tmp[4096];   // scratch area of ff_buffer_push_sprintf
} ff_buffer;

static_assert(offsetof(ff_buffer, buf_tail) == 8, "ff_buffer layout");
static_assert(offsetof(ff_buffer, data_head) == 16, "ff_buffer layout");
static_assert(offsetof(ff_buffer, data_tail) == 24, "ff_buffer layout");
static_assert(offsetof(ff_buffer, block_size) == 32, "ff_buffer layout");
static_assert(offsetof(ff_buffer, tmp) == 36, "ff_buffer layout");
static_assert(sizeof(ff_buffer) == 4136, "ff_buffer layout");

// A new buffer without storage; NULL when the record cannot be allocated or
// block_size is not positive.
ff_buffer *ff_buffer_new(int block_size);
int ff_buffer_free(ff_buffer *p);          // 1 when freed; 0 for NULL
int ff_buffer_reset(ff_buffer *p);         // releases the storage; -1 for NULL
int ff_buffer_reset_light(ff_buffer *p);   // keeps the storage, empties the data

// Views into the storage, valid until the next operation that grows,
// empties or resets the buffer. NULL or 0 without storage.
char *ff_buffer_data(ff_buffer *p);
int ff_buffer_data_size(ff_buffer *p);
char *ff_buffer_buf(ff_buffer *p);
int ff_buffer_buf_size(ff_buffer *p);

// Appends: size (or the bytes appended); -1 when the storage cannot grow,
// with the buffer exactly as it was.
int ff_buffer_push(ff_buffer *p, const char *buf, int size);
int ff_buffer_copy(ff_buffer *dst, ff_buffer *src);  // 0; -1 for NULL or dst == src
int ff_buffer_push_sprintf(ff_buffer *p, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Consumes up to size bytes from the head (copying them to buf when it is
// not NULL); consuming everything releases the storage. Bytes taken.
int ff_buffer_pop(ff_buffer *p, char *buf, int size);
int ff_buffer_remove(ff_buffer *p, int size);

// Makes room for size more bytes and a terminator: the free room gained, or
// -1 when the storage cannot grow.
int ff_buffer_increase_buf(ff_buffer *p, int size);
int ff_buffer_decrease_buf(ff_buffer *p, int size);  // as ff_buffer_remove
// Makes room for size bytes and counts them as data without writing them: the
// caller writes them at the old end of the data. size, or -1.
int ff_buffer_set_buf_size(ff_buffer *p, int size);

#endif
