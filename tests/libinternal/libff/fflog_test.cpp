// The message slot, chaining and the log line.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ff.h"
#include "ff_calloc_internal.h"
#include "ff_dir.h"

namespace {

struct Captured {
  std::vector<std::string> lines;
};

void capture(char *line, void *arg) { static_cast<Captured *>(arg)->lines.push_back(line); }

class Log : public ::testing::Test {
 protected:
  void TearDown() override {
    fflog_destroy(nullptr);
    ff_set_msg(nullptr, 0, "");
  }
  Captured captured;
};

TEST(Slot, PrefixOnlyWithFileAndLine) {
  ff_set_msg(nullptr, 0, "plain %d", 1);
  EXPECT_STREQ(ff_get_msg(), "plain 1");
  ff_set_msg("unit", 42, "with %s", "prefix");
  EXPECT_STREQ(ff_get_msg(), "unit(42): with prefix");
  ff_set_msg("unit", 0, "line zero");
  EXPECT_STREQ(ff_get_msg(), "line zero");
}

TEST(Slot, EmptyFormatClears) {
  ff_set_msg("unit", 1, "something");
  ff_set_msg("unit", 2, "");
  EXPECT_STREQ(ff_get_msg(), "");
}

TEST(Slot, LongMessageIsCutAt8191) {
  std::string big(10000, 'x');
  ff_set_msg("unit", 7, "%s", big.c_str());
  const char *msg = ff_get_msg();
  EXPECT_EQ(strlen(msg), 8191u);
  EXPECT_EQ(std::string(msg, 9), "unit(7): ");
  ff_set_msg(nullptr, 0, "");
}

TEST(Slot, PrefixLongerThanSlotStaysTerminated) {
  std::string tag(9000, 't');
  ff_set_msg(tag.c_str(), 1, "text");
  EXPECT_EQ(strlen(ff_get_msg()), 8191u);
  ff_set_msg(nullptr, 0, "");
}

TEST(Slot, ReturnedCopySurvivesSetButNotNextGet) {
  ff_set_msg(nullptr, 0, "first");
  char *copy = ff_get_msg();
  ff_set_msg(nullptr, 0, "second");
  EXPECT_STREQ(copy, "first");
  ff_get_msg();
  EXPECT_STREQ(copy, "second");
}

TEST(Slot, ChainingPutsOuterPrefixFirst) {
  ff_set_msg("inner", 107, "failed to ff_calloc ff_mutex");
  ff_chain_msg("middle", 25);
  ff_chain_msg("outer", 3);
  EXPECT_STREQ(ff_get_msg(), "outer(3): middle(25): inner(107): failed to ff_calloc ff_mutex");
}

// Whole text of one letter behind the last ": ", or empty when torn.
bool one_letter_body(const std::string &msg) {
  size_t body = msg.rfind(": ");
  std::string tail = body == std::string::npos ? msg : msg.substr(body + 2);
  return !tail.empty() && tail.find_first_not_of(tail[0]) == std::string::npos;
}

// Two threads setting and chaining at once leave a well-formed slot.
TEST(Slot, ConcurrentWritersLeaveAWholeMessage) {
  auto writer = [](char letter) {
    std::string text(3000, letter);
    for (int i = 0; i < 2000; i++) {
      ff_set_msg("w", 1, "%s", text.c_str());
      ff_chain_msg("c", 2);
    }
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  std::string msg = ff_get_msg();
  EXPECT_TRUE(one_letter_body(msg)) << msg.substr(0, 40);
  EXPECT_EQ(msg.rfind("c(2): ", 0), 0u);
  ff_set_msg(nullptr, 0, "");
}

TEST_F(Log, NoSinkCallsNothing) {
  EXPECT_EQ(fflog_line("nobody hears %d", 1), 0);
  EXPECT_TRUE(captured.lines.empty());
}

TEST_F(Log, WithoutTimeTheLabelLeadsDirectly) {
  char label[] = "tray ";
  fflog_init(capture, label, 0, &captured);
  fflog_line("exit clicked %d", 5);
  ASSERT_EQ(captured.lines.size(), 1u);
  EXPECT_EQ(captured.lines[0], "tray exit clicked 5");
}

TEST_F(Log, TimeStampHasDayAndMilliseconds) {
  char label[] = "tray ";
  fflog_init(capture, label, 1, &captured);
  fflog_line("x");
  ASSERT_EQ(captured.lines.size(), 1u);
  const std::string &line = captured.lines[0];
  // "DD HH:MM:SS.mmm tray x"
  ASSERT_EQ(line.size(), 22u) << line;
  for (int digit : {0, 1, 3, 4, 6, 7, 9, 10, 12, 13, 14}) EXPECT_TRUE(isdigit((unsigned char)line[digit])) << line;
  EXPECT_EQ(line[2], ' ');
  EXPECT_EQ(line[5], ':');
  EXPECT_EQ(line[8], ':');
  EXPECT_EQ(line[11], '.');
  EXPECT_EQ(line.substr(15), " tray x");
}

// Lines from two threads reach the sink whole. The sink runs without a lock
// of the library, so this one takes its own.
TEST_F(Log, ConcurrentLinesArriveWhole) {
  char label[] = "L: ";
  static std::mutex sink_lock;
  auto locked_capture = [](char *line, void *arg) {
    std::lock_guard<std::mutex> hold(sink_lock);
    capture(line, arg);
  };
  fflog_init(locked_capture, label, 0, &captured);
  auto writer = [](char letter) {
    std::string text(3000, letter);
    for (int i = 0; i < 500; i++) fflog_line("%s", text.c_str());
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  ASSERT_EQ(captured.lines.size(), 1000u);
  for (const std::string &line : captured.lines) ASSERT_TRUE(one_letter_body(line));
}

// The sink runs with no lock of the library held: it may log itself, and
// open a file while another thread holds the global lock and sets a message.
struct Reentrant {
  std::string path;
  std::atomic<bool> in_sink{false};
  int depth = 0;
  std::vector<std::string> lines;
  bool opened = false;
};

void reentrant_sink(char *line, void *arg) {
  Reentrant *r = (Reentrant *)arg;
  if (r->depth++ == 0) {
    r->in_sink = true;
    fflog_line("inner");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the other thread is setting its message
    FILE *fp = ff_file_open(r->path.c_str(), "wb");
    r->opened = fp != nullptr;
    if (fp) fclose(fp);
  }
  r->lines.push_back(line);  // read after the inner line: it must be this one still
}

TEST_F(Log, TheSinkMayLogAndOpenFiles) {
  ASSERT_EQ(ff_init(), 0);
  Reentrant r;
  r.path = (std::filesystem::temp_directory_path() / ("fflog_test_" + std::to_string(std::random_device()()))).u8string();
  char label[] = "L ";
  fflog_init(reentrant_sink, label, 0, &r);
  std::atomic<bool> locked{false}, done{false};
  std::thread other([&] {
    ff_global_lock();
    locked = true;
    while (!r.in_sink) std::this_thread::yield();
    ff_set_msg("other", 1, "set under the global lock");
    ff_global_unlock();
  });
  while (!locked) std::this_thread::yield();
  std::thread logger([&] {
    fflog_line("outer");
    done = true;
  });
  for (int i = 0; i < 1000 && !done; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!done) {
    // Both threads stay blocked; so does every later test that logs.
    other.detach();
    logger.detach();
    FAIL() << "deadlock: the sink waits for the global lock, its holder for the slot";
  }
  logger.join();
  other.join();
  EXPECT_TRUE(r.opened) << ff_get_msg();
  EXPECT_EQ(r.lines, (std::vector<std::string>{"L inner", "L outer"}));
  std::filesystem::remove(std::filesystem::u8path(r.path));
  ff_destroy();
}

TEST_F(Log, LongLineIsCutAt8191) {
  char label[] = "L ";
  fflog_init(capture, label, 0, &captured);
  std::string big(9000, 'y');
  fflog_line("%s", big.c_str());
  ASSERT_EQ(captured.lines.size(), 1u);
  EXPECT_EQ(captured.lines[0].size(), 8191u);
}

TEST_F(Log, DestroyStopsTheSinkAndInitReplaces) {
  Captured other;
  char label[] = "a ";
  fflog_init(capture, label, 0, &captured);
  fflog_init(capture, label, 0, &other);
  fflog_line("one");
  fflog_destroy(capture);
  fflog_line("two");
  EXPECT_TRUE(captured.lines.empty());
  ASSERT_EQ(other.lines.size(), 1u);
  EXPECT_EQ(other.lines[0], "a one");
}

TEST_F(Log, BannerDescribesTheMachine) {
  char label[] = "";
  fflog_init(capture, label, 0, &captured);
  fflog_sys_info();
  ASSERT_EQ(captured.lines.size(), 5u) << ff_get_msg();
  EXPECT_EQ(captured.lines[0], std::string(42, '-'));
  EXPECT_EQ(captured.lines[1].rfind("CPU Name: ", 0), 0u);
  EXPECT_NE(captured.lines[1].find(", Core:"), std::string::npos);
  EXPECT_EQ(captured.lines[2].rfind("CPU Speed: ", 0), 0u);
  EXPECT_EQ(captured.lines[3].rfind("Memory:  ", 0), 0u);
  EXPECT_NE(captured.lines[3].find("MB Total, "), std::string::npos);
  EXPECT_NE(captured.lines[4].find(" Version: "), std::string::npos);
}

TEST_F(Log, HexDumpLayout) {
  char label[] = "";
  fflog_init(capture, label, 0, &captured);
  uint8_t bytes[18];
  for (int i = 0; i < 18; i++) bytes[i] = (uint8_t)(0xA0 + i);
  ff_prt_hex(bytes, 17, 17);
  // The smaller of the two counts is dumped.
  ff_prt_hex(bytes, 18, 17);
  ff_prt_hex(bytes, 3, 40);
  ff_calloc_fail_after(0);
  ff_prt_hex(bytes, 18, 17);
  ff_calloc_fail_after(-1);
  const std::string seventeen = "len:17 cb:17\n 0000: A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF \n 0010: B0 ";
  EXPECT_EQ(captured.lines, (std::vector<std::string>{seventeen, "len:17 cb:18" + seventeen.substr(12),
                                                      "len:40 cb:3\n 0000: A0 A1 A2 ", "failed to calloc 131"}));
}

}  // namespace
