// Directories and files on the real file system (under Wine for the Windows
// build): listings, non-ASCII names both ways, large files, times, path tests,
// file opening and the current directory. Files are made and checked with the
// standard library, independently of the code under test.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <malloc.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ff.h"
#include "ff_calloc_internal.h"
#include "ff_dir.h"
#include "ff_text.h"

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
const char kSep[] = "\\";
const char kTag[] = "ff_dir_win32";
const char kProgram[] = "ff_dir_tests.exe";
#else
const char kSep[] = "/";
const char kTag[] = "ff_dir_posix";
const char kProgram[] = "ff_dir_tests";
#endif

fs::path u8(const std::string &s) { return fs::u8path(s); }

#ifdef _WIN32
// Blocks in use on the C runtime's heap. No leak checker runs under Wine:
// what a call leaks shows as blocks that stay.
size_t heap_blocks_in_use() {
  _HEAPINFO info = {};
  size_t used = 0;
  while (_heapwalk(&info) == _HEAPOK) used += info._useflag == _USEDENTRY;
  return used;
}
#endif

void write_file(const std::string &utf8_path, const std::string &content) {
  std::ofstream out(u8(utf8_path), std::ios::binary);
  out << content;
  ASSERT_TRUE(out.good()) << utf8_path;
}

// Sets a file's last write time to a count of seconds since 1970.
void set_mtime(const std::string &utf8_path, int64_t unix_seconds) {
#ifdef _WIN32
  HANDLE h = CreateFileW(u8(utf8_path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  uint64_t ticks = (uint64_t)(unix_seconds + 11644473600LL) * 10000000u;
  FILETIME ft = {(DWORD)ticks, (DWORD)(ticks >> 32)};
  EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
  CloseHandle(h);
#else
  struct timespec times[2] = {{(time_t)unix_seconds, 0}, {(time_t)unix_seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, utf8_path.c_str(), times, 0), 0);
#endif
}

// The slot's text split into its prefixes of the directory units, outermost
// first, and the text behind them.
struct Message {
  std::vector<std::string> tags;
  std::vector<std::string> places;  // "tag(line)"
  std::string body;
};

Message parse(const std::string &msg) {
  static const std::regex prefix("^(ff_dir(?:_win32|_posix)?)\\(\\d+\\): ");
  Message m;
  m.body = msg;
  std::smatch match;
  while (std::regex_search(m.body, match, prefix)) {
    m.tags.push_back(match[1]);
    m.places.push_back(match.str(0).substr(0, match.length(0) - 2));
    m.body = match.suffix();
  }
  return m;
}

// The slot's text without its prefixes, and how many it had.
std::string message_body(const std::string &msg, int *prefixes) {
  Message m = parse(msg);
  *prefixes = (int)m.places.size();
  return m.body;
}

class Dir : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ff_init(), 0);
    saved_cwd = fs::current_path();
    std::random_device rd;
    fs::path dir = fs::temp_directory_path() / ("ff_dir_test_" + std::to_string(rd()));
    fs::create_directories(dir);
    root = dir.u8string() + kSep;
  }
  void TearDown() override {
    fs::current_path(saved_cwd);
    std::error_code ec;
    fs::remove_all(u8(root), ec);
    ff_set_msg(nullptr, 0, "");
  }

  // The names a full listing of pattern returns, checking the record is
  // idle at the end.
  std::multiset<std::string> list(const std::string &pattern) {
    std::multiset<std::string> names;
    ff_dir d;
    memset(&d, 0, sizeof d);
    for (int rc = ff_dir_get_file(&d, pattern.c_str()); rc == 0; rc = ff_dir_next_file(&d, nullptr)) {
      names.insert(d.file_name);
    }
    EXPECT_EQ(d.hfind, nullptr);
    return names;
  }

  fs::path saved_cwd;
  std::string root;  // UTF-8, with a trailing separator
};

