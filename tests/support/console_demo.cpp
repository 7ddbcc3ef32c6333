// Shows the tray's console round trip: starts kovarel_tray.exe in a program
// directory holding the demonstration server as kovarel.exe, double-clicks
// the icon, takes the URL the shell was asked to open (the browser recorder
// writes it), fetches the page from the server and prints it, then chooses
// "Exit" and reports how the tray ended. Usage: console_demo <program dir\>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "tray_driver.h"

namespace {

const int kLimitMs = 10000;

// GET of an http://host:port/path URL; the whole response, or "" on failure.
std::string http_get(const std::string &url) {
  const std::string scheme = "http://";
  if (url.rfind(scheme, 0) != 0) return "";
  size_t path_at = url.find('/', scheme.size());
  std::string authority = url.substr(scheme.size(), path_at - scheme.size());
  std::string path = path_at == std::string::npos ? "/" : url.substr(path_at);
  size_t colon = authority.find(':');
  std::string host = authority.substr(0, colon);
  std::string port = colon == std::string::npos ? "80" : authority.substr(colon + 1);

  addrinfo hints = {}, *found = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return "";
  SOCKET s = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  bool connected = s != INVALID_SOCKET && connect(s, found->ai_addr, (int)found->ai_addrlen) == 0;
  freeaddrinfo(found);
  std::string response;
  if (connected) {
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + authority + "\r\n\r\n";
    send(s, request.data(), (int)request.size(), 0);
    char chunk[1024];
    for (int n; (n = recv(s, chunk, sizeof chunk, 0)) > 0;) response.append(chunk, (size_t)n);
  }
  if (s != INVALID_SOCKET) closesocket(s);
  return response;
}

std::string tray_log(const TrayRun &run) {
  std::string log = read_file(run.dir + "tray_out.txt");
  if (!log.empty() && log.back() != '\n') log += '\n';
  return log;
}

int fail(const char *what, const TrayRun &run) {
  printf("console demo: %s\n--- tray log ---\n%s", what, tray_log(run).c_str());
  TerminateProcess(run.pi.hProcess, 1);
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    printf("usage: console_demo <program dir\\>\n");
    return 2;
  }
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  TrayRun run = {};
  if (!start_tray(argv[1], "", "", &run)) {
    printf("console demo: cannot start %skovarel_tray.exe\n", argv[1]);
    return 1;
  }
  HWND tray = wait_tray_window(run.pi.dwProcessId, kLimitMs);
  if (!tray) return fail("no tray window", run);
  if (!wait_for_text(run.dir + "tray_out.txt", "demo server listening", kLimitMs)) return fail("no server", run);

  post_mouse(tray, WM_LBUTTONDBLCLK);
  if (!wait_for_text(run.dir + "browser_urls.txt", "\n", kLimitMs)) return fail("no URL was opened", run);
  std::string url = read_lines(run.dir + "browser_urls.txt").front();
  printf("console demo: a double click on the icon opened %s\n", url.c_str());
  std::string page = http_get(url);
  if (page.empty()) return fail("the console did not answer", run);
  printf("console demo: the server answered:\n%s\n", page.c_str());

  if (!choose_exit(tray, kLimitMs)) return fail("no menu", run);
  DWORD code = 0;
  if (!wait_exit(run.pi.hProcess, kLimitMs, &code)) return fail("the tray did not end", run);
  printf("console demo: \"Exit\" ended the tray with code %lu\n--- tray log ---\n%s", code, tray_log(run).c_str());
  return code == 0 && page.rfind("HTTP/1.0 200", 0) == 0 ? 0 : 1;
}
