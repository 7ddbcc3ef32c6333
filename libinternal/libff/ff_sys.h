// What the core runtime needs of the platform; ff_sys_win32.cpp and
// ff_sys_posix.cpp say how. Private to the library.
#ifndef FF_SYS_H
#define FF_SYS_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

// Recursive process-wide lock around the message slot and the log settings;
// usable before any initialisation.
void ff_sys_msg_lock(void);
void ff_sys_msg_unlock(void);

// High-resolution counter and its ticks per second; 0, or -1 when missing.
int ff_sys_counter(int64_t *value);
int ff_sys_counter_frequency(int64_t *value);
// Milliseconds since some fixed point; wraps at 2^32.
uint32_t ff_sys_tick_ms(void);

struct ff_local_time {
  int day;  // of the month
  int hour, minute, second, millisecond;
};
void ff_sys_local_time(struct ff_local_time *t);

// Banner facts. ff_sys_cpu_info: -1 when the processor cannot be described.
int ff_sys_cpu_info(char *name, size_t name_size, int *mhz);
// Physical cores and logical processors; -1 leaves both untouched.
int ff_sys_cpu_count(int *cores, int *logical);
void ff_sys_memory(uint64_t *total, uint64_t *available);
// One text naming the system and its version, e.g. "Windows Version: 10.0 Build 19045 ".
void ff_sys_version_line(char *line, size_t line_size);

// Fixed file version "a.b.c.d" of a loaded module (NULL: the program);
// -1 leaves version untouched.
int ff_sys_module_version(void *module, char *version, size_t version_size);

void ff_sys_sleep_us(int usec);

// Local calendar time of a second count.
void ff_sys_localtime(int64_t t, struct tm *out);
int64_t ff_sys_mktime(struct tm *tm);

#endif
