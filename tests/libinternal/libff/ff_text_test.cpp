// Text decoding to UTF-8: the UTF tests and their marks, the detection order,
// detected text through iconv, the Shift_JIS superset, file reading limits,
// CR LF folding.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "ff.h"
#include "ff_buffer_internal.h"
#include "ff_calloc_internal.h"
#include "ff_text.h"

namespace {

struct BufferDeleter {
  void operator()(ff_buffer *p) const { ff_buffer_free(p); }
};
using Buffer = std::unique_ptr<ff_buffer, BufferDeleter>;

Buffer buffer_of(const std::string &bytes) {
  Buffer b(ff_buffer_new(64));
  ff_buffer_push(b.get(), bytes.data(), (int)bytes.size());
  return b;
}

std::string data_of(ff_buffer *p) {
  return std::string(ff_buffer_data(p) ? ff_buffer_data(p) : "", (size_t)ff_buffer_data_size(p));
}

class Text : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ff_init(), 0);
    fflog_init(capture, nullptr, 0, &lines);
  }
  void TearDown() override {
    fflog_destroy(nullptr);
    ff_set_msg(nullptr, 0, "");
  }
  static void capture(char *line, void *arg) { static_cast<std::vector<std::string> *>(arg)->push_back(line); }

  // Decodes bytes; the result and the return code.
  std::string decode(const std::string &bytes, int *rc = nullptr) {
    Buffer src = buffer_of(bytes);
    Buffer dst(ff_buffer_new(64));
    int r = ff_text_convert_to_utf8(src.get(), dst.get());
    if (rc) *rc = r;
    return data_of(dst.get());
  }

  std::vector<std::string> lines;
};

TEST_F(Text, Utf8IsTakenOnAMarkOrAMultiByteSequence) {
  const struct {
    std::string bytes;
    int is_utf8;
  } cases[] = {
      {"A\xC3\xA9", 1},
      {"AB", 0},                  // ASCII alone has no multi-byte sequence
      {"", 0},
      {"\xEF\xBB\xBF", 1},        // the mark alone
      {std::string("\xC3\xA9\0", 3), 0},  // a NUL byte rules UTF-8 out
      {"a\xF5\x80\x80\x80", 0},   // no lead above F4
      {"\xC3(", 0},               // a needed continuation byte is missing
      {"\xC3\xA9\xE4\xB8", 1},    // cut off at the end after a full sequence
      {"\xE4\xB8", 0},            // cut off, nothing complete
      {"\x80\x80", 1},            // a stray continuation byte passes as a lead
      {"\xF0\x9F\x98\x80", 1},
  };
  for (const auto &c : cases) {
    Buffer b = buffer_of(c.bytes);
    EXPECT_EQ(ff_text_is_utf8(b.get(), 0), c.is_utf8) << testing::PrintToString(c.bytes);
    EXPECT_EQ(data_of(b.get()), c.bytes) << "remove_bom 0 leaves the data";
  }
}

TEST_F(Text, Utf16TestsAndTheirMarks) {
  const struct {
    std::string bytes;
    int le, be;
  } cases[] = {
      {std::string("A\0", 2), 1, 0},
      {std::string("A\0\0\0", 4), 0, 0},           // a zero unit
      {std::string("\xFF\xFE" "A\0", 4), 1, 0},
      {std::string("\xFF\xFE\0\0", 4), 0, 0},      // the UTF-32LE mark
      {std::string("\xFE\xFF\0A", 4), 0, 1},
      {std::string("\0A\0B", 4), 0, 1},
      {std::string("A", 1), 0, 0},
      {std::string("\x3D\xD8\x00\xDE" "A\0", 6), 1, 1},  // a pair in order (and DE00 read big-endian)
      {std::string("\x00\xDE\x3D\xD8" "A\0", 6), 0, 1},  // low before high
      {std::string("\x3D\xD8\x3D\xD8" "A\0", 6), 0, 0},  // two highs
      {std::string("A\0\x3D\xD8", 4), 1, 0},             // a high left pending
      {std::string("\xFF\x01\x02\x03", 4), 0, 0},        // half a mark is none
      {std::string("\xFE\x01\x02\x03", 4), 0, 0},
  };
  for (const auto &c : cases) {
    Buffer b = buffer_of(c.bytes);
    EXPECT_EQ(ff_text_is_utf16le(b.get(), 0), c.le) << testing::PrintToString(c.bytes);
    EXPECT_EQ(ff_text_is_utf16be(b.get(), 0), c.be) << testing::PrintToString(c.bytes);
  }
  Buffer le = buffer_of(std::string("\xFF\xFE" "A\0", 4));
  EXPECT_EQ(ff_text_is_utf16le(le.get(), 1), 1);
  EXPECT_EQ(data_of(le.get()), std::string("A\0", 2));
  EXPECT_EQ(lines, std::vector<std::string>{"text: remove 2 bytes UTF-16LE BOM"});
  Buffer be = buffer_of(std::string("\xFE\xFF\0A", 4));
  EXPECT_EQ(ff_text_is_utf16be(be.get(), 1), 1);
  EXPECT_EQ(data_of(be.get()), std::string("\0A", 2));
  EXPECT_EQ(lines.size(), 1u) << "the UTF-16BE mark goes without a log line";
}

