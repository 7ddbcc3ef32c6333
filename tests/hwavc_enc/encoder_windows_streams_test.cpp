// The Windows half of the Windows decode proof: hwavc_enc.dll under Wine with
// the x264 stand-in behind the dispatcher writes each case's stream into the
// folder HWAVC_PROOF_DIR; encoder_windows_decode_test checks them natively.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "encoder_decode_proof.h"

using namespace enc_test;

namespace {

class WindowsStreams : public ::testing::TestWithParam<ProofCase> {};

TEST_P(WindowsStreams, StreamIsWritten) {
  const char *dir = getenv("HWAVC_PROOF_DIR");
  ASSERT_NE(dir, nullptr);
  EncoderLibrary lib;
  ASSERT_EQ(lib.load(), "");
  Standin standin{{"MFXSTANDIN_MACHINE", GetParam().machine}};  // x264 mode
  std::vector<Packet> packets;
  encode_clip(lib, GetParam(), &packets);
  lib.unload();
  ASSERT_NE(standin.trace().find("mfx_standin init mode=x264"), std::string::npos) << standin.trace();
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(write_stream(std::string(dir) + "\\" + proof_name(GetParam()), packets), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowsStreams, ::testing::ValuesIn(windows_proof_cases()),
                         [](const auto &info) { return proof_name(info.param); });

}  // namespace
