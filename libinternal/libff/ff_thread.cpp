// Threads: the record, the body every thread runs and the join protocol,
// written once over the platform's thread start, wait and release
// (ff_thread_sys.h).
#include <errno.h>
#include <string.h>

#include "ff_thread.h"
#include "ff_thread_sys.h"

namespace {

// Not the platform unit's tag: a tag and a line name one place in one unit.
const char kTag[] = "ff_thread";

struct ff_thread {
  ff_sys_thread thd;
  hnd_t cond;   // signalled by the join; nothing here waits on it
  hnd_t mutex;  // held by the thread while its function runs
  ff_thread_func func;
  void *arg;
};

}  // namespace

void ff_thread_run(void *record) {
  ff_thread *p = (ff_thread *)record;
  ff_mutex_lock(p->mutex);
  p->func(p->arg);  // the function's result is not kept
  ff_mutex_unlock(p->mutex);
}

int ff_thread_open(hnd_t *h, ff_thread_func func, void *arg) {
  ff_thread *p = (ff_thread *)ff_calloc(sizeof(ff_thread));
  if (!p) {
    ff_set_msg(kTag, __LINE__, "failed to ff_calloc ff_thread");
    return -1;
  }
  p->func = func;
  p->arg = arg;
  if (ff_cond_open(&p->cond) != 0) {
    ff_set_msg(kTag, __LINE__, "failed to init 'p->thd_cond' %s", strerror(errno));
  } else if (ff_mutex_open(&p->mutex) != 0) {
    ff_set_msg(kTag, __LINE__, "failed to init 'p->thd_mutex' %s", strerror(errno));
  } else if (ff_sys_thread_start(&p->thd, p) == 0) {
    *h = p;
    return 0;
  }
  ff_thread_close(p);
  return -1;
}

int ff_thread_join(hnd_t h) {
  ff_thread *p = (ff_thread *)h;
  // Blocks while the function runs; a join that gets here before the new
  // thread has taken the lock is still held back by the wait below.
  ff_mutex_lock(p->mutex);
  ff_cond_signal(p->cond);
  ff_mutex_unlock(p->mutex);
  ff_sys_thread_wait(&p->thd);
  return 0;
}

int ff_thread_close(hnd_t h) {
  if (!h) return -1;
  ff_thread *p = (ff_thread *)h;
  if (p->mutex) ff_mutex_close(p->mutex);
  if (p->cond) ff_cond_close(p->cond);
  ff_sys_thread_release(&p->thd);
  ff_free(p);
  return 0;
}
