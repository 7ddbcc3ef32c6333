// Tells where the shell's taskbar, one notification icon and a shown pop-up
// menu are on the screen, so that a script can click them with real mouse
// events. It asks the
// shell, not the picture: the taskbar is the window of class "Shell_TrayWnd",
// and each notification icon is a tool of a tooltip window of the shell's
// process, whose rectangle and tip the tooltip hands out. The tooltip lives in
// the shell's process, so the records it fills are placed there.
//
// Usage: taskbar_probe <desktop> <tip> <limit in seconds>
//        taskbar_probe <desktop> --menu <limit in seconds>
// It looks at the named desktop (the one `explorer /desktop=<name>,...` made):
// a program started elsewhere sees only its own. With a tip it waits until the
// taskbar is shown and an icon with exactly that tip sits inside it, then
// prints
//   taskbar <x> <y> <width> <height>
//   icon <x> <y> <width> <height>
// with --menu it waits for a shown pop-up menu and prints
//   menu <x> <y> <width> <height>
// in screen pixels, and ends with 0. After the limit it prints what it saw,
// beginning with "taskbar_probe: ", and ends with 1.
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <string.h>

namespace {

struct Box {
  LONG x, y, w, h;
};

Box box_of(const RECT &r) { return {r.left, r.top, r.right - r.left, r.bottom - r.top}; }

bool inside(const Box &inner, const Box &outer) {
  return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.w <= outer.x + outer.w &&
         inner.y + inner.h <= outer.y + outer.h;
}

// Memory in another process, freed on every path.
struct RemoteBlock {
  HANDLE process = NULL;
  void *at = NULL;
  RemoteBlock(HANDLE p, size_t size) : process(p) {
    at = VirtualAllocEx(p, NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  }
  ~RemoteBlock() {
    if (at) VirtualFreeEx(process, at, 0, MEM_RELEASE);
  }
};

struct Search {
  DWORD shell_pid;
  HANDLE shell;
  const wchar_t *tip;
  bool found;
  Box icon;
  int tools_seen;
};

const size_t kTipChars = 1024;
const UINT kAnswerMs = 1000;  // a shell busy drawing answers well within this

// Looks through the tools of one tooltip window of the shell for the tip.
void search_tooltip(HWND tooltip, Search *s) {
  DWORD_PTR count = 0;
  if (!SendMessageTimeoutW(tooltip, TTM_GETTOOLCOUNT, 0, 0, SMTO_ABORTIFHUNG, kAnswerMs, &count)) return;
  // One block: the record, then room for its text.
  RemoteBlock remote(s->shell, sizeof(TTTOOLINFOW) + kTipChars * sizeof(wchar_t));
  if (!remote.at) return;
  TTTOOLINFOW *remote_info = (TTTOOLINFOW *)remote.at;
  wchar_t *remote_text = (wchar_t *)(remote_info + 1);
  for (DWORD_PTR i = 0; i < count && !s->found; i++) {
    TTTOOLINFOW info = {};
    info.cbSize = sizeof info;
    info.lpszText = remote_text;
    wchar_t text[kTipChars] = {};
    SIZE_T moved = 0;
    if (!WriteProcessMemory(s->shell, remote_info, &info, sizeof info, &moved) ||
        !WriteProcessMemory(s->shell, remote_text, text, sizeof text, &moved))
      return;
    DWORD_PTR filled = 0;
    if (!SendMessageTimeoutW(tooltip, TTM_ENUMTOOLSW, (WPARAM)i, (LPARAM)remote_info, SMTO_ABORTIFHUNG, kAnswerMs,
                             &filled) ||
        !filled)
      continue;
    if (!ReadProcessMemory(s->shell, remote_info, &info, sizeof info, &moved) ||
        !ReadProcessMemory(s->shell, remote_text, text, sizeof text - sizeof(wchar_t), &moved))
      return;
    s->tools_seen++;
    if (wcscmp(text, s->tip) != 0) continue;
    MapWindowPoints(info.hwnd, NULL, (POINT *)&info.rect, 2);
    s->icon = box_of(info.rect);
    s->found = true;
  }
}

BOOL CALLBACK visit_window(HWND hwnd, LPARAM param) {
  Search *s = (Search *)param;
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  char cls[64] = "";
  GetClassNameA(hwnd, cls, sizeof cls);
  if (pid == s->shell_pid && strcmp(cls, TOOLTIPS_CLASSA) == 0) search_tooltip(hwnd, s);
  return !s->found;
}

// One look: true when the taskbar is shown and holds the icon.
bool look(const wchar_t *tip, Box *taskbar, Search *s) {
  *s = {};
  s->tip = tip;
  HWND bar = FindWindowA("Shell_TrayWnd", NULL);
  RECT r;
  if (!bar || !IsWindowVisible(bar) || !GetWindowRect(bar, &r)) return false;
  *taskbar = box_of(r);
  if (taskbar->w <= 0 || taskbar->h <= 0) return false;
  GetWindowThreadProcessId(bar, &s->shell_pid);
  s->shell = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, s->shell_pid);
  if (!s->shell) return false;
  EnumWindows(visit_window, (LPARAM)s);
  CloseHandle(s->shell);
  return s->found && s->icon.w > 0 && s->icon.h > 0 && inside(s->icon, *taskbar);
}

// The shown pop-up menu (class "#32768"), if any.
bool look_menu(Box *menu) {
  HWND found = NULL;
  while ((found = FindWindowExA(NULL, found, "#32768", NULL)) != NULL) {
    RECT r;
    if (IsWindowVisible(found) && GetWindowRect(found, &r)) {
      *menu = box_of(r);
      return true;
    }
  }
  return false;
}

int wait_for_icon(const char *tip_text, DWORD limit_ms) {
  wchar_t tip[kTipChars];
  if (!MultiByteToWideChar(CP_UTF8, 0, tip_text, -1, tip, (int)kTipChars)) return 2;
  DWORD start = GetTickCount();
  Box taskbar = {};
  Search s;
  while (!look(tip, &taskbar, &s)) {
    if (GetTickCount() - start >= limit_ms) {
      if (!FindWindowA("Shell_TrayWnd", NULL))
        printf("taskbar_probe: no taskbar after %lu ms\n", limit_ms);
      else if (!s.found)
        printf("taskbar_probe: taskbar %ld %ld %ld %ld, but no icon with the tip \"%s\" among %d after %lu ms\n",
               taskbar.x, taskbar.y, taskbar.w, taskbar.h, tip_text, s.tools_seen, limit_ms);
      else
        printf("taskbar_probe: icon %ld %ld %ld %ld is not inside the taskbar %ld %ld %ld %ld\n", s.icon.x,
               s.icon.y, s.icon.w, s.icon.h, taskbar.x, taskbar.y, taskbar.w, taskbar.h);
      return 1;
    }
    Sleep(200);
  }
  printf("taskbar %ld %ld %ld %ld\nicon %ld %ld %ld %ld\n", taskbar.x, taskbar.y, taskbar.w, taskbar.h, s.icon.x,
         s.icon.y, s.icon.w, s.icon.h);
  return 0;
}

int wait_for_menu(DWORD limit_ms) {
  DWORD start = GetTickCount();
  Box menu;
  while (!look_menu(&menu)) {
    if (GetTickCount() - start >= limit_ms) {
      printf("taskbar_probe: no menu shown after %lu ms\n", limit_ms);
      return 1;
    }
    Sleep(100);
  }
  printf("menu %ld %ld %ld %ld\n", menu.x, menu.y, menu.w, menu.h);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    printf("taskbar_probe: usage: taskbar_probe <desktop> <tip> | --menu <limit in seconds>\n");
    return 2;
  }
  const char *desktop_name = argv[1], *what = argv[2];
  DWORD limit_ms = (DWORD)atoi(argv[3]) * 1000;
  // The desktop may not be made yet: the shell that makes it starts beside us.
  DWORD start = GetTickCount();
  HDESK desktop;
  while (!(desktop = OpenDesktopA(desktop_name, 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE))) {
    if (GetTickCount() - start >= limit_ms) {
      printf("taskbar_probe: no desktop \"%s\" after %lu ms (%lu)\n", desktop_name, limit_ms, GetLastError());
      return 1;
    }
    Sleep(200);
  }
  if (!SetThreadDesktop(desktop)) {
    printf("taskbar_probe: cannot look at the desktop \"%s\" (%lu)\n", desktop_name, GetLastError());
    return 1;
  }
  DWORD left_ms = limit_ms - (GetTickCount() - start);
  return strcmp(what, "--menu") == 0 ? wait_for_menu(left_ms) : wait_for_icon(what, left_ms);
}
