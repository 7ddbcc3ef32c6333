// Drives kovarel_tray.exe from another process, as the shell and a user would:
// starts it with standard handles on files, finds its hidden window, posts the
// icon's mouse messages, picks "Exit" from its menu, and reads and answers its
// message box. Every wait is bounded. Paths are UTF-8.
#ifndef TRAY_DRIVER_H
#define TRAY_DRIVER_H

#include <windows.h>

#include <string>
#include <vector>

#define KV_TRAY_CLASS "KovarelSystemTrayClass"
#define KV_WM_TRAY_NOTIFY 1025

struct TrayRun {
  PROCESS_INFORMATION pi;
  std::string dir;  // the program directory, ending in '\'
};

// Starts dir\kovarel_tray.exe with args; standard input reads dir\tray_stdin.txt
// (written here with stdin_text), output and error go to dir\tray_out.txt and
// dir\tray_err.txt ("tray" being the default name). The tray's start directory
// is dir's parent, so it has to find its own directory itself.
bool start_tray(const std::string &dir, const std::string &args, const std::string &stdin_text, TrayRun *run,
                const std::string &name = "tray");
// Starts a program and returns its process information (handles to close).
bool start_program(const std::string &exe, PROCESS_INFORMATION *pi);
// true and the exit code once the process has ended within limit_ms.
bool wait_exit(HANDLE process, int limit_ms, DWORD *code);
bool is_running(HANDLE process);

// The top-level window of the class (and title, when given), or NULL after limit_ms.
HWND wait_window(const char *cls, const char *title, int limit_ms);
// The tray window of the given process, or NULL after limit_ms.
HWND wait_tray_window(DWORD pid, int limit_ms);
// Posts the icon's callback with a mouse message (515 double click, 516 right
// button down, 514 button up).
void post_mouse(HWND tray, UINT mouse_message);
// The process's pop-up menu while it is on screen, or NULL after limit_ms.
HWND wait_visible_menu(DWORD pid, int limit_ms);
// Opens the icon's menu and chooses its first item, "Exit"; false when no
// menu appeared.
bool choose_exit(HWND tray, int limit_ms);

// The message box of the process (class "#32770"), or NULL after limit_ms.
HWND wait_message_box(DWORD pid, int limit_ms);
std::string box_text(HWND box);
void press(HWND box, int button);  // IDOK or IDCANCEL

std::string read_file(const std::string &path);
std::vector<std::string> read_lines(const std::string &path);
// true once path contains needle, within limit_ms.
bool wait_for_text(const std::string &path, const std::string &needle, int limit_ms);

// Process ids of running processes with exactly this image name.
std::vector<DWORD> processes_named(const char *image);

#endif
