// Directories and files: listing the entries that match a pattern, testing a
// path, making and removing a directory, opening a file by a UTF-8 name, its
// size and position, the program's own directory and the current directory.
//
// Every path, given or returned, is UTF-8, whatever the system's narrow code
// page: a program folder named in another script works too. A path that is
// not well-formed UTF-8 (see ff_utf8_valid) is refused before the system sees
// it: -1 or NULL with "path '...' is not UTF-8" in the slot. A pattern is a
// path whose last component may hold the wildcards '*' and '?'; a plain path
// matches that entry itself.
#ifndef FF_DIR_H
#define FF_DIR_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
typedef WIN32_FIND_DATAW ff_find_data;
typedef HANDLE ff_find_handle;
#else
// What the POSIX search writes for the current entry, like WIN32_FIND_DATAW.
typedef struct ff_find_data {
  int64_t last_write_time;  // seconds since 1970-01-01 00:00 UTC
  uint64_t file_size;
  uint32_t attributes;  // FF_FIND_DIRECTORY for a directory
  char name[260];
} ff_find_data;
#define FF_FIND_DIRECTORY 0x10
typedef void *ff_find_handle;
#endif

// The listing record: the caller owns it, zero-fills it before the first
// search and passes its address. The last four fields describe the entry last
// returned and are valid only after a call that returned 0.
typedef struct ff_dir {
  ff_find_data find_data;  // the platform's record of the current entry
  ff_find_handle hfind;    // the open search; NULL when none is open
  char file_name[2048];    // UTF-8, no directory part, NUL-terminated
  int is_dir;
  int64_t last_write_time;  // seconds since 1970-01-01 00:00 UTC
  uint64_t file_size;
} ff_dir;

#ifdef _WIN32
static_assert(sizeof(ff_find_data) == 592, "WIN32_FIND_DATAW layout");
static_assert(offsetof(ff_dir, hfind) == 592, "ff_dir layout");
static_assert(offsetof(ff_dir, file_name) == 600, "ff_dir layout");
static_assert(offsetof(ff_dir, is_dir) == 2648, "ff_dir layout");
static_assert(offsetof(ff_dir, last_write_time) == 2656, "ff_dir layout");
static_assert(offsetof(ff_dir, file_size) == 2664, "ff_dir layout");
static_assert(sizeof(ff_dir) == 2672, "ff_dir layout");
#else
static_assert(offsetof(ff_find_data, file_size) == 8, "ff_find_data layout");
static_assert(offsetof(ff_find_data, attributes) == 16, "ff_find_data layout");
static_assert(offsetof(ff_find_data, name) == 20, "ff_find_data layout");
static_assert(sizeof(ff_find_data) == 280, "ff_find_data layout");
static_assert(offsetof(ff_dir, hfind) == 280, "ff_dir layout");
static_assert(offsetof(ff_dir, file_name) == 288, "ff_dir layout");
static_assert(offsetof(ff_dir, is_dir) == 2336, "ff_dir layout");
static_assert(offsetof(ff_dir, last_write_time) == 2344, "ff_dir layout");
static_assert(offsetof(ff_dir, file_size) == 2352, "ff_dir layout");
static_assert(sizeof(ff_dir) == 2360, "ff_dir layout");
#endif

// Reads one entry. Without an open search, opens one for path and gives its
// first entry, skipping a leading "." and ".."; with one, gives the next entry
// and ignores path. 0 with the search open, or -1 at the end or on failure
// with the search closed.
int ff_dir_get_file(ff_dir *p, const char *path);
// Searches path followed directly by filter (NULL: path alone), so
// ff_dir_find_first(p, "C:\\data\\", "*.txt") searches C:\data\*.txt.
int ff_dir_find_first(ff_dir *p, const char *path, const char *filter);
int ff_dir_next_file(ff_dir *p, const char *path);  // path is not used
// 0 when an open search was closed; -1 for NULL or no open search.
int ff_dir_close(ff_dir *p);

// 0 when the first entry matching path is a directory (ff_check_dir) or is
// not one (ff_check_file); else -1.
int ff_check_dir(const char *path);
int ff_check_file(const char *path);

// Makes or removes one directory; the outcome is not examined: 0 unless the
// path is refused.
int ff_dir_mkdir(const char *path);
int ff_dir_rmdir(const char *path);

// Opens a stream under the library's global lock (ff_init first); the caller
// closes it with fclose. NULL with the reason in the slot.
FILE *ff_file_open(const char *utf8, const char *mode);
int ff_file_seek(FILE *fp, int64_t seek, int origin);  // 0, or -1
int64_t ff_file_tell(FILE *fp);                          // -1 on failure
// The size; the stream is left at its start.
int64_t ff_file_size(FILE *fp);

// The program's own directory with its trailing separator, as a new string
// from calloc (release with free); NULL with the reason in the slot.
char *ff_get_current_path(void);
// Makes path, or with NULL the program's own directory, the current one.
int ff_set_current_dir(const char *path);

#endif
