// The corrected microsecond clock and the calendar helpers.
#include "fftime.h"

#include <stdio.h>
#include <stdlib.h>

#include "ff_sys.h"
#include "fftime_internal.h"

namespace {

const fftime_source platform_source = {ff_sys_counter, ff_sys_counter_frequency, ff_sys_tick_ms};
const fftime_source *source = &platform_source;

int64_t clockFreq;
int64_t startTime;
int64_t prevElapsedTime;
uint32_t startTick;
int is_time_init;

// Largest drift between counter and tick count, in ms, that is left alone.
const int32_t kMaxDriftMs = 100;

// a * b / c truncated toward zero, in whole units of c and the remainder, so
// that a * b itself is never formed: with b and c at most a counter frequency
// nothing overflows while the result fits. Months of a GHz counter times 10^6
// would not fit 64 bits.
int64_t scale(int64_t a, int64_t b, int64_t c) { return a / c * b + a % c * b / c; }

}  // namespace

void fftime_set_source(const fftime_source *s) {
  source = s ? s : &platform_source;
  is_time_init = 0;
  clockFreq = startTime = prevElapsedTime = 0;
  startTick = 0;
}

int fftime_init(void) {
  if (is_time_init) return 0;
  if (source->frequency(&clockFreq) != 0 || clockFreq <= 0) return -1;
  if (source->counter(&startTime) != 0) return -1;
  startTick = source->tick_ms();
  prevElapsedTime = 0;
  is_time_init = 1;
  return 0;
}

int64_t fftime(void) {
  if (!is_time_init) return 0;  // before fftime_init there is no frequency
  int64_t now = 0;
  source->counter(&now);
  int64_t elapsedTime = now - startTime;
  uint32_t msecTicks = (uint32_t)scale(elapsedTime, 1000, clockFreq);
  uint32_t elapsedTicks = source->tick_ms() - startTick;
  int32_t msecOff = (int32_t)(msecTicks - elapsedTicks);
  if (msecOff < -kMaxDriftMs || msecOff > kMaxDriftMs) {
    // The counter leapt: pull it back to the tick count, but never so far
    // that the result falls below the previous reading.
    int64_t msecAdjustment = scale(msecOff, clockFreq, 1000);
    int64_t sincePrevious = elapsedTime - prevElapsedTime;
    if (sincePrevious < msecAdjustment) msecAdjustment = sincePrevious;
    startTime += msecAdjustment;
    elapsedTime -= msecAdjustment;
  }
  prevElapsedTime = elapsedTime;
  return scale(elapsedTime, 1000000, clockFreq);
}

struct tm *ff_gmtime(time_t *t, struct tm *t2) {
  // A 32-bit second count, as the Windows runtime's 32-bit conversion takes it.
  ff_sys_localtime((int64_t)(int32_t)(uint32_t)(uint64_t)*t, t2);
  return t2;
}

int ff_unix_time(time_t *t) {
  time_t now = t ? *t : time(nullptr);
  struct tm broken;
  ff_gmtime(&now, &broken);
  return (int)ff_sys_mktime(&broken);
}

char *ff_unix_time_str(time_t *) {
  char *text = (char *)malloc(13);
  if (text) snprintf(text, 13, "%d", ff_unix_time(nullptr));
  return text;
}
