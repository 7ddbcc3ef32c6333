// The dispatcher's SetThreadErrorMode calls inside hwavc_enc.dll, which must
// load on Vista where KERNEL32 lacks that function.
#include <gtest/gtest.h>
#include <windows.h>

#include "hwavc_enc_internal.h"

extern "C" hwavc_set_thread_error_mode_func __imp_SetThreadErrorMode;

namespace {

class ThreadErrorMode : public ::testing::Test {
 protected:
  void SetUp() override {
    process_mode_ = GetErrorMode();
    thread_mode_ = GetThreadErrorMode();
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
  }
  void TearDown() override {
    SetErrorMode(process_mode_);
    SetThreadErrorMode(thread_mode_, nullptr);
  }
  UINT process_mode_ = 0;
  DWORD thread_mode_ = 0;
};

TEST_F(ThreadErrorMode, WhereKernel32HasItTheDispatchersCallsSetTheThreadsModeOnly) {
  DWORD old = 12345;
  ASSERT_TRUE(__imp_SetThreadErrorMode(SEM_FAILCRITICALERRORS, &old));
  EXPECT_EQ(GetThreadErrorMode(), (DWORD)SEM_FAILCRITICALERRORS);
  EXPECT_EQ(old, thread_mode_);
  EXPECT_EQ(GetErrorMode(), (UINT)SEM_NOGPFAULTERRORBOX);
}

TEST_F(ThreadErrorMode, WithoutItTheProcessModeIsSetAndRestored) {
  DWORD old = 12345;
  EXPECT_TRUE(hwavc_thread_error_mode(nullptr, SEM_FAILCRITICALERRORS, &old));
  EXPECT_EQ(old, (DWORD)SEM_NOGPFAULTERRORBOX);
  EXPECT_EQ(GetErrorMode(), (UINT)SEM_FAILCRITICALERRORS);
  // The dispatcher restores with no place for the old mode.
  EXPECT_TRUE(hwavc_thread_error_mode(nullptr, old, nullptr));
  EXPECT_EQ(GetErrorMode(), (UINT)SEM_NOGPFAULTERRORBOX);
}

}  // namespace
