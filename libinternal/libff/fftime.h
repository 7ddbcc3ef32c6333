// A microsecond clock on the high-resolution counter, corrected where the
// counter leaps against the millisecond tick count, and calendar helpers.
#ifndef FFTIME_H
#define FFTIME_H

#include <stdint.h>
#include <time.h>

int fftime_init(void);       // 0, or -1 without a message
int64_t fftime(void);        // microseconds since fftime_init
struct tm *ff_gmtime(time_t *t, struct tm *t2);  // local time of *t, into t2
int ff_unix_time(time_t *t);                     // t NULL: now
char *ff_unix_time_str(time_t *t);               // now, as text; free() it

#endif
