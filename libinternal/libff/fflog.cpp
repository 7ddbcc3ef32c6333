// The last-message slot, the stamped log and the system banner.
#include "fflog.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "ff.h"
#include "ff_sys.h"

namespace {

char _ffmsg[FF_MSG_SIZE];
char _ffmsg_2[FF_MSG_SIZE];

fflog_cb logcb;
char *loglabel;
int logprttime;
void *logarg;

int coreCount;
int logicalCores;
char banner_value[FF_MSG_SIZE];

struct MsgLock {
  MsgLock() { ff_sys_msg_lock(); }
  ~MsgLock() { ff_sys_msg_unlock(); }
  MsgLock(const MsgLock &) = delete;
  MsgLock &operator=(const MsgLock &) = delete;
};

// vsnprintf's result is the length it wanted; never step past the buffer.
size_t bounded_len(int wanted, size_t room) {
  if (wanted < 0) return 0;
  return (size_t)wanted < room ? (size_t)wanted : room - 1;
}

// Writes the optional prefix and the formatted text into the slot.
void vset_msg_locked(const char *file, int line, const char *fmt, va_list ap) {
  if (fmt[0] == '\0') {
    memset(_ffmsg, 0, sizeof _ffmsg);
    return;
  }
  size_t used = 0;
  if (file && line != 0) used = bounded_len(snprintf(_ffmsg, sizeof _ffmsg, "%s(%d): ", file, line), sizeof _ffmsg);
  vsnprintf(_ffmsg + used, sizeof _ffmsg - used, fmt, ap);
}

void set_msg_locked(const char *file, int line, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vset_msg_locked(file, line, fmt, ap);
  va_end(ap);
}

char *copy_msg_locked() {
  memcpy(_ffmsg_2, _ffmsg, sizeof _ffmsg_2);
  _ffmsg_2[sizeof _ffmsg_2 - 1] = '\0';
  return _ffmsg_2;
}

}  // namespace

void ff_set_msg(const char *file, int line, const char *fmt, ...) {
  MsgLock lock;
  va_list ap;
  va_start(ap, fmt);
  vset_msg_locked(file, line, fmt, ap);
  va_end(ap);
}

char *ff_get_msg(void) {
  MsgLock lock;
  return copy_msg_locked();
}

void ff_chain_msg(const char *file, int line) {
  MsgLock lock;
  set_msg_locked(file, line, "%s", copy_msg_locked());
}

int fflog_init(fflog_cb cb, char *label, int print_time, void *arg) {
  MsgLock lock;
  logcb = cb;
  loglabel = label;
  logprttime = print_time;
  logarg = arg;
  return 0;
}

int fflog_destroy(fflog_cb) {
  MsgLock lock;
  logcb = nullptr;
  logarg = nullptr;
  return 0;
}

int fflog_line(const char *fmt, ...) {
  fflog_cb cb;
  void *arg;
  const char *label;
  int print_time;
  {
    MsgLock lock;
    cb = logcb;
    arg = logarg;
    label = loglabel ? loglabel : "";
    print_time = logprttime;
  }
  if (!cb) return 0;
  // Each call builds its own line and hands it over with no lock held, so a
  // sink may log, set messages and open files; lines of several threads may
  // reach it at the same time.
  char line[FF_MSG_SIZE];
  int header;
  if (print_time) {
    ff_local_time now;
    ff_sys_local_time(&now);
    header = snprintf(line, sizeof line, "%02d %02d:%02d:%02d.%03d %s", now.day, now.hour, now.minute, now.second,
                      now.millisecond, label);
  } else {
    header = snprintf(line, sizeof line, "%s", label);
  }
  size_t used = bounded_len(header, sizeof line);
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line + used, sizeof line - used, fmt, ap);
  va_end(ap);
  cb(line, arg);
  return 0;
}

static void LogSystemStats(void) {
  memset(banner_value, 0, sizeof banner_value);
  ff_sys_cpu_count(&coreCount, &logicalCores);
  int mhz = 0;
  if (ff_sys_cpu_info(banner_value, sizeof banner_value, &mhz) != 0) {
    ff_set_msg("fflog", __LINE__, "Can't get cpu info\n");
    return;
  }
  fflog_line("------------------------------------------");
  fflog_line("CPU Name: %s, Core:%d Thread:%d", banner_value, coreCount, logicalCores);
  fflog_line("CPU Speed: %dMHz", mhz);
  uint64_t total = 0, available = 0;
  ff_sys_memory(&total, &available);
  fflog_line("Memory:  %dMB Total, %dMB Free", (int)(total >> 20), (int)(available >> 20));
  char version[512];
  ff_sys_version_line(version, sizeof version);
  fflog_line("%s", version);
}

void fflog_sys_info(void) { LogSystemStats(); }
