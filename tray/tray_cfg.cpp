// Reading the server's HTTP port and forming the console URL.
#include "tray_cfg.h"

#include <stdio.h>
#include <string.h>

#include "ff.h"
#include "ff_dir.h"
#include "ff_text.h"

// The configuration is part of the tray's unit: its messages carry its tag.
#define TRAY_CFG_TAG "tray"

namespace {

// Accepts what jansson's decoder accepts by default: an object or an array at
// the top level and nothing but white space behind it.
const size_t kJsonFlags = 0x100;

}  // namespace

ff_buffer *cfg_load(const char *file_name) {
  ff_buffer *buffer = ff_buffer_new(1024);
  if (!buffer) {
    ff_chain_msg(TRAY_CFG_TAG, __LINE__);
    return nullptr;
  }
  ff_dir dir;
  memset(&dir, 0, sizeof dir);
  if (ff_dir_get_file(&dir, (char *)file_name) == 0 &&
      ff_text_file_read(file_name, buffer, KV_CFG_SIZE_LIMIT) == 0 && ff_buffer_data_size(buffer) > 0) {
    ff_dir_close(&dir);
    return buffer;
  }
  char cfg_dir[] = "cfg";
  ff_dir_mkdir(cfg_dir);
  ff_buffer_free(buffer);
  ff_dir_close(&dir);
  return nullptr;
}

json_t *str_to_json(const char *str, int len) {
  if (len < 0) return nullptr;
  return json_loadb(str, (size_t)len, kJsonFlags, nullptr);
}

int str_to_kovarel_server_cfg(const char *str, int len, int *port) {
  json_t *root = str_to_json(str, len);
  if (!root || !json_is_object(root)) {
    ff_set_msg(TRAY_CFG_TAG, __LINE__, "not object");
    json_decref(root);
    return -1;
  }
  int result = -1;
  for (void *it = json_object_iter(root); it; it = json_object_iter_next(root, it)) {
    json_t *value = json_object_iter_value(it);
    if (!value || !json_is_integer(value)) continue;
    if (strcmp(json_object_iter_key(it), "port") == 0) {
      *port = (int)(uint32_t)json_integer_value(value);
      result = 0;
      break;
    }
  }
  json_decref(root);
  return result;
}

void get_httpser_port(int *port) {
  ff_buffer *cfg = cfg_load(KV_CFG_FILE);
  if (!cfg) {
    fflog_line("can't find %s", KV_CFG_FILE);
    *port = KV_DEFAULT_PORT;
    return;
  }
  if (str_to_kovarel_server_cfg(ff_buffer_data(cfg), ff_buffer_data_size(cfg), port) != 0) {
    fflog_line("can't find 2 %s", KV_CFG_FILE);
    *port = KV_DEFAULT_PORT;
  }
  ff_buffer_free(cfg);
}

void get_url(char *url) {
  int port = -1;
  get_httpser_port(&port);
  if (port == 80)
    snprintf(url, KV_URL_SIZE, "http://127.0.0.1/wscli/general/");
  else
    snprintf(url, KV_URL_SIZE, "http://127.0.0.1:%d/wscli/general/", port);
}
