// Decoding arbitrary bytes to UTF-8: detection, iconv and the UTF-16 paths
// must neither crash nor leak, and a success leaves a terminated result.
// CR LF folding runs over the same bytes and must lose no other byte.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ff.h"
#include "ff_text.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

std::string without_crlf(const std::string &s) {
  std::string out;
  size_t nul = s.find('\0');
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n' && (nul == std::string::npos || i + 1 < nul)) continue;
    out += s[i];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ff_buffer *src = ff_buffer_new(1 + (int)size);
  ff_buffer *dst = ff_buffer_new(64);
  check(src && dst);
  ff_buffer_push(src, (const char *)data, (int)size);
  if (ff_text_convert_to_utf8(src, dst) == 0 && ff_buffer_buf(dst)) {
    check(ff_buffer_data(dst)[ff_buffer_data_size(dst)] == '\0');
  }
  ff_buffer_reset(src);
  ff_buffer_reset(dst);
  std::string in((const char *)data, size);
  ff_buffer_push(src, in.data(), (int)in.size());
  check(ff_text_convert_crlf_to_lf(dst, src) == 0);
  check(ff_buffer_data_size(src) == 0);
  check(std::string(ff_buffer_data(dst) ? ff_buffer_data(dst) : "", (size_t)ff_buffer_data_size(dst)) ==
        without_crlf(in));
  ff_buffer_free(src);
  ff_buffer_free(dst);
  return 0;
}