TEST_F(Dir, ListsEveryEntryWithoutTheLeadingDotsAndEndsIdle) {
  write_file(root + "a.txt", "aa");
  write_file(root + "b.txt", "bbbb");
  write_file(root + "c.log", "");
  ff_dir_mkdir((root + "sub").c_str());

  ff_dir d;
  memset(&d, 0, sizeof d);
  std::set<std::string> seen;
  int rc = ff_dir_find_first(&d, root.c_str(), "*");
  for (; rc == 0; rc = ff_dir_next_file(&d, nullptr)) {
    seen.insert(d.file_name);
    if (strcmp(d.file_name, "sub") == 0) {
      EXPECT_EQ(d.is_dir, 1);
    } else {
      EXPECT_EQ(d.is_dir, 0) << d.file_name;
    }
    if (strcmp(d.file_name, "b.txt") == 0) EXPECT_EQ(d.file_size, 4u);
  }
  EXPECT_EQ(seen, (std::set<std::string>{"a.txt", "b.txt", "c.log", "sub"}));

  // The end: the outer call's prefix stands in front of the inner one's.
  int prefixes = 0;
  EXPECT_EQ(message_body(ff_get_msg(), &prefixes), "not found");
  EXPECT_EQ(prefixes, 2);
  EXPECT_EQ(d.hfind, nullptr);
  EXPECT_EQ(ff_dir_close(&d), -1);
  EXPECT_EQ(ff_dir_next_file(&d, nullptr), -1);
  EXPECT_EQ(message_body(ff_get_msg(), &prefixes), "p or hfind eq NULL");
  EXPECT_EQ(ff_dir_next_file(nullptr, nullptr), -1);
}

TEST_F(Dir, WildcardsInTheLastComponentAndPlainPaths) {
  write_file(root + "a.txt", "");
  write_file(root + "ab.txt", "");
  write_file(root + "\xC3\xA9.txt", "");  // one character, two bytes
  write_file(root + "b.log", "");
  ff_dir_mkdir((root + "dir").c_str());

  EXPECT_EQ(list(root + "*.txt"), (std::multiset<std::string>{"a.txt", "ab.txt", "\xC3\xA9.txt"}));
  EXPECT_EQ(list(root + "?.txt"), (std::multiset<std::string>{"a.txt", "\xC3\xA9.txt"}));
  EXPECT_EQ(list(root + "a*"), (std::multiset<std::string>{"a.txt", "ab.txt"}));
  EXPECT_EQ(list(root + "*b*"), (std::multiset<std::string>{"ab.txt", "b.log"}));
  // A plain path matches the entry itself, a directory too (not its content).
  EXPECT_EQ(list(root + "dir"), (std::multiset<std::string>{"dir"}));
  EXPECT_EQ(list(root + "b.log"), (std::multiset<std::string>{"b.log"}));

  ff_dir d;
  memset(&d, 0, sizeof d);
  EXPECT_EQ(ff_dir_get_file(&d, (root + "*.none").c_str()), -1);
  int prefixes = 0;
  EXPECT_EQ(message_body(ff_get_msg(), &prefixes), "can't open file or dir of '" + root + "*.none'");
  EXPECT_EQ(prefixes, 1);
  EXPECT_EQ(d.hfind, nullptr);

  EXPECT_EQ(ff_dir_find_first(&d, (root + "missing" + kSep).c_str(), "*"), -1);
  EXPECT_EQ(message_body(ff_get_msg(), &prefixes), "can't open file or dir of '" + root + "missing" + kSep + "*'");
  EXPECT_EQ(prefixes, 2);
  EXPECT_EQ(d.hfind, nullptr);
}

// Every file, directory and size below root, the relative name first.
std::map<std::string, uintmax_t> tree_of(const std::string &root) {
  std::map<std::string, uintmax_t> tree;
  for (const auto &e : fs::recursive_directory_iterator(u8(root))) {
    tree[fs::relative(e.path(), u8(root)).u8string()] = e.is_directory() ? 0 : e.file_size();
  }
  return tree;
}

