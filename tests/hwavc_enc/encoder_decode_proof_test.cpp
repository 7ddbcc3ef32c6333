// Proof by decoding, natively: generated moving pictures go through the
// library, the real dispatcher and the x264 stand-in; the collected stream
// is decoded with libavcodec and compared with what went in.
#include <gtest/gtest.h>

#include "encoder_decode_proof.h"

using namespace enc_test;

namespace {

class DecodeProof : public ::testing::TestWithParam<ProofCase> {
 protected:
  void SetUp() override { ASSERT_EQ(lib.load(), ""); }
  void TearDown() override { lib.unload(); }
  EncoderLibrary lib;
};

TEST_P(DecodeProof, DecodedStreamMatchesTheInput) {
  Standin standin{{"MFXSTANDIN_MACHINE", GetParam().machine}};  // x264 mode
  std::vector<Packet> packets;
  encode_clip(lib, GetParam(), &packets);
  ASSERT_NE(standin.trace().find("mfx_standin init mode=x264"), std::string::npos) << standin.trace();
  ASSERT_FALSE(HasFatalFailure());
  RecordProperty("worst_psnr_db", std::to_string(check_stream(packets, GetParam())));
}

INSTANTIATE_TEST_SUITE_P(SizesAndRings, DecodeProof,
                         ::testing::Values(ProofCase{1920, 1080, 1}, ProofCase{1920, 1080, 4}, ProofCase{1920, 1080, 9},
                                           ProofCase{1280, 720, 1}, ProofCase{1280, 720, 4}, ProofCase{1280, 720, 9},
                                           ProofCase{1000, 562, 1}, ProofCase{1000, 562, 4}, ProofCase{1000, 562, 9},
                                           ProofCase{33, 17, 4}, ProofCase{1280, 720, 4, "low-power"}),
                         [](const auto &info) { return proof_name(info.param); });

}  // namespace
