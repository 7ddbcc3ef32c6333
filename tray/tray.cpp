// kovarel_tray.exe: keeps one copy of itself running, starts the media server
// kovarel.exe hidden from its own directory, watches it from a waiter thread,
// shows the notification icon with its "Exit" menu, and when the server fails
// offers the server's log.txt in Notepad.
//
// Two threads: the UI thread runs the entry, the window procedure, the loop and
// the clean-up; the waiter thread only waits for the server and posts private
// messages to the hidden window.
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>
#include <tlhelp32.h>

#include "ff.h"
#include "ff_dir.h"
#include "ff_thread.h"
#include "tray_cfg.h"
#include "tray_res.h"

#define TRAY_TAG "tray"

#define WM_TRAY_NOTIFY 1025   // the shell: mouse event on the icon, in lParam
#define WM_SERVER_EXIT 1026   // the waiter: the server ended by itself
#define WM_OPEN_CONSOLE 1027  // the waiter, or a double click: open the web console
#define ID_TRAY_EXIT 3002

#define KV_CLASS_NAME "KovarelSystemTrayClass"
#define KV_MUTEX_NAME "KovarelSystemTrayMutex"
#define KV_WINDOW_TITLE "KovarelSystemTray"
#define KV_SERVER_EXE "kovarel.exe"
#define KV_ICON_ID 5000
#define KV_PROMPT_SIZE 512
#define KV_CMDLINE_SIZE 256
// How long clean-up waits for the waiter once the server has been told to end.
#define KV_STOP_LIMIT_MS 10000
// The same at the end of the Windows session, which gives a program 5 s to
// answer WM_ENDSESSION before it may end it; the icon's removal comes after.
#define KV_SESSION_STOP_LIMIT_MS 3000
// The tray's exit code when the user chose "Exit" and the server runs on.
#define KV_EXIT_NOT_STOPPED 1

// The records handed to the system, at the sizes the 64-bit system expects.
static_assert(sizeof(WNDCLASSEXA) == 80, "WNDCLASSEXA");
static_assert(sizeof(NOTIFYICONDATAA) == 528, "NOTIFYICONDATAA");
static_assert(sizeof(STARTUPINFOA) == 104, "STARTUPINFOA");
static_assert(sizeof(SHELLEXECUTEINFOA) == 112, "SHELLEXECUTEINFOA");
static_assert(sizeof(PROCESSENTRY32) == 304, "PROCESSENTRY32");

int WinMain2(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR args, int iCmdShow);
LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
int kv_create_process(const char *exec_name, const char *param);
int kv_thd_wait_cb(void *arg);
void killProcessByName(const char *filename);
void log_cb(char *buf, void *arg);

static int debug_output;
static int open_setting_page;
static volatile int is_exit;      // the user chose "Exit"
static volatile DWORD nExitCode;  // the server's, written by the waiter
static HWND g_hwnd;
static HMENU g_menu;
static hnd_t kv_thd_hnd;
static STARTUPINFOA si;
static PROCESS_INFORMATION pi;

static NOTIFYICONDATAA g_icon;   // kept for removal and for adding again
static UINT taskbar_created;     // the shell's broadcast after it restarts
static HANDLE waiter_done;       // set by the waiter as its last act
static int window_ending;        // clean-up destroys the window: no quit message
static int loop_ending;          // a quit message was posted: the loop ends
static int server_left_running;  // clean-up gave up on the server
static HANDLE single_instance;

// Both threads log, and the sink may run on both at once: one call writes
// the whole line, as the stream is locked for each call.
void log_cb(char *buf, void *) {
  if (!debug_output) return;
  printf("%s\n", buf);
  fflush(stdout);
}

void killProcessByName(const char *filename) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry;
  memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (strcmp(entry.szExeFile, filename) != 0) continue;  // case matters
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    if (!process) continue;
    fflog_line("termainal process %s", filename);
    TerminateProcess(process, 9);
    CloseHandle(process);
  }
  CloseHandle(snapshot);
}