// Bytes that are not UTF-8 never reach the system. On Windows a lenient
// conversion makes them '?', a wildcard, and an overlong form another
// character: an overlong NUL ends the path at "keep.txt" or "victim", an
// overlong separator names "outer\inner". Nothing is opened, truncated, made,
// removed or entered.
TEST_F(Dir, APathThatIsNotUtf8IsRefused) {
  write_file(root + "keep.txt", "kept");
  write_file(root + "cafe.txt", "");
  fs::create_directories(u8(root + "victim"));
  fs::create_directories(u8(root + "outer" + kSep + "inner"));
  const auto before = tree_of(root);
  const std::string bad[] = {
      "\xE9",              // Latin-1
      "\xE0\x80\x80",      // U+0000 in an overlong form
      "\xE0\x81\x9C",      // '\' in an overlong form
      "\xE0\x80\xAF",      // '/' in an overlong form
      "\xE0\x81\xA5",      // 'e' in an overlong form
      "\xED\xA0\x80",      // an encoded surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xC3",              // cut short
  };
  const std::pair<const char *, const char *> around[] = {
      {"keep.txt", ".bak"}, {"victim", "x"}, {"outer", "inner"}, {"outer", "made"}, {"caf", ".txt"}, {"victim", ""}};
  for (const auto &b : bad) {
    for (const auto &a : around) {
      std::string name = a.first + b + a.second, path = root + name;
      SCOPED_TRACE(testing::PrintToString(name));
      // The calls that did not fail with the reason, by name.
      std::vector<std::string> not_refused;
      auto check = [&](const char *call, int rc, int prefixes_expected) {
        int prefixes = 0;
        std::string body = message_body(ff_get_msg(), &prefixes);
        if (rc != -1 || body != "path '" + path + "' is not UTF-8" || prefixes != prefixes_expected) {
          not_refused.push_back(call);
        }
      };
      for (const char *mode : {"wb", "rb", "ab"}) check(mode, ff_file_open(path.c_str(), mode) ? 0 : -1, 1);
      check("mkdir", ff_dir_mkdir(path.c_str()), 1);
      check("rmdir", ff_dir_rmdir(path.c_str()), 1);
      check("set_current_dir", ff_set_current_dir(path.c_str()), 1);
      check("check_file", ff_check_file(path.c_str()), 1);
      check("check_dir", ff_check_dir(path.c_str()), 1);
      ff_dir d;
      memset(&d, 0, sizeof d);
      check("find_first", ff_dir_find_first(&d, root.c_str(), name.c_str()), 2);
      EXPECT_EQ(d.hfind, nullptr);
      EXPECT_EQ(d.file_name[0], '\0');
      EXPECT_EQ(not_refused, std::vector<std::string>{});
    }
  }
  EXPECT_EQ(tree_of(root), before);
  EXPECT_TRUE(fs::equivalent(fs::current_path(), saved_cwd)) << fs::current_path().u8string();
  EXPECT_EQ(ff_check_file((root + "caf?.txt").c_str()), 0);  // a wildcard asked for
  // The smallest character of each length is no overlong form.
  std::string smallest = root + "\xC2\x80 \xE0\xA0\x80 \xF0\x90\x80\x80";
  write_file(smallest, "");
  EXPECT_EQ(ff_check_file(smallest.c_str()), 0) << ff_get_msg();
}

// A long pattern is never cut to a shorter one that names another
// directory: here the first 4 KiB name d, the whole pattern names e.
TEST_F(Dir, ALongPatternIsNeverCut) {
  for (const char *sub : {"d", "e"}) ff_dir_mkdir((root + sub).c_str());
  write_file(root + "d" + kSep + "x.txt", "");
  write_file(root + "e" + kSep + "y.txt", "");
  std::string dir = root + "d";
  while (dir.size() < 5000) dir += std::string(kSep) + ".";
  std::string pattern = dir + kSep + ".." + kSep + "e" + kSep + "*";
  std::multiset<std::string> names = list(pattern);
  EXPECT_EQ(names.count("x.txt"), 0u) << "cut";
#ifdef _WIN32
  EXPECT_EQ(names, std::multiset<std::string>{"y.txt"});  // Wine takes long paths whole
#else
  // Longer than a POSIX path may be: refused.
  EXPECT_TRUE(names.empty());
  int prefixes = 0;
  EXPECT_EQ(message_body(ff_get_msg(), &prefixes), "can't open file or dir of '" + pattern + "'");
#endif
}

