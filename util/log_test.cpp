#include "util/log.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "util/settings.h"

namespace quillmap {
namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillmap-log-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/test.log";
    saved_level_ = settings.log_level;
  }
  void TearDown() override {
    log_close();
    settings.log_level = saved_level_;
    std::filesystem::remove_all(dir_);
  }

  std::vector<std::string> lines() const {
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  std::string dir_, path_;
  unsigned saved_level_ = 0;
};

TEST_F(LogTest, LevelFilterWritesLevelsUpToTheConfiguredOne) {
  static const char* const kWords[] = {"", "CRIT", "ERROR", "WARN", "INFO", "DEBUG"};
  for (unsigned configured = 1; configured <= 5; ++configured) {
    std::filesystem::remove(path_);
    log_open(path_.c_str());
    settings.log_level = configured;
    for (unsigned level = 1; level <= 5; ++level) log_msg(level, "message %u", level);
    log_close();
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), configured);
    for (unsigned level = 1; level <= configured; ++level) {
      std::string tail = std::string(" [") + kWords[level] + "]: message " + std::to_string(level);
      EXPECT_TRUE(got[level - 1].ends_with(tail)) << got[level - 1];
    }
  }
}

TEST_F(LogTest, LineLayoutAndTrailingNewlineGivesEmptyLine) {
  settings.log_level = kLogDebug;
  log_open(path_.c_str());
  log_msg(kLogError, "Could not %s: %d", "frobnicate", 42);
  log_msg(kLogError, "Could not allocate memory for linked list node\n");
  log_close();
  std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 3u);
  const std::regex kLayout(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \[ERROR\]: (.*))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(got[0], m, kLayout)) << got[0];
  EXPECT_EQ(m[1], "Could not frobnicate: 42");
  ASSERT_TRUE(std::regex_match(got[1], m, kLayout)) << got[1];
  EXPECT_EQ(got[2], "");
}

TEST_F(LogTest, NothingIsWrittenWithoutAStream) {
  settings.log_level = kLogDebug;
  log_msg(kLogCrit, "dropped");
  log_setfp(nullptr);
  log_msg(kLogCrit, "dropped");
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(LogTest, OpenCreatesPrivateFileAndAppends) {
  settings.log_level = kLogWarn;
  mode_t old_mask = umask(0);
  log_open(path_.c_str());
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  log_msg(kLogWarn, "first");
  log_close();
  log_open(path_.c_str());
  log_msg(kLogWarn, "second");
  log_close();
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_TRUE(lines()[1].ends_with("second"));
}

TEST_F(LogTest, SetFpAdoptsStream) {
  settings.log_level = kLogInfo;
  FILE* fp = fopen(path_.c_str(), "w");
  ASSERT_NE(fp, nullptr);
  log_setfp(fp);
  log_msg(kLogInfo, "adopted");  // unbuffered: on disk before any flush
  EXPECT_EQ(lines().size(), 1u);
  log_close();
}

TEST_F(LogTest, ErrnoSurvivesLogging) {
  settings.log_level = kLogDebug;
  log_open(path_.c_str());
  errno = ENOSPC;
  log_msg(kLogError, "failed: %s", strerror(errno));
  EXPECT_EQ(errno, ENOSPC);
}

TEST_F(LogTest, OpenFailureEndsProcess) {
  std::string bad = dir_ + "/missing/dir/x.log";
  EXPECT_EXIT(log_open(bad.c_str()), ::testing::ExitedWithCode(1),
              "^Could not open log file " + bad + ": No such file or directory\n$");
}

// Two processes append through their own opens of one file, as master and worker do: the file lock
// keeps every line whole.
TEST_F(LogTest, TwoProcessesNeverInterleaveLines) {
  settings.log_level = kLogInfo;
  const int kLines = 300;
  const std::string payload(200, 'p');
  pid_t child = fork();
  ASSERT_GE(child, 0);
  log_open(path_.c_str());
  const char* who = child == 0 ? "child" : "parent";
  for (int i = 0; i < kLines; ++i) log_msg(kLogInfo, "%s %d %s", who, i, payload.c_str());
  log_close();
  if (child == 0) _exit(0);
  int status;
  waitpid(child, &status, 0);
  const std::regex kLine(R"(.{19} \[INFO\]: (child|parent) \d+ p{200})");
  int whole = 0;
  for (const std::string& line : lines()) {
    EXPECT_TRUE(std::regex_match(line, kLine)) << line.substr(0, 80);
    ++whole;
  }
  EXPECT_EQ(whole, 2 * kLines);
}

}  // namespace
}  // namespace quillmap
