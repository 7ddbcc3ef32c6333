// What the portable directory and file logic (ff_dir.cpp) needs of the
// platform; ff_dir_win32.cpp and ff_dir_posix.cpp say how. Private to the
// library.
#ifndef FF_DIR_SYS_H
#define FF_DIR_SYS_H

#include "ff_dir.h"

#ifdef _WIN32
#define FF_DIR_SEPARATOR '\\'
#else
#define FF_DIR_SEPARATOR '/'
#endif

// Opens a search for the UTF-8 pattern and reads its first entry into
// p->find_data, setting p->hfind. -1 with the slot set and p->hfind NULL.
int ff_sys_find_open(ff_dir *p, const char *pattern);
// Reads the next entry of the open search; -1 when there is none (no message).
int ff_sys_find_next(ff_dir *p);
// Ends the open search and clears p->hfind.
void ff_sys_find_close(ff_dir *p);
// 1 when the current entry is "." or "..".
int ff_sys_find_is_dot(const ff_dir *p);
// Fills file_name, is_dir, last_write_time and file_size from the current
// entry; -1 with the converter's message in the slot.
int ff_sys_find_fill(ff_dir *p);

// Opens a stream by a UTF-8 name; NULL with the slot set.
FILE *ff_sys_file_open(const char *utf8, const char *mode);
int ff_sys_file_seek(FILE *fp, int64_t seek, int origin);
int64_t ff_sys_file_tell(FILE *fp);

void ff_sys_mkdir(const char *path);
void ff_sys_rmdir(const char *path);

// Writes the full path of the program's own file into path, at most size - 1
// bytes; -1 with the slot set when it is unknown or does not fit.
int ff_sys_module_path(char *path, int size);
// -1 with the slot set when the platform refuses the directory.
int ff_sys_set_current_dir(const char *path);

#endif
