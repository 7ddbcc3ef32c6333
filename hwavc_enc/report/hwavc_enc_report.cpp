// hwavc_enc_report: a plain-text report of how hwavc_enc.dll does on this
// machine, for its user to send to us. It writes the versions of itself, of
// the DLL and of Windows, the display adapters, the Media SDK runtime the
// dispatcher loaded and the session it gave, and the encoder's speed at
// 1920x1080 for buf_num 1, 2, 4 and 9. A failure is written into the report
// with its text and the report goes on with what is left.
//
// It loads hwavc_enc.dll from its own folder at run time and drives it only
// through the six exports, as the media server does. Functions newer than
// Windows Vista are looked up at run time.
//
//   hwavc_enc_report [REPORT.txt] [--size WIDTHxHEIGHT] [--frames N]
//
// The report goes to standard output and to REPORT.txt, by default
// hwavc_enc_report.txt beside the program. --size and --frames make a
// shorter run (default 1920x1080, 300 frames per buf_num).
#include <windows.h>
#include <dxgi.h>
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "hwavc_enc.h"
#include "report_log.h"

namespace {

struct Options {
  std::wstring report_path;
  int width = 1920, height = 1080;
  int frames = 300;
};

// Everything goes to standard output and, when it opened, the report file.
FILE *g_report_file;

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void say(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  if (g_report_file) {
    va_start(ap, fmt);
    vfprintf(g_report_file, fmt, ap);
    va_end(ap);
  }
}

std::string utf8(const wchar_t *text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out((size_t)size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  out.resize((size_t)size - 1);
  return out;
}

// "error N: Windows' text for it".
std::string error_text(DWORD code) {
  wchar_t *text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, (wchar_t *)&text, 0, nullptr);
  std::string out = "error " + std::to_string(code);
  if (length && text) {
    while (length && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L'.'))
      text[--length] = 0;
    out += ": " + utf8(text);
  }
  LocalFree(text);
  return out;
}

std::string hresult_text(HRESULT hr) {
  char hex[16];
  snprintf(hex, sizeof hex, "0x%08lx", (unsigned long)hr);
  return std::string("HRESULT ") + hex;
}

// "a.b.c.d" from the file's version resource, or why there is none.
std::string file_version(const wchar_t *path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (!size) return "unknown (" + error_text(GetLastError()) + ")";
  std::vector<char> info(size);
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT fixed_size = 0;
  if (!GetFileVersionInfoW(path, 0, size, info.data()) ||
      !VerQueryValueW(info.data(), L"\\", (void **)&fixed, &fixed_size) || !fixed ||
      fixed_size < sizeof *fixed) {
    return "unknown (no fixed version record)";
  }
  char text[64];
  snprintf(text, sizeof text, "%u.%u.%u.%u", (unsigned)HIWORD(fixed->dwFileVersionMS),
           (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
           (unsigned)LOWORD(fixed->dwFileVersionLS));
  return text;
}

std::wstring program_folder() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n < MAX_PATH ? n : 0);
  size_t slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

// A whole number from 1 to 65535 that `text` starts with, ending at `end`;
// 0 otherwise.
int number(const wchar_t *text, wchar_t end, const wchar_t **rest) {
  wchar_t *stop = nullptr;
  unsigned long value = wcstoul(text, &stop, 10);
  *rest = stop;
  return stop != text && *stop == end && value <= 65535 ? (int)value : 0;
}

bool parse(int argc, wchar_t **argv, Options *o) {
  const wchar_t *rest;
  for (int i = 1; i < argc; i++) {
    std::wstring a = argv[i];
    if (a == L"--size" && i + 1 < argc) {
      o->width = number(argv[++i], L'x', &rest);
      o->height = o->width ? number(rest + 1, 0, &rest) : 0;
    } else if (a == L"--frames" && i + 1 < argc) {
      o->frames = number(argv[++i], 0, &rest);
    } else if (a.compare(0, 2, L"--") != 0 && o->report_path.empty()) {
      o->report_path = a;
    } else {
      return false;
    }
  }
  return o->width > 0 && o->height > 0 && o->frames > 0;
}

// ---- the machine --------------------------------------------------------

