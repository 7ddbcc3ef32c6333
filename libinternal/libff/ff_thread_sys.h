// What the portable thread logic (ff_thread.cpp) needs of the platform;
// ff_thread_win32.cpp and ff_thread_posix.cpp say how. Private to the library.
#ifndef FF_THREAD_SYS_H
#define FF_THREAD_SYS_H

#ifdef _WIN32
// The thread's HANDLE; null until the thread has been created.
struct ff_sys_thread {
  void *handle;
};
#else
#include <pthread.h>
// A pthread may be joined or detached only once, so the unit remembers which
// of those it did; concurrent joins take turns on join_lock.
struct ff_sys_thread {
  pthread_t id;
  int started;
  int joined;
  pthread_mutex_t join_lock;
};
#endif

// Starts a thread that runs ff_thread_run(record) at once. On failure sets
// the message slot and returns -1 with t left as "not started".
int ff_sys_thread_start(struct ff_sys_thread *t, void *record);
// Blocks until the thread has ended; returns at once when it already has.
void ff_sys_thread_wait(struct ff_sys_thread *t);
// Releases what the platform keeps for the thread; a thread never started
// is tolerated.
void ff_sys_thread_release(struct ff_sys_thread *t);

// The body of every thread, called by the platform's start routine.
void ff_thread_run(void *record);

#endif
