// The tray driver: see tray_driver.h.
#include "tray_driver.h"

#include <tlhelp32.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const int kPollMs = 10;

std::wstring wide(const std::string &utf8) {
  std::wstring text(utf8.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &text[0], (int)text.size());
  text.resize(n > 0 ? (size_t)n : 0);
  return text;
}

HANDLE inheritable_file(const std::string &path, bool for_writing) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  return CreateFileW(wide(path).c_str(), for_writing ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                     for_writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

struct WindowQuery {
  DWORD pid;
  const char *cls;
  bool visible_only;
  HWND found;
};

BOOL CALLBACK match_window(HWND hwnd, LPARAM arg) {
  WindowQuery *q = (WindowQuery *)arg;
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  char cls[64] = "";
  GetClassNameA(hwnd, cls, sizeof cls);
  if (pid == q->pid && strcmp(cls, q->cls) == 0 && (!q->visible_only || IsWindowVisible(hwnd))) {
    q->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND wait_process_window(DWORD pid, const char *cls, int limit_ms, bool visible_only = false) {
  for (int waited = 0; waited <= limit_ms; waited += kPollMs) {
    WindowQuery q = {pid, cls, visible_only, nullptr};
    EnumWindows(match_window, (LPARAM)&q);
    if (q.found) return q.found;
    Sleep(kPollMs);
  }
  return nullptr;
}

}  // namespace

bool start_tray(const std::string &dir, const std::string &args, const std::string &stdin_text, TrayRun *run,
                const std::string &name) {
  {
    std::ofstream(std::filesystem::u8path(dir + name + "_stdin.txt"), std::ios::binary) << stdin_text;
  }
  HANDLE in = inheritable_file(dir + name + "_stdin.txt", false);
  HANDLE out = inheritable_file(dir + name + "_out.txt", true);
  HANDLE err = inheritable_file(dir + name + "_err.txt", true);
  STARTUPINFOW si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  std::wstring cmdline = wide("\"" + dir + "kovarel_tray.exe\"" + (args.empty() ? "" : " " + args));
  std::string parent = dir.substr(0, dir.find_last_of('\\', dir.size() - 2) + 1);
  run->dir = dir;
  bool ok = CreateProcessW(nullptr, &cmdline[0], nullptr, nullptr, TRUE, 0, nullptr, wide(parent).c_str(), &si, &run->pi);
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  return ok;
}

bool start_program(const std::string &exe, PROCESS_INFORMATION *pi) {
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  std::string cmdline = "\"" + exe + "\"";
  return CreateProcessA(nullptr, &cmdline[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi);
}

bool wait_exit(HANDLE process, int limit_ms, DWORD *code) {
  if (WaitForSingleObject(process, (DWORD)limit_ms) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(process, code);
  return true;
}

bool is_running(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

HWND wait_window(const char *cls, const char *title, int limit_ms) {
  for (int waited = 0; waited <= limit_ms; waited += kPollMs) {
    HWND hwnd = FindWindowA(cls, title);
    if (hwnd) return hwnd;
    Sleep(kPollMs);
  }
  return nullptr;
}

HWND wait_tray_window(DWORD pid, int limit_ms) { return wait_process_window(pid, KV_TRAY_CLASS, limit_ms); }

void post_mouse(HWND tray, UINT mouse_message) { PostMessageA(tray, KV_WM_TRAY_NOTIFY, 0, (LPARAM)mouse_message); }

HWND wait_visible_menu(DWORD pid, int limit_ms) { return wait_process_window(pid, "#32768", limit_ms, true); }

bool choose_exit(HWND tray, int limit_ms) {
  DWORD pid = 0;
  GetWindowThreadProcessId(tray, &pid);
  post_mouse(tray, WM_RBUTTONDOWN);
  HWND menu = wait_process_window(pid, "#32768", limit_ms);
  if (!menu) return false;
  PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
  PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
  return true;
}

HWND wait_message_box(DWORD pid, int limit_ms) { return wait_process_window(pid, "#32770", limit_ms); }

std::string box_text(HWND box) {
  char text[1024] = "";
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
  return text;
}

void press(HWND box, int button) { PostMessageA(box, WM_COMMAND, (WPARAM)button, 0); }

std::string read_file(const std::string &path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> read_lines(const std::string &path) {
  std::vector<std::string> lines;
  std::istringstream text(read_file(path));
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool wait_for_text(const std::string &path, const std::string &needle, int limit_ms) {
  for (int waited = 0; waited <= limit_ms; waited += kPollMs) {
    if (read_file(path).find(needle) != std::string::npos) return true;
    Sleep(kPollMs);
  }
  return false;
}

std::vector<DWORD> processes_named(const char *image) {
  std::vector<DWORD> pids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return pids;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (strcmp(entry.szExeFile, image) == 0) pids.push_back(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return pids;
}
