// Helpers, library initialisation and the global lock.
#include "ff.h"

#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ff_sys.h"
#include "ff_thread.h"

namespace {

int ff_is_init;
hnd_t g_mutex;
int scount;

}  // namespace

int ff_init(void) {
  if (ff_is_init) return 0;
  if (ff_mutex_open(&g_mutex) != 0) {
    ff_chain_msg("ff", __LINE__);
    return -1;
  }
  if (fftime_init() != 0) {
    ff_chain_msg("ff", __LINE__);
    return -1;
  }
  ff_is_init = 1;
  return 0;
}

int ff_destroy(void) {
  if (!ff_is_init) return -1;
  ff_mutex_close(g_mutex);
  g_mutex = nullptr;
  ff_is_init = 0;
  return 0;
}

// Before ff_init and after ff_destroy there is no mutex: -1, no message, so
// that callers can run unguarded without a stray text in the slot.
int ff_global_lock(void) { return g_mutex ? ff_mutex_lock(g_mutex) : -1; }

int ff_global_unlock(void) { return g_mutex ? ff_mutex_unlock(g_mutex) : -1; }

int ff_double_equals(double a, double b, double epsilon) { return fabs(a - b) < epsilon ? 1 : 0; }

int ff_to_lower(char *str) {
  int n = 0;
  for (; str[n]; n++) str[n] = (char)tolower((unsigned char)str[n]);
  return n;
}

int ff_to_upper(char *str) {
  int n = 0;
  for (; str[n]; n++) str[n] = (char)toupper((unsigned char)str[n]);
  return n;
}

int ff_reverse_find(char *str, int idx, char ch) {
  int seen = 0;
  for (int i = (int)strlen(str) - 1; i >= 0; i--) {
    if (str[i] == ch && seen++ == idx) return i;
  }
  return -1;
}

char *ff_reverse_find_ptr(char *str, int idx, char ch) {
  int i = ff_reverse_find(str, idx, ch);
  return i < 0 ? nullptr : str + i;
}

int ff_char_count(char *str, char ch) {
  int n = 0;
  for (; *str; str++) n += *str == ch;
  return n;
}

char *ff_strtok_r(char *s, const char *delim, char **save_ptr) {
  if (!s) s = *save_ptr;
  s += strspn(s, delim);
  if (*s == '\0') {
    *save_ptr = s;
    return nullptr;
  }
  char *end = s + strcspn(s, delim);
  if (*end == '\0') {
    *save_ptr = end;
  } else {
    *end = '\0';
    *save_ptr = end + 1;
  }
  return s;
}

int64_t ff_atoi64(const char *nptr) {
  if (!nptr) return 0;
  while (isspace((unsigned char)*nptr)) nptr++;
  bool negative = false;
  if (*nptr == '+' || *nptr == '-') negative = *nptr++ == '-';
  // Accumulate unsigned: overflow wraps instead of being undefined.
  uint64_t value = 0;
  for (; *nptr >= '0' && *nptr <= '9'; nptr++) value = value * 10 + (uint64_t)(*nptr - '0');
  return (int64_t)(negative ? 0 - value : value);
}

int ff_rnd(int min, int max) {
  if (!scount) {
    srand((unsigned)(2 * (uint64_t)time(nullptr)));
    scount = 1;
  }
  return min + rand() % (max - min);
}

char *ff_rnd_seq(char *out, int len) {
  for (int i = 0; i < len; i++) out[i] = (char)('a' + ff_rnd(0, 26));
  out[len] = '\0';
  return out;
}

void ff_get_dll_version(void *hhmod, char *version) { ff_sys_module_version(hhmod, version, 24); }

void ff_sleep(int usec) { ff_sys_sleep_us(usec); }

void ff_prt_hex(uint8_t *pb, int cb, int len) {
  int n = cb < len ? cb : len;
  if (n < 0) n = 0;
  size_t size = 5 * (size_t)(cb > 0 ? cb : 0) + 20 * (size_t)(len > 0 ? len / 16 : 0) + 21;
  char *text = (char *)ff_calloc(size);
  if (!text) {
    fflog_line("failed to calloc %d", (int)size);
    return;
  }
  size_t used = (size_t)snprintf(text, size, "len:%d cb:%d\n", len, cb);
  for (int i = 0; i < n && used < size; i++) {
    if (i % 16 == 0) used += (size_t)snprintf(text + used, size - used, i == 0 ? " %04X: " : "\n %04X: ", i);
    if (used < size) used += (size_t)snprintf(text + used, size - used, "%02X ", pb[i]);
  }
  fflog_line("%s", text);
  ff_free(text);
}