int kv_create_process(const char *exec_name, const char *param) {
  char cmdline[KV_CMDLINE_SIZE];
  memset(cmdline, 0, sizeof cmdline);
  memset(&pi, 0, sizeof pi);
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  si.wShowWindow = SW_HIDE;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  // A longer name is cut, never written past the buffer.
  snprintf(cmdline, sizeof cmdline, "\"%s\" %s", exec_name, param);
  // Standard handles given in the start-up record reach the child only when
  // handles are inherited.
  if (!CreateProcessA(nullptr, cmdline, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    ff_set_msg(TRAY_TAG, __LINE__, "CreateProcess '%s' failed (%d).", exec_name, (int)GetLastError());
    return -1;
  }
  return 0;
}

int kv_thd_wait_cb(void *) {
  if (open_setting_page) {
    Sleep(1000);
    PostMessageA(g_hwnd, WM_OPEN_CONSOLE, 0, 0);
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  nExitCode = code;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // The reason for the prompt is worded by the UI thread after the join: the
  // message slot is shared, and the console opening may write it meanwhile.
  if (is_exit) {
    fflog_line("kovarel.exe done, exit by tray %d", (int)code);
  } else {
    if (code == 0) fflog_line("kovarel.exe done %d", (int)code);
    PostMessageA(g_hwnd, WM_SERVER_EXIT, 0, 0);
  }
  SetEvent(waiter_done);
  return (int)code;
}

// Ends the message loop. The quit message alone is not enough: a message
// queued ahead of it may open a modal loop (a second pop-up menu after
// "Exit"), whose loop takes the quit message and drops it.
static void end_loop(void) {
  loop_ending = 1;
  PostQuitMessage(0);
}

// Opens the server's web console in the default browser, at the port the
// server's configuration names now (read afresh every time).
static void open_console(void) {
  char url[KV_URL_SIZE];
  get_url(url);
  ShellExecuteA(nullptr, "open", url, nullptr, nullptr, SW_SHOWMAXIMIZED);
}

static void show_menu(HWND hwnd) {
  POINT cursor;
  GetCursorPos(&cursor);
  SetForegroundWindow(hwnd);
  UINT command =
      (UINT)TrackPopupMenu(g_menu, TPM_RETURNCMD | TPM_NONOTIFY, cursor.x, cursor.y, 0, hwnd, nullptr);
  if (command == ID_TRAY_EXIT) {
    fflog_line("exit clicked");
    is_exit = 1;
    end_loop();
  }
}

static int stop_server(DWORD limit_ms);
static void remove_icon(void);

// Windows may end the tray as soon as WM_ENDSESSION has been answered: the
// tray ends there as "Exit" ends it, the server first.
static void end_session(void) {
  is_exit = 1;
  if (kv_thd_hnd) stop_server(KV_SESSION_STOP_LIMIT_MS);
  remove_icon();
  end_loop();
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // After the shell restarts its taskbar the old icon is gone: without it the
  // user could neither open the console nor end the tray.
  if (taskbar_created && message == taskbar_created && g_icon.cbSize) Shell_NotifyIconA(NIM_ADD, &g_icon);
  switch (message) {
    case WM_CREATE:
      g_menu = CreatePopupMenu();
      AppendMenuA(g_menu, MF_STRING, ID_TRAY_EXIT, "Exit");
      break;
    case WM_DESTROY:
      if (window_ending) break;
      fflog_line("DESTROY!!");
      end_loop();
      break;
    case WM_CLOSE:
      fflog_line("Got an actual WM_CLOSE Message!  Woo hoo!");
      break;
    case WM_NCHITTEST: {
      LRESULT hit = DefWindowProcA(hwnd, message, wParam, lParam);
      return hit == HTCLIENT ? HTCAPTION : hit;
    }
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE) fflog_line("SC_MINIMIZE");
      if ((wParam & 0xFFF0) == SC_CLOSE) fflog_line("SC_CLOSE");
      break;
    case WM_TRAY_NOTIFY:
      if (lParam == WM_LBUTTONDBLCLK) {
        fflog_line("HEY");
        open_console();
      } else if (lParam == WM_RBUTTONDOWN) {
        show_menu(hwnd);
      }
      break;
    case WM_SERVER_EXIT:
      fflog_line("OOPS kovarel has been exit");
      end_loop();
      break;
    case WM_OPEN_CONSOLE:
      open_console();
      break;
    case WM_ENDSESSION:
      if (wParam) end_session();
      break;
    default:
      break;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

static int create_window(HINSTANCE hInstance) {
  WNDCLASSEXA wc;
  memset(&wc, 0, sizeof wc);
  wc.cbSize = sizeof wc;
  wc.style = CS_VREDRAW | CS_HREDRAW;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = hInstance;
  wc.hIcon = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_KOVAREL_TRAY));
  wc.hIconSm = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_KOVAREL_TRAY));
  wc.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
  wc.hbrBackground = (HBRUSH)(INT_PTR)12;
  wc.lpszClassName = KV_CLASS_NAME;
  RegisterClassExA(&wc);
  g_hwnd = CreateWindowExA(0, KV_CLASS_NAME, KV_WINDOW_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 400,
                           50, nullptr, nullptr, hInstance, nullptr);
  if (!g_hwnd) {
    // Without the window nothing could ever end the tray: the waiter's
    // messages would have no target.
    ff_set_msg(TRAY_TAG, __LINE__, "CreateWindow failed (%d).", (int)GetLastError());
    return -1;
  }
  ShowWindow(g_hwnd, SW_HIDE);
  return 0;
}

