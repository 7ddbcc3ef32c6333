// A demonstration stand-in for the media server: serves a small web console
// page at /wscli/general/ on the loopback address, at the port of
// cfg.win32/kovarel.cfg (5566 without one), until it is terminated. The main
// job runs it beside the real tray to show the console round trip.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "ff.h"
#include "tray_cfg.h"

namespace {

const char kPage[] =
    "<!doctype html><title>Kovarel web console</title>"
    "<h1>Kovarel web console</h1><p>Served by the demonstration server.</p>\n";

void send_all(SOCKET s, const std::string &text) {
  for (size_t sent = 0; sent < text.size();) {
    int n = send(s, text.data() + sent, (int)(text.size() - sent), 0);
    if (n <= 0) return;
    sent += (size_t)n;
  }
}

// Answers one request: the console page, or 404 for any other path.
void serve(SOCKET client) {
  std::string request;
  char chunk[1024];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
    int n = recv(client, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    request.append(chunk, (size_t)n);
  }
  bool console = request.rfind("GET /wscli/general/ ", 0) == 0;
  std::string body = console ? kPage : "not found\n";
  send_all(client, std::string(console ? "HTTP/1.0 200 OK" : "HTTP/1.0 404 Not Found") +
                       "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n\r\n" + body);
  closesocket(client);
}

}  // namespace

int main() {
  ff_init();
  int port = KV_DEFAULT_PORT;
  get_httpser_port(&port);
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons((u_short)port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener == INVALID_SOCKET || bind(listener, (sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, 8) != 0) {
    printf("demo server: cannot listen on 127.0.0.1:%d (%d)\n", port, WSAGetLastError());
    return 1;
  }
  printf("demo server listening on 127.0.0.1:%d\n", port);
  fflush(stdout);
  for (;;) {
    SOCKET client = accept(listener, nullptr, nullptr);
    if (client != INVALID_SOCKET) serve(client);
  }
}
