// Test seam of the condition variable: forces the emulated implementation
// where the platform has one, and shows its bookkeeping. Not part of the
// public interface. Switch modes only while no condition is open: a condition
// is closed by the rules of the mode in force when it is closed.
#ifndef FF_THREAD_INTERNAL_H
#define FF_THREAD_INTERNAL_H

#include "ff.h"

// 1: conditions opened from now on are emulated; 0: the platform's native
// functions are looked up again at the next open. -1 where the platform has
// no emulated mode (POSIX).
int ff_cond_force_emulation(int on);
// 1 while native mode holds (after the first open found the native functions).
int ff_cond_is_native(void);
// The emulated condition's waiter count and broadcast flag; -1 in native mode.
int ff_cond_waiter_count(hnd_t h);
int ff_cond_is_broadcast(hnd_t h);

#endif
