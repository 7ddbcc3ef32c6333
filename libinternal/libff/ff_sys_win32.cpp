// The core runtime's platform calls on Win32.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "ff_sys.h"

namespace {

INIT_ONCE msg_lock_once = INIT_ONCE_STATIC_INIT;
CRITICAL_SECTION msg_lock;

BOOL CALLBACK init_msg_lock(PINIT_ONCE, PVOID, PVOID *) {
  InitializeCriticalSection(&msg_lock);
  return TRUE;
}

// Counts set bits from the top bit down, one at a time.
int CountSetBits(ULONG_PTR mask) {
  int count = 0;
  for (int bit = 63; bit >= 0; bit--) count += (int)((mask >> bit) & 1);
  return count;
}

}  // namespace

void ff_sys_msg_lock(void) {
  InitOnceExecuteOnce(&msg_lock_once, init_msg_lock, nullptr, nullptr);
  EnterCriticalSection(&msg_lock);
}

void ff_sys_msg_unlock(void) { LeaveCriticalSection(&msg_lock); }

int ff_sys_counter(int64_t *value) {
  LARGE_INTEGER v;
  if (!QueryPerformanceCounter(&v)) return -1;
  *value = v.QuadPart;
  return 0;
}

int ff_sys_counter_frequency(int64_t *value) {
  LARGE_INTEGER v;
  if (!QueryPerformanceFrequency(&v)) return -1;
  *value = v.QuadPart;
  return 0;
}

uint32_t ff_sys_tick_ms(void) { return GetTickCount(); }

void ff_sys_local_time(struct ff_local_time *t) {
  SYSTEMTIME st;
  GetLocalTime(&st);
  t->day = st.wDay;
  t->hour = st.wHour;
  t->minute = st.wMinute;
  t->second = st.wSecond;
  t->millisecond = st.wMilliseconds;
}

int ff_sys_cpu_info(char *name, size_t name_size, int *mhz) {
  HKEY key;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", &key) != ERROR_SUCCESS)
    return -1;
  DWORD size = (DWORD)(name_size - 1);  // keep the terminator
  RegQueryValueExA(key, "ProcessorNameString", nullptr, nullptr, (LPBYTE)name, &size);
  DWORD speed = 0;
  size = sizeof speed;
  RegQueryValueExA(key, "~MHz", nullptr, nullptr, (LPBYTE)&speed, &size);
  *mhz = (int)speed;
  RegCloseKey(key);
  return 0;
}

int ff_sys_cpu_count(int *cores, int *logical) {
  DWORD length = 0;
  if (GetLogicalProcessorInformation(nullptr, &length) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) return -1;
  SYSTEM_LOGICAL_PROCESSOR_INFORMATION *records = (SYSTEM_LOGICAL_PROCESSOR_INFORMATION *)malloc(length);
  if (!records) return -1;
  if (!GetLogicalProcessorInformation(records, &length)) {
    free(records);
    return -1;
  }
  int core_records = 0, logical_count = 0;
  for (DWORD i = 0; i < length / sizeof *records; i++) {
    if (records[i].Relationship != RelationProcessorCore) continue;
    core_records++;
    logical_count += CountSetBits(records[i].ProcessorMask);
  }
  free(records);
  if (core_records == 0) return -1;
  *cores = core_records;
  *logical = logical_count;
  return 0;
}

void ff_sys_memory(uint64_t *total, uint64_t *available) {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return;
  *total = status.ullTotalPhys;
  *available = status.ullAvailPhys;
}

void ff_sys_version_line(char *line, size_t line_size) {
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  GetVersionExA(&info);
#pragma GCC diagnostic pop
  snprintf(line, line_size, "Windows Version: %lu.%lu Build %lu %s", info.dwMajorVersion, info.dwMinorVersion,
           info.dwBuildNumber, info.szCSDVersion);
}

int ff_sys_module_version(void *module, char *version, size_t version_size) {
  char path[MAX_PATH + 1] = {0};
  if (!GetModuleFileNameA((HMODULE)module, path, MAX_PATH)) return -1;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &handle);
  if (size == 0) return -1;
  void *data = calloc(1, size);
  if (!data) return -1;
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT fixed_size = 0;
  int rc = -1;
  if (GetFileVersionInfoA(path, 0, size, data) && VerQueryValueA(data, "\\", (void **)&fixed, &fixed_size) &&
      fixed && fixed_size >= sizeof *fixed) {
    snprintf(version, version_size, "%d.%d.%d.%d", (int)HIWORD(fixed->dwFileVersionMS),
             (int)LOWORD(fixed->dwFileVersionMS), (int)HIWORD(fixed->dwFileVersionLS),
             (int)LOWORD(fixed->dwFileVersionLS));
    rc = 0;
  }
  free(data);
  return rc;
}

void ff_sys_sleep_us(int usec) {
  HANDLE timer = CreateWaitableTimerA(nullptr, TRUE, nullptr);
  if (!timer) return;
  LARGE_INTEGER due;
  due.QuadPart = -10LL * usec;  // negative: relative, in 100 ns units
  if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) WaitForSingleObject(timer, INFINITE);
  CloseHandle(timer);
}

void ff_sys_localtime(int64_t t, struct tm *out) {
  __time32_t t32 = (__time32_t)t;
  _localtime32_s(out, &t32);
}

int64_t ff_sys_mktime(struct tm *tm) { return (int64_t)_mktime64(tm); }
