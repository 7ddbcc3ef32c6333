// Threads, mutexes and condition variables on POSIX threads. Conditions are
// always native here: pthread condition variables, timed on the monotonic
// clock so a change of the wall clock does not stretch or cut a wait.
#include <pthread.h>
#include <time.h>

#include "ff_thread.h"
#include "ff_thread_internal.h"
#include "ff_thread_sys.h"

namespace {

const char kTag[] = "ff_thread_posix";

struct ff_cond {
  pthread_cond_t cond;
};

void *ff_thread_thread(void *record) {
  ff_thread_run(record);
  return nullptr;
}

}  // namespace

int ff_sys_thread_start(ff_sys_thread *t, void *record) {
  pthread_mutex_init(&t->join_lock, nullptr);
  int err = pthread_create(&t->id, nullptr, ff_thread_thread, record);
  if (err != 0) {
    pthread_mutex_destroy(&t->join_lock);
    ff_set_msg(kTag, __LINE__, "pthread_create err: %d", err);
    return -1;
  }
  t->started = 1;
  return 0;
}

void ff_sys_thread_wait(ff_sys_thread *t) {
  // A second pthread_join of one thread is undefined (glibc waits forever):
  // a join that comes while another one runs waits for it instead.
  pthread_mutex_lock(&t->join_lock);
  if (!t->joined) {
    pthread_join(t->id, nullptr);
    t->joined = 1;
  }
  pthread_mutex_unlock(&t->join_lock);
}

void ff_sys_thread_release(ff_sys_thread *t) {
  if (!t->started) return;
  // A thread that was never joined is detached, so its resources go when it
  // ends.
  if (!t->joined) pthread_detach(t->id);
  pthread_mutex_destroy(&t->join_lock);
  t->started = 0;
}

int ff_mutex_open(hnd_t *h) {
  pthread_mutex_t *m = (pthread_mutex_t *)ff_calloc(sizeof(pthread_mutex_t));
  if (!m) {
    ff_set_msg(kTag, __LINE__, "failed to ff_calloc ff_mutex");
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

int ff_cond_open(hnd_t *h) {
  ff_cond *c = (ff_cond *)ff_calloc(sizeof(ff_cond));
  if (!c) {
    ff_set_msg(kTag, __LINE__, "failed to ff_calloc ff_cond");
    return -1;
  }
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&c->cond, &attr);
  pthread_condattr_destroy(&attr);
  *h = c;
  return 0;
}

int ff_cond_close(hnd_t h) {
  if (!h) return -1;
  pthread_cond_destroy(&((ff_cond *)h)->cond);
  ff_free(h);
  return 0;
}

int ff_cond_wait(hnd_t h, hnd_t mutex) {
  pthread_cond_wait(&((ff_cond *)h)->cond, (pthread_mutex_t *)mutex);
  return 0;
}

// A negative time-out waits without limit, as INFINITE (-1) does on Win32.
int ff_cond_timedwait(hnd_t h, hnd_t mutex, int timeout) {
  if (timeout < 0) return ff_cond_wait(h, mutex);
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += timeout / 1000;
  until.tv_nsec += (long)(timeout % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec++;
    until.tv_nsec -= 1000000000L;
  }
  pthread_cond_timedwait(&((ff_cond *)h)->cond, (pthread_mutex_t *)mutex, &until);
  return 0;
}

int ff_cond_signal(hnd_t h) {
  pthread_cond_signal(&((ff_cond *)h)->cond);
  return 0;
}

int ff_cond_broadcast(hnd_t h) {
  pthread_cond_broadcast(&((ff_cond *)h)->cond);
  return 0;
}

int ff_cond_force_emulation(int on) { return on ? -1 : 0; }

int ff_cond_is_native(void) { return 1; }

int ff_cond_waiter_count(hnd_t) { return -1; }

int ff_cond_is_broadcast(hnd_t) { return -1; }