TEST_F(Text, DetectionOrderAndLogLines) {
  int rc = -1;
  EXPECT_EQ(decode("A\xC3\xA9", &rc), "A\xC3\xA9");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(lines, std::vector<std::string>{"text: from UTF8: 3"});

  lines.clear();
  EXPECT_EQ(decode("\xEF\xBB\xBFhi \xC3\xA9"), "hi \xC3\xA9");
  EXPECT_EQ(lines, (std::vector<std::string>{"text: remove 3 bytes UTF-8 BOM", "text: from UTF8: 5"}));
  lines.clear();
  EXPECT_EQ(decode("\xEF\xBB\xBF", &rc), "");
  EXPECT_EQ(rc, 0);

  // Plain ASCII: no UTF test answers; this detector names it ASCII (others
  // name nothing, and the bytes pass through as ISO8859-1).
  lines.clear();
  EXPECT_EQ(decode("AB", &rc), "AB");
  EXPECT_EQ(rc, 0);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines[0] == "text: iconv from ASCII:2 to:UTF-8" || lines[0] == "text: from ISO8859-1: 2") << lines[0];
  // No text at all gets no name from the detector: passed through.
  lines.clear();
  EXPECT_EQ(decode("", &rc), "");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(lines, std::vector<std::string>{"text: from ISO8859-1: 0"});

  // After a mark zero units are let through; the log counts the units in
  // front of the first one.
  lines.clear();
  EXPECT_EQ(decode(std::string("\xFF\xFE" "A\0B\0\0\0C\0", 10)), std::string("AB\0C", 4));
  EXPECT_EQ(lines, (std::vector<std::string>{"text: remove 2 bytes UTF-16LE BOM", "text: from UTF-16LE: 8, 2, 4",
                                             "text: to UTF-8: 4 OK"}));

  // UTF-16BE is swapped in place in src.
  lines.clear();
  Buffer src = buffer_of(std::string("\xFE\xFF\0A\0\xE9", 6));
  Buffer dst(ff_buffer_new(8));
  ASSERT_EQ(ff_text_convert_to_utf8(src.get(), dst.get()), 0);
  EXPECT_EQ(data_of(dst.get()), "A\xC3\xA9");
  EXPECT_EQ(data_of(src.get()), std::string("A\0\xE9\0", 4));
  EXPECT_EQ(lines, (std::vector<std::string>{"text: from UTF-16BE: 4, 2", "text: to UTF-8: 3 OK"}));

  // An astral character in UTF-16 survives.
  EXPECT_EQ(decode(std::string("\xFF\xFE" "a\0\x3D\xD8\x00\xDE" "b\0", 10)), "a\xF0\x9F\x98\x80" "b");
}

