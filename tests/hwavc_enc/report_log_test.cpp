// The field report's reading of open log lines: each fact from its line, in
// the formats the library writes, with and without the interface.
#include <gtest/gtest.h>

#include "report_log.h"

namespace {

report_session read(std::initializer_list<const char *> lines) {
  report_session s;
  for (const char *line : lines) report_take_log_line(&s, line);
  return s;
}

TEST(ReportLog, SessionFactsFromTheirLines) {
  report_session s = read({"hwavc_enc(135): Intel Media SDK 1.255", "hwavc_enc(146): mode MFX_IMPL_HARDWARE2 via D3D11",
                           "hwavc_enc(150): D3D11 open failed at Init with -3, trying D3D9",
                           "hwavc_enc(170): runtime corrected GopRefDist from 2 to 1",
                           "hwavc_enc(171): runtime corrected AsyncDepth from 9 to 4", "hwavc_enc(555): profile:high"});
  EXPECT_EQ(s.api, "1.255");
  EXPECT_EQ(s.implementation, "MFX_IMPL_HARDWARE2");
  EXPECT_EQ(s.interface_name, "D3D11");
  EXPECT_EQ(s.fallback, "D3D11 open failed at Init with -3, trying D3D9");
  EXPECT_EQ(s.corrections, (std::vector<std::string>{"GopRefDist from 2 to 1", "AsyncDepth from 9 to 4"}));
}

TEST(ReportLog, ModeWithoutInterfaceAndLinesThatSayNothing) {
  report_session s = read({"hwavc_enc(146): mode MFX_IMPL_HARDWARE", "hwavc_enc(12) Intel Media SDK 1.35",
                           "hwavc_enc(x): Intel Media SDK 1.35", "(1): Intel Media SDK 1.35", "bs_frame:4+1 size:1 "});
  EXPECT_EQ(s.implementation, "MFX_IMPL_HARDWARE");
  EXPECT_EQ(s.interface_name, "");
  EXPECT_EQ(s.api, "");
  EXPECT_EQ(s.fallback, "");
  EXPECT_TRUE(s.corrections.empty());
}

}  // namespace