TEST_F(Dir, AnOpenSearchIgnoresTheNewPattern) {
  write_file(root + "1.txt", "");
  write_file(root + "2.txt", "");
  ff_dir d;
  memset(&d, 0, sizeof d);
  ASSERT_EQ(ff_dir_get_file(&d, (root + "*.txt").c_str()), 0);
  std::string first = d.file_name;
  ASSERT_EQ(ff_dir_get_file(&d, (root + "nothing-here").c_str()), 0);
  EXPECT_EQ((std::set<std::string>{first, d.file_name}), (std::set<std::string>{"1.txt", "2.txt"}));
  EXPECT_EQ(ff_dir_close(&d), 0);
  EXPECT_EQ(d.hfind, nullptr);
  EXPECT_EQ(ff_dir_close(nullptr), -1);
}

TEST_F(Dir, EmptyDirectoryGivesNotFound) {
  ff_dir d;
  memset(&d, 0, sizeof d);
  EXPECT_EQ(ff_dir_get_file(&d, (root + "*").c_str()), -1);
  int prefixes = 0;
  EXPECT_EQ(message_body(ff_get_msg(), &prefixes), "not found");
  EXPECT_EQ(prefixes, 1);
  EXPECT_EQ(d.hfind, nullptr);
  EXPECT_EQ(ff_dir_close(&d), -1);
}

TEST_F(Dir, NonAsciiNamesTravelBothWays) {
  const std::string names[] = {
      "caf\xC3\xA9 cr\xC3\xA8me.txt",                   // accents
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt",       // CJK
      "smile \xF0\x9F\x98\x80.txt",                     // an astral character
      "\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB6",               // astral only, no dot
  };
  // Made by the standard library, read back through the listing.
  for (const auto &n : names) write_file(root + n, n);
  EXPECT_EQ(list(root + "*"), std::multiset<std::string>(std::begin(names), std::end(names)));

  // Made through ff_file_open in a non-ASCII directory, read back by the
  // standard library.
  std::string dir = root + "\xD0\xBA\xD0\xB0\xD1\x82\xD0\xB0\xD0\xBB\xD0\xBE\xD0\xB3 \xE7\x9B\xAE\xE5\xBD\x95";
  fs::create_directory(u8(dir));
  EXPECT_EQ(ff_check_dir(dir.c_str()), 0);
  std::string file = dir + kSep + "\xF0\x9F\x98\x80 \xC3\xA9t\xC3\xA9.bin";
  FILE *fp = ff_file_open(file.c_str(), "wb");
  ASSERT_NE(fp, nullptr) << ff_get_msg();
  fputs("payload", fp);
  fclose(fp);
  std::ifstream in(u8(file), std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "payload");
  EXPECT_EQ(list(dir + kSep + "*"), (std::multiset<std::string>{"\xF0\x9F\x98\x80 \xC3\xA9t\xC3\xA9.bin"}));
}

TEST_F(Dir, SizesAboveFourGigabytes) {
  std::string name = root + "big.bin";
  const int64_t size = (5LL << 30) + 3;  // the high half and the low half both set
  FILE *fp = ff_file_open(name.c_str(), "wb");
  ASSERT_NE(fp, nullptr) << ff_get_msg();
  // Seeking past the end and writing leaves a sparse file.
  ASSERT_EQ(ff_file_seek(fp, size - 1, SEEK_SET), 0);
  EXPECT_EQ(ff_file_tell(fp), size - 1);
  fputc('x', fp);
  fclose(fp);

  ff_dir d;
  memset(&d, 0, sizeof d);
  ASSERT_EQ(ff_dir_get_file(&d, name.c_str()), 0);
  EXPECT_EQ(d.file_size, (uint64_t)size);
  ff_dir_close(&d);

  fp = ff_file_open(name.c_str(), "rb");
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(ff_file_size(fp), size);
  EXPECT_EQ(ff_file_tell(fp), 0);
  ASSERT_EQ(ff_file_seek(fp, -1, SEEK_END), 0);
  EXPECT_EQ(fgetc(fp), 'x');
  fclose(fp);
}

