// Directories and files on POSIX. Names are UTF-8 bytes already. A search
// reads the pattern's directory and matches the last component's '*' and '?'
// itself; a last component without wildcards is looked up directly.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ff.h"
#include "ff_dir_sys.h"

namespace {

const char kTag[] = "ff_dir_posix";

// The open search behind hfind. dir is NULL for a plain path: its one entry
// is read at open, and there is no next one.
struct Search {
  DIR *dir;
  int dots_given;  // of "." and "..", which come first as on Windows
  char pattern[NAME_MAX + 1];  // the last component
};

// The byte after the UTF-8 character at s.
const char *next_char(const char *s) {
  s++;
  while ((*s & 0xC0) == 0x80) s++;
  return s;
}

// '*' matches any run of characters, '?' exactly one character (not byte).
bool wildcard_match(const char *pattern, const char *name) {
  const char *star = nullptr, *star_name = nullptr;
  while (*name) {
    if (*pattern == '*') {
      star = pattern++;
      star_name = name;
    } else if (*pattern == '?') {
      pattern++;
      name = next_char(name);
    } else if (*pattern == *name) {
      pattern++;
      name++;
    } else if (star) {
      // Let the last '*' take one more character and try again.
      pattern = star + 1;
      star_name = next_char(star_name);
      name = star_name;
    } else {
      return false;
    }
  }
  while (*pattern == '*') pattern++;
  return *pattern == '\0';
}

bool has_wildcard(const char *s) { return strpbrk(s, "*?") != nullptr; }

void fill_find_data(ff_find_data *fd, const char *name, const struct stat &st) {
  fd->last_write_time = (int64_t)st.st_mtime;
  fd->file_size = S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
  fd->attributes = S_ISDIR(st.st_mode) ? FF_FIND_DIRECTORY : 0;
  snprintf(fd->name, sizeof fd->name, "%s", name);
}

// Follows a symbolic link to what it names; a dangling one is described itself.
int stat_entry(int dir_fd, const char *name, struct stat *st) {
  if (fstatat(dir_fd, name, st, 0) == 0) return 0;
  return fstatat(dir_fd, name, st, AT_SYMLINK_NOFOLLOW);
}

bool is_dot(const char *name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// Reads entries until one matches; -1 at the end. A directory stream gives
// "." and ".." anywhere; they are given first here, so that a listing skips
// them as it does on Windows.
int read_matching(Search *s, ff_find_data *fd) {
  struct stat st;
  while (s->dots_given < 2) {
    const char *dot = s->dots_given++ == 0 ? "." : "..";
    if (wildcard_match(s->pattern, dot) && stat_entry(dirfd(s->dir), dot, &st) == 0) {
      fill_find_data(fd, dot, st);
      return 0;
    }
  }
  while (struct dirent *e = readdir(s->dir)) {
    if (is_dot(e->d_name) || !wildcard_match(s->pattern, e->d_name)) continue;
    if (stat_entry(dirfd(s->dir), e->d_name, &st) != 0) continue;  // gone meanwhile
    fill_find_data(fd, e->d_name, st);
    return 0;
  }
  return -1;
}

// Opens the search; false when nothing matches or the directory cannot be read.
bool open_search(ff_dir *p, const char *path) {
  const char *slash = strrchr(path, '/');
  const char *last = slash ? slash + 1 : path;
  // No entry has an empty name or one longer than NAME_MAX.
  size_t last_len = strlen(last);
  if (last_len == 0 || last_len > NAME_MAX) return false;
  Search *s = (Search *)ff_calloc(sizeof(Search));
  if (!s) return false;
  memcpy(s->pattern, last, last_len);
  struct stat st;
  if (!has_wildcard(last)) {
    if (stat_entry(AT_FDCWD, path, &st) == 0) {
      fill_find_data(&p->find_data, last, st);
      p->hfind = s;
      return true;
    }
  } else {
    // "x" searches ".", "/x" the root, "a/b/x" "a/b". A directory part that
    // does not fit is no path: cut, it would name another directory.
    char dir[PATH_MAX];
    const char *dir_start = slash ? path : ".";
    size_t dir_len = !slash || slash == path ? 1 : (size_t)(slash - path);
    if (dir_len < sizeof dir) {
      memcpy(dir, dir_start, dir_len);
      dir[dir_len] = '\0';
      s->dir = opendir(dir);
    }
    if (s->dir && read_matching(s, &p->find_data) == 0) {
      p->hfind = s;
      return true;
    }
    if (s->dir) closedir(s->dir);
  }
  ff_free(s);
  return false;
}

}  // namespace

int ff_sys_find_open(ff_dir *p, const char *pattern) {
  if (!open_search(p, pattern)) {
    ff_set_msg(kTag, __LINE__, "can't open file or dir of '%s'", pattern);
    p->hfind = nullptr;
    return -1;
  }
  return 0;
}

int ff_sys_find_next(ff_dir *p) {
  Search *s = (Search *)p->hfind;
  return s->dir ? read_matching(s, &p->find_data) : -1;
}

void ff_sys_find_close(ff_dir *p) {
  Search *s = (Search *)p->hfind;
  if (s->dir) closedir(s->dir);
  ff_free(s);
  p->hfind = nullptr;
}

int ff_sys_find_is_dot(const ff_dir *p) { return is_dot(p->find_data.name); }

int ff_sys_find_fill(ff_dir *p) {
  const ff_find_data &fd = p->find_data;
  p->is_dir = (fd.attributes & FF_FIND_DIRECTORY) ? 1 : 0;
  p->file_size = fd.file_size;
  snprintf(p->file_name, sizeof p->file_name, "%s", fd.name);
  p->last_write_time = fd.last_write_time;
  return 0;
}

FILE *ff_sys_file_open(const char *utf8, const char *mode) {
  FILE *fp = fopen(utf8, mode);
  // A directory opens for reading here, not on Windows, and then reads as an
  // empty or an endless file: refuse it as Windows does.
  struct stat st;
  if (fp && fstat(fileno(fp), &st) == 0 && S_ISDIR(st.st_mode)) {
    fclose(fp);
    fp = nullptr;
    errno = EISDIR;
  }
  if (!fp) ff_set_msg(kTag, __LINE__, "failed to open %s, err:%d", utf8, errno);
  return fp;
}

int ff_sys_file_seek(FILE *fp, int64_t seek, int origin) { return fseeko(fp, (off_t)seek, origin); }

int64_t ff_sys_file_tell(FILE *fp) { return (int64_t)ftello(fp); }

void ff_sys_mkdir(const char *path) { mkdir(path, 0777); }

void ff_sys_rmdir(const char *path) { rmdir(path); }

int ff_sys_module_path(char *path, int size) {
  ssize_t len = readlink("/proc/self/exe", path, (size_t)size);
  // A full buffer means a cut path, which would name the wrong directory.
  if (len <= 0 || len >= size) {
    ff_set_msg(kTag, __LINE__, "failed to GetModuleFileName %d", len < 0 ? errno : ENAMETOOLONG);
    return -1;
  }
  path[len] = '\0';
  return 0;
}

int ff_sys_set_current_dir(const char *path) {
  if (chdir(path) != 0) {
    ff_set_msg(kTag, __LINE__, "failed to SetCurrentDirectoryA: %d", errno);
    return -1;
  }
  return 0;
}
