// Foundation library: shared types, helpers, library initialisation and the
// global lock. Every operation that can fail returns -1 (or NULL) and leaves
// the reason in the last-message slot (see fflog.h); success leaves the slot
// alone.
#ifndef FF_H
#define FF_H

#include <stddef.h>
#include <stdint.h>

#include "ff_calloc.h"
#include "fflog.h"
#include "fftime.h"

// The library's opaque handle: threads, mutexes, conditions, the global mutex.
typedef void *hnd_t;

// Library initialisation: the global mutex and the clock. Repeated calls
// return 0 and change nothing; one ff_destroy undoes any number of them.
int ff_init(void);
int ff_destroy(void);  // -1 when not initialised (no message)
// 0; -1 without a message while the library is not initialised, when there
// is no lock to take.
int ff_global_lock(void);
int ff_global_unlock(void);

// Small helpers.
int ff_double_equals(double a, double b, double epsilon);
int ff_to_lower(char *str);
int ff_to_upper(char *str);
int ff_reverse_find(char *str, int idx, char ch);
char *ff_reverse_find_ptr(char *str, int idx, char ch);
int ff_char_count(char *str, char ch);
char *ff_strtok_r(char *s, const char *delim, char **save_ptr);
int64_t ff_atoi64(const char *nptr);
int ff_rnd(int min, int max);                    // min .. max-1
char *ff_rnd_seq(char *out, int len);            // out holds len + 1 bytes
void ff_get_dll_version(void *hhmod, char *version);  // version: >= 24 bytes
void ff_sleep(int usec);
void ff_prt_hex(uint8_t *pb, int cb, int len);

#endif