TEST_F(Text, Utf16WithoutCharactersFails) {
  int rc = 0;
  decode("\xFF\xFE", &rc);
  EXPECT_EQ(rc, -1);
  // The converter's own text: one prefix, nothing chained in front.
  const std::regex kEmpty("ff_text\\(\\d+\\): utf-8 empty");
  EXPECT_TRUE(std::regex_match(std::string(ff_get_msg()), kEmpty)) << ff_get_msg();

  // Nothing but a lone surrogate converts to nothing either.
  ff_set_msg(nullptr, 0, "");
  decode(std::string("\xFF\xFE\x3D\xD8", 4), &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(std::regex_match(std::string(ff_get_msg()), kEmpty)) << ff_get_msg();

  // A failure inside the conversion is passed on behind the converter's place.
  ff_calloc_fail_after(0);
  decode(std::string("\xFF\xFE" "A\0", 4), &rc);
  ff_calloc_fail_after(-1);
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(std::regex_match(std::string(ff_get_msg()),
                               std::regex("ff_text\\(\\d+\\): ff_text\\(\\d+\\): failed to calloc 5")))
      << ff_get_msg();
}

TEST_F(Text, DetectedTextGoesThroughIconv) {
  // Enough French in Latin-1 for the detector to name it.
  std::string latin1 =
      "Le c\xE9l\xE8" "bre th\xE9\xE2tre de la ville pr\xE9sente une pi\xE8" "ce \xE9l\xE9gante: "
      "les acteurs r\xE9p\xE8tent \xE0 l'\xE9t\xE9, le d\xE9" "cor est pr\xEAt, et le public "
      "\xE9tonn\xE9 applaudit tr\xE8s fort \xE0 la derni\xE8re sc\xE8ne du deuxi\xE8me acte.";
  std::string expected =
      "Le célèbre théâtre de la ville présente une pièce élégante: les acteurs répètent à l'été, le décor est "
      "prêt, et le public étonné applaudit très fort à la dernière scène du deuxième acte.";
  char charset[FF_TEXT_CHARSET_SIZE] = {0};
  Buffer src = buffer_of(latin1);
  ASSERT_EQ(ff_text_detect(src.get(), charset), 0);
  EXPECT_TRUE(strcmp(charset, "ISO-8859-1") == 0 || strcmp(charset, "WINDOWS-1252") == 0) << charset;
  lines.clear();
  EXPECT_EQ(decode(latin1), expected);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string("text: iconv from ") + charset + ":" + std::to_string(latin1.size()) + " to:UTF-8");
  EXPECT_EQ(lines[1], "text: iconv to UTF-8:" + std::to_string(expected.size()) + " OK.");

  Buffer empty(ff_buffer_new(8));
  ASSERT_EQ(ff_text_detect(empty.get(), charset), 0);
  EXPECT_STREQ(charset, "ISO8859-1");
}