static void fill_icon_record(HINSTANCE hInstance) {
  memset(&g_icon, 0, sizeof g_icon);
  g_icon.cbSize = sizeof g_icon;
  g_icon.hWnd = g_hwnd;
  g_icon.uID = KV_ICON_ID;
  g_icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  g_icon.uCallbackMessage = WM_TRAY_NOTIFY;
  g_icon.hIcon = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_KOVAREL_TRAY));
  strcpy(g_icon.szTip, "Kovarel Media Server");
}

static void remove_icon(void) {
  if (g_icon.cbSize) Shell_NotifyIconA(NIM_DELETE, &g_icon);
  memset(&g_icon, 0, sizeof g_icon);
}

static int run_message_loop(void) {
  MSG msg;
  while (!loop_ending && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  // Ended on the flag, the loop leaves its quit message queued, where it
  // would end the prompt at once.
  PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  return 0;
}

// Stops the server and takes the waiter down. A server that does not end
// within the limit is reported; its waiter is left blocked rather than the
// tray hanging with it, and what it still uses (its record, its event, the
// window handle) stays for the process's end to release. 0, or -1 with the
// message slot set.
static int stop_server(DWORD limit_ms) {
  killProcessByName(KV_SERVER_EXE);
  if (WaitForSingleObject(waiter_done, limit_ms) != WAIT_OBJECT_0) {
    fflog_line("kovarel.exe could not be stopped");
    ff_set_msg(TRAY_TAG, __LINE__, "kovarel.exe could not be stopped.");
    return -1;
  }
  ff_thread_join(kv_thd_hnd);
  ff_thread_close(kv_thd_hnd);
  kv_thd_hnd = nullptr;
  CloseHandle(waiter_done);
  g_hwnd = nullptr;
  if (is_exit) return 0;
  if ((int)nExitCode == -1)
    ff_set_msg(TRAY_TAG, __LINE__, "Kovarel startup failed.");
  else if (nExitCode != 0)
    ff_set_msg(TRAY_TAG, __LINE__, "Kovarel crashed.");
  return 0;
}

int WinMain2(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
  ff_set_msg(nullptr, 0, "%s", "");
  is_exit = 0;
  nExitCode = 0;
  taskbar_created = RegisterWindowMessageA("TaskbarCreated");
  int ret = -1;
  if (create_window(hInstance) == 0 && kv_create_process(KV_SERVER_EXE, "") == 0) {
    waiter_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!waiter_done) {
      ff_set_msg(TRAY_TAG, __LINE__, "CreateEvent failed (%d).", (int)GetLastError());
    } else if (ff_thread_open(&kv_thd_hnd, kv_thd_wait_cb, nullptr) != 0) {
      ff_chain_msg(TRAY_TAG, __LINE__);
      CloseHandle(waiter_done);
    } else {
      fill_icon_record(hInstance);
      Shell_NotifyIconA(NIM_ADD, &g_icon);
      ret = run_message_loop();
    }
  }

  remove_icon();
  // A tray started while the prompt or Notepad is on screen must find neither
  // the window nor the class nor the mutex, and a message sent to the window
  // cannot end the prompt.
  window_ending = 1;
  if (g_hwnd) DestroyWindow(g_hwnd);
  if (kv_thd_hnd) server_left_running = stop_server(KV_STOP_LIMIT_MS) != 0;
  UnregisterClassA(KV_CLASS_NAME, hInstance);
  if (single_instance) CloseHandle(single_instance);

  if (server_left_running) return -1;
  if (is_exit) return ret;
  return nExitCode != 0 ? (int)nExitCode : ret;
}

