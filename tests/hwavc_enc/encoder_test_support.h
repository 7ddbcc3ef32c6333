// Helpers of the encoder tests: the library loaded by file name, steering of
// the runtime stand-in, test frames and the stand-in's synthetic payloads.
#ifndef ENCODER_TEST_SUPPORT_H
#define ENCODER_TEST_SUPPORT_H

#include <stdint.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hwavc_enc.h"

namespace enc_test {

// The six exports, looked up by their plain names in a freshly loaded library
// (so its message slot starts empty).
struct EncoderLibrary {
  int (*open)(hwavc_enc_data **, const hwavc_enc_settings *, hwavc_enc_log_func) = nullptr;
  int (*encode)(hwavc_enc_data *, const quarn_frame *, quarn_frame **) = nullptr;
  int (*close)(hwavc_enc_data *) = nullptr;
  int (*reset)(hwavc_enc_data *) = nullptr;
  int (*done)(void *) = nullptr;
  int (*get_msg)(char *) = nullptr;
  void *module = nullptr;

  // Empty on success, else what failed.
  std::string load();
  void unload();
  std::string message() const;
};

// Environment for the stand-in, set for one scope and removed afterwards,
// with a trace file of its own (the proof that the stand-in answered).
class Standin {
 public:
  Standin() : Standin({}) {}
  Standin(std::initializer_list<std::pair<std::string, std::string>> vars);
  ~Standin();
  Standin(const Standin &) = delete;
  Standin &operator=(const Standin &) = delete;
  void set(const std::string &name, const std::string &value);
  std::string trace() const;
  // The stand-in opened a session (through the dispatcher) in this scope.
  bool reached() const;

 private:
  std::string trace_path_;
  std::vector<std::string> names_;
};

void set_env(const std::string &name, const std::string &value);
void unset_env(const std::string &name);

// Log lines received through the callback, cleared by each LogCapture.
struct LogCapture {
  LogCapture();
  static int callback(const char *line);
  static std::vector<std::string> lines;
  bool contains(const std::string &text) const;
};

hwavc_enc_settings make_settings(int width, int height, int fps_num = 30, int fps_den = 1, int bitrate = 4000,
                                 int buf_num = 4, const char *profile = "high", const char *preset = "veryfast");

// A planar YUV 4:2:0 input frame with a moving pattern, laid out as the
// media server's frames are (plane 1 right after the luma rows, chroma planes
// of width / 2 by height / 2 with nothing after plane 2); a luma pitch of 0
// is the width.
class TestFrame {
 public:
  TestFrame(int width, int height, int luma_pitch = 0);
  ~TestFrame();
  TestFrame(const TestFrame &) = delete;
  TestFrame &operator=(const TestFrame &) = delete;
  void paint(int t);  // picture number t of the moving pattern
  quarn_frame *get() { return frame_; }
  // The picture as the encoder should see it in NV12: FNV-1a over the luma
  // rows then the interleaved chroma rows (what the stand-in computes).
  uint32_t nv12_checksum() const;

 private:
  quarn_frame *frame_;
  std::vector<uint8_t> storage_;
};

// Sample of the moving pattern at (x, y) of picture t, for plane 0, 1, 2.
uint8_t pattern(int plane, int x, int y, int t);

// What the synthetic stand-in writes as a coded picture.
struct SyntheticPayload {
  bool valid = false;
  uint32_t index = 0;      // input order
  uint64_t timestamp = 0;  // 90 kHz
  uint32_t frame_type = 0;
  uint32_t checksum = 0;
};
SyntheticPayload parse_payload(const quarn_frame *coded);

// "hwavc_enc(<line>): " + text, with any line number.
bool is_slot_text(const std::string &msg, const std::string &text);

}  // namespace enc_test

#endif
