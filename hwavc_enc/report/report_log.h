// What a session's open log says about the runtime it got: the facts the
// field report takes from hwavc_enc's log lines ("hwavc_enc(N): text").
#ifndef REPORT_LOG_H
#define REPORT_LOG_H

#include <string>
#include <vector>

struct report_session {
  std::string api;             // "1.35", empty when not logged
  std::string implementation;  // "MFX_IMPL_HARDWARE", empty when not logged
  std::string interface_name;  // "D3D11", "D3D9", "VAAPI" or "0x...", empty when not logged
  std::string fallback;        // the text of a fallback line, empty when none
  std::vector<std::string> corrections;  // "<field> from <asked> to <got>", one per field
};

// Takes one open log line into the session's facts; other lines change nothing.
void report_take_log_line(report_session *session, const char *line);

#endif
