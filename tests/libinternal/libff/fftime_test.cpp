// The corrected clock and the calendar helpers.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include "ff.h"
#include "fftime_internal.h"

namespace {

// A clock whose counter and tick count the test moves by hand.
struct FakeClock {
  static int64_t counter;
  static int64_t freq;
  static uint32_t tick;
  static int read_counter(int64_t *v) {
    *v = counter;
    return 0;
  }
  static int frequency(int64_t *v) {
    *v = freq;
    return 0;
  }
  static int missing(int64_t *) { return -1; }
  static uint32_t read_tick() { return tick; }
};
int64_t FakeClock::counter;
int64_t FakeClock::freq;
uint32_t FakeClock::tick;

class Clock : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeClock::counter = 5000000000;
    FakeClock::freq = 10000000;  // 10 MHz
    FakeClock::tick = 0xFFFFFF00u;  // wraps during the test
    fftime_set_source(&source);
  }
  void TearDown() override { fftime_set_source(nullptr); }
  // Advances both clocks together by ms.
  static void advance(int ms) {
    FakeClock::counter += (int64_t)ms * 10000;
    FakeClock::tick += (uint32_t)ms;
  }
  fftime_source source = {FakeClock::read_counter, FakeClock::frequency, FakeClock::read_tick};
};

TEST_F(Clock, CountsMicrosecondsAcrossTickWrap) {
  ASSERT_EQ(fftime_init(), 0);
  EXPECT_EQ(fftime(), 0);
  advance(1500);
  EXPECT_EQ(fftime(), 1500000);
}

TEST_F(Clock, SmallDriftIsLeftAlone) {
  ASSERT_EQ(fftime_init(), 0);
  FakeClock::counter += 100 * 10000;  // the counter runs 100 ms ahead
  EXPECT_EQ(fftime(), 100000);
}

TEST_F(Clock, ForwardLeapNeverGoesBackAndIsCorrectedForLater) {
  ASSERT_EQ(fftime_init(), 0);
  advance(2000);
  int64_t before = fftime();
  FakeClock::counter += 10000000;  // a one-second leap, tick count unchanged
  int64_t at_leap = fftime();
  EXPECT_GE(at_leap, before);
  advance(1000);
  int64_t after = fftime();
  // Corrected base: one more second of real time reads as about one second.
  EXPECT_GE(after, at_leap);
  EXPECT_NEAR(after - before, 1000000, 101000);
}

// The tray runs for months: on a slow or a fast counter the clock keeps
// counting exactly and never runs backwards.
TEST_F(Clock, LongRunsStayExactAtAnyFrequency) {
  const int64_t kFrequencies[] = {10000000, 1000000000, 3000000000};
  const int64_t kSpans[] = {3600, 10 * 86400, 5 * 365 * 86400};  // seconds
  const int kReadings = 1000;
  const int64_t kStart = 123456789;
  const uint32_t kStartTick = 0xFFFFFF00u;
  for (int64_t freq : kFrequencies) {
    for (int64_t span : kSpans) {
      SCOPED_TRACE(testing::Message() << freq << " Hz over " << span << " s");
      FakeClock::freq = freq;
      FakeClock::counter = kStart;
      FakeClock::tick = kStartTick;
      fftime_set_source(&source);
      ASSERT_EQ(fftime_init(), 0);
      int64_t previous = 0;
      for (int i = 1; i <= kReadings; i++) {
        // An odd tick count, so that no reading falls on a whole microsecond.
        int64_t ticks = span * freq / kReadings * i + 7 * i;
        FakeClock::counter = kStart + ticks;
        FakeClock::tick = kStartTick + (uint32_t)((unsigned __int128)ticks * 1000 / (uint64_t)freq);
        int64_t exact = (int64_t)((unsigned __int128)ticks * 1000000 / (uint64_t)freq);
        int64_t now = fftime();
        ASSERT_GE(now, previous) << "reading " << i;
        ASSERT_LE(now > exact ? now - exact : exact - now, 1) << "reading " << i;
        previous = now;
      }
    }
  }
}

TEST_F(Clock, MissingCounterFailsWithoutMessage) {
  fftime_source broken = {FakeClock::missing, FakeClock::frequency, FakeClock::read_tick};
  fftime_set_source(&broken);
  ff_set_msg(nullptr, 0, "untouched");
  EXPECT_EQ(fftime_init(), -1);
  EXPECT_STREQ(ff_get_msg(), "untouched");
  ff_set_msg(nullptr, 0, "");
}

TEST_F(Clock, InitTwiceKeepsTheStart) {
  ASSERT_EQ(fftime_init(), 0);
  advance(10);
  ASSERT_EQ(fftime_init(), 0);
  EXPECT_EQ(fftime(), 10000);
}

TEST(RealClock, RunsForward) {
  ASSERT_EQ(fftime_init(), 0);
  int64_t a = fftime();
  ff_sleep(20000);
  int64_t b = fftime();
  EXPECT_GE(b - a, 15000);
  EXPECT_LT(b - a, 2000000);
}

TEST(Calendar, UnixTimeIsNow) {
  int now = ff_unix_time(nullptr);
  EXPECT_LE(abs(now - (int)time(nullptr)), 2);
  char *text = ff_unix_time_str(nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_LE(abs(atoi(text) - now), 2);
  free(text);
}

TEST(Calendar, GmtimeGivesLocalBreakdown) {
  time_t t = 86400 * 365;
  struct tm out;
  EXPECT_EQ(ff_gmtime(&t, &out), &out);
  time_t back = mktime(&out);
  EXPECT_EQ(back, t);
}

}  // namespace