// RtlGetVersion: the real version, where GetVersionEx answers what the
// program's manifest admits to.
void report_windows() {
  typedef LONG(WINAPI * rtl_get_version_func)(OSVERSIONINFOEXW *);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto rtl_get_version = ntdll ? (rtl_get_version_func)(void *)GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
  if (!rtl_get_version) {
    say("windows: unknown (RtlGetVersion not found: %s)\n", error_text(GetLastError()).c_str());
    return;
  }
  OSVERSIONINFOEXW v;
  memset(&v, 0, sizeof v);
  v.dwOSVersionInfoSize = sizeof v;
  LONG status = rtl_get_version(&v);
  if (status != 0) {
    say("windows: unknown (RtlGetVersion failed with 0x%08lx)\n", (unsigned long)status);
    return;
  }
  say("windows: %lu.%lu.%lu %s%s%s\n", v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber,
      v.wProductType == VER_NT_WORKSTATION ? "workstation" : "server", v.szCSDVersion[0] ? ", " : "",
      utf8(v.szCSDVersion).c_str());
}

// Each DXGI adapter (the ones Direct3D 11 sees): ids, the user-mode driver's
// version and whether a monitor hangs on it.
void report_adapters() {
  typedef HRESULT(WINAPI * create_factory_func)(REFIID, void **);
  HMODULE dxgi = LoadLibraryW(L"dxgi.dll");
  if (!dxgi) {
    say("adapters: unknown (dxgi.dll: %s)\n", error_text(GetLastError()).c_str());
    return;
  }
  // CreateDXGIFactory1 (Windows 7, the one the dispatcher uses) where there is one.
  IDXGIFactory *factory = nullptr;
  HRESULT hr;
  if (auto create1 = (create_factory_func)(void *)GetProcAddress(dxgi, "CreateDXGIFactory1")) {
    hr = create1(__uuidof(IDXGIFactory1), (void **)&factory);
  } else if (auto create = (create_factory_func)(void *)GetProcAddress(dxgi, "CreateDXGIFactory")) {
    hr = create(__uuidof(IDXGIFactory), (void **)&factory);
  } else {
    hr = HRESULT_FROM_WIN32(GetLastError());
  }
  if (FAILED(hr) || !factory) {
    say("adapters: unknown (no DXGI factory: %s)\n", hresult_text(hr).c_str());
    FreeLibrary(dxgi);
    return;
  }
  IDXGIAdapter *adapter = nullptr;
  UINT i = 0;
  for (; factory->EnumAdapters(i, &adapter) == S_OK; i++) {
    DXGI_ADAPTER_DESC desc;
    if (FAILED(hr = adapter->GetDesc(&desc))) {
      say("adapter %u: unknown (%s)\n", i, hresult_text(hr).c_str());
    } else {
      std::string driver;
      LARGE_INTEGER umd;
      if (SUCCEEDED(hr = adapter->CheckInterfaceSupport(__uuidof(IDXGIDevice), &umd))) {
        char text[64];
        snprintf(text, sizeof text, "%u.%u.%u.%u", (unsigned)HIWORD(umd.HighPart), (unsigned)LOWORD(umd.HighPart),
                 (unsigned)HIWORD(umd.LowPart), (unsigned)LOWORD(umd.LowPart));
        driver = text;
      } else {
        driver = "unknown (" + hresult_text(hr) + ")";
      }
      IDXGIOutput *output = nullptr;
      UINT monitors = 0;
      while (adapter->EnumOutputs(monitors, &output) == S_OK) {
        output->Release();
        monitors++;
      }
      say("adapter %u: vendor 0x%04x, device 0x%04x, \"%s\", driver %s, monitor attached: %s\n", i,
          desc.VendorId, desc.DeviceId, utf8(desc.Description).c_str(), driver.c_str(), monitors ? "yes" : "no");
    }
    adapter->Release();
  }
  if (i == 0) say("adapters: none\n");
  factory->Release();
  FreeLibrary(dxgi);
}

// The modules of this process that export MFXInitEx: the runtime the
// dispatcher loaded (only while a session is open).
void report_runtime_files() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    say("runtime file: unknown (module list: %s)\n", error_text(GetLastError()).c_str());
    return;
  }
  MODULEENTRY32W module;
  module.dwSize = sizeof module;
  int found = 0;
  for (BOOL more = Module32FirstW(snapshot, &module); more; more = Module32NextW(snapshot, &module)) {
    if (!GetProcAddress(module.hModule, "MFXInitEx")) continue;
    say("runtime file: %s, version %s\n", utf8(module.szExePath).c_str(), file_version(module.szExePath).c_str());
    found++;
  }
  if (!found) say("runtime file: none of the loaded modules exports MFXInitEx\n");
  CloseHandle(snapshot);
}

