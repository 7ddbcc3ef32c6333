// Shared by the test-only stand-ins: where they write what they saw.
#ifndef SUPPORT_LOG_H
#define SUPPORT_LOG_H

#include <windows.h>

#include <string>

// A file in the folder of the running program.
inline std::string beside_me(const char *name) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string dir(path, n);
  return dir.substr(0, dir.find_last_of('\\') + 1) + name;
}

// Appends one line to a file beside the program; readers may hold it open.
inline void append_line(const char *file_name, const std::string &line) {
  HANDLE f = CreateFileA(beside_me(file_name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(f, text.data(), (DWORD)text.size(), &written, nullptr);
  CloseHandle(f);
}

#endif
