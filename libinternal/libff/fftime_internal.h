// Test seam of the clock: the counter and tick reads go through this table,
// so a test can simulate a counter leap. Not part of the public interface.
#ifndef FFTIME_INTERNAL_H
#define FFTIME_INTERNAL_H

#include <stdint.h>

struct fftime_source {
  int (*counter)(int64_t *value);
  int (*frequency)(int64_t *value);
  uint32_t (*tick_ms)(void);
};

// NULL restores the platform's reads. Also forgets an earlier fftime_init.
void fftime_set_source(const fftime_source *source);

#endif