TEST_F(Text, IconvFailuresLeaveNoBuffer) {
  Buffer src = buffer_of("caf\xE9");
  ff_buffer *out = (ff_buffer *)&out;
  ASSERT_EQ(ff_text_iconv(src.get(), "ISO-8859-1", &out, "UTF-8"), 0);
  EXPECT_EQ(data_of(out), "caf\xC3\xA9");
  EXPECT_EQ(ff_buffer_data(out)[5], '\0');
  ff_buffer_free(out);

  out = (ff_buffer *)&out;
  EXPECT_EQ(ff_text_iconv(src.get(), "NO-SUCH-CHARSET", &out, "UTF-8"), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_NE(strstr(ff_get_msg(), "): failed to open iconv"), nullptr) << ff_get_msg();

  Buffer invalid = buffer_of("ok \xFF");
  EXPECT_EQ(ff_text_iconv(invalid.get(), "UTF-8", &out, "UTF-16LE"), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_NE(strstr(ff_get_msg(), "): failed to iconv"), nullptr) << ff_get_msg();
  Buffer cut = buffer_of("ok \x82");  // a Shift_JIS lead byte without its trail
  EXPECT_EQ(ff_text_iconv(cut.get(), "CP932", &out, "UTF-8"), -1);
  EXPECT_EQ(out, nullptr);

  // No memory for the output area (4 bytes a byte and a terminator), the
  // result's record, its storage.
  const struct {
    void (*arm)(int);
    int skip;
    const char *message;
  } no_memory[] = {{ff_calloc_fail_after, 0, "failed to calloc 17"},
                   {ff_buffer_fail_after, 0, "failed to buffer_new 5"},
                   {ff_buffer_fail_after, 1, "failed to buffer_push 5"}};
  for (const auto &n : no_memory) {
    out = (ff_buffer *)&out;
    n.arm(n.skip);
    EXPECT_EQ(ff_text_iconv(src.get(), "ISO-8859-1", &out, "UTF-8"), -1);
    ff_calloc_fail_after(-1);
    ff_buffer_fail_after(-1);
    EXPECT_EQ(out, nullptr);
    std::string msg = ff_get_msg();
    EXPECT_EQ(msg.substr(msg.find("): ") + 3), n.message);
  }
}

TEST_F(Text, ShiftJisIsDecodedWithItsWindowsSuperset) {
  // Made from the text below by the iconv tool with CP932.
  const std::string sjis =
      "\x90\xDD\x92\xE8\x83t\x83@\x83" "C\x83\x8B\x82\xCD C:\x5CKovarel\x5C" "cfg.win32\x5Ckovarel.cfg "
      "\x82\xC9\x82\xA0\x82\xE8\x82\xDC\x82\xB7\x81" "B~/\x83\x8D\x83O\x82\xE0\x8Am\x94" "F\x82\xB5\x82\xC4\x82\xAD"
      "\x82\xBE\x82\xB3\x82\xA2\x81" "B\x83T\x81[\x83o\x81[\x82\xAA\x8BN\x93\xAE\x82\xB5\x82\xC8\x82\xA2\x8F\xEA\x8D"
      "\x87\x82\xCD\x81" "A\x83\x8D\x83O\x82\xF0\x8AJ\x82\xA2\x82\xC4\x8C\xB4\x88\xF6\x82\xF0\x92\xB2\x82\xD7\x82\xC4"
      "\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81" "B";
  const std::string text =
      "設定ファイルは C:\\Kovarel\\cfg.win32\\kovarel.cfg にあります。~/ログも確認してください。"
      "サーバーが起動しない場合は、ログを開いて原因を調べてください。";
  char charset[FF_TEXT_CHARSET_SIZE] = {0};
  Buffer src = buffer_of(sjis);
  ASSERT_EQ(ff_text_detect(src.get(), charset), 0);
  EXPECT_STREQ(charset, "SHIFT_JIS");
  lines.clear();
  int rc = -1;
  EXPECT_EQ(decode(sjis, &rc), text) << "backslashes and the tilde stay ASCII";
  EXPECT_EQ(rc, 0);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "text: iconv from CP932:" + std::to_string(sjis.size()) + " to:UTF-8");

  // Asked for by name, SHIFT_JIS itself is used: its 0x5C is the yen sign.
  ff_buffer *out = nullptr;
  Buffer path = buffer_of("C:\x5C" "dir");
  ASSERT_EQ(ff_text_iconv(path.get(), "SHIFT_JIS", &out, "UTF-8"), 0);
  EXPECT_EQ(data_of(out), "C:\xC2\xA5" "dir");
  ff_buffer_free(out);
}

class TextFile : public Text {
 protected:
  void SetUp() override {
    Text::SetUp();
    dir = std::filesystem::temp_directory_path() / ("ff_text_test_" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    Text::TearDown();
  }
  std::string make(const std::string &name, const std::string &content) {
    std::filesystem::path p = dir / name;
    std::ofstream(p, std::ios::binary) << content;
    return p.u8string();
  }
  std::filesystem::path dir;
};

TEST_F(TextFile, SizeLimitIsInclusive) {
  std::string ten = make("ten", "0123456789");
  std::string eleven = make("eleven", "0123456789A");
  Buffer b(ff_buffer_new(16));
  EXPECT_EQ(ff_text_file_read(ten.c_str(), b.get(), 10), 0);
  EXPECT_EQ(data_of(b.get()), "0123456789");
  ff_buffer_reset(b.get());
  EXPECT_EQ(ff_text_file_read(eleven.c_str(), b.get(), 10), -1);
  EXPECT_EQ(ff_buffer_data_size(b.get()), 0);
  std::string msg = ff_get_msg();
  EXPECT_EQ(msg.substr(msg.find("): ") + 3), "file '" + eleven + "' size 11 over limit 10");
  EXPECT_EQ(ff_text_file_read(eleven.c_str(), b.get(), -1), 0);
  EXPECT_EQ(data_of(b.get()), "0123456789A");
}

TEST_F(TextFile, WholeFilesEmptyFilesAndMissingFiles) {
  std::string big_content(3 * 4096 + 17, 'x');
  for (size_t i = 0; i < big_content.size(); i++) big_content[i] = (char)(i * 7);
  std::string big = make("big", big_content);
  Buffer b(ff_buffer_new(1024));
  ff_buffer_push(b.get(), "head:", 5);  // a read appends to what is there
  EXPECT_EQ(ff_text_file_read(big.c_str(), b.get(), -1), 0) << ff_get_msg();
  EXPECT_EQ(data_of(b.get()), "head:" + big_content);

  std::string empty = make("empty", "");
  Buffer e(ff_buffer_new(8));
  lines.clear();
  EXPECT_EQ(ff_text_file_read(empty.c_str(), e.get(), 0), 0);
  EXPECT_EQ(ff_buffer_data_size(e.get()), 0);
  EXPECT_EQ(ff_buffer_buf(e.get()), nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"text: file '" + empty + "' empty. size 0"});

  std::string missing = (dir / "missing").u8string();
  EXPECT_EQ(ff_text_file_read(missing.c_str(), e.get(), -1), -1);
  std::string msg = ff_get_msg();
  EXPECT_EQ(msg.substr(msg.find("): ") + 3), "failed to open " + missing);

  // Every allocation of a read may fail (on Windows the wide name and mode
  // come first): -1 with the reason, nothing appended.
  std::vector<std::string> reasons;
  for (int skip = 0;; skip++) {
    Buffer b(ff_buffer_new(64));
    ff_calloc_fail_after(skip);
    int rc = ff_text_file_read(big.c_str(), b.get(), -1);
    ff_calloc_fail_after(-1);
    if (rc == 0) break;
    EXPECT_EQ(ff_buffer_data_size(b.get()), 0);
    msg = ff_get_msg();
    reasons.push_back(msg.substr(msg.find("): ") + 3));
  }
  ASSERT_FALSE(reasons.empty());
  EXPECT_EQ(reasons.back(), "failed to calloc 4096 ");
}

TEST_F(Text, CrLfBecomesLf) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\r\nb\r\n", "a\nb\n"},
      {"a\rb\n", "a\rb\n"},
      {"\r\n\r\n", "\n\n"},
      {"\r\r\n\n", "\r\n\n"},
      {"no breaks", "no breaks"},
      {std::string("a\r\nb\0c\r\n", 8), std::string("a\nb\0c\r\n", 7)},  // the search ends at NUL
  };
  for (const auto &c : cases) {
    Buffer src = buffer_of(c.in);
    Buffer dst(ff_buffer_new(4));
    EXPECT_EQ(ff_text_convert_crlf_to_lf(dst.get(), src.get()), 0);
    EXPECT_EQ(data_of(dst.get()), c.out) << testing::PrintToString(c.in);
    EXPECT_EQ(ff_buffer_data_size(src.get()), 0);
  }

  // Long texts of every length around the sizes the folding works in, with
  // pairs, lone CRs and LFs and NULs anywhere, appended behind what dst holds.
  std::mt19937 rng(16);
  const char kSpecial[] = {'\r', '\n', '\r', '\n', '\r', '\n', '\0'};
  const unsigned kPercent[] = {60, 10, 1};  // of special bytes, so runs of every length
  for (int length = 0; length < 700; length++) {
    std::string in(length, 'a');
    for (char &ch : in) {
      if (rng() % 100 < kPercent[length % 3]) ch = kSpecial[rng() % (length % 2 ? 7 : 6)];
    }
    // The reference: a pair counts only when both bytes lie before the first NUL.
    size_t nul = std::min(in.find('\0'), in.size());
    std::string want = "kept";
    for (size_t i = 0; i < in.size(); i++) {
      if (!(i + 1 < nul && in[i] == '\r' && in[i + 1] == '\n')) want += in[i];
    }
    Buffer src = buffer_of(in);
    Buffer dst = buffer_of("kept");
    EXPECT_EQ(ff_text_convert_crlf_to_lf(dst.get(), src.get()), 0);
    ASSERT_EQ(data_of(dst.get()), want) << testing::PrintToString(in);
    EXPECT_EQ(ff_buffer_data(dst.get())[ff_buffer_data_size(dst.get())], '\0');
    EXPECT_EQ(ff_buffer_data_size(src.get()), 0);
  }

  char text[] = "a/b/c";
  EXPECT_EQ(ff_text_replace(text, '/', '\\'), 0);
  EXPECT_STREQ(text, "a\\b\\c");
}

}  // namespace
