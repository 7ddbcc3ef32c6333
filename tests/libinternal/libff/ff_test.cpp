// Helpers, library initialisation and the global lock.
#include <gtest/gtest.h>

#include <string.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "ff.h"
#include "ff_calloc_internal.h"
#include "ff_dir.h"
#include "ff_thread.h"

namespace {

TEST(Helpers, ReverseFind) {
  char text[] = "a/b/c";
  EXPECT_EQ(ff_reverse_find(text, 0, '/'), 3);
  EXPECT_EQ(ff_reverse_find(text, 1, '/'), 1);
  EXPECT_EQ(ff_reverse_find(text, 2, '/'), -1);
  EXPECT_EQ(ff_reverse_find_ptr(text, 0, '/'), text + 3);
  EXPECT_EQ(ff_reverse_find_ptr(text, 1, '/'), text + 1);
  EXPECT_EQ(ff_reverse_find_ptr(text, 2, '/'), nullptr);
  char empty[] = "";
  EXPECT_EQ(ff_reverse_find(empty, 0, '/'), -1);
}

TEST(Helpers, CaseAndCount) {
  char text[] = "Kovarel.EXE";
  EXPECT_EQ(ff_to_lower(text), 11);
  EXPECT_STREQ(text, "kovarel.exe");
  EXPECT_EQ(ff_to_upper(text), 11);
  EXPECT_STREQ(text, "KOVAREL.EXE");
  EXPECT_EQ(ff_char_count(text, 'E'), 3);
}

TEST(Helpers, StrtokSkipsLeadingDelimitersAndStaysAtEnd) {
  char text[] = ",,a,b";
  char *save = nullptr;
  EXPECT_STREQ(ff_strtok_r(text, ",", &save), "a");
  EXPECT_STREQ(ff_strtok_r(nullptr, ",", &save), "b");
  EXPECT_EQ(ff_strtok_r(nullptr, ",", &save), nullptr);
  EXPECT_EQ(ff_strtok_r(nullptr, ",", &save), nullptr);
}

TEST(Helpers, Atoi64) {
  EXPECT_EQ(ff_atoi64("  -42x"), -42);
  EXPECT_EQ(ff_atoi64("+7"), 7);
  EXPECT_EQ(ff_atoi64("-"), 0);
  EXPECT_EQ(ff_atoi64("abc"), 0);
  EXPECT_EQ(ff_atoi64(nullptr), 0);
  EXPECT_EQ(ff_atoi64("9223372036854775807"), INT64_MAX);
}

TEST(Helpers, RandomRangeAndSequence) {
  for (int i = 0; i < 100; i++) EXPECT_EQ(ff_rnd(5, 6), 5);
  for (int i = 0; i < 1000; i++) {
    int v = ff_rnd(-3, 4);
    EXPECT_GE(v, -3);
    EXPECT_LT(v, 4);
  }
  char out[33];
  memset(out, 'X', sizeof out);
  EXPECT_EQ(ff_rnd_seq(out, 0), out);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], 'X');
  ff_rnd_seq(out, 32);
  EXPECT_EQ(strlen(out), 32u);
  for (int i = 0; i < 32; i++) EXPECT_TRUE(out[i] >= 'a' && out[i] <= 'z');
}

TEST(Helpers, DoubleEqualsIsStrict) {
  EXPECT_EQ(ff_double_equals(1.0, 1.0, 0.0), 0);
  EXPECT_EQ(ff_double_equals(1.0, 1.05, 0.1), 1);
  EXPECT_EQ(ff_double_equals(NAN, NAN, 1.0), 0);
}

TEST(Helpers, ModuleVersionUnreadableLeavesOutputAlone) {
  char version[24] = "untouched";
  ff_get_dll_version(nullptr, version);  // test programs carry no version resource
  EXPECT_STREQ(version, "untouched");
}

TEST(Helpers, SleepWaits) {
  ASSERT_EQ(ff_init(), 0);
  int64_t start = fftime();
  ff_sleep(30000);
  EXPECT_GE(fftime() - start, 25000);
  ff_sleep(0);
  ff_destroy();
}

