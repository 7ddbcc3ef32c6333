// The proof by decoding, in two halves that may run on two systems: a clip of
// generated moving pictures goes through the library and the x264 stand-in
// (natively, or as hwavc_enc.dll under Wine, which writes the stream to
// files), then the stream is decoded with libavcodec and checked against
// what went in.
#ifndef ENCODER_DECODE_PROOF_H
#define ENCODER_DECODE_PROOF_H

#include <stdint.h>

#include <string>
#include <vector>

#include "encoder_test_support.h"

namespace enc_test {

const int kProofFps = 10;     // GOP of 10 pictures: several closed GOPs in a short clip
const int kProofFrames = 25;  // two and a half GOPs

struct ProofCase {
  int width, height, buf_num;
  const char *machine = "";  // the stand-in's; "low-power" has no B pictures
};
std::string proof_name(const ProofCase &c);  // "1920x1080_buf4", "320x240_buf4_low_power"
// Under Wine: small pictures (one of a width and height that are not
// multiples of 16, one on the low-power machine) and one 1920x1080 case.
std::vector<ProofCase> windows_proof_cases();

// A coded picture as the library handed it back.
struct Packet {
  std::vector<uint8_t> bytes;
  int64_t pts, dts;
  int frame_type;
};

// Encodes the clip of kProofFrames pictures through the loaded library and
// drains it (gtest failures on any error).
void encode_clip(EncoderLibrary &lib, const ProofCase &c, std::vector<Packet> *packets);

// The stream in files: <base>.h264, and <base>.txt with one line
// "pts dts frame_type size" per picture. Empty on success, else what failed.
std::string write_stream(const std::string &base, const std::vector<Packet> &packets);
std::string read_stream(const std::string &base, std::vector<Packet> *packets);

// Every check of the proof on the stream of case c (gtest failures);
// returns the worst PSNR of any plane of any decoded picture.
double check_stream(const std::vector<Packet> &packets, const ProofCase &c);

}  // namespace enc_test

#endif