TEST_F(Dir, FileSizeRewindsTheStream) {
  std::string name = root + "hundred.bin";
  write_file(name, std::string(100, 'z'));
  FILE *fp = ff_file_open(name.c_str(), "rb");
  ASSERT_NE(fp, nullptr);
  ASSERT_EQ(ff_file_seek(fp, 50, SEEK_SET), 0);
  EXPECT_EQ(ff_file_size(fp), 100);
  EXPECT_EQ(ff_file_tell(fp), 0);
  fclose(fp);
}

TEST_F(Dir, LastWriteTimeInUnixSeconds) {
  const int64_t times[] = {1, 1700000000, 4102444800LL /* 2100-01-01 */};
  for (int64_t t : times) {
    std::string name = root + "t" + std::to_string(t);
    write_file(name, "x");
    set_mtime(name, t);
    ff_dir d;
    memset(&d, 0, sizeof d);
    ASSERT_EQ(ff_dir_get_file(&d, name.c_str()), 0);
    EXPECT_EQ(d.last_write_time, t);
    ff_dir_close(&d);
  }
}

TEST_F(Dir, CheckDirAndCheckFile) {
  write_file(root + "f", "");
  ff_dir_mkdir((root + "d").c_str());
  EXPECT_EQ(ff_check_dir((root + "d").c_str()), 0);
  EXPECT_EQ(ff_check_file((root + "d").c_str()), -1);
  EXPECT_EQ(ff_check_file((root + "f").c_str()), 0);
  EXPECT_EQ(ff_check_dir((root + "f").c_str()), -1);
  for (auto check : {ff_check_dir, ff_check_file}) {
    EXPECT_EQ(check((root + "missing").c_str()), -1);
    int prefixes = 0;
    EXPECT_EQ(message_body(ff_get_msg(), &prefixes), "can't open file or dir of '" + root + "missing'");
  }
}

