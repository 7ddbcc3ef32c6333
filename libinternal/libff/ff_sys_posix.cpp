// The core runtime's platform calls on POSIX (Linux).
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <utility>

#include "ff_sys.h"

namespace {

pthread_mutex_t msg_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// The value of "key : value" lines of a /proc file, first match only.
bool proc_value(const char *path, const char *key, char *value, size_t value_size) {
  FILE *f = fopen(path, "r");
  if (!f) return false;
  char line[1024];
  size_t key_len = strlen(key);
  bool found = false;
  while (!found && fgets(line, sizeof line, f)) {
    if (strncmp(line, key, key_len) != 0) continue;
    char *colon = strchr(line + key_len, ':');
    if (!colon) continue;
    char *v = colon + 1;
    while (*v == ' ' || *v == '\t') v++;
    v[strcspn(v, "\n")] = '\0';
    snprintf(value, value_size, "%s", v);
    found = true;
  }
  fclose(f);
  return found;
}

}  // namespace

void ff_sys_msg_lock(void) { pthread_mutex_lock(&msg_lock); }

void ff_sys_msg_unlock(void) { pthread_mutex_unlock(&msg_lock); }

int ff_sys_counter(int64_t *value) {
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return -1;
  *value = (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
  return 0;
}

int ff_sys_counter_frequency(int64_t *value) {
  *value = 1000000000;  // the counter above counts nanoseconds
  return 0;
}

uint32_t ff_sys_tick_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return (uint32_t)((uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000);
}

void ff_sys_local_time(struct ff_local_time *t) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm broken;
  localtime_r(&tv.tv_sec, &broken);
  t->day = broken.tm_mday;
  t->hour = broken.tm_hour;
  t->minute = broken.tm_min;
  t->second = broken.tm_sec;
  t->millisecond = (int)(tv.tv_usec / 1000);
}

int ff_sys_cpu_info(char *name, size_t name_size, int *mhz) {
  char speed[64] = "0";
  if (!proc_value("/proc/cpuinfo", "model name", name, name_size)) return -1;
  proc_value("/proc/cpuinfo", "cpu MHz", speed, sizeof speed);
  *mhz = atoi(speed);
  return 0;
}

int ff_sys_cpu_count(int *cores, int *logical) {
  FILE *f = fopen("/proc/cpuinfo", "r");
  if (!f) return -1;
  std::set<std::pair<int, int>> physical_cores;  // (package, core)
  int processors = 0, package = 0;
  char line[1024];
  while (fgets(line, sizeof line, f)) {
    const char *colon = strchr(line, ':');
    if (!colon) continue;
    if (strncmp(line, "processor", 9) == 0) processors++;
    if (strncmp(line, "physical id", 11) == 0) package = atoi(colon + 1);
    if (strncmp(line, "core id", 7) == 0) physical_cores.insert({package, atoi(colon + 1)});
  }
  fclose(f);
  if (processors == 0) return -1;
  *cores = physical_cores.empty() ? processors : (int)physical_cores.size();
  *logical = processors;
  return 0;
}

void ff_sys_memory(uint64_t *total, uint64_t *available) {
  char value[64];
  if (proc_value("/proc/meminfo", "MemTotal", value, sizeof value)) *total = strtoull(value, nullptr, 10) << 10;
  if (proc_value("/proc/meminfo", "MemAvailable", value, sizeof value))
    *available = strtoull(value, nullptr, 10) << 10;
}

void ff_sys_version_line(char *line, size_t line_size) {
  struct utsname u;
  if (uname(&u) != 0) {
    snprintf(line, line_size, "System Version: unknown");
    return;
  }
  snprintf(line, line_size, "%s Version: %s Build %s", u.sysname, u.release, u.version);
}

// Linux executables carry no version resource.
int ff_sys_module_version(void *, char *, size_t) { return -1; }

void ff_sys_sleep_us(int usec) {
  if (usec <= 0) return;
  struct timespec ts = {usec / 1000000, (long)(usec % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void ff_sys_localtime(int64_t t, struct tm *out) {
  time_t tt = (time_t)t;
  localtime_r(&tt, out);
}

int64_t ff_sys_mktime(struct tm *tm) { return (int64_t)mktime(tm); }
