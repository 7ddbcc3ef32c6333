// The console port from the server's configuration, and the console URL.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "ff.h"
#include "ff_buffer_internal.h"
#include "tray_cfg.h"

namespace fs = std::filesystem;

namespace {

int parse(const std::string &text, int start = -12345) {
  int port = start;
  return str_to_kovarel_server_cfg(text.data(), (int)text.size(), &port) == 0 ? port : start;
}

TEST(ServerCfg, IntegerPortMemberAnywhere) {
  EXPECT_EQ(parse(R"({"port": 8080})"), 8080);
  EXPECT_EQ(parse(R"({"name": "k", "list": [1, 2], "x": 5, "port": 7000, "y": 1})"), 7000);
  EXPECT_EQ(parse(R"({"port": 70000})"), 70000);
  EXPECT_EQ(parse(R"({"port": -1})"), -1);
  // The low 32 bits of a wider integer.
  EXPECT_EQ(parse(R"({"port": 4294967297})"), 1);
}

TEST(ServerCfg, PortOfAnotherTypeOrNameIsNoPort) {
  ff_set_msg(nullptr, 0, "");
  EXPECT_EQ(parse(R"({"port": "8080"})"), -12345);
  EXPECT_EQ(parse(R"({"port": 8080.0})"), -12345);
  EXPECT_EQ(parse(R"({"Port": 8080, "ports": 1})"), -12345);
  EXPECT_EQ(parse(R"({"port": null, "port2": 3})"), -12345);
  EXPECT_STREQ(ff_get_msg(), "");  // an object without a port is not "not object"
}

TEST(ServerCfg, NotAnObjectLeavesItsReason) {
  for (const char *text : {"[1, 2]", "8080", "{\"port\": 8080", "", "{} x", "\xEF\xBB\xBF{\"port\": 8080}"}) {
    ff_set_msg(nullptr, 0, "");
    EXPECT_EQ(parse(text), -12345) << text;
    // The configuration is the tray's: its messages carry the tray's tag.
    EXPECT_TRUE(std::regex_match(std::string(ff_get_msg()), std::regex("tray\\([0-9]+\\): not object"))) << ff_get_msg();
  }
  int port = 1;
  EXPECT_EQ(str_to_kovarel_server_cfg("{}", -1, &port), -1);
}

TEST(ServerCfg, OnlyTheGivenLengthIsParsed) {
  std::string text = R"({"port": 8080}garbage)";
  int port = 0;
  EXPECT_EQ(str_to_kovarel_server_cfg(text.data(), 14, &port), 0);
  EXPECT_EQ(port, 8080);
}

// JSONTestSuite's parsing cases: whatever they hold, parsing never crashes
// and, as they stand, none names a port. Wrapped behind an integer "port"
// member, the rejected ones give the fallback and the accepted ones the port,
// but for two leniencies of jansson's decoder: it ends a number at a raw NUL
// byte, and without its JSON_ALLOW_NUL option refuses "\u0000" in strings.
TEST(ServerCfg, JsonParsingSuite) {
  const char *dir = getenv("KV_JSON_CORPUS");
  if (!dir) GTEST_SKIP() << "KV_JSON_CORPUS not set";
  int files = 0;
  for (const auto &entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string name = entry.path().filename().string();
    files++;
    EXPECT_EQ(parse(text), -12345) << name;
    int port = parse("{\"port\": 6001, \"v\": " + text + "}");
    bool raw_nul = text.find('\0') != std::string::npos;
    bool escaped_nul = text.find("\\u0000") != std::string::npos;
    if (name.rfind("n_", 0) == 0 && !raw_nul) EXPECT_EQ(port, -12345) << name;
    if (name.rfind("y_", 0) == 0 && !escaped_nul) EXPECT_EQ(port, 6001) << name;
  }
  EXPECT_GT(files, 300);
}

// Each test runs in a fresh program directory, as the tray does.
class ConsoleUrl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ff_init(), 0);
    home = fs::current_path();
    dir = fs::temp_directory_path() / ("kv_cfg_" + std::to_string(rand()) + "_" + std::to_string(counter++));
    fs::create_directories(dir);
    fs::current_path(dir);
  }
  void TearDown() override {
    fs::current_path(home);
    fs::remove_all(dir);
    ff_destroy();
  }
  static void write_cfg(const std::string &text) {
    fs::create_directories("cfg.win32");
    std::ofstream(KV_CFG_FILE, std::ios::binary) << text;
  }
  static std::string url() {
    char buffer[KV_URL_SIZE];
    get_url(buffer);
    return buffer;
  }
  fs::path home, dir;
  static int counter;
};
int ConsoleUrl::counter;

TEST_F(ConsoleUrl, ConfiguredPortAndPort80) {
  write_cfg(R"({"port": 8080})");
  EXPECT_EQ(url(), "http://127.0.0.1:8080/wscli/general/");
  write_cfg(R"({"port": 80})");  // read afresh every time
  EXPECT_EQ(url(), "http://127.0.0.1/wscli/general/");
  write_cfg(R"({"port": 70000})");
  EXPECT_EQ(url(), "http://127.0.0.1:70000/wscli/general/");
}

TEST_F(ConsoleUrl, MissingFileFallsBackAndMakesCfg) {
  EXPECT_EQ(url(), "http://127.0.0.1:5566/wscli/general/");
  EXPECT_TRUE(fs::is_directory("cfg"));
  EXPECT_FALSE(fs::exists("cfg.win32"));
}

// Without memory for the buffer the file is not read and nothing is made; the
// reason is passed on under the tray's tag.
TEST_F(ConsoleUrl, NoBufferFallsBackAndMakesNothing) {
  write_cfg(R"({"port": 8080})");
  ff_set_msg(nullptr, 0, "");
  ff_buffer_fail_after(0);
  EXPECT_EQ(cfg_load(KV_CFG_FILE), nullptr);
  EXPECT_EQ(std::string(ff_get_msg()).rfind("tray(", 0), 0u) << ff_get_msg();
  ff_buffer_fail_after(0);
  EXPECT_EQ(url(), "http://127.0.0.1:5566/wscli/general/");
  EXPECT_FALSE(fs::exists("cfg"));
  EXPECT_EQ(url(), "http://127.0.0.1:8080/wscli/general/");
}

TEST_F(ConsoleUrl, EmptyOversizedAndBadFilesFallBack) {
  write_cfg("");
  EXPECT_EQ(url(), "http://127.0.0.1:5566/wscli/general/");
  EXPECT_TRUE(fs::is_directory("cfg"));
  write_cfg("\xEF\xBB\xBF{\"port\": 8080}");
  EXPECT_EQ(url(), "http://127.0.0.1:5566/wscli/general/");
  write_cfg("[8080]");
  EXPECT_EQ(url(), "http://127.0.0.1:5566/wscli/general/");
  std::string big = R"({"port": 8081, "pad": ")" + std::string(KV_CFG_SIZE_LIMIT, 'x') + "\"}";
  write_cfg(big);
  EXPECT_EQ(url(), "http://127.0.0.1:5566/wscli/general/");
  // Exactly at the limit is still read.
  std::string at_limit = R"({"port": 8082, "pad": ")";
  at_limit += std::string(KV_CFG_SIZE_LIMIT - at_limit.size() - 2, 'x') + "\"}";
  ASSERT_EQ(at_limit.size(), (size_t)KV_CFG_SIZE_LIMIT);
  write_cfg(at_limit);
  EXPECT_EQ(url(), "http://127.0.0.1:8082/wscli/general/");
}

}  // namespace
