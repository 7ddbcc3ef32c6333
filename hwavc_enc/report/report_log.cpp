#include "report_log.h"

#include <string.h>

namespace {

// The text after the library's "tag(line): " prefix; the whole line when it
// has none.
const char *log_text(const char *line) {
  const char *p = line;
  while ((*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '_') p++;
  if (p == line || *p != '(') return line;
  const char *digits = ++p;
  while (*p >= '0' && *p <= '9') p++;
  if (p == digits || strncmp(p, "): ", 3) != 0) return line;
  return p + 3;
}

// The rest of `text` after `prefix`, or null.
const char *after(const char *text, const char *prefix) {
  size_t n = strlen(prefix);
  return strncmp(text, prefix, n) == 0 ? text + n : nullptr;
}

}  // namespace

void report_take_log_line(report_session *session, const char *line) {
  const char *text = log_text(line);
  const char *rest;
  if ((rest = after(text, "Intel Media SDK "))) {
    session->api = rest;
  } else if ((rest = after(text, "mode "))) {
    // "mode <implementation>" or "mode <implementation> via <interface>"
    std::string mode = rest;
    size_t via = mode.find(" via ");
    session->implementation = mode.substr(0, via);
    session->interface_name = via == std::string::npos ? "" : mode.substr(via + 5);
  } else if (after(text, "D3D11 open failed at ")) {
    session->fallback = text;
  } else if ((rest = after(text, "runtime corrected "))) {
    session->corrections.push_back(rest);
  }
}