// ---- the encoder --------------------------------------------------------

struct Encoder {
  hwavc_enc_open_func open;
  hwavc_enc_encode_func encode;
  hwavc_enc_close_func close;
  hwavc_enc_reset_func reset;
  hwavc_enc_done_func done;
  hwavc_enc_get_msg_func get_msg;
};

// Loads hwavc_enc.dll from the program's folder; null with the reason reported.
HMODULE load_encoder(Encoder *e) {
  std::wstring path = program_folder() + L"hwavc_enc.dll";
  HMODULE dll = LoadLibraryW(path.c_str());
  if (!dll) {
    say("hwavc_enc.dll: not loaded from %s (%s)\n", utf8(path.c_str()).c_str(), error_text(GetLastError()).c_str());
    return nullptr;
  }
  say("hwavc_enc.dll: %s, version %s\n", utf8(path.c_str()).c_str(), file_version(path.c_str()).c_str());
  const char *names[] = {"hwavc_enc_open",  "hwavc_enc_encode", "hwavc_enc_close",
                         "hwavc_enc_reset", "hwavc_enc_done",   "hwavc_enc_get_msg"};
  void **slots[] = {(void **)&e->open,  (void **)&e->encode, (void **)&e->close,
                    (void **)&e->reset, (void **)&e->done,   (void **)&e->get_msg};
  for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
    *slots[i] = (void *)GetProcAddress(dll, names[i]);
    if (!*slots[i]) {
      say("hwavc_enc.dll: does not export %s (%s)\n", names[i], error_text(GetLastError()).c_str());
      FreeLibrary(dll);
      return nullptr;
    }
  }
  return dll;
}

std::vector<std::string> g_open_log;

int keep_log_line(const char *line) {
  g_open_log.push_back(line);
  return 0;
}

// A raw I420 frame the way the library reads it, with a moving picture:
// a checkerboard sliding to the right and down over shifting colours.
struct TestPicture {
  std::vector<uint8_t> pixels;
  quarn_frame record;
  TestPicture(int width, int height) : pixels((size_t)width * height + 2 * (size_t)(width / 2) * (height / 2)) {
    memset(&record, 0, sizeof record);
    size_t luma = (size_t)width * height;
    record.format = QUARN_FORMAT_YUV420P;
    record.width = width;
    record.height = height;
    record.plane[0] = pixels.data();
    record.plane[1] = pixels.data() + luma;
    record.plane[2] = record.plane[1] + (size_t)(width / 2) * (height / 2);
    record.pitch[0] = width;
    record.pitch[1] = record.pitch[2] = width / 2;
    record.plane_count = 3;
  }
  void paint(int t) {
    int w = record.width, h = record.height;
    for (int y = 0; y < h; y++) {
      uint8_t *row = record.plane[0] + (size_t)y * w;
      for (int x = 0; x < w; x++) row[x] = (uint8_t)(40 + 120 * ((((x - 4 * t) >> 5) ^ ((y - 2 * t) >> 5)) & 1));
    }
    size_t chroma = (size_t)(w / 2) * (h / 2);
    memset(record.plane[1], 128 + (t & 63) - 32, chroma);
    memset(record.plane[2], 160 - (t & 63), chroma);
  }
};

void report_session_facts(const report_session &s) {
  say("api version: %s\n", s.api.empty() ? "not reported" : s.api.c_str());
  say("implementation: %s\n", s.implementation.empty() ? "not reported" : s.implementation.c_str());
  say("interface: %s\n", s.interface_name.empty() ? "not reported" : s.interface_name.c_str());
  say("fallback: %s\n", s.fallback.empty() ? "none" : s.fallback.c_str());
  if (s.corrections.empty()) say("runtime corrected: nothing\n");
  for (const std::string &c : s.corrections) say("runtime corrected: %s\n", c.c_str());
}

