// Threads, mutexes and condition variables on Win32.
//
// The condition uses the system's condition-variable functions when kernel32
// exports them (native mode, looked up at run time so the program still starts
// on systems without them); otherwise it is emulated with a counting
// semaphore, a manual-reset event and two critical sections.
#include <windows.h>

#include "ff_thread.h"
#include "ff_thread_internal.h"
#include "ff_thread_sys.h"

namespace {

const char kTag[] = "ff_thread_win32";

typedef VOID(WINAPI *cond_init_fn)(PCONDITION_VARIABLE);
typedef VOID(WINAPI *cond_wake_fn)(PCONDITION_VARIABLE);
typedef BOOL(WINAPI *cond_sleep_fn)(PCONDITION_VARIABLE, PCRITICAL_SECTION, DWORD);

// Written only by the lookup in ff_cond_open; every writer stores the same
// values, so no lock is needed.
cond_init_fn cond_init;
cond_wake_fn cond_signal;
cond_sleep_fn cond_wait;
cond_wake_fn cond_broadcast;
bool force_emulation;

struct ff_cond {
  CONDITION_VARIABLE cond;  // first, so the record's address is the native condition
  CRITICAL_SECTION mtx_broadcast;     // serialises registration, signal and broadcast
  CRITICAL_SECTION mtx_waiter_count;  // guards waiter_count, and is_broadcast for waiters
  volatile LONG waiter_count;
  HANDLE semaphore;     // waiters sleep here
  HANDLE waiters_done;  // manual reset: woken waiters release the signaller
  volatile LONG is_broadcast;
};

void forget_native_cond(void) {
  cond_init = nullptr;
  cond_signal = nullptr;
  cond_wait = nullptr;
  cond_broadcast = nullptr;
}

void lookup_native_cond(void) {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (force_emulation || !kernel32) {
    forget_native_cond();
    return;
  }
  cond_init = (cond_init_fn)(void *)GetProcAddress(kernel32, "InitializeConditionVariable");
  cond_signal = (cond_wake_fn)(void *)GetProcAddress(kernel32, "WakeConditionVariable");
  cond_wait = (cond_sleep_fn)(void *)GetProcAddress(kernel32, "SleepConditionVariableCS");
  cond_broadcast = (cond_wake_fn)(void *)GetProcAddress(kernel32, "WakeAllConditionVariable");
}

// The woken waiters set waiters_done once they have left the semaphore; the
// signaller takes that as the end of its delivery.
void await_waiters_done(ff_cond *c) {
  WaitForSingleObject(c->waiters_done, INFINITE);
  ResetEvent(c->waiters_done);
}

DWORD WINAPI ff_thread_thread(LPVOID record) {
  ff_thread_run(record);
  return 0;
}

}  // namespace

int ff_sys_thread_start(ff_sys_thread *t, void *record) {
  t->handle = CreateThread(nullptr, 0, ff_thread_thread, record, 0, nullptr);
  if (!t->handle) {
    ff_set_msg(kTag, __LINE__, "CreateThread err: %d", (int)GetLastError());
    return -1;
  }
  return 0;
}

void ff_sys_thread_wait(ff_sys_thread *t) { WaitForSingleObject(t->handle, INFINITE); }

void ff_sys_thread_release(ff_sys_thread *t) {
  if (t->handle) CloseHandle(t->handle);
  t->handle = nullptr;
}

