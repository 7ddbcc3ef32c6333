// Without an Intel adapter the dispatcher loads no runtime, even with one
// beside the program: opening fails with the dispatcher's status.
#include <gtest/gtest.h>

#include "encoder_test_support.h"

using namespace enc_test;

TEST(NoAdapter, OpenFailsWithTheDispatchersStatus) {
  EncoderLibrary lib;
  ASSERT_EQ(lib.load(), "");
  Standin standin;
  hwavc_enc_settings settings = make_settings(1280, 720);
  hwavc_enc_data *enc = nullptr;
  EXPECT_EQ(lib.open(&enc, &settings, LogCapture::callback), -1);
  EXPECT_EQ(enc, nullptr);
  std::string msg = lib.message();
  EXPECT_TRUE(is_slot_text(msg, "failed initializing an internal MFX session -3")) << msg;
  EXPECT_FALSE(standin.reached());
  lib.unload();
}
