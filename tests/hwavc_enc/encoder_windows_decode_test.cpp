// The native half of the Windows decode proof: the streams that hwavc_enc.dll
// handed back under Wine (encoder_windows_streams_test), read from the folder
// HWAVC_PROOF_DIR, go through the native proof's checks.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "encoder_decode_proof.h"

using namespace enc_test;

namespace {

class WindowsDecodeProof : public ::testing::TestWithParam<ProofCase> {};

TEST_P(WindowsDecodeProof, DecodedStreamMatchesTheInput) {
  const char *dir = getenv("HWAVC_PROOF_DIR");
  ASSERT_NE(dir, nullptr);
  std::vector<Packet> packets;
  ASSERT_EQ(read_stream(std::string(dir) + "/" + proof_name(GetParam()), &packets), "");
  RecordProperty("worst_psnr_db", std::to_string(check_stream(packets, GetParam())));
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowsDecodeProof, ::testing::ValuesIn(windows_proof_cases()),
                         [](const auto &info) { return proof_name(info.param); });

}  // namespace
