// Shared by the test-only stand-ins: where they write what they saw. Paths go
// through the wide calls, so a stand-in in a folder outside the narrow code
// page logs as well; what they log is UTF-8.
#ifndef SUPPORT_LOG_H
#define SUPPORT_LOG_H

#include <windows.h>

#include <string>

// A file in the folder of the running program.
inline std::wstring beside_me(const wchar_t *name) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

// The current directory in UTF-8.
inline std::string current_dir_utf8() {
  wchar_t cwd[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, cwd);
  char utf8[4 * MAX_PATH] = "";
  WideCharToMultiByte(CP_UTF8, 0, cwd, -1, utf8, sizeof utf8, nullptr, nullptr);
  return utf8;
}

// Appends one line to a file beside the program; readers may hold it open.
inline void append_line(const wchar_t *file_name, const std::string &line) {
  HANDLE f = CreateFileW(beside_me(file_name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(f, text.data(), (DWORD)text.size(), &written, nullptr);
  CloseHandle(f);
}

#endif
