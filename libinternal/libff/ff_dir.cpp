// Directories and files: the listing protocol, path tests, file opening under
// the global lock, file size and the program's own directory, written once
// over the platform's search and file calls (ff_dir_sys.h).
#include <stdlib.h>
#include <string.h>

#include "ff.h"
#include "ff_dir.h"
#include "ff_dir_sys.h"
#include "ff_text.h"

namespace {

// Not the platform unit's tag: a tag and a line name one place in one unit.
const char kTag[] = "ff_dir";

// Holds the library's global lock for a scope. Without ff_init there is no
// lock to take and the guarded work runs unguarded.
class GlobalLockGuard {
 public:
  GlobalLockGuard() : held_(ff_global_lock() == 0) {}
  ~GlobalLockGuard() {
    if (held_) ff_global_unlock();
  }
  GlobalLockGuard(const GlobalLockGuard &) = delete;
  GlobalLockGuard &operator=(const GlobalLockGuard &) = delete;

 private:
  bool held_;
};

// Ends the search on a failed read so that no search stays open after -1.
int fail_closed(ff_dir *p) {
  ff_sys_find_close(p);
  return -1;
}

// On Windows a lenient conversion would make a byte that is not UTF-8 a '?',
// a wildcard, and an overlong form another character: an overlong NUL ends
// the path early, an overlong separator adds a directory. Such a path names
// an entry the caller never wrote, so no call hands it to the system.
int refuse_unless_utf8(const char *path, int line) {
  if (ff_utf8_valid(path, (int)strlen(path))) return 0;
  ff_set_msg(kTag, line, "path '%s' is not UTF-8", path);
  return -1;
}

// 0 when the first entry matching path exists; *is_dir tells its kind.
int first_entry_kind(const char *path, int *is_dir) {
  ff_dir dir;
  memset(&dir, 0, sizeof dir);
  if (ff_dir_get_file(&dir, path) != 0) return -1;
  ff_dir_close(&dir);
  *is_dir = dir.is_dir;
  return 0;
}

}  // namespace

int ff_dir_get_file(ff_dir *p, const char *path) {
  if (p->hfind) {
    if (ff_sys_find_next(p) != 0) {
      ff_set_msg(kTag, __LINE__, "not found");
      return fail_closed(p);
    }
  } else {
    if (refuse_unless_utf8(path, __LINE__) != 0 || ff_sys_find_open(p, path) != 0) return -1;
    // Only the start of a search skips these two; later ones are returned.
    while (ff_sys_find_is_dot(p)) {
      if (ff_sys_find_next(p) != 0) {
        ff_set_msg(kTag, __LINE__, "not found");
        return fail_closed(p);
      }
    }
  }
  if (ff_sys_find_fill(p) != 0) {
    ff_chain_msg(kTag, __LINE__);
    return fail_closed(p);
  }
  return 0;
}

int ff_dir_find_first(ff_dir *p, const char *path, const char *filter) {
  size_t path_len = strlen(path);
  size_t filter_len = filter ? strlen(filter) : 0;
  int size = (int)(path_len + filter_len + 1);
  char *pattern = (char *)ff_calloc((size_t)size);
  if (!pattern) {
    ff_set_msg(kTag, __LINE__, "failed to calloc %d", size);
    return -1;
  }
  memcpy(pattern, path, path_len);
  if (filter) memcpy(pattern + path_len, filter, filter_len);
  int rc = ff_dir_get_file(p, pattern);
  if (rc != 0) ff_chain_msg(kTag, __LINE__);  // the failed read closed the search
  ff_free(pattern);
  return rc;
}

int ff_dir_next_file(ff_dir *p, const char *) {
  if (!p || !p->hfind) {
    ff_set_msg(kTag, __LINE__, "p or hfind eq NULL");
    return -1;
  }
  if (ff_dir_get_file(p, nullptr) != 0) {
    ff_chain_msg(kTag, __LINE__);
    return -1;
  }
  return 0;
}

int ff_dir_close(ff_dir *p) {
  if (!p || !p->hfind) return -1;
  ff_sys_find_close(p);
  return 0;
}

int ff_check_dir(const char *path) {
  int is_dir = 0;
  if (first_entry_kind(path, &is_dir) != 0) return -1;
  return is_dir ? 0 : -1;
}

int ff_check_file(const char *path) {
  int is_dir = 0;
  if (first_entry_kind(path, &is_dir) != 0) return -1;
  return is_dir ? -1 : 0;
}

int ff_dir_mkdir(const char *path) {
  if (refuse_unless_utf8(path, __LINE__) != 0) return -1;
  ff_sys_mkdir(path);
  return 0;
}

int ff_dir_rmdir(const char *path) {
  if (refuse_unless_utf8(path, __LINE__) != 0) return -1;
  ff_sys_rmdir(path);
  return 0;
}

FILE *ff_file_open(const char *utf8, const char *mode) {
  if (refuse_unless_utf8(utf8, __LINE__) != 0) return nullptr;
  GlobalLockGuard lock;
  return ff_sys_file_open(utf8, mode);
}

int ff_file_seek(FILE *fp, int64_t seek, int origin) { return ff_sys_file_seek(fp, seek, origin); }

int64_t ff_file_tell(FILE *fp) { return ff_sys_file_tell(fp); }

int64_t ff_file_size(FILE *fp) {
  ff_sys_file_seek(fp, 0, SEEK_END);
  int64_t size = ff_sys_file_tell(fp);
  ff_sys_file_seek(fp, 0, SEEK_SET);
  return size;
}

char *ff_get_current_path(void) {
  const int kSize = 4096;
  char *path = (char *)calloc(kSize, 1);
  if (!path) {
    ff_set_msg(kTag, __LINE__, "failed to calloc 4096");
    return nullptr;
  }
  if (ff_sys_module_path(path, kSize - 1) != 0) {
    free(path);
    return nullptr;
  }
  // Keep the separator: callers append file names directly.
  char *last = strrchr(path, FF_DIR_SEPARATOR);
  if (last) {
    last[1] = '\0';
  } else {
    path[0] = '\0';
  }
  return path;
}

int ff_set_current_dir(const char *path) {
  char *own_dir = nullptr;
  if (!path) {
    own_dir = ff_get_current_path();
    if (!own_dir) {
      ff_chain_msg(kTag, __LINE__);
      return -1;
    }
    path = own_dir;
  }
  // The program's own directory too: on POSIX its name is whatever bytes the
  // system gives.
  int rc = refuse_unless_utf8(path, __LINE__) == 0 ? ff_sys_set_current_dir(path) : -1;
  free(own_dir);
  return rc;
}
