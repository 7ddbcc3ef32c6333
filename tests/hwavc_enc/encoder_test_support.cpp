#include "encoder_test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <regex>
#include <sstream>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace enc_test {

namespace {

#ifdef _WIN32
void *load_module(std::string *error) {
  HMODULE module = LoadLibraryA("hwavc_enc.dll");
  if (!module) *error = "LoadLibrary(hwavc_enc.dll) failed: " + std::to_string(GetLastError());
  return (void *)module;
}
void *find_symbol(void *module, const char *name) { return (void *)GetProcAddress((HMODULE)module, name); }
void free_module(void *module) { FreeLibrary((HMODULE)module); }
int process_id() { return _getpid(); }
#else
void *load_module(std::string *error) {
  void *module = dlopen(HWAVC_ENC_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!module) *error = dlerror();
  return module;
}
void *find_symbol(void *module, const char *name) { return dlsym(module, name); }
void free_module(void *module) { dlclose(module); }
int process_id() { return (int)getpid(); }
#endif

template <typename Fn>
bool resolve(void *module, const char *name, Fn *fn, std::string *error) {
  *fn = (Fn)find_symbol(module, name);
  if (!*fn) *error += std::string(error->empty() ? "" : ", ") + "no export " + name;
  return *fn != nullptr;
}

const char *const kStandinVars[] = {
    "MFXSTANDIN_TRACE",         "MFXSTANDIN_MODE",          "MFXSTANDIN_IMPL",         "MFXSTANDIN_BUSY",
    "MFXSTANDIN_QUERYIOSURF_STATUS", "MFXSTANDIN_INIT_STATUS", "MFXSTANDIN_SURFACES",  "MFXSTANDIN_ENCODE_ERROR",
    "MFXSTANDIN_SYNC_ERROR",    "MFXSTANDIN_BUFFER_KB",     "MFXSTANDIN_NO_B",         "MFXSTANDIN_NO_DTS",
    "MFXSTANDIN_ASYNC_DEPTH",   "MFXSTANDIN_FILL_BUFFER",   "MFXSTANDIN_HOLD_SURFACES", "MFXSTANDIN_DEVICE",
    "MFXSTANDIN_DEVICE_FAILURE", "MFXSTANDIN_DRAIN_ERROR",  "MFXSTANDIN_MACHINE",
};

int tri(int v) {
  int m = ((v % 512) + 512) % 512;
  return m < 256 ? m : 511 - m;
}

uint32_t fnv(uint32_t hash, const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; i++) hash = (hash ^ p[i]) * 16777619u;
  return hash;
}

uint32_t read_u32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

}  // namespace

std::string EncoderLibrary::load() {
  std::string error;
  module = load_module(&error);
  if (!module) return error;
  resolve(module, "hwavc_enc_open", &open, &error);
  resolve(module, "hwavc_enc_encode", &encode, &error);
  resolve(module, "hwavc_enc_close", &close, &error);
  resolve(module, "hwavc_enc_reset", &reset, &error);
  resolve(module, "hwavc_enc_done", &done, &error);
  resolve(module, "hwavc_enc_get_msg", &get_msg, &error);
  return error;
}

void EncoderLibrary::unload() {
  if (module) free_module(module);
  module = nullptr;
}

std::string EncoderLibrary::message() const {
  std::vector<char> buf(HWAVC_ENC_MSG_SIZE, 'x');
  int n = get_msg(buf.data());
  std::string text(buf.data());
  return n == (int)text.size() ? text : "<get_msg returned " + std::to_string(n) + " for " + text + ">";
}

void set_env(const std::string &name, const std::string &value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name.c_str(), value.c_str());
#else
  setenv(name.c_str(), value.c_str(), 1);
#endif
}

void unset_env(const std::string &name) {
#ifdef _WIN32
  SetEnvironmentVariableA(name.c_str(), nullptr);
#else
  unsetenv(name.c_str());
#endif
}

Standin::Standin(std::initializer_list<std::pair<std::string, std::string>> vars) {
  static int counter = 0;
  trace_path_ = "standin_trace_" + std::to_string(process_id()) + "_" + std::to_string(++counter) + ".txt";
  remove(trace_path_.c_str());
  for (const char *name : kStandinVars) unset_env(name);
  set("MFXSTANDIN_TRACE", trace_path_);
  for (auto &[name, value] : vars) set(name, value);
}

Standin::~Standin() {
  for (const std::string &name : names_) unset_env(name);
  remove(trace_path_.c_str());
}

void Standin::set(const std::string &name, const std::string &value) {
  set_env(name, value);
  names_.push_back(name);
}

