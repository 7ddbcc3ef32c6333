// Soak: rounds of 320x240 frames through the library, the handle closed and
// opened again each round, and one long 1920x1080 session. After the first
// round nothing may grow: under Wine the process's private bytes and handle
// count, natively LeakSanitizer finds nothing lost. The test command runs it
// small; scripts/soak.sh at full size (HWAVC_SOAK_ROUNDS, HWAVC_SOAK_FRAMES,
// HWAVC_SOAK_HD_FRAMES).
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#include <winternl.h>
#include <vpl/mfxvideo.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "encoder_test_support.h"

using namespace enc_test;

namespace {

// Growth after the first round that still counts as flat: the heap and
// Wine's bookkeeping move by a few KiB; a leak of one allocation per frame
// is far above it.
const long long kFlatBytesPerRound = 16 * 1024;

// Distinct pictures at the start of a session; the rest repeat the last one.
const int kPictures = 30;

int env_int(const char *name, int fallback) {
  const char *v = getenv(name);
  return v && *v ? atoi(v) : fallback;
}

struct Usage {
  long long private_bytes = 0;
  long handles = 0;
  int leak_reports = 0;
};

#ifdef _WIN32
// Wine 8 answers GetProcessHandleCount with 0: then the process's entries in
// the system's handle list are counted.
long handle_count() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count) return (long)count;
  struct Entry {
    ULONG pid;
    UCHAR type, flags;
    USHORT handle;
    void *object;
    ACCESS_MASK access;
  };
  struct List {
    ULONG count;
    Entry entries[1];
  };
  const SYSTEM_INFORMATION_CLASS kSystemHandleInformation = (SYSTEM_INFORMATION_CLASS)16;
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  while (NtQuerySystemInformation(kSystemHandleInformation, buffer.data(), (ULONG)buffer.size(), &needed) != 0) {
    if (buffer.size() >= (64u << 20)) return -1;
    buffer.resize(buffer.size() * 2);
  }
  const List *list = (const List *)buffer.data();
  long own = 0;
  for (ULONG i = 0; i < list->count; i++) own += list->entries[i].pid == GetCurrentProcessId();
  return own;
}
#endif

Usage measure() {
  Usage u;
#ifdef _WIN32
  // The commit charge: the process's private bytes (Wine 8 leaves the
  // PrivateUsage copy of it at 0).
  PROCESS_MEMORY_COUNTERS pmc = {};
  pmc.cb = sizeof pmc;
  EXPECT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc));
  u.private_bytes = (long long)pmc.PagefileUsage;
  u.handles = handle_count();
  EXPECT_GT(u.private_bytes, 0);
  EXPECT_GT(u.handles, 0);
#endif
#if defined(__SANITIZE_ADDRESS__)
  u.leak_reports = __lsan_do_recoverable_leak_check();
#endif
  return u;
}

// One session: `frames` moving pictures in, drained; the pictures back.
long encode_session(EncoderLibrary &lib, int width, int height, int frames) {
  hwavc_enc_settings settings = make_settings(width, height, 30, 1, width * height / 300, 4);
  hwavc_enc_data *enc = nullptr;
  if (lib.open(&enc, &settings, nullptr) != 0) {
    ADD_FAILURE() << lib.message();
    return -1;
  }
  TestFrame frame(width, height);
  quarn_frame *out = nullptr;
  long back = 0;
  for (int t = 0; t < frames; t++) {
    if (t < kPictures) frame.paint(t);  // painting every one would cost more than encoding it
    frame.get()->pts = t;
    if (lib.encode(enc, frame.get(), &out) != 0) break;
    back += out != nullptr;
  }
  while (lib.encode(enc, nullptr, &out) == 0 && out) back++;
  EXPECT_EQ(lib.close(enc), 0);
  return back;
}

void report(const char *what, int round, const Usage &u) {
#ifdef _WIN32
  printf("%s %d: private bytes %lld, handles %ld\n", what, round, u.private_bytes, u.handles);
#else
  printf("%s %d: leak reports %d\n", what, round, u.leak_reports);
#endif
  fflush(stdout);
}

// What a session of the dispatcher alone costs in private bytes. Under Wine
// each MFXInit / MFXClose of the dispatcher keeps some hundred KiB (measured
// with nothing of the library involved, while loading and freeing the
// runtime or Direct3D alone stays flat); the library's rounds may grow by
// that much and no more.
long long dispatcher_session_bytes() {
#ifdef _WIN32
  auto session = []() {
    mfxSession s = nullptr;
    mfxVersion version = {{0, 1}};
    if (MFXInit(MFX_IMPL_HARDWARE_ANY, &version, &s) == MFX_ERR_NONE) MFXClose(s);
  };
  const int sessions = 4;
  session();  // one-time allocations
  long long before = measure().private_bytes;
  for (int i = 0; i < sessions; i++) session();
  long long grown = measure().private_bytes - before;
  printf("the dispatcher alone: %lld private bytes per session\n", grown / sessions);
  return grown > 0 ? grown / sessions : 0;
#else
  return 0;
#endif
}

// Nothing grows after the first measurement beyond the flat allowance (and
// what the dispatcher itself keeps of each session).
void expect_flat(const std::vector<Usage> &after, long long dispatcher_bytes) {
  for (size_t i = 0; i < after.size(); i++) EXPECT_EQ(after[i].leak_reports, 0) << "round " << i + 1;
  for (size_t i = 1; i < after.size(); i++) {
    EXPECT_LE(after[i].private_bytes - after[0].private_bytes,
              (kFlatBytesPerRound + dispatcher_bytes) * (long long)i)
        << "round " << i + 1;
    EXPECT_LE(after[i].handles, after[0].handles) << "round " << i + 1;
  }
}

class Soak : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lib.load(), ""); }
  void TearDown() override { lib.unload(); }
  EncoderLibrary lib;
  Standin standin;  // x264 mode
};

TEST_F(Soak, RoundsOfSessionsLeaveNothingBehind) {
  const int rounds = env_int("HWAVC_SOAK_ROUNDS", 4), frames = env_int("HWAVC_SOAK_FRAMES", 150);
  std::vector<Usage> after;
  for (int r = 1; r <= rounds; r++) {
    EXPECT_EQ(encode_session(lib, 320, 240, frames), frames) << "round " << r;
    after.push_back(measure());
    report("320x240 round", r, after.back());
  }
  expect_flat(after, dispatcher_session_bytes());
}

TEST_F(Soak, LongHdSessionLeavesNothingBehind) {
  const int frames = env_int("HWAVC_SOAK_HD_FRAMES", 20);
  std::vector<Usage> after;
  EXPECT_EQ(encode_session(lib, 1920, 1080, 10), 10);  // the first session's one-time allocations
  after.push_back(measure());
  report("1920x1080 warm-up", 1, after.back());
  EXPECT_EQ(encode_session(lib, 1920, 1080, frames), frames);
  after.push_back(measure());
  report("1920x1080 session", 2, after.back());
  expect_flat(after, dispatcher_session_bytes());
}

}  // namespace
