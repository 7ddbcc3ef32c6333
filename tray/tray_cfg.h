// The media server's configuration as the tray needs it: the HTTP port of the
// web console, read afresh from "cfg.win32/kovarel.cfg" on every use, and the
// console's URL on the loopback address. Portable: no window system involved.
#ifndef TRAY_CFG_H
#define TRAY_CFG_H

#include <jansson.h>

#include "ff_buffer.h"

#define KV_CFG_FILE "cfg.win32/kovarel.cfg"
#define KV_DEFAULT_PORT 5566
#define KV_URL_SIZE 256
#define KV_CFG_SIZE_LIMIT 10000000

// The whole file as raw bytes, or NULL (missing, unreadable, too big, empty);
// a failure also makes the directory "cfg". The caller frees the buffer.
ff_buffer *cfg_load(const char *file_name);
// The parsed JSON (top level an object or an array), or NULL. Caller decrefs.
json_t *str_to_json(const char *str, int len);
// 0 and *port from the first integer member "port"; -1 leaves *port alone.
int str_to_kovarel_server_cfg(const char *str, int len, int *port);
// The configured port, or 5566 when it cannot be had.
void get_httpser_port(int *port);
// The console URL into a KV_URL_SIZE area.
void get_url(char *url);

#endif
