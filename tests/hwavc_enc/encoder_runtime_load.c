/* A C caller that loads hwavc_enc.dll at run time, as the media server does:
   LoadLibrary, the six exports looked up by their plain names into the
   header's pointer types, then a short session against the runtime stand-in.
   Ends with 0 when every frame came back coded and every log line was as the
   header says (no newline at its end). With the argument "no-runtime" (run
   from a folder without the stand-in, on an Intel adapter) ends with 0 when
   open fails as it does on a machine whose Intel graphics driver is missing. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "../support/caller_clip.h"

#define FRAMES 10

static unsigned char pixels[CALLER_PICTURE_SIZE];
static int log_lines, bad_log_lines;

static int log_line(const char *line) {
  size_t len = strlen(line);
  log_lines++;
  if (len == 0 || line[len - 1] == '\n' || strncmp(line, "hwavc_enc(", 10) != 0) bad_log_lines++;
  printf("%s\n", line);
  return 0;
}

/* GetProcAddress gives a generic function pointer; each export has its type. */
static void (*lookup(HMODULE dll, const char *name))(void) {
  void (*f)(void) = (void (*)(void))GetProcAddress(dll, name);
  if (!f) fprintf(stderr, "no export %s\n", name);
  return f;
}

int main(int argc, char **argv) {
  int no_runtime = argc > 1 && strcmp(argv[1], "no-runtime") == 0;
  HMODULE dll = LoadLibraryA("hwavc_enc.dll");
  if (!dll) {
    fprintf(stderr, "LoadLibrary(hwavc_enc.dll) failed: %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  hwavc_enc_open_func enc_open = (hwavc_enc_open_func)lookup(dll, "hwavc_enc_open");
  hwavc_enc_encode_func enc_encode = (hwavc_enc_encode_func)lookup(dll, "hwavc_enc_encode");
  hwavc_enc_close_func enc_close = (hwavc_enc_close_func)lookup(dll, "hwavc_enc_close");
  hwavc_enc_reset_func enc_reset = (hwavc_enc_reset_func)lookup(dll, "hwavc_enc_reset");
  hwavc_enc_done_func enc_done = (hwavc_enc_done_func)lookup(dll, "hwavc_enc_done");
  hwavc_enc_get_msg_func enc_get_msg = (hwavc_enc_get_msg_func)lookup(dll, "hwavc_enc_get_msg");
  if (!enc_open || !enc_encode || !enc_close || !enc_reset || !enc_done || !enc_get_msg) return 1;

  hwavc_enc_settings settings;
  memset(&settings, 0, sizeof settings);
  caller_clip_settings(&settings, "high");
  static char msg[HWAVC_ENC_MSG_SIZE];
  hwavc_enc_data *enc = NULL;
  int rc = enc_open(&enc, &settings, log_line);
  if (rc != 0 || no_runtime) {
    enc_get_msg(msg);
    printf("open: %d %s\n", rc, msg);
    return no_runtime && rc == -1 && enc == NULL && strstr(msg, "): failed initializing an internal MFX session -3") ? 0 : 1;
  }

  quarn_frame raw;
  memset(&raw, 0, sizeof raw);
  caller_clip_frame(&raw, pixels);
  int coded = 0, failed = 0;
  quarn_frame *out = NULL;
  for (int i = 0; i < FRAMES || out; i++) {
    memset(pixels, 16 + 8 * (i % 16), sizeof pixels);
    raw.pts = i;
    if (enc_encode(enc, i < FRAMES ? &raw : NULL, &out) != 0) {
      enc_get_msg(msg);
      fprintf(stderr, "encode %d: %s\n", i, msg);
      failed++;
      break;
    }
    if (out && out->format == QUARN_FORMAT_H264 && out->size > 0) coded++;
  }
  failed += enc_reset(enc) != 0;
  failed += enc_close(enc) != 0;
  failed += enc_done(NULL) != 0;
  FreeLibrary(dll);
  printf("%d of %d frames coded, %d log lines, %d with a newline or without the prefix\n", coded, FRAMES, log_lines,
         bad_log_lines);
  return coded == FRAMES && log_lines > 0 && bad_log_lines == 0 && failed == 0 ? 0 : 1;
}
