// A stand-in for the media server kovarel.exe, for the tray's scenarios.
//
// It appends what it saw to stub_log.txt beside itself: its start, its command
// line, its current directory, how it was asked to show its window, a line
// read from its standard input and whether it could write to its standard
// output and error (the scenario gives the tray files it can check). What it then does is read from
// stub_mode.txt beside it:
//   exit <code> <delay_ms>   exits with <code> after the delay
//   forever [<life_ms>]      runs until killed (the default)
//   unkillable               as forever, but refuses to be opened for termination
// A running stub ends by itself when the scenario sets the event
// "kv_stub_quit", or after a minute (or the life given), so none outlives its
// scenario.
#include <windows.h>
#include <aclapi.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "support_log.h"

namespace {

const DWORD kMaxLifeMs = 60000;

void log_line(const std::string &line) { append_line(L"stub_log.txt", line); }

std::string read_stdin_line() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  // Only a file can be read without the risk of blocking.
  if (!in || in == INVALID_HANDLE_VALUE || GetFileType(in) != FILE_TYPE_DISK) return "(none)";
  char buf[128];
  DWORD got = 0;
  if (!ReadFile(in, buf, sizeof buf - 1, &got, nullptr)) return "(unreadable)";
  std::string text(buf, got);
  return text.substr(0, text.find_first_of("\r\n"));
}

const char *write_std(DWORD which, const std::string &text) {
  HANDLE h = GetStdHandle(which);
  DWORD written = 0;
  if (!h || h == INVALID_HANDLE_VALUE || !WriteFile(h, text.data(), (DWORD)text.size(), &written, nullptr))
    return "fail";
  return "ok";
}

// Nobody may open this process for termination any more.
void deny_termination() {
  EXPLICIT_ACCESSA deny;
  memset(&deny, 0, sizeof deny);
  deny.grfAccessPermissions = PROCESS_TERMINATE;
  deny.grfAccessMode = DENY_ACCESS;
  deny.grfInheritance = NO_INHERITANCE;
  deny.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  deny.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  deny.Trustee.ptstrName = (LPSTR) "EVERYONE";
  PACL acl = nullptr;
  DWORD err = SetEntriesInAclA(1, &deny, nullptr, &acl);
  if (err == ERROR_SUCCESS)
    err = SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                          nullptr);
  log_line("deny termination " + std::to_string((int)err));
  if (acl) LocalFree(acl);
}

void run_until_told(DWORD life_ms) {
  HANDLE quit = CreateEventA(nullptr, TRUE, FALSE, "kv_stub_quit");
  WaitForSingleObject(quit, life_ms);
  log_line("quit");
}

}  // namespace

int main() {
  DWORD pid = GetCurrentProcessId();
  log_line("start " + std::to_string(pid));
  log_line(std::string("cmdline [") + GetCommandLineA() + "]");
  log_line("cwd [" + current_dir_utf8() + "]");
  STARTUPINFOA si;
  GetStartupInfoA(&si);
  int show = (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : -1;
  log_line("show " + std::to_string(show));
  log_line("stdin [" + read_stdin_line() + "]");
  log_line(std::string("stdout ") + write_std(STD_OUTPUT_HANDLE, "stub stdout " + std::to_string(pid) + "\n"));
  log_line(std::string("stderr ") + write_std(STD_ERROR_HANDLE, "stub stderr " + std::to_string(pid) + "\n"));

  char mode[64] = "forever";
  int code = 0, delay_ms = 0;
  FILE *f = _wfopen(beside_me(L"stub_mode.txt").c_str(), L"r");
  if (f) {
    if (fscanf(f, "%63s %d %d", mode, &code, &delay_ms) < 1) strcpy(mode, "forever");
    fclose(f);
  }
  if (strcmp(mode, "exit") == 0) {
    Sleep((DWORD)delay_ms);
    log_line("exit " + std::to_string(code));
    return code;
  }
  if (strcmp(mode, "unkillable") == 0) deny_termination();
  // For "forever" the first number is the life.
  run_until_told(strcmp(mode, "forever") == 0 && code > 0 ? (DWORD)code : kMaxLifeMs);
  return 0;
}