class Init : public ::testing::Test {
 protected:
  void TearDown() override {
    ff_calloc_fail_after(-1);
    while (ff_destroy() == 0) {
    }
    ff_set_msg(nullptr, 0, "");
  }
};

TEST_F(Init, RepeatedInitIsOneDestroy) {
  EXPECT_EQ(ff_init(), 0);
  EXPECT_EQ(ff_init(), 0);
  EXPECT_EQ(ff_destroy(), 0);
  EXPECT_EQ(ff_destroy(), -1);
  EXPECT_EQ(ff_init(), 0);
  EXPECT_EQ(ff_destroy(), 0);
}

TEST_F(Init, DestroyWithoutInitFailsQuietly) {
  ff_set_msg(nullptr, 0, "");
  EXPECT_EQ(ff_destroy(), -1);
  EXPECT_STREQ(ff_get_msg(), "");
}

TEST_F(Init, MutexAllocationFailureChainsTheMessage) {
  ff_calloc_fail_after(0);
  EXPECT_EQ(ff_init(), -1);
  EXPECT_EQ(ff_destroy(), -1);  // stayed uninitialised
  std::string msg = ff_get_msg();
  EXPECT_EQ(msg.rfind("ff(", 0), 0u) << msg;
  EXPECT_NE(msg.find("): ff_thread_"), std::string::npos) << msg;
  EXPECT_EQ(msg.substr(msg.size() - strlen("): failed to ff_calloc ff_mutex")), "): failed to ff_calloc ff_mutex")
      << msg;
}

TEST_F(Init, GlobalLockIsReentrantAndReleased) {
  ASSERT_EQ(ff_init(), 0);
  EXPECT_EQ(ff_global_lock(), 0);
  EXPECT_EQ(ff_global_lock(), 0);
  EXPECT_EQ(ff_global_unlock(), 0);
  EXPECT_EQ(ff_global_unlock(), 0);
  // Free again: another thread can take it.
  bool taken = false;
  std::thread other([&] {
    ff_global_lock();
    taken = true;
    ff_global_unlock();
  });
  other.join();
  EXPECT_TRUE(taken);
}

// Before ff_init and after ff_destroy there is no lock to take: files open
// unguarded, and the lock calls say so instead of touching a missing mutex.
TEST_F(Init, FilesOpenWithoutTheLibraryInitialised) {
  while (ff_destroy() == 0) {
  }
  EXPECT_EQ(ff_global_lock(), -1);
  EXPECT_EQ(ff_global_unlock(), -1);
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("ff_init_test_" + std::to_string(std::random_device()()) + ".txt");
  std::string name = path.u8string();
  ff_set_msg(nullptr, 0, "untouched");
  FILE *fp = ff_file_open(name.c_str(), "wb");
  ASSERT_NE(fp, nullptr) << ff_get_msg();
  fputs("before", fp);
  fclose(fp);

  ASSERT_EQ(ff_init(), 0);
  ASSERT_EQ(ff_destroy(), 0);
  EXPECT_EQ(ff_global_lock(), -1);
  fp = ff_file_open(name.c_str(), "rb");
  ASSERT_NE(fp, nullptr) << ff_get_msg();
  char text[16] = {0};
  EXPECT_EQ(fread(text, 1, sizeof text, fp), 6u);
  EXPECT_STREQ(text, "before");
  fclose(fp);
  EXPECT_STREQ(ff_get_msg(), "untouched");
  std::filesystem::remove(path);
}

TEST(Mutex, CloseNullFails) { EXPECT_EQ(ff_mutex_close(nullptr), -1); }

TEST(Mutex, FailedOpenLeavesHandle) {
  hnd_t h = (hnd_t)0x1234;
  ff_calloc_fail_after(0);
  EXPECT_EQ(ff_mutex_open(&h), -1);
  EXPECT_EQ(h, (hnd_t)0x1234);
  ff_set_msg(nullptr, 0, "");
}

}  // namespace
