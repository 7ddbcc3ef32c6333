// UTF-8 <-> UTF-16 conversion: valid text both ways (BMP and astral), broken
// input and its log lines, the bounds, and a round-trip property.
#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "ff.h"
#include "ff_calloc_internal.h"
#include "ff_text.h"

namespace {

using U16 = std::vector<uint16_t>;

class Utf : public ::testing::Test {
 protected:
  void SetUp() override { fflog_init(capture, nullptr, 0, &lines); }
  void TearDown() override {
    fflog_destroy(nullptr);
    ff_set_msg(nullptr, 0, "");
  }
  static void capture(char *line, void *arg) { static_cast<std::vector<std::string> *>(arg)->push_back(line); }

  U16 to16(const std::string &s) {
    uint16_t *area = ff_utf8_to_utf16_2(s.data(), (int)s.size(), &len);
    EXPECT_NE(area, nullptr);
    if (!area) return {};
    EXPECT_EQ(area[len], 0) << "terminator";
    U16 out(area, area + len);
    ff_free(area);
    return out;
  }
  std::string to8(const U16 &u) {
    char *area = ff_utf16_to_utf8_2(u.data(), (int)u.size(), &len);
    EXPECT_NE(area, nullptr);
    if (!area) return {};
    EXPECT_EQ(area[len], 0) << "terminator";
    std::string out(area, (size_t)len);
    ff_free(area);
    return out;
  }

