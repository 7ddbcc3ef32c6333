// The tray's part of the real-taskbar scenario, run inside Wine's virtual
// desktop beside its shell:
//   tray_in_desktop run <program dir\>
//     starts kovarel_tray.exe there (tray_driver), waits for it and for the
//     server it started, and writes "tray <code>" and "server <code>" to
//     <program dir>\exit_codes.txt once both have ended (at most 5 minutes);
//   tray_in_desktop forget-icon <desktop>
//     does what a restarted shell does to the tray: its icon is gone, and
//     "TaskbarCreated" is broadcast.
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <string.h>

#include <fstream>
#include <regex>
#include <string>

#include "tray_driver.h"

namespace {

const int kLimitMs = 300000;
const UINT kTrayIconId = 5000;  // the tray's own id for its icon

DWORD server_pid(const std::string &dir) {
  std::smatch m;
  std::string text = read_file(dir + "stub_log.txt");
  return std::regex_search(text, m, std::regex("start ([0-9]+)")) ? (DWORD)std::stoul(m[1]) : 0;
}

int run(const std::string &dir) {
  TrayRun tray = {};
  if (!start_tray(dir, "", "", &tray)) return 1;
  HANDLE server = nullptr;
  if (wait_for_text(dir + "stub_log.txt", "stderr", kLimitMs))
    server = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server_pid(dir));
  DWORD tray_code = 0xDEADBEEF, server_code = 0xDEADBEEF;
  wait_exit(tray.pi.hProcess, kLimitMs, &tray_code);
  if (server) wait_exit(server, kLimitMs, &server_code);
  std::ofstream(dir + "exit_codes.txt", std::ios::binary) << "tray " << (int)tray_code << "\nserver " << (int)server_code << "\n";
  return 0;
}

int forget_icon(const char *desktop_name) {
  HDESK desktop = OpenDesktopA(desktop_name, 0, FALSE, GENERIC_ALL);
  if (!desktop || !SetThreadDesktop(desktop)) return 1;
  NOTIFYICONDATAA icon;
  memset(&icon, 0, sizeof icon);
  icon.cbSize = sizeof icon;
  icon.hWnd = FindWindowA(KV_TRAY_CLASS, nullptr);
  icon.uID = kTrayIconId;
  if (!icon.hWnd || !Shell_NotifyIconA(NIM_DELETE, &icon)) return 1;
  PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "run") == 0) return run(argv[2]);
  if (argc == 3 && strcmp(argv[1], "forget-icon") == 0) return forget_icon(argv[2]);
  fprintf(stderr, "usage: tray_in_desktop run <program dir\\> | forget-icon <desktop>\n");
  return 2;
}
