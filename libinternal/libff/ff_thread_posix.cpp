// Threads, mutexes and condition variables on POSIX threads.
#include <pthread.h>

#include "ff_thread.h"

#define FF_THREAD_TAG "ff_thread_posix"

int ff_mutex_open(hnd_t *h) {
  pthread_mutex_t *m = (pthread_mutex_t *)ff_calloc(sizeof(pthread_mutex_t));
  if (!m) {
    ff_set_msg(FF_THREAD_TAG, __LINE__, "failed to ff_calloc ff_mutex");
    return -1;
  }
  // Recursive, as a Win32 critical section is.
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
  *h = m;
  return 0;
}

int ff_mutex_close(hnd_t h) {
  if (!h) return -1;
  pthread_mutex_destroy((pthread_mutex_t *)h);
  ff_free(h);
  return 0;
}

int ff_mutex_lock(hnd_t h) {
  pthread_mutex_lock((pthread_mutex_t *)h);
  return 0;
}

int ff_mutex_unlock(hnd_t h) {
  pthread_mutex_unlock((pthread_mutex_t *)h);
  return 0;
}
