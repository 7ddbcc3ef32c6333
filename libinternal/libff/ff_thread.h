// Joinable threads, mutexes and condition variables. The handles are opaque.
// Open operations store the handle only on success and release everything
// made so far on failure; close operations return -1 for a null handle.
#ifndef FF_THREAD_H
#define FF_THREAD_H

#include "ff.h"

typedef int (*ff_thread_func)(void *arg);

int ff_thread_open(hnd_t *h, ff_thread_func func, void *arg);
int ff_thread_join(hnd_t h);  // returns once the thread's function has returned
int ff_thread_close(hnd_t h);

// A re-entrant mutex: its owner may lock it again, and unlocks as often.
int ff_mutex_open(hnd_t *h);
int ff_mutex_close(hnd_t h);
int ff_mutex_lock(hnd_t h);
int ff_mutex_unlock(hnd_t h);

int ff_cond_open(hnd_t *h);
int ff_cond_close(hnd_t h);
int ff_cond_wait(hnd_t h, hnd_t mutex);
int ff_cond_timedwait(hnd_t h, hnd_t mutex, int timeout_ms);
int ff_cond_signal(hnd_t h);
int ff_cond_broadcast(hnd_t h);

#endif