  std::vector<std::string> lines;
  int len = -1;
};

TEST_F(Utf, ValidTextBothWays) {
  const struct {
    std::string utf8;
    U16 utf16;
  } cases[] = {
      {"abc", {'a', 'b', 'c'}},
      {"\xC3\xA9", {0x00E9}},
      {"\xE4\xB8\xAD", {0x4E2D}},
      {"\xEF\xBF\xBF", {0xFFFF}},
      {"\xEE\x80\x80", {0xE000}},
      // Astral characters travel as surrogate pairs.
      {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
      {"\xF0\x90\x80\x80", {0xD800, 0xDC00}},
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
      {"a\xF0\x9F\x8E\xB5\xE6\x97\xA5z", {'a', 0xD83C, 0xDFB5, 0x65E5, 'z'}},
      {std::string("a\0b", 3), {'a', 0, 'b'}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(to16(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(to8(c.utf16), c.utf8);
  }
  EXPECT_TRUE(lines.empty());
}

TEST_F(Utf, BrokenUtf8GivesOneQuestionMarkPerBadLeadWithALogLine) {
  const struct {
    std::string in;
    U16 out;
    std::vector<std::string> logged;
  } cases[] = {
      {"\xC0\x80", {'?', '?'}, {"text: invalid utf-8 seq. C0", "text: invalid utf-8 seq. 80"}},
      {"a\xE4", {'a', '?'}, {"text: invalid utf-8 seq. E4"}},
      // A cut sequence: its lead is bad, its continuation bytes are bad leads.
      {"\xE4\xB8z", {'?', '?', 'z'}, {"text: invalid utf-8 seq. E4", "text: invalid utf-8 seq. B8"}},
      {"\xF8\xFF", {'?', '?'}, {"text: invalid utf-8 seq. F8", "text: invalid utf-8 seq. FF"}},
      // Above U+10FFFF: F4 90 80 80 is U+110000.
      {"\xF4\x90\x80\x80", {'?', '?', '?', '?'}, {"text: invalid utf-8 seq. F4", "text: invalid utf-8 seq. 90",
                                                  "text: invalid utf-8 seq. 80", "text: invalid utf-8 seq. 80"}},
      // The character after a broken one survives.
      {"\xC3(\xC3\xA9", {'?', '(', 0xE9}, {"text: invalid utf-8 seq. C3"}},
  };
  for (const auto &c : cases) {
    lines.clear();
    EXPECT_EQ(to16(c.in), c.out);
    EXPECT_EQ(lines, c.logged);
  }
}

// The strict test for paths: every sequence stands for the character it
// encodes, so no byte would become '?' and no character would change.
TEST(Utf8Valid, OnlyWellFormedTextPasses) {
  for (const char *good : {"", "abc", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80",
                           "\xF4\x8F\xBF\xBF", "caf\xC3\xA9"}) {
    EXPECT_EQ(ff_utf8_valid(good, (int)strlen(good)), 1) << testing::PrintToString(good);
  }
  for (const char *bad : {"\xE9", "\xE9z", "\x80", "a\xC3", "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
                          "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_EQ(ff_utf8_valid(bad, (int)strlen(bad)), 0) << testing::PrintToString(bad);
  }
}

TEST_F(Utf, SurrogatesOutsideAWellOrderedPairAreDroppedWithALogLine) {
  const struct {
    U16 in;
    std::string out;
    std::vector<std::string> logged;
  } cases[] = {
      {{'a', 0xD83D, 'b'}, "ab", {"text: unknow utf-16 char D83D"}},
      {{'a', 0xDE00, 'b'}, "ab", {"text: unknow utf-16 char DE00"}},
      {{'a', 0xD83D}, "a", {"text: unknow utf-16 char D83D"}},
      {{0xDE00, 0xD83D}, "", {"text: unknow utf-16 char DE00", "text: unknow utf-16 char D83D"}},
      // A high surrogate twice: the first is lone, the second pairs.
      {{0xD83D, 0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", {"text: unknow utf-16 char D83D"}},
  };
  for (const auto &c : cases) {
    lines.clear();
    EXPECT_EQ(to8(c.in), c.out);
    EXPECT_EQ(lines, c.logged);
  }
}

TEST_F(Utf, BoundedFormsStopAtTheFirstCharacterThatDoesNotFitWhole) {
  uint16_t u16[8] = {0};
  int n = -1;
  EXPECT_EQ(ff_utf8_to_utf16("abc", 3, u16, &n, 2), 0);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(u16[2], 0);

  // One unit of room left: the pair is not split.
  memset(u16, 0, sizeof u16);
  ff_utf8_to_utf16("a\xF0\x9F\x98\x80z", 6, u16, &n, 2);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(u16[1], 0);

  char u8[8] = {0};
  const uint16_t text[] = {'a', 0x4E2D, 'b'};
  ff_utf16_to_utf8(text, 3, u8, &n, 3);
  EXPECT_EQ(n, 1);
  EXPECT_STREQ(u8, "a");
  ff_utf16_to_utf8(text, 3, u8, &n, 4);
  EXPECT_EQ(n, 4);

  const uint16_t astral[] = {0xD83D, 0xDE00};
  memset(u8, 0, sizeof u8);
  ff_utf16_to_utf8(astral, 2, u8, &n, 3);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(lines.empty()) << "a pair that does not fit is not a lone surrogate";
}

TEST_F(Utf, AllocatingFormsOnEmptyAndOversizedInput) {
  char *empty8 = ff_utf16_to_utf8_2(nullptr, 0, &len);
  ASSERT_NE(empty8, nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(empty8[0], 0);
  ff_free(empty8);
  uint16_t *empty16 = ff_utf8_to_utf16_2("", 0, nullptr);
  ASSERT_NE(empty16, nullptr);
  EXPECT_EQ(empty16[0], 0);
  ff_free(empty16);

  ff_calloc_fail_after(0);
  EXPECT_EQ(ff_utf8_to_utf16_2("abc", 3, &len), nullptr);
  EXPECT_NE(strstr(ff_get_msg(), "): failed to calloc 14"), nullptr) << ff_get_msg();
  const uint16_t two[] = {'a', 'b'};
  ff_calloc_fail_after(0);
  EXPECT_EQ(ff_utf16_to_utf8_2(two, 2, &len), nullptr);
  EXPECT_NE(strstr(ff_get_msg(), "): failed to calloc 9"), nullptr) << ff_get_msg();
  ff_calloc_fail_after(-1);

  // Areas whose size would not fit an int are refused before reading input.
  len = 7;
  EXPECT_EQ(ff_utf16_to_utf8_2(nullptr, INT_MAX / 4 + 1, &len), nullptr);
  EXPECT_EQ(len, 7);
  EXPECT_NE(strstr(ff_get_msg(), "failed to calloc 2147483649"), nullptr) << ff_get_msg();
  EXPECT_EQ(strncmp(ff_get_msg(), "ff_text(", 8), 0);
  EXPECT_EQ(ff_utf8_to_utf16_2(nullptr, INT_MAX / 2, nullptr), nullptr);
  EXPECT_NE(strstr(ff_get_msg(), "failed to calloc "), nullptr);
}

TEST(UtfSwap, SwapsEveryUnitInPlace) {
  uint16_t u[] = {0x4100, 0x00FE, 0x1234};
  EXPECT_EQ(ff_utf16_swap(u, 2), 0);
  EXPECT_EQ(u[0], 0x0041);
  EXPECT_EQ(u[1], 0xFE00);
  EXPECT_EQ(u[2], 0x1234);
  ff_utf16_swap(u, 0);
  ff_utf16_swap(u, -1);
  EXPECT_EQ(u[0], 0x0041);
}

// The test's own encoders give the expected forms of random scalar values.
void append_utf8(std::string &s, uint32_t v) {
  if (v < 0x80) {
    s += (char)v;
  } else if (v < 0x800) {
    s += (char)(0xC0 | (v >> 6));
    s += (char)(0x80 | (v & 0x3F));
  } else if (v < 0x10000) {
    s += (char)(0xE0 | (v >> 12));
    s += (char)(0x80 | ((v >> 6) & 0x3F));
    s += (char)(0x80 | (v & 0x3F));
  } else {
    s += (char)(0xF0 | (v >> 18));
    s += (char)(0x80 | ((v >> 12) & 0x3F));
    s += (char)(0x80 | ((v >> 6) & 0x3F));
    s += (char)(0x80 | (v & 0x3F));
  }
}

void append_utf16(U16 &u, uint32_t v) {
  if (v < 0x10000) {
    u.push_back((uint16_t)v);
  } else {
    u.push_back((uint16_t)(0xD800 + ((v - 0x10000) >> 10)));
    u.push_back((uint16_t)(0xDC00 + ((v - 0x10000) & 0x3FF)));
  }
}

TEST_F(Utf, RandomValidTextSurvivesTheRoundTrip) {
  std::mt19937 rng(20261209);
  // Draw from each length class evenly, not from the astral-heavy code space.
  const uint32_t ranges[][2] = {{0x01, 0x7F},       {0x80, 0x7FF},      {0x800, 0xD7FF},
                                {0xE000, 0xFFFF},   {0x10000, 0x1FFFF}, {0x20000, 0x10FFFF}};
  for (int round = 0; round < 3000; round++) {
    std::string utf8;
    U16 utf16;
    int count = (int)(rng() % 40);
    for (int i = 0; i < count; i++) {
      const uint32_t *r = ranges[rng() % 6];
      uint32_t v = r[0] + rng() % (r[1] - r[0] + 1);
      append_utf8(utf8, v);
      append_utf16(utf16, v);
    }
    U16 got16 = to16(utf8);
    ASSERT_EQ(got16, utf16) << "round " << round;
    ASSERT_EQ(to8(got16), utf8) << "round " << round;
  }
  EXPECT_TRUE(lines.empty());
}

}  // namespace