std::string Standin::trace() const {
  std::ifstream in(trace_path_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Standin::reached() const { return trace().find("mfx_standin init") != std::string::npos; }

std::vector<std::string> LogCapture::lines;

LogCapture::LogCapture() { lines.clear(); }

int LogCapture::callback(const char *line) {
  lines.emplace_back(line);
  return 0;
}

bool LogCapture::contains(const std::string &text) const {
  for (const std::string &line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

hwavc_enc_settings make_settings(int width, int height, int fps_num, int fps_den, int bitrate, int buf_num,
                                 const char *profile, const char *preset) {
  hwavc_enc_settings s;
  memset(&s, 0xA5, sizeof s);  // the bytes the library must not read hold junk
  s.profile = profile;
  s.preset = preset;
  s.width = width;
  s.height = height;
  s.fps_num = fps_num;
  s.fps_den = fps_den;
  s.bitrate = bitrate;
  s.buf_num = (uint16_t)buf_num;
  return s;
}

uint8_t pattern(int plane, int x, int y, int t) {
  // 8x8 checks drifting left: detail that a picture one pixel off misses.
  int check = (((x + 2 * t) >> 3) ^ (y >> 3)) & 1;
  if (plane == 0) {
    // Ramps drifting right and down, and a bright square moving diagonally.
    int bx = 40 + 6 * t, by = 30 + 3 * t;
    if (x >= bx && x < bx + 48 && y >= by && y < by + 48) return 235;
    return (uint8_t)(16 + 48 * check + (tri(x + 4 * t) + tri(2 * y + 3 * t)) * 171 / 512);
  }
  if (plane == 1) return (uint8_t)(100 + 40 * check + (tri(2 * x + 2 * t) - 128) / 4);
  return (uint8_t)(128 + (tri(2 * y - 3 * t) - 128) / 3);
}

TestFrame::TestFrame(int width, int height, int luma_pitch) {
  int pitch = luma_pitch ? luma_pitch : width;
  size_t luma = (size_t)pitch * height;
  size_t chroma = (size_t)(width / 2) * (height / 2);
  storage_.assign(luma + 2 * chroma, 0);
  frame_ = new quarn_frame();
  memset(frame_, 0, sizeof *frame_);
  frame_->format = QUARN_FORMAT_YUV420P;
  frame_->width = width;
  frame_->height = height;
  frame_->data = storage_.data();
  frame_->size = frame_->capacity = (int32_t)(luma + 2 * chroma);
  frame_->plane[0] = storage_.data();
  frame_->plane[1] = frame_->plane[0] + luma;
  frame_->plane[2] = frame_->plane[1] + chroma;
  frame_->pitch[0] = pitch;
  frame_->pitch[1] = frame_->pitch[2] = width / 2;
  frame_->plane_count = 3;
}

TestFrame::~TestFrame() { delete frame_; }

void TestFrame::paint(int t) {
  int w = frame_->width, h = frame_->height;
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) frame_->plane[0][(size_t)y * frame_->pitch[0] + x] = pattern(0, x, y, t);
  }
  for (int y = 0; y < h / 2; y++) {
    for (int x = 0; x < w / 2; x++) {
      frame_->plane[1][(size_t)y * (w / 2) + x] = pattern(1, x, y, t);
      frame_->plane[2][(size_t)y * (w / 2) + x] = pattern(2, x, y, t);
    }
  }
}

uint32_t TestFrame::nv12_checksum() const {
  int w = frame_->width, h = frame_->height;
  uint32_t hash = 2166136261u;
  for (int y = 0; y < h; y++) hash = fnv(hash, frame_->plane[0] + (size_t)y * frame_->pitch[0], (size_t)w);
  std::vector<uint8_t> row((size_t)w);
  for (int y = 0; y < h / 2; y++) {
    // An odd width's last column takes the chroma of the one before it.
    for (int x = 0; 2 * x < w; x++) {
      int from = x < w / 2 ? x : x - 1;
      row[2 * x] = frame_->plane[1][(size_t)y * (w / 2) + from];
      if (2 * x + 1 < w) row[2 * x + 1] = frame_->plane[2][(size_t)y * (w / 2) + from];
    }
    hash = fnv(hash, row.data(), row.size());
  }
  return hash;
}

SyntheticPayload parse_payload(const quarn_frame *coded) {
  SyntheticPayload p;
  if (!coded || coded->size != 24 || read_u32(coded->data) != 0x4953564B) return p;
  p.valid = true;
  p.index = read_u32(coded->data + 4);
  memcpy(&p.timestamp, coded->data + 8, 8);
  p.frame_type = read_u32(coded->data + 16);
  p.checksum = read_u32(coded->data + 20);
  return p;
}

bool is_slot_text(const std::string &msg, const std::string &text) {
  static const std::regex prefix("^hwavc_enc\\([0-9]+\\): ");
  std::smatch m;
  return std::regex_search(msg, m, prefix) && msg.substr(m.length()) == text;
}

}  // namespace enc_test
