// Threads, mutexes and condition variables on Win32.
#include <windows.h>

#include "ff_thread.h"

#define FF_THREAD_TAG "ff_thread_win32"

int ff_mutex_open(hnd_t *h) {
  CRITICAL_SECTION *cs = (CRITICAL_SECTION *)ff_calloc(sizeof(CRITICAL_SECTION));
  if (!cs) {
    ff_set_msg(FF_THREAD_TAG, __LINE__, "failed to ff_calloc ff_mutex");
    return -1;
  }
  InitializeCriticalSection(cs);
  *h = cs;
  return 0;
}

int ff_mutex_close(hnd_t h) {
  if (!h) return -1;
  DeleteCriticalSection((CRITICAL_SECTION *)h);
  ff_free(h);
  return 0;
}

int ff_mutex_lock(hnd_t h) {
  EnterCriticalSection((CRITICAL_SECTION *)h);
  return 0;
}

int ff_mutex_unlock(hnd_t h) {
  LeaveCriticalSection((CRITICAL_SECTION *)h);
  return 0;
}