// Also for a name that no single-byte code page holds, and the directory made
// can be made current.
TEST_F(Dir, MkdirAndRmdirReturnZeroWhateverTheOutcome) {
  for (const char *name : {"made", "\xD0\xBA\xD0\xB8\xD1\x80_\xE4\xB8\xAD\xE6\x96\x87"}) {
    std::string d = root + name;
    EXPECT_EQ(ff_dir_mkdir(d.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(u8(d))) << name;
    EXPECT_EQ(ff_dir_mkdir(d.c_str()), 0);  // exists already
    EXPECT_EQ(ff_set_current_dir(d.c_str()), 0) << ff_get_msg();
    EXPECT_TRUE(fs::equivalent(fs::current_path(), u8(d))) << fs::current_path().u8string();
    fs::current_path(saved_cwd);
    EXPECT_EQ(ff_dir_rmdir(d.c_str()), 0);
    EXPECT_FALSE(fs::exists(u8(d))) << name;
    EXPECT_EQ(ff_dir_rmdir(d.c_str()), 0);  // gone already
  }
  std::string orphan = root + "no-parent" + kSep + "child";
  EXPECT_EQ(ff_dir_mkdir(orphan.c_str()), 0);
  EXPECT_FALSE(fs::exists(u8(orphan)));
#ifdef _WIN32
  // The wide copies of the paths go back, every time.
  std::string d = root + "again", back = saved_cwd.u8string();
  size_t before = heap_blocks_in_use();
  for (int i = 0; i < 20; i++) {
    ff_dir_mkdir(d.c_str());
    ff_set_current_dir(d.c_str());
    ff_set_current_dir(back.c_str());
    ff_dir_rmdir(d.c_str());
  }
  EXPECT_EQ(heap_blocks_in_use(), before);
#endif
}

// Opening name for reading fails with the platform's error code.
void expect_open_refused(const std::string &name) {
  EXPECT_EQ(ff_file_open(name.c_str(), "rb"), nullptr);
  int prefixes = 0;
  std::string body = message_body(ff_get_msg(), &prefixes);
  EXPECT_EQ(prefixes, 1);
  EXPECT_EQ(body.rfind("failed to open " + name + ", err:", 0), 0u) << body;
  EXPECT_NE(body, "failed to open " + name + ", err:0");
}

TEST_F(Dir, FailedOpenReportsAndReleasesTheGlobalLock) {
  expect_open_refused(root + "missing.txt");

  // Another thread can take the lock; a leaked lock fails here after 5 s.
  auto other = std::async(std::launch::async, [] {
    ff_global_lock();
    ff_global_unlock();
  });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// Windows cannot open a directory as a stream; neither can POSIX here, where
// a directory would otherwise read as an empty or endless file.
TEST_F(Dir, ADirectoryIsNoFileToOpenOrRead) {
  std::string dir = root + "sub";
  ff_dir_mkdir(dir.c_str());
  expect_open_refused(dir);

  ff_buffer *text = ff_buffer_new(1024);
  EXPECT_EQ(ff_text_file_read(dir.c_str(), text, -1), -1);
  EXPECT_EQ(ff_buffer_data_size(text), 0);
  // The reader's own text alone, as when the name is missing.
  std::string msg = ff_get_msg();
  EXPECT_EQ(msg.rfind("ff_text(", 0), 0u) << msg;
  EXPECT_EQ(msg.substr(msg.find("): ") + 3), "failed to open " + dir) << msg;
  ff_buffer_free(text);
}

// A tag and a line name one place: the portable unit's messages carry its
// tag, the platform unit's theirs.
TEST_F(Dir, EachPlaceHasItsOwnTagAndLine) {
  std::map<std::string, std::string> text_at;  // innermost place, its text
  auto expect_set_in = [&](const std::string &tag, const std::string &text) {
    Message m = parse(ff_get_msg());
    ASSERT_FALSE(m.places.empty()) << ff_get_msg();
    EXPECT_EQ(m.tags.back(), tag) << ff_get_msg();
    for (size_t i = 0; i + 1 < m.tags.size(); i++) EXPECT_EQ(m.tags[i], "ff_dir") << "chained: " << ff_get_msg();
    EXPECT_EQ(m.body.rfind(text, 0), 0u) << ff_get_msg();
    auto known = text_at.emplace(m.places.back(), text).first;
    EXPECT_EQ(known->second, text) << m.places.back() << " names two places";
  };
  ff_dir d;
  memset(&d, 0, sizeof d);
  EXPECT_EQ(ff_dir_next_file(&d, nullptr), -1);
  expect_set_in("ff_dir", "p or hfind eq NULL");
  EXPECT_EQ(ff_dir_get_file(&d, (root + "*").c_str()), -1);
  expect_set_in("ff_dir", "not found");
  EXPECT_EQ(ff_check_file((root + "\xE9").c_str()), -1);
  expect_set_in("ff_dir", "path '");
  ff_calloc_fail_after(0);
  EXPECT_EQ(ff_dir_find_first(&d, root.c_str(), "*"), -1);
  ff_calloc_fail_after(-1);
  expect_set_in("ff_dir", "failed to calloc ");
  EXPECT_EQ(ff_dir_find_first(&d, root.c_str(), "missing"), -1);
  expect_set_in(kTag, "can't open file or dir of '");
  EXPECT_EQ(ff_file_open((root + "missing").c_str(), "rb"), nullptr);
  expect_set_in(kTag, "failed to open ");
  EXPECT_EQ(ff_set_current_dir((root + "missing").c_str()), -1);
  expect_set_in(kTag, "failed to SetCurrentDirectoryA: ");
  write_file(root + "one", "");
  ASSERT_EQ(ff_dir_find_first(&d, root.c_str(), "*"), 0);
  EXPECT_EQ(ff_dir_next_file(&d, nullptr), -1);
  expect_set_in("ff_dir", "not found");
}

TEST_F(Dir, OutOfMemoryIsReportedAndLeavesNoSearchOpen) {
  write_file(root + "f.txt", "");
  ff_dir d;
  memset(&d, 0, sizeof d);
  int prefixes = 0;
  for (const char *filter : {"*", (const char *)nullptr}) {
    ff_calloc_fail_after(0);  // the pattern block, with its terminator
    EXPECT_EQ(ff_dir_find_first(&d, root.c_str(), filter), -1);
    EXPECT_EQ(message_body(ff_get_msg(), &prefixes),
              "failed to calloc " + std::to_string(root.size() + (filter ? 2 : 1)));
    EXPECT_EQ(d.hfind, nullptr);
  }
#ifdef _WIN32
  // The conversions of the pattern and of the entry's name, then of the file
  // name and of the mode: each failure passes the converter's message on.
  for (int skip : {1, 2}) {
    ff_calloc_fail_after(skip);
    EXPECT_EQ(ff_dir_find_first(&d, root.c_str(), "*"), -1);
    EXPECT_EQ(message_body(ff_get_msg(), &prefixes).rfind("ff_text(", 0), 0u) << ff_get_msg();
    EXPECT_EQ(prefixes, 2);
    EXPECT_EQ(d.hfind, nullptr);
  }
  for (int skip : {0, 1}) {
    ff_calloc_fail_after(skip);
    EXPECT_EQ(ff_file_open((root + "f.txt").c_str(), "rb"), nullptr);
    EXPECT_EQ(message_body(ff_get_msg(), &prefixes).rfind("ff_text(", 0), 0u) << ff_get_msg();
    EXPECT_EQ(prefixes, 1);
  }
  // The directory to make current, and the program's own one: its UTF-16
  // name, then its conversion to UTF-8. A directory is not made without.
  ff_calloc_fail_after(0);
  EXPECT_EQ(ff_set_current_dir(root.c_str()), -1);
  EXPECT_EQ(message_body(ff_get_msg(), &prefixes).rfind("ff_text(", 0), 0u) << ff_get_msg();
  EXPECT_EQ(prefixes, 1);
  ff_calloc_fail_after(0);
  EXPECT_EQ(ff_set_current_dir(nullptr), -1);
  EXPECT_EQ(message_body(ff_get_msg(), &prefixes), "failed to calloc 8190");
  EXPECT_EQ(prefixes, 2);
  ff_calloc_fail_after(1);
  EXPECT_EQ(ff_set_current_dir(nullptr), -1);
  EXPECT_EQ(message_body(ff_get_msg(), &prefixes).rfind("ff_text(", 0), 0u) << ff_get_msg();
  EXPECT_EQ(prefixes, 2);
  EXPECT_TRUE(fs::equivalent(fs::current_path(), saved_cwd)) << "left where it was";
  ff_calloc_fail_after(0);
  EXPECT_EQ(ff_dir_mkdir((root + "d").c_str()), 0);
  EXPECT_FALSE(fs::exists(u8(root + "d")));
#endif
  ff_calloc_fail_after(-1);
  EXPECT_EQ(list(root + "*"), (std::multiset<std::string>{"f.txt"}));
}

TEST_F(Dir, CurrentPathIsTheProgramDirectoryWithItsSeparator) {
  char *path = ff_get_current_path();
  ASSERT_NE(path, nullptr);
  std::string dir = path;
  free(path);
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), kSep[0]);
  EXPECT_EQ(ff_check_file((dir + kProgram).c_str()), 0) << dir;

  // With no path the program's directory becomes current: a relative name
  // opened afterwards resolves there.
  std::string name = "ff_dir_test_" + std::to_string(std::random_device()()) + ".txt";
  write_file(dir + name, "here");
  ASSERT_EQ(ff_set_current_dir(root.c_str()), 0);
  EXPECT_EQ(ff_file_open(name.c_str(), "rb"), nullptr);
  ASSERT_EQ(ff_set_current_dir(nullptr), 0);
  FILE *fp = ff_file_open(name.c_str(), "rb");
  EXPECT_NE(fp, nullptr) << ff_get_msg();
  if (fp) {
    char buf[8] = {0};
    EXPECT_EQ(fread(buf, 1, sizeof buf, fp), 4u);
    EXPECT_STREQ(buf, "here");
    fclose(fp);
  }
  fs::remove(u8(dir + name));

  EXPECT_EQ(ff_set_current_dir((root + "missing").c_str()), -1);
  int prefixes = 0;
  std::string body = message_body(ff_get_msg(), &prefixes);
  EXPECT_EQ(body.rfind("failed to SetCurrentDirectoryA: ", 0), 0u) << body;
}

}  // namespace