// One session at `buf_num`: open (the runtime file and the session's facts),
// `frames` pictures in, the drain, close.
void run_encoder(const Encoder &e, const Options &o, int buf_num) {
  char msg[HWAVC_ENC_MSG_SIZE];
  hwavc_enc_settings settings;
  memset(&settings, 0, sizeof settings);
  settings.profile = "high";
  settings.preset = "veryfast";
  settings.width = o.width;
  settings.height = o.height;
  settings.fps_num = 30;
  settings.fps_den = 1;
  settings.bitrate = 6000;
  settings.buf_num = (uint16_t)buf_num;

  say("\n[buf_num %d]\n", buf_num);
  g_open_log.clear();
  hwavc_enc_data *enc = nullptr;
  int rc = e.open(&enc, &settings, keep_log_line);
  // The library's messages end in no newline; the report's lines add their own.
  auto last_message = [&]() {
    e.get_msg(msg);
    return msg;
  };
  report_session session;
  for (const std::string &line : g_open_log) report_take_log_line(&session, line.c_str());
  if (rc != 0) {
    say("open failed: %s\n", last_message());
  } else {
    report_runtime_files();
    report_session_facts(session);
  }
  say("open log:\n");
  for (const std::string &line : g_open_log) say("  %s\n", line.c_str());
  if (rc != 0) return;

  TestPicture picture(o.width, o.height);
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  int64_t busy = 0;  // counter ticks spent in encode calls
  long calls = 0, frames_in = 0, frames_out = 0, first_call = 0;
  double first_ms = 0;
  for (bool drain = false;;) {
    if (!drain) {
      picture.paint((int)frames_in);
      picture.record.pts = frames_in;
    }
    quarn_frame *coded = nullptr;
    QueryPerformanceCounter(&start);
    rc = e.encode(enc, drain ? nullptr : &picture.record, &coded);
    QueryPerformanceCounter(&end);
    busy += end.QuadPart - start.QuadPart;
    calls++;
    if (!drain) frames_in++;
    if (coded && frames_out++ == 0) {
      first_call = calls;
      first_ms = 1000.0 * busy / frequency.QuadPart;
    }
    if (rc != 0) {
      say("encode call %ld failed with %d: %s\n", calls, rc, last_message());
      break;
    }
    if (drain && !coded) break;
    if (frames_in == o.frames) drain = true;
  }
  e.close(enc);
  double seconds = (double)busy / frequency.QuadPart;
  say("%dx%d, %ld frames in, %ld coded frames out\n", o.width, o.height, frames_in, frames_out);
  say("frames per second: %.1f\n", seconds > 0 ? frames_in / seconds : 0.0);
  if (frames_out) {
    say("first coded frame: call %ld, %.1f ms\n", first_call, first_ms);
  } else {
    say("first coded frame: none\n");
  }
}

}  // namespace

int main() {
  Options o;
  int argc = 0;
  wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || !parse(argc, argv, &o)) {
    fprintf(stderr, "usage: hwavc_enc_report [REPORT.txt] [--size WIDTHxHEIGHT] [--frames N]\n");
    return 2;
  }
  if (o.report_path.empty()) o.report_path = program_folder() + L"hwavc_enc_report.txt";
  g_report_file = _wfopen(o.report_path.c_str(), L"w");
  int open_errno = errno;

  say("hwavc_enc field report\n");
  say("report program: hwavc_enc_report %d.%d.%d\n", HWAVC_ENC_VERSION_MAJOR, HWAVC_ENC_VERSION_MINOR,
      HWAVC_ENC_VERSION_PATCH);
  if (!g_report_file) say("report file: not written to %s (%s)\n", utf8(o.report_path.c_str()).c_str(),
                          strerror(open_errno));
  report_windows();
  report_adapters();
  Encoder e;
  if (HMODULE dll = load_encoder(&e)) {
    say("encoding: %dx%d at 30 frames/s, high, veryfast, 6000 kbit/s, %d frames of a moving picture per run;\n"
        "frames per second over the encode calls, first coded frame after that much time in them\n",
        o.width, o.height, o.frames);
    const int buf_nums[] = {1, 2, 4, 9};
    for (int buf_num : buf_nums) run_encoder(e, o, buf_num);
    FreeLibrary(dll);
  }
  if (g_report_file) {
    fclose(g_report_file);
    printf("\nThe report is in %s: please send that file.\n", utf8(o.report_path.c_str()).c_str());
  }
  return 0;
}
