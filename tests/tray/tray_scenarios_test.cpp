// End-to-end scenarios of kovarel_tray.exe under Wine: each runs the real tray
// in a fresh program directory beside a stand-in kovarel.exe and a Notepad
// recorder, drives it as the shell and a user would, and checks what the stand-in
// saw, the tray's log, its prompt and its exit code. Every wait is bounded;
// tear-down leaves no tray, stand-in or recorder running.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tray_driver.h"

namespace fs = std::filesystem;

namespace {

const int kStartMs = 5000;  // for a process or a window to appear
const int kEndMs = 5000;    // for a process to end once it should
const char *kQuestion = " Do you want read the log\\?";

std::string program_dir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string exe(path, n);
  return exe.substr(0, exe.find_last_of('\\') + 1);
}

int count_of(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
  return n;
}

// The pid a stand-in logged in its "start" line, or 0.
DWORD logged_pid(const std::string &stub_log) {
  std::smatch m;
  std::string text = read_file(stub_log);
  return std::regex_search(text, m, std::regex("start ([0-9]+)")) ? (DWORD)std::stoul(m[1]) : 0;
}

// The running server whose pid the stand-in logged, to read its exit code later.
HANDLE open_server(const std::string &stub_log) {
  return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, logged_pid(stub_log));
}

ULONGLONG filetime(const FILETIME &t) { return ((ULONGLONG)t.dwHighDateTime << 32) | t.dwLowDateTime; }

// Writes a value under HKEY_CURRENT_USER.
void set_user_value(const char *key_name, const char *value_name, DWORD type, const void *data, DWORD size) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key_name, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, value_name, 0, type, (const BYTE *)data, size);
  RegCloseKey(key);
}

// Wine hands every URL the shell opens to the registered browser: the recorder.
void register_browser_recorder() {
  const char *recorder = getenv("KV_BROWSER_RECORDER");
  ASSERT_NE(recorder, nullptr) << "set by the test's environment";
  set_user_value("Software\\Wine\\WineBrowser", "Browsers", REG_SZ, recorder, (DWORD)strlen(recorder) + 1);
}

// Without this Wine runs its own Notepad over the recorder beside the tray,
// and a Notepad opened by mistake would go unseen.
void register_notepad_recorder() {
  set_user_value("Software\\Wine\\DllOverrides", "notepad.exe", REG_SZ, "native", 7);
}

// A tray that crashes ends (its scenario fails) instead of waiting in Wine's
// crash dialog, which nobody sees here.
void hide_crash_dialog() {
  DWORD off = 0;
  set_user_value("Software\\Wine\\WineDbg", "ShowCrashDialog", REG_DWORD, &off, sizeof off);
}

class TrayScenario : public testing::Test {
 protected:
  void SetUp() override {
    quit_stubs = CreateEventA(nullptr, TRUE, FALSE, "kv_stub_quit");
    close_notepad = CreateEventA(nullptr, TRUE, FALSE, "kv_notepad_close");
    ResetEvent(quit_stubs);
    ResetEvent(close_notepad);
    std::string bin = program_dir();
    std::string base = bin + "..\\tray-scenarios\\" + testing::UnitTest::GetInstance()->current_test_info()->name();
    std::error_code ec;
    fs::remove_all(fs::u8path(base), ec);
    dir = base + "\\" + folder + (folder.empty() ? "" : "\\");
    ASSERT_TRUE(fs::create_directories(at(""))) << dir;
    copy(bin + "kovarel_tray.exe", "kovarel_tray.exe");
    copy(bin + "support\\kovarel.exe", "kovarel.exe");
    copy(bin + "support\\notepad.exe", "notepad.exe");
    // The DLLs the tray links, as they ship beside it.
    for (const fs::directory_entry &entry : fs::directory_iterator(bin)) {
      if (entry.path().extension() == ".dll") copy(entry.path().string(), entry.path().filename().string().c_str());
    }
    register_browser_recorder();
    register_notepad_recorder();
    hide_crash_dialog();
  }

