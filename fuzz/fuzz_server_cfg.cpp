// The server configuration parser over arbitrary bytes: it never crashes,
// never reads past the given length, and either finds a port or leaves the
// caller's value untouched.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "tray_cfg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  // An exact-size copy, so reading past the length is caught.
  std::vector<char> text(data, data + size);
  const int kUntouched = 0x5A5A5A5A;
  int port = kUntouched;
  int rc = str_to_kovarel_server_cfg(text.data(), (int)size, &port);
  if (rc != 0 && port != kUntouched) abort();
  if (rc != 0 && rc != -1) abort();
  return 0;
}