int ff_mutex_open(hnd_t *h) {
  CRITICAL_SECTION *cs = (CRITICAL_SECTION *)ff_calloc(sizeof(CRITICAL_SECTION));
  if (!cs) {
    ff_set_msg(kTag, __LINE__, "failed to ff_calloc ff_mutex");
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

int ff_cond_open(hnd_t *h) {
  ff_cond *c = (ff_cond *)ff_calloc(sizeof(ff_cond));
  if (!c) {
    ff_set_msg(kTag, __LINE__, "failed to ff_calloc ff_cond");
    return -1;
  }
  // Native mode, once found, holds for the rest of the process.
  if (!cond_init) lookup_native_cond();
  if (cond_init) {
    cond_init(&c->cond);
    *h = c;
    return 0;
  }
  c->semaphore = CreateSemaphoreA(nullptr, 0, 2147483647, nullptr);
  if (!c->semaphore) {
    ff_set_msg(kTag, __LINE__, "failed to CreateSemaphore");
    ff_free(c);
    return -1;
  }
  c->waiters_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!c->waiters_done) {
    ff_set_msg(kTag, __LINE__, "failed to CreateEvent");
    CloseHandle(c->semaphore);
    ff_free(c);
    return -1;
  }
  InitializeCriticalSection(&c->mtx_waiter_count);
  InitializeCriticalSection(&c->mtx_broadcast);
  *h = c;
  return 0;
}

int ff_cond_close(hnd_t h) {
  if (!h) return -1;
  ff_cond *c = (ff_cond *)h;
  if (!cond_init) {
    CloseHandle(c->semaphore);
    CloseHandle(c->waiters_done);
    DeleteCriticalSection(&c->mtx_waiter_count);
    DeleteCriticalSection(&c->mtx_broadcast);
  }
  ff_free(c);
  return 0;
}

int ff_cond_wait(hnd_t h, hnd_t mutex) {
  ff_cond *c = (ff_cond *)h;
  if (cond_wait) {
    cond_wait(&c->cond, (CRITICAL_SECTION *)mutex, INFINITE);
    return 0;
  }
  // Register while holding the caller's mutex, so a signaller that takes the
  // mutex afterwards sees this waiter.
  EnterCriticalSection(&c->mtx_broadcast);
  EnterCriticalSection(&c->mtx_waiter_count);
  c->waiter_count++;
  LeaveCriticalSection(&c->mtx_waiter_count);
  LeaveCriticalSection(&c->mtx_broadcast);
  ff_mutex_unlock(mutex);

  WaitForSingleObject(c->semaphore, INFINITE);

  EnterCriticalSection(&c->mtx_waiter_count);
  c->waiter_count--;
  bool last_waiter = c->waiter_count == 0 || !c->is_broadcast;
  LeaveCriticalSection(&c->mtx_waiter_count);
  if (last_waiter) SetEvent(c->waiters_done);
  ff_mutex_lock(mutex);
  return 0;
}

int ff_cond_timedwait(hnd_t h, hnd_t mutex, int timeout) {
  if (!cond_init) {
    ff_set_msg(kTag, __LINE__, "no support ff_cond_timedwait currently ");
    return 0;
  }
  cond_wait(&((ff_cond *)h)->cond, (CRITICAL_SECTION *)mutex, (DWORD)timeout);
  return 0;
}

int ff_cond_signal(hnd_t h) {
  ff_cond *c = (ff_cond *)h;
  if (cond_signal) {
    cond_signal(&c->cond);
    return 0;
  }
  // mtx_broadcast stays held until the woken waiter has left the semaphore:
  // no late waiter can take the count meant for an earlier one.
  EnterCriticalSection(&c->mtx_broadcast);
  EnterCriticalSection(&c->mtx_waiter_count);
  LONG have_waiter = c->waiter_count;
  LeaveCriticalSection(&c->mtx_waiter_count);
  if (have_waiter) {
    ReleaseSemaphore(c->semaphore, 1, nullptr);
    await_waiters_done(c);
  }
  LeaveCriticalSection(&c->mtx_broadcast);
  return 0;
}

int ff_cond_broadcast(hnd_t h) {
  ff_cond *c = (ff_cond *)h;
  if (cond_broadcast) {
    cond_broadcast(&c->cond);
    return 0;
  }
  EnterCriticalSection(&c->mtx_broadcast);
  EnterCriticalSection(&c->mtx_waiter_count);
  if (c->waiter_count == 0) {
    LeaveCriticalSection(&c->mtx_waiter_count);
    LeaveCriticalSection(&c->mtx_broadcast);
    return 0;
  }
  // Only the waiter that brings the count to 0 sets waiters_done.
  c->is_broadcast = 1;
  ReleaseSemaphore(c->semaphore, c->waiter_count, nullptr);
  LeaveCriticalSection(&c->mtx_waiter_count);
  await_waiters_done(c);
  c->is_broadcast = 0;
  LeaveCriticalSection(&c->mtx_broadcast);
  return 0;
}

int ff_cond_force_emulation(int on) {
  force_emulation = on != 0;
  forget_native_cond();  // the next open decides the mode again
  return 0;
}

int ff_cond_is_native(void) { return cond_init ? 1 : 0; }

int ff_cond_waiter_count(hnd_t h) { return cond_init ? -1 : (int)((ff_cond *)h)->waiter_count; }

int ff_cond_is_broadcast(hnd_t h) { return cond_init ? -1 : (int)((ff_cond *)h)->is_broadcast; }
