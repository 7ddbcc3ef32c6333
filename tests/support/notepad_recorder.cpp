// Stands in for notepad.exe in the tray's scenarios: appends its command line
// and current directory to notepad_log.txt beside itself, then stays open
// until the scenario sets the event "kv_notepad_close" (at most a minute), as a
// user reading the log would.
#include <windows.h>

#include <string>

namespace {

std::string beside_me(const char *name) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string dir(path, n);
  return dir.substr(0, dir.find_last_of('\\') + 1) + name;
}

void log_line(const std::string &line) {
  HANDLE f = CreateFileA(beside_me("notepad_log.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(f, text.data(), (DWORD)text.size(), &written, nullptr);
  CloseHandle(f);
}

}  // namespace

int main() {
  char cwd[MAX_PATH] = "";
  GetCurrentDirectoryA(sizeof cwd, cwd);
  log_line(std::string("cmdline [") + GetCommandLineA() + "]");
  log_line(std::string("cwd [") + cwd + "]");
  HANDLE close = CreateEventA(nullptr, TRUE, FALSE, "kv_notepad_close");
  WaitForSingleObject(close, 60000);
  log_line("closed");
  return 0;
}