static void show_log_in_notepad(void) {
  SHELLEXECUTEINFOA sei;
  memset(&sei, 0, sizeof sei);
  sei.cbSize = sizeof sei;
  sei.fMask = SEE_MASK_NOCLOSEPROCESS;
  sei.lpFile = "notepad.exe";
  sei.lpParameters = "log.txt";
  sei.nShow = SW_SHOW;
  if (ShellExecuteExA(&sei) && sei.hProcess) {
    WaitForSingleObject(sei.hProcess, INFINITE);
    CloseHandle(sei.hProcess);
  }
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR args, int iCmdShow) {
  debug_output = 1;
  if (ff_set_current_dir(nullptr) != 0) {
    ff_chain_msg(TRAY_TAG, __LINE__);
    printf("%s\n", ff_get_msg());
    fflush(stdout);
  }
  if (FindWindowA(KV_CLASS_NAME, nullptr)) return 0;
  // Two trays started at the same moment both pass the class test before
  // either has its window: the mutex decides between them.
  single_instance = CreateMutexA(nullptr, FALSE, KV_MUTEX_NAME);
  if (single_instance && GetLastError() == ERROR_ALREADY_EXISTS) return 0;
  killProcessByName(KV_SERVER_EXE);
  if (ff_init() != 0) return 0;
  if (fflog_init(log_cb, (char *)"tray ", 1, nullptr) != 0) return 0;

  int argc = 0;
  LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv) LocalFree(argv);
  if (argc == 2) open_setting_page = 1;  // one argument, whatever it says

  int ret = WinMain2(hInstance, hPrevInstance, args, iCmdShow);
  if (server_left_running && is_exit) {
    MessageBoxA(nullptr, "Kovarel could not be stopped: kovarel.exe is still running.", "Kovarel",
                MB_OK | MB_ICONWARNING);
    return KV_EXIT_NOT_STOPPED;
  }
  if (ret == 0) return 0;
  if (ret == -2) return -1;

  // The slot can hold far more than the prompt: a long message is cut so the
  // question still fits.
  static const char question[] = " Do you want read the log?";
  char prompt[KV_PROMPT_SIZE];
  snprintf(prompt, sizeof prompt, "%.*s%s", (int)(sizeof prompt - sizeof question), ff_get_msg(), question);
  int answer = MessageBoxA(nullptr, prompt, "Kovarel", MB_OKCANCEL);
  // A quit message ends the box's loop as if OK had been pressed, and the box
  // posts it again: only the user's OK opens the log.
  MSG quit;
  if (answer != IDOK || PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return 0;
  show_log_in_notepad();
  return 0;
}
