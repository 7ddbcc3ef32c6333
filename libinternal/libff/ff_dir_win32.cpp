// Directories and files on Win32: every path goes to the wide-character calls,
// converted from UTF-8, and comes back converted to UTF-8, so that names
// outside the system's narrow code page work too.
#include <windows.h>

#include <direct.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "ff.h"
#include "ff_dir_sys.h"
#include "ff_text.h"

static_assert(sizeof(wchar_t) == sizeof(uint16_t), "UTF-16 wide characters");

namespace {

const char kTag[] = "ff_dir_win32";

// A new UTF-16 copy of a UTF-8 string (release with ff_free); NULL with the
// converter's message in the slot.
wchar_t *to_wide(const char *utf8) { return (wchar_t *)ff_utf8_to_utf16_2(utf8, (int)strlen(utf8), nullptr); }

// 100-nanosecond ticks since 1601-01-01 to seconds since 1970-01-01.
int64_t filetime_to_unix_time(FILETIME ft) {
  int64_t ticks = (int64_t)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime);
  return ticks / 10000000 - 11644473600LL;
}

}  // namespace

int ff_sys_find_open(ff_dir *p, const char *pattern) {
  wchar_t *wide = to_wide(pattern);
  if (!wide) {
    ff_chain_msg(kTag, __LINE__);
    return -1;
  }
  HANDLE h = FindFirstFileW(wide, &p->find_data);
  ff_free(wide);
  if (h == INVALID_HANDLE_VALUE) {
    ff_set_msg(kTag, __LINE__, "can't open file or dir of '%s'", pattern);
    p->hfind = nullptr;
    return -1;
  }
  p->hfind = h;
  return 0;
}

int ff_sys_find_next(ff_dir *p) { return FindNextFileW(p->hfind, &p->find_data) ? 0 : -1; }

void ff_sys_find_close(ff_dir *p) {
  FindClose(p->hfind);
  p->hfind = nullptr;
}

int ff_sys_find_is_dot(const ff_dir *p) {
  const wchar_t *name = p->find_data.cFileName;
  return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

int ff_sys_find_fill(ff_dir *p) {
  const WIN32_FIND_DATAW &fd = p->find_data;
  p->is_dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  p->file_size = ((uint64_t)fd.nFileSizeHigh << 32) | fd.nFileSizeLow;
  int len = 0;
  char *name = ff_utf16_to_utf8_2((const uint16_t *)fd.cFileName, (int)wcslen(fd.cFileName), &len);
  if (!name) return -1;
  // A name of at most MAX_PATH units gives far fewer bytes than the field.
  if (len >= (int)sizeof p->file_name) len = (int)sizeof p->file_name - 1;
  memcpy(p->file_name, name, (size_t)len);
  p->file_name[len] = '\0';
  ff_free(name);
  p->last_write_time = filetime_to_unix_time(fd.ftLastWriteTime);
  return 0;
}

FILE *ff_sys_file_open(const char *utf8, const char *mode) {
  wchar_t *wide_name = to_wide(utf8);
  if (!wide_name) {
    ff_chain_msg(kTag, __LINE__);
    return nullptr;
  }
  wchar_t *wide_mode = to_wide(mode);
  if (!wide_mode) {
    ff_chain_msg(kTag, __LINE__);
    ff_free(wide_name);
    return nullptr;
  }
  FILE *fp = _wfopen(wide_name, wide_mode);
  if (!fp) ff_set_msg(kTag, __LINE__, "failed to open %s, err:%d", utf8, (int)GetLastError());
  ff_free(wide_name);
  ff_free(wide_mode);
  return fp;
}

int ff_sys_file_seek(FILE *fp, int64_t seek, int origin) { return fseeko64(fp, seek, origin); }

int64_t ff_sys_file_tell(FILE *fp) { return ftello64(fp); }

// Making and removing report nothing: without memory for the copy nothing is
// done.
void ff_sys_mkdir(const char *path) {
  wchar_t *wide = to_wide(path);
  if (wide) _wmkdir(wide);
  ff_free(wide);
}

void ff_sys_rmdir(const char *path) {
  wchar_t *wide = to_wide(path);
  if (wide) _wrmdir(wide);
  ff_free(wide);
}

int ff_sys_module_path(char *path, int size) {
  // No character takes fewer UTF-8 bytes than UTF-16 units: a path that does
  // not fit in size units would not fit in size bytes either.
  wchar_t *wide = (wchar_t *)ff_calloc((size_t)size * sizeof(wchar_t));
  if (!wide) {
    ff_set_msg(kTag, __LINE__, "failed to calloc %d", size * (int)sizeof(wchar_t));
    return -1;
  }
  DWORD len = GetModuleFileNameW(nullptr, wide, (DWORD)size);
  // A full buffer means a cut path, which would name the wrong directory.
  if (len == 0 || len >= (DWORD)size) {
    DWORD err = len == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    ff_set_msg(kTag, __LINE__, "failed to GetModuleFileName %d", (int)err);
    ff_free(wide);
    return -1;
  }
  int utf8_len = 0;
  char *utf8 = ff_utf16_to_utf8_2((const uint16_t *)wide, (int)len, &utf8_len);
  ff_free(wide);
  if (!utf8) {
    ff_chain_msg(kTag, __LINE__);
    return -1;
  }
  int rc = 0;
  if (utf8_len < size) {
    memcpy(path, utf8, (size_t)utf8_len + 1);
  } else {
    ff_set_msg(kTag, __LINE__, "failed to GetModuleFileName %d", (int)ERROR_INSUFFICIENT_BUFFER);
    rc = -1;
  }
  ff_free(utf8);
  return rc;
}

int ff_sys_set_current_dir(const char *path) {
  wchar_t *wide = to_wide(path);
  if (!wide) {
    ff_chain_msg(kTag, __LINE__);
    return -1;
  }
  BOOL done = SetCurrentDirectoryW(wide);
  DWORD err = GetLastError();
  ff_free(wide);
  // The message keeps the wording it has always had.
  if (!done) {
    ff_set_msg(kTag, __LINE__, "failed to SetCurrentDirectoryA: %d", (int)err);
    return -1;
  }
  return 0;
}
