// Stands in for notepad.exe in the tray's scenarios: appends its command line
// and current directory to notepad_log.txt beside itself, then stays open
// until the scenario sets the event "kv_notepad_close" (at most a minute), as a
// user reading the log would.
#include <windows.h>

#include <string>

#include "support_log.h"

namespace {

void log_line(const std::string &line) { append_line(L"notepad_log.txt", line); }

}  // namespace

int main() {
  log_line(std::string("cmdline [") + GetCommandLineA() + "]");
  log_line("cwd [" + current_dir_utf8() + "]");
  HANDLE close = CreateEventA(nullptr, TRUE, FALSE, "kv_notepad_close");
  WaitForSingleObject(close, 60000);
  log_line("closed");
  return 0;
}
