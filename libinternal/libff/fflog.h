// The last-message slot and the stamped log.
//
// The slot holds the reason for the last failure, prefixed "tag(line): ".
// A function that fails because an ff call failed passes the text on with
// ff_chain_msg, adding its own prefix in front. The slot is process-wide and
// guarded by a lock, so threads never interleave halves.
#ifndef FFLOG_H
#define FFLOG_H

#define FF_MSG_SIZE 8192

typedef void (*fflog_cb)(char *line, void *arg);

// An empty fmt clears the slot. With file NULL or line 0 there is no prefix.
void ff_set_msg(const char *file, int line, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// A copy of the slot's text, valid until the next ff_get_msg or ff_chain_msg.
char *ff_get_msg(void);
// Re-records the slot's text behind the prefix of (file, line), in one step:
// the same as ff_set_msg(file, line, "%s", ff_get_msg()).
void ff_chain_msg(const char *file, int line);

int fflog_init(fflog_cb cb, char *label, int print_time, void *arg);
int fflog_destroy(fflog_cb cb);
// Formats one line behind the stamp and label and hands it to the sink,
// with no lock of the library held: the sink may log, set messages and open
// files, and is called by several threads at once when they log at once.
// fmt is always read as a format.
int fflog_line(const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Logs the processor, memory and system version banner.
void fflog_sys_info(void);

#endif