  void TearDown() override {
    SetEvent(quit_stubs);
    SetEvent(close_notepad);
    if (tray.pi.hProcess) {
      DWORD code = 0;
      if (!wait_exit(tray.pi.hProcess, kEndMs, &code)) {
        ADD_FAILURE() << "the tray is still running; its log:\n" << read_file(dir + "tray_out.txt");
        TerminateProcess(tray.pi.hProcess, 1);
      }
      CloseHandle(tray.pi.hThread);
      CloseHandle(tray.pi.hProcess);
    }
    for (PROCESS_INFORMATION &pi : others) {
      DWORD code = 0;
      if (!wait_exit(pi.hProcess, kEndMs, &code)) TerminateProcess(pi.hProcess, 1);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    expect_no_leftovers();
    if (!notepad_expected) EXPECT_EQ(read_file(dir + "notepad_log.txt"), "") << "nobody asked for the log";
    CloseHandle(quit_stubs);
    CloseHandle(close_notepad);
  }

  void copy(const std::string &from, const char *to) {
    std::error_code ec;
    fs::copy_file(fs::u8path(from), at(to), fs::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << from << ": " << ec.message();
  }

  void set_mode(const std::string &mode) { std::ofstream(at("stub_mode.txt")) << mode << "\n"; }
  // A file or folder of the program directory.
  fs::path at(const std::string &name) const { return fs::u8path(dir + name); }

  void start(const std::string &args = "") {
    ASSERT_TRUE(start_tray(dir, args, "tray stdin line\n", &tray)) << GetLastError();
    window = wait_tray_window(tray.pi.dwProcessId, kStartMs);
    ASSERT_NE(window, nullptr) << "no tray window; log:\n" << log();
  }

  // Starts a stand-in copy in a subfolder, under the given image name.
  PROCESS_INFORMATION start_copy(const std::string &sub, const char *image) {
    fs::create_directories(dir + sub);
    copy(dir + "kovarel.exe", (sub + "\\" + image).c_str());
    PROCESS_INFORMATION pi = {};
    EXPECT_TRUE(start_program(dir + sub + "\\" + image, &pi));
    EXPECT_TRUE(wait_for_text(dir + sub + "\\stub_log.txt", "stderr", kStartMs));
    others.push_back(pi);
    return pi;
  }

  DWORD wait_tray_exit(int limit_ms = kEndMs) {
    DWORD code = 0xDEADBEEF;
    EXPECT_TRUE(wait_exit(tray.pi.hProcess, limit_ms, &code)) << "tray still running; log:\n" << log();
    return code;
  }

  // The tray's message box once its text is filled in (it exists a moment
  // before), or NULL; the text goes to *text.
  HWND wait_box(std::string *text, int limit_ms = kEndMs) {
    HWND box = wait_message_box(tray.pi.dwProcessId, limit_ms);
    text->clear();
    for (int waited = 0; box && waited <= kEndMs && text->empty(); waited += 10) {
      *text = box_text(box);
      if (text->empty()) Sleep(10);
    }
    char title[64] = "";
    if (box) GetWindowTextA(box, title, sizeof title);
    if (box) EXPECT_STREQ(title, "Kovarel");
    return box;
  }

  // Reads the prompt, checks its whole text and answers it.
  void answer_prompt(const std::string &message_pattern, int button) {
    std::string text;
    HWND box = wait_box(&text);
    ASSERT_NE(box, nullptr) << "no prompt; log:\n" << log();
    EXPECT_TRUE(std::regex_match(text, std::regex(message_pattern + kQuestion))) << text;
    press(box, button);
  }

  // The tray's exit code; a prompt shown before it ends is a failure (and is
  // cancelled).
  DWORD wait_tray_exit_quietly() {
    DWORD code = 0xDEADBEEF;
    for (int waited = 0; waited <= kEndMs; waited += 10) {
      if (wait_exit(tray.pi.hProcess, 0, &code)) return code;
      HWND box = wait_message_box(tray.pi.dwProcessId, 0);
      if (box) {
        ADD_FAILURE() << "unexpected prompt: " << box_text(box);
        press(box, IDCANCEL);
        break;
      }
      Sleep(10);
    }
    return wait_tray_exit();
  }

  // Starts a second tray while the first is still in its prompt or waits for
  // Notepad: it must start a server of its own and run until "Exit".
  void expect_restart_runs() {
    int servers = count_of(stub_log(), "start ");
    TrayRun second = {};
    ASSERT_TRUE(start_tray(dir, "", "", &second, "second"));
    HWND second_window = wait_tray_window(second.pi.dwProcessId, kStartMs);
    EXPECT_NE(second_window, nullptr) << "the second tray did not run";
    EXPECT_TRUE(wait_for_text(dir + "stub_log.txt", "start ", kStartMs));
    for (int waited = 0; waited <= kStartMs && count_of(stub_log(), "start ") == servers; waited += 10) Sleep(10);
    EXPECT_EQ(count_of(stub_log(), "start "), servers + 1) << stub_log();
    DWORD code = 0xDEADBEEF;
    if (second_window) EXPECT_TRUE(choose_exit(second_window, kStartMs));
    EXPECT_TRUE(wait_exit(second.pi.hProcess, kEndMs, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(second.pi.hThread);
    CloseHandle(second.pi.hProcess);
  }

  HWND wait_menu(int limit_ms) { return wait_visible_menu(tray.pi.dwProcessId, limit_ms); }
  std::string log() { return read_file(dir + "tray_out.txt"); }
  // Whether the tray logged a line with this text (after its stamp and label).
  bool logged(const std::string &text) {
    for (const std::string &line : read_lines(dir + "tray_out.txt")) {
      if (line.size() >= text.size() + 5 && line.compare(line.size() - text.size() - 5, std::string::npos, "tray " + text) == 0)
        return true;
    }
    return false;
  }
  std::string stub_log() { return read_file(dir + "stub_log.txt"); }
  std::vector<std::string> opened_urls() { return read_lines(dir + "browser_urls.txt"); }
  // Waits until the browser recorder holds n URLs.
  bool wait_urls(size_t n, int limit_ms) {
    for (int waited = 0; waited <= limit_ms; waited += 20) {
      if (opened_urls().size() >= n) return true;
      Sleep(20);
    }
    return false;
  }
  void write_cfg(const std::string &text) {
    fs::create_directories(at("cfg.win32"));
    std::ofstream(at("cfg.win32\\kovarel.cfg"), std::ios::binary) << text;
  }

  void expect_no_leftovers() {
    for (const char *image : {"kovarel_tray.exe", "kovarel.exe", "Kovarel.exe", "notepad.exe"}) {
      bool gone = false;
      for (int waited = 0; waited <= kEndMs && !gone; waited += 20) {
        gone = processes_named(image).empty();
        if (!gone) Sleep(20);
      }
      EXPECT_TRUE(gone) << image << " left running";
      for (DWORD pid : processes_named(image)) {
        HANDLE p = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        if (p) TerminateProcess(p, 1), CloseHandle(p);
      }
    }
  }

  std::string folder;  // of the program directory inside the scenario's, if any
  std::string dir;     // UTF-8, ending in '\'
  TrayRun tray = {};
  HWND window = nullptr;
  std::vector<PROCESS_INFORMATION> others;
  bool notepad_expected = false;
  HANDLE quit_stubs = nullptr;
  HANDLE close_notepad = nullptr;
};

// The server runs hidden with the tray's standard handles and the command line
// of its quoted name and a blank; the icon's mouse messages and the shell's
// restart are handled; "Exit" kills the server and ends the tray quietly.
TEST_F(TrayScenario, ServerRunsHiddenAndExitStopsIt) {
  start();
  ASSERT_TRUE(wait_for_text(dir + "stub_log.txt", "stderr", kStartMs)) << stub_log();
  HANDLE server = open_server(dir + "stub_log.txt");
  ASSERT_NE(server, nullptr);
  std::string seen = stub_log();
  EXPECT_NE(seen.find("cmdline [\"kovarel.exe\" ]\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find("show 0\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find("stdin [tray stdin line]\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find("stdout ok\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find("stderr ok\n"), std::string::npos) << seen;
  EXPECT_TRUE(wait_for_text(dir + "tray_out.txt", "stub stdout", kStartMs)) << log();
  EXPECT_TRUE(wait_for_text(dir + "tray_err.txt", "stub stderr", kStartMs));

  post_mouse(window, WM_LBUTTONUP);
  post_mouse(window, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(wait_urls(1, kEndMs)) << log();
  EXPECT_EQ(opened_urls(), std::vector<std::string>{"http://127.0.0.1:5566/wscli/general/"});
  // What another process can see of the window and its class.
  EXPECT_EQ(GetClassLongPtrA(window, GCL_STYLE), (ULONG_PTR)(CS_VREDRAW | CS_HREDRAW));
  char title[64] = "";
  GetWindowTextA(window, title, sizeof title);
  EXPECT_STREQ(title, "KovarelSystemTray");
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetWindowLongPtrA(window, GWL_EXSTYLE) & ~(LONG_PTR)WS_EX_WINDOWEDGE, 0) << "a plain window";
  // The client area answers as a caption would (the window could be dragged
  // by it); the frame keeps its own answers.
  RECT frame;
  GetWindowRect(window, &frame);
  POINT inside = {0, 0};
  ClientToScreen(window, &inside);
  EXPECT_EQ(SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(inside.x + 1, inside.y + 1)), HTCAPTION);
  EXPECT_EQ(SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(frame.right + 5, frame.bottom + 5)), HTNOWHERE);

  ASSERT_TRUE(choose_exit(window, kStartMs));
  EXPECT_EQ(wait_tray_exit_quietly(), 0u);
  DWORD server_code = 0;
  EXPECT_TRUE(wait_exit(server, 0, &server_code));
  EXPECT_EQ(server_code, 9u) << "the server is killed, not told";
  CloseHandle(server);
  std::string out = log();
  EXPECT_TRUE(logged("exit clicked")) << out;
  EXPECT_TRUE(logged("termainal process kovarel.exe")) << out;
  size_t last_done = out.rfind("kovarel.exe done");
  ASSERT_NE(last_done, std::string::npos) << out;
  EXPECT_EQ(out.substr(last_done, out.find_first_of("\r\n", last_done) - last_done), "kovarel.exe done, exit by tray 9");
  EXPECT_EQ(count_of(out, "HEY"), 1) << "a button-up must do nothing";
  EXPECT_EQ(opened_urls().size(), 1u) << "a button-up must do nothing";
  // Every log line carries the day, the time to the millisecond and the label.
  for (const std::string &line : read_lines(dir + "tray_out.txt")) {
    if (line.rfind("stub ", 0) == 0) continue;
    EXPECT_TRUE(std::regex_match(line, std::regex("[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} tray .*"))) << line;
  }
}

// "Exit" ends the tray whatever follows it: a right click and a double click
// queued behind the choice, ahead of the quit message. The click surely came
// first when the menu was still up after it had been queued (a hit of the
// race); a second menu, should one open, is dismissed as a user would.
TEST_F(TrayScenario, ExitStandsWhateverClicksFollow) {
  const int kRounds = 6;
  int hits = 0, second_menus = 0;
  for (int round = 0; round < kRounds; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    start();
    ASSERT_TRUE(wait_for_text(dir + "stub_log.txt", "stderr", kStartMs)) << stub_log();
    HANDLE server = open_server(dir + "stub_log.txt");
    post_mouse(window, WM_RBUTTONDOWN);
    HWND menu = wait_menu(kStartMs);
    ASSERT_NE(menu, nullptr) << log();
    // The menu chooses on the character of the Enter key, which a key press
    // would post behind the clicks.
    PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(menu, WM_CHAR, '\r', 0);
    post_mouse(window, WM_RBUTTONDOWN);
    post_mouse(window, WM_LBUTTONDBLCLK);
    hits += IsWindowVisible(menu) != 0;
    bool first_gone = false, second_menu = false;
    DWORD code = 0xDEADBEEF;
    for (int waited = 0; waited <= kEndMs && !wait_exit(tray.pi.hProcess, 0, &code); waited += 10) {
      HWND open = wait_menu(0);
      if (!open) first_gone = true;
      if (open && (first_gone || open != menu)) {
        second_menu = true;
        Sleep(300);  // no user is quicker
        PostMessageA(open, WM_KEYDOWN, VK_ESCAPE, 0);
      }
      Sleep(10);
    }
    second_menus += second_menu;
    EXPECT_EQ(code, 0u) << log();
    EXPECT_EQ(wait_message_box(tray.pi.dwProcessId, 0), nullptr);
    DWORD server_code = 0;
    EXPECT_TRUE(wait_exit(server, kEndMs, &server_code));
    EXPECT_EQ(server_code, 9u);
    CloseHandle(server);
    if (is_running(tray.pi.hProcess)) TerminateProcess(tray.pi.hProcess, 1);
    CloseHandle(tray.pi.hThread);
    CloseHandle(tray.pi.hProcess);
    tray = {};
    ASSERT_TRUE(DeleteFileA((dir + "stub_log.txt").c_str()));
  }
  RecordProperty("race_hits", hits);
  printf("clicks queued while the menu was up: %d of %d; second menus: %d\n", hits, kRounds, second_menus);
}

// At the end of the Windows session the tray ends as "Exit" ends it before it
// answers WM_ENDSESSION: the system may end it at once after that (Wine's
// session end does) and gives it 5 s. Left running, it ends by itself.
TEST_F(TrayScenario, SessionEndStopsTheServerBeforeTheAnswer) {
  for (bool ended_by_system : {true, false}) {
    SCOPED_TRACE(ended_by_system ? "ended by the system" : "left running");
    start();
    ASSERT_TRUE(wait_for_text(dir + "stub_log.txt", "stderr", kStartMs)) << stub_log();
    HANDLE server = open_server(dir + "stub_log.txt");
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer));
    EXPECT_EQ(answer, (DWORD_PTR)TRUE);
    EXPECT_TRUE(is_running(server)) << "only asked, the session may go on";
    DWORD started = GetTickCount();
    EXPECT_TRUE(SendMessageTimeoutA(window, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 5000, &answer)) << "no answer in 5 s";
    printf("WM_ENDSESSION answered in %lu ms\n", GetTickCount() - started);
    EXPECT_EQ(wait_message_box(tray.pi.dwProcessId, 0), nullptr);
    if (ended_by_system) TerminateProcess(tray.pi.hProcess, 0);
    DWORD server_code = 0;
    EXPECT_TRUE(wait_exit(server, 0, &server_code)) << "the server outlives the tray";
    EXPECT_EQ(server_code, 9u);
    CloseHandle(server);
    EXPECT_TRUE(logged("kovarel.exe done, exit by tray 9")) << log();
    EXPECT_EQ(wait_tray_exit_quietly(), 0u);
    CloseHandle(tray.pi.hThread);
    CloseHandle(tray.pi.hProcess);
    tray = {};
    ASSERT_TRUE(DeleteFileA((dir + "stub_log.txt").c_str()));
  }
}

TEST_F(TrayScenario, SecondCopyExitsAndLeavesTheFirstAlone) {
  start();
  ASSERT_TRUE(wait_for_text(dir + "stub_log.txt", "stderr", kStartMs));
  DWORD server = logged_pid(dir + "stub_log.txt");
  HANDLE server_process = OpenProcess(SYNCHRONIZE, FALSE, server);
  ASSERT_NE(server_process, nullptr);

  TrayRun second = {};
  ASSERT_TRUE(start_tray(dir, "", "", &second));
  DWORD code = 0xDEADBEEF;
  EXPECT_TRUE(wait_exit(second.pi.hProcess, kEndMs, &code));
  EXPECT_EQ(code, 0u);
  CloseHandle(second.pi.hThread);
  CloseHandle(second.pi.hProcess);
  EXPECT_TRUE(is_running(server_process));
  EXPECT_EQ(count_of(stub_log(), "start "), 1) << stub_log();

  ASSERT_TRUE(choose_exit(window, kStartMs));
  EXPECT_EQ(wait_tray_exit(), 0u);
  CloseHandle(server_process);
}

// A stale kovarel.exe is killed (exit code 9) before the new server starts; a
// process whose image name differs only in case is not touched.
TEST_F(TrayScenario, StaleServerIsKilledOtherCaseIsSpared) {
  PROCESS_INFORMATION stale = start_copy("stale", "kovarel.exe");
  PROCESS_INFORMATION other = start_copy("other", "Kovarel.exe");
  start();
  DWORD code = 0;
  ASSERT_TRUE(wait_exit(stale.hProcess, kEndMs, &code));
  EXPECT_EQ(code, 9u);
  ASSERT_TRUE(wait_for_text(dir + "stub_log.txt", "stderr", kStartMs));
  HANDLE server = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, logged_pid(dir + "stub_log.txt"));
  ASSERT_NE(server, nullptr);
  FILETIME created, ended, kernel, user, server_created, unused;
  ASSERT_TRUE(GetProcessTimes(stale.hProcess, &created, &ended, &kernel, &user));
  ASSERT_TRUE(GetProcessTimes(server, &server_created, &unused, &kernel, &user));
  EXPECT_LE(filetime(ended), filetime(server_created));
  CloseHandle(server);
  EXPECT_TRUE(is_running(other.hProcess));

  ASSERT_TRUE(choose_exit(window, kStartMs));
  EXPECT_EQ(wait_tray_exit(), 0u);
  EXPECT_TRUE(is_running(other.hProcess));
}

struct ServerEnd {
  int server_code;
  const char *prompt;  // pattern of the message before the question, or NULL
  int tray_code;
};

class ServerEnds : public TrayScenario, public testing::WithParamInterface<ServerEnd> {};

TEST_P(ServerEnds, ExitCodeAndPromptFollowTheServer) {
  ServerEnd end = GetParam();
  set_mode("exit " + std::to_string(end.server_code) + " 500");
  start();
  if (end.prompt) answer_prompt(end.prompt, IDCANCEL);
  EXPECT_EQ((int)(end.prompt ? wait_tray_exit() : wait_tray_exit_quietly()), end.tray_code);
  std::string out = log();
  EXPECT_TRUE(logged("OOPS kovarel has been exit")) << out;
  EXPECT_EQ(end.server_code == 0, logged("kovarel.exe done 0")) << out;
  EXPECT_EQ(end.server_code == 0, count_of(out, "kovarel.exe done") == 1) << out;
}

INSTANTIATE_TEST_SUITE_P(Codes, ServerEnds,
                         testing::Values(ServerEnd{0, nullptr, 0}, ServerEnd{-2, nullptr, -1},
                                         ServerEnd{-1, "tray\\([0-9]+\\): Kovarel startup failed\\.", 0},
                                         ServerEnd{3, "tray\\([0-9]+\\): Kovarel crashed\\.", 0}),
                         [](const testing::TestParamInfo<ServerEnd> &info) {
                           int code = info.param.server_code;
                           return code < 0 ? "Minus" + std::to_string(-code) : std::to_string(code);
                         });

// OK opens log.txt of the program directory in Notepad, and the tray ends only
// once Notepad has.
TEST_F(TrayScenario, OkOpensTheLogAndWaitsForNotepad) {
  set_mode("exit 3 500");
  notepad_expected = true;
  start();
  answer_prompt("tray\\([0-9]+\\): Kovarel crashed\\.", IDOK);
  ASSERT_TRUE(wait_for_text(dir + "notepad_log.txt", "cwd", kStartMs)) << log();
  std::vector<std::string> seen = read_lines(dir + "notepad_log.txt");
  ASSERT_GE(seen.size(), 2u);
  EXPECT_TRUE(std::regex_match(seen[0], std::regex("cmdline \\[.*notepad(\\.exe)?\"? +log\\.txt\\]"))) << seen[0];
  std::string cwd = dir.substr(0, dir.size() - 1);
  EXPECT_EQ(fs::equivalent(seen[1].substr(5, seen[1].size() - 6), cwd), true) << seen[1];
  // A tray started while the log is being read runs as usual.
  set_mode("forever");
  expect_restart_runs();
  EXPECT_TRUE(is_running(tray.pi.hProcess)) << "the tray must wait for Notepad";
  SetEvent(close_notepad);
  EXPECT_EQ(wait_tray_exit(), 0u);
}

// Whatever the console opening wrote meanwhile, the prompt names the server's
// end: here the console opens (at one second, with an unusable configuration)
// after the server has crashed.
TEST_F(TrayScenario, PromptNamesTheServersEndAfterTheConsoleOpened) {
  write_cfg("[1]");
  set_mode("exit 3 200");
  start("x");
  answer_prompt("tray\\([0-9]+\\): Kovarel crashed\\.", IDCANCEL);
  EXPECT_EQ(wait_tray_exit(), 0u);
  EXPECT_TRUE(wait_urls(1, kStartMs));
  EXPECT_EQ(opened_urls(), std::vector<std::string>{"http://127.0.0.1:5566/wscli/general/"});
  EXPECT_TRUE(logged("can't find 2 cfg.win32/kovarel.cfg")) << log();
}

// Nothing but the user's OK opens the log: not a WM_CLOSE sent to the tray's
// window while the prompt is up, nor a quit message reaching the prompt's loop.
TEST_F(TrayScenario, OnlyTheUsersOkOpensTheLog) {
  for (bool quit_message : {false, true}) {
    SCOPED_TRACE(quit_message ? "quit message" : "WM_CLOSE");
    set_mode("exit 3 200");
    start();
    std::string text;
    HWND box = wait_box(&text);
    ASSERT_NE(box, nullptr) << log();
    if (quit_message)
      PostThreadMessageA(tray.pi.dwThreadId, WM_QUIT, 0, 0);
    else
      PostMessageA(window, WM_CLOSE, 0, 0);
    // A box that closes on its own does so at once; one still up is cancelled.
    for (int waited = 0; waited < 500 && IsWindow(box); waited += 10) Sleep(10);
    if (IsWindow(box)) press(box, IDCANCEL);
    EXPECT_EQ(wait_tray_exit(), 0u) << log();
    EXPECT_EQ(read_file(dir + "notepad_log.txt"), "");
    CloseHandle(tray.pi.hThread);
    CloseHandle(tray.pi.hProcess);
    tray = {};
  }
}

// A tray started while the crash prompt is up starts its server and runs.
TEST_F(TrayScenario, RestartWhileThePromptIsUp) {
  set_mode("exit 3 200");
  start();
  std::string text;
  HWND box = wait_box(&text);
  ASSERT_NE(box, nullptr) << log();
  set_mode("forever");
  expect_restart_runs();
  press(box, IDCANCEL);
  EXPECT_EQ(wait_tray_exit(), 0u);
}

// Trays started back to back: one runs the server, the others end with 0.
struct TogetherStart {
  HANDLE go;
  std::string dir, name;
  TrayRun run;
  bool started;
};

DWORD WINAPI start_when_told(void *arg) {
  TogetherStart *s = (TogetherStart *)arg;
  WaitForSingleObject(s->go, INFINITE);
  s->started = start_tray(s->dir, "", "", &s->run, s->name);
  return 0;
}

TEST_F(TrayScenario, TraysStartedTogetherRunOnce) {
  const int kTrays = 6;
  // Started from threads at one signal, so their starts overlap.
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  TogetherStart starts[kTrays];
  HANDLE threads[kTrays];
  for (int i = 0; i < kTrays; i++) {
    starts[i] = {go, dir, "tray" + std::to_string(i), {}, false};
    threads[i] = CreateThread(nullptr, 0, start_when_told, &starts[i], 0, nullptr);
  }
  SetEvent(go);
  WaitForMultipleObjects(kTrays, threads, TRUE, INFINITE);
  TrayRun runs[kTrays];
  for (int i = 0; i < kTrays; i++) {
    CloseHandle(threads[i]);
    ASSERT_TRUE(starts[i].started);
    runs[i] = starts[i].run;
  }
  CloseHandle(go);
  // All but one end at once.
  for (int waited = 0, ended = 0; waited <= kStartMs && ended < kTrays - 1; waited += 10) {
    ended = 0;
    for (TrayRun &run : runs) ended += !is_running(run.pi.hProcess);
    Sleep(10);
  }
  int running = -1;
  for (int i = 0; i < kTrays; i++) {
    DWORD code = 0xDEADBEEF;
    if (wait_exit(runs[i].pi.hProcess, 0, &code)) {
      EXPECT_EQ(code, 0u);
      CloseHandle(runs[i].pi.hThread);
      CloseHandle(runs[i].pi.hProcess);
    } else {
      EXPECT_EQ(running, -1) << "two trays run";
      if (running != -1) others.push_back(tray.pi);
      running = i;
      tray = runs[i];
    }
  }
  ASSERT_NE(running, -1) << "no tray runs";
  window = wait_tray_window(tray.pi.dwProcessId, kStartMs);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(wait_for_text(dir + "stub_log.txt", "stderr", kStartMs));
  EXPECT_EQ(count_of(stub_log(), "start "), 1) << stub_log();
  ASSERT_TRUE(choose_exit(window, kStartMs));
  EXPECT_EQ(wait_tray_exit(), 0u);
}

TEST_F(TrayScenario, MissingServerIsReported) {
  ASSERT_TRUE(DeleteFileA((dir + "kovarel.exe").c_str()));
  ASSERT_TRUE(start_tray(dir, "", "", &tray));
  answer_prompt("tray\\([0-9]+\\): CreateProcess 'kovarel\\.exe' failed \\(2\\)\\.", IDCANCEL);
  EXPECT_EQ(wait_tray_exit(), 0u);
}

// One argument, whatever it says, opens the console about a second after the
// start; none or two do not.
TEST_F(TrayScenario, ConsoleOpensAfterASecondWithOneArgumentOnly) {
  write_cfg(R"({"port": 7001})");
  for (const char *args : {"x", "", "a b"}) {
    SCOPED_TRACE(std::string("args [") + args + "]");
    size_t before = opened_urls().size();
    DWORD started = GetTickCount();
    start(args);
    bool one_argument = strcmp(args, "x") == 0;
    // Without the argument nothing may come even well after the second.
    bool opened = wait_urls(before + 1, one_argument ? kEndMs : 2000);
    DWORD after = GetTickCount() - started;
    EXPECT_EQ(opened, one_argument) << log();
    if (opened) EXPECT_GE(after, 900u);
    if (opened) EXPECT_EQ(opened_urls().back(), "http://127.0.0.1:7001/wscli/general/");
    ASSERT_TRUE(choose_exit(window, kStartMs));
    EXPECT_EQ(wait_tray_exit(), 0u);
    CloseHandle(tray.pi.hThread);
    CloseHandle(tray.pi.hProcess);
    tray = {};
  }
}

// The program directory, named as a user's may be: plain, or in scripts that
// no single-byte code page holds (under Wine's code page 1252 here).
class ProgramFolders : public TrayScenario, public testing::WithParamInterface<const char *> {
 protected:
  ProgramFolders() { folder = GetParam(); }
};

// A double click opens the console at the port configured at that moment: the
// configuration is read afresh each time. Without a configuration the console
// opens at 5566 and the directory "cfg" appears beside the tray. The server
// runs in the tray's folder, whatever its name.
TEST_P(ProgramFolders, DoubleClickOpensTheConfiguredConsoleEachTime) {
  if (!folder.empty()) {
    BOOL lost = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, fs::u8path(folder).c_str(), -1, nullptr, 0, nullptr, &lost);
    ASSERT_TRUE(lost) << "code page " << GetACP() << " holds the name: the scenario would prove nothing";
  }
  write_cfg(R"({"name": "demo", "port": 8080})");
  start();
  post_mouse(window, WM_LBUTTONDBLCLK);
  ASSERT_TRUE(wait_urls(1, kStartMs)) << log();
  write_cfg(R"({"port": 80})");
  post_mouse(window, WM_LBUTTONDBLCLK);
  ASSERT_TRUE(wait_urls(2, kStartMs)) << log();
  ASSERT_TRUE(fs::remove(at("cfg.win32\\kovarel.cfg")));
  post_mouse(window, WM_LBUTTONDBLCLK);
  ASSERT_TRUE(wait_urls(3, kStartMs)) << log();
  EXPECT_EQ(opened_urls(), (std::vector<std::string>{"http://127.0.0.1:8080/wscli/general/",
                                                     "http://127.0.0.1/wscli/general/",
                                                     "http://127.0.0.1:5566/wscli/general/"}));
  EXPECT_TRUE(fs::is_directory(at("cfg")));
  EXPECT_TRUE(logged("can't find cfg.win32/kovarel.cfg")) << log();
  std::smatch cwd;
  std::string seen = stub_log();
  ASSERT_TRUE(std::regex_search(seen, cwd, std::regex("cwd \\[(.*)\\]"))) << seen;
  EXPECT_TRUE(fs::equivalent(fs::u8path(cwd[1].str()), fs::u8path(dir.substr(0, dir.size() - 1)))) << seen;
  EXPECT_EQ(log().find("failed"), std::string::npos) << log();
  ASSERT_TRUE(choose_exit(window, kStartMs));
  EXPECT_EQ(wait_tray_exit(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Names, ProgramFolders,
                         testing::Values("", "\xD0\xBA\xD0\xB8\xD1\x80_\xE4\xB8\xAD\xE6\x96\x87"),
                         [](const testing::TestParamInfo<const char *> &info) {
                           return *info.param ? "OutsideTheCodePage" : "Plain";
                         });

// A WM_CLOSE from outside destroys the window; the tray then stops the server,
// which counts as a crash.
TEST_F(TrayScenario, OutsideCloseEndsWithTheCrashPrompt) {
  start();
  ASSERT_TRUE(wait_for_text(dir + "stub_log.txt", "stderr", kStartMs));
  PostMessageA(window, WM_CLOSE, 0, 0);
  answer_prompt("tray\\([0-9]+\\): Kovarel crashed\\.", IDCANCEL);
  EXPECT_EQ(wait_tray_exit(), 0u);
  std::string out = log();
  EXPECT_TRUE(logged("Got an actual WM_CLOSE Message!  Woo hoo!")) << out;
  EXPECT_TRUE(logged("DESTROY!!")) << out;
}

// A server that refuses termination does not hang the tray: clean-up gives up
// after its limit, tells the user who chose "Exit" that the server runs on,
// and the tray ends with 1.
// Closed from outside instead, the tray names the server it could not stop in
// its prompt.
TEST_F(TrayScenario, UnstoppableServerDoesNotHangTheExit) {
  for (bool by_exit : {true, false}) {
    SCOPED_TRACE(by_exit ? "Exit" : "WM_CLOSE");
    set_mode("unkillable");
    start();
    ASSERT_TRUE(wait_for_text(dir + "stub_log.txt", "deny termination 0", kStartMs)) << stub_log();
    DWORD server = logged_pid(dir + "stub_log.txt");
    if (by_exit)
      ASSERT_TRUE(choose_exit(window, kStartMs));
    else
      PostMessageA(window, WM_CLOSE, 0, 0);
    std::string text;
    HWND box = wait_box(&text, 15000);
    ASSERT_NE(box, nullptr) << log();
    if (by_exit)
      EXPECT_EQ(text, "Kovarel could not be stopped: kovarel.exe is still running.");
    else
      EXPECT_TRUE(std::regex_match(text, std::regex(std::string("tray\\([0-9]+\\): kovarel\\.exe could not be stopped\\.") + kQuestion))) << text;
    press(box, by_exit ? IDOK : IDCANCEL);
    EXPECT_EQ(wait_tray_exit(), by_exit ? 1u : 0u);
    EXPECT_TRUE(logged("kovarel.exe could not be stopped")) << log();
    EXPECT_EQ(processes_named("kovarel.exe"), std::vector<DWORD>{server});
    // The next round starts without it.
    SetEvent(quit_stubs);
    for (int waited = 0; waited <= kEndMs && !processes_named("kovarel.exe").empty(); waited += 10) Sleep(10);
    ResetEvent(quit_stubs);
    ASSERT_TRUE(DeleteFileA((dir + "stub_log.txt").c_str()));
    CloseHandle(tray.pi.hThread);
    CloseHandle(tray.pi.hProcess);
    tray = {};
  }
}

// The recorder that the console scenarios read: Wine's shell hands each URL to
// the registered browser.
TEST(BrowserRecorder, RecordsTheUrlTheShellOpens) {
  register_browser_recorder();
  std::string dir = program_dir() + "..\\tray-scenarios\\recorder\\";
  std::error_code ec;
  fs::remove_all(dir, ec);
  ASSERT_TRUE(fs::create_directories(dir));
  char previous[MAX_PATH];
  GetCurrentDirectoryA(sizeof previous, previous);
  ASSERT_TRUE(SetCurrentDirectoryA(dir.c_str()));
  const char *url = "http://127.0.0.1:5566/wscli/general/";
  ShellExecuteA(nullptr, "open", url, nullptr, nullptr, SW_SHOWMAXIMIZED);
  SetCurrentDirectoryA(previous);
  std::string record = dir + "browser_urls.txt";
  EXPECT_TRUE(wait_for_text(record, std::string(url) + "\n", 10000)) << read_file(record);
}

// The resources compiled into the program: the icon group, the manifest and
// the version record.
TEST(TrayResources, IconManifestAndVersionAreBuiltIn) {
  std::string exe = program_dir() + "kovarel_tray.exe";
  HMODULE tray = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(tray, nullptr);

#pragma pack(push, 2)
  struct GroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bit_count;
    DWORD bytes;
    WORD id;
  };
#pragma pack(pop)
  HRSRC group = FindResourceA(tray, MAKEINTRESOURCEA(103), (LPCSTR)RT_GROUP_ICON);
  ASSERT_NE(group, nullptr);
  const BYTE *dir = (const BYTE *)LockResource(LoadResource(tray, group));
  WORD count = *(const WORD *)(dir + 4);
  ASSERT_EQ(count, 5);
  const GroupEntry *entries = (const GroupEntry *)(dir + 6);
  int expected[] = {16, 32, 48, 64, 128};
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(entries[i].width, expected[i]);
    EXPECT_EQ(entries[i].height, expected[i]);
    EXPECT_EQ(entries[i].bit_count, 32);
  }

  HRSRC manifest_res = FindResourceA(tray, MAKEINTRESOURCEA(1), (LPCSTR)RT_MANIFEST);
  ASSERT_NE(manifest_res, nullptr);
  std::string manifest((const char *)LockResource(LoadResource(tray, manifest_res)), SizeofResource(tray, manifest_res));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
  for (const char *os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
    EXPECT_NE(manifest.find(os), std::string::npos) << os;
  FreeLibrary(tray);

  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, info.data()));
  char *name = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\ProductName", (void **)&name, &length));
  EXPECT_STREQ(name, "Kovarel Media Server");
}

}  // namespace
