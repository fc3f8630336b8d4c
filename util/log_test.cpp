#include "util/log.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "util/settings.h"

namespace quillmap {
namespace {

// The file the tests log to, and its lines; the fixture removes it and restores the level.
class LogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    log_close();
    settings.log_level = saved_level_;
    std::filesystem::remove(path_);
  }
  std::vector<std::string> lines() const {
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  const unsigned saved_level_ = settings.log_level;
  const std::string path_ = ::testing::TempDir() + "quillmap-log-test-" + std::to_string(getpid()) + ".log";
};

// Nothing is written without a stream; levels up to the configured one are written as
// "<%F %X> [WORD]: text"; a text ending in a newline leaves an empty line; errno survives logging; a new
// file is private whatever the umask, reopening appends, and an adopted stream is unbuffered.
TEST_F(LogTest, LevelsLineLayoutFileModeAndStreams) {
  static const char* const kWords[] = {"", "CRIT", "ERROR", "WARN", "INFO", "DEBUG"};
  settings.log_level = kLogDebug;
  log_msg(kLogCrit, "dropped");
  EXPECT_FALSE(std::filesystem::exists(path_));
  const mode_t old_mask = umask(0);
  for (unsigned configured = 1; configured <= 5; ++configured) {
    std::filesystem::remove(path_);
    log_open(path_.c_str());
    settings.log_level = configured;
    for (unsigned level = 1; level <= 5; ++level) log_msg(level, "message %u", level);
    log_close();
    const std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), configured);
    for (unsigned level = 1; level <= configured; ++level) {
      const std::string want = std::string(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[)") + kWords[level] + R"(\]: message )";
      EXPECT_TRUE(std::regex_match(got[level - 1], std::regex(want + std::to_string(level)))) << got[level - 1];
    }
  }
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  log_open(path_.c_str());
  errno = ENOSPC;
  log_msg(kLogCrit, "Could not %s: %d\n", "frobnicate", 42);
  EXPECT_EQ(errno, ENOSPC);
  log_close();
  std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 7u);
  EXPECT_TRUE(got[5].ends_with(" [CRIT]: Could not frobnicate: 42")) << got[5];
  EXPECT_EQ(got[6], "");
  log_setfp(fopen(path_.c_str(), "w"));
  log_msg(kLogCrit, "adopted");  // on disk before any flush
  EXPECT_EQ(lines().size(), 1u);
}

TEST_F(LogTest, OpenFailureEndsProcess) {
  const std::string bad = path_ + ".missing/x.log";
  EXPECT_EXIT(log_open(bad.c_str()), ::testing::ExitedWithCode(1),
              "^Could not open log file " + bad + ": No such file or directory\n$");
}

// Two processes append through their own opens of one file, as master and worker do: the file lock
// keeps every line whole.
TEST_F(LogTest, TwoProcessesNeverInterleaveLines) {
  settings.log_level = kLogInfo;
  const int kLines = 300;
  const std::string payload(200, 'p');
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  log_open(path_.c_str());
  for (int i = 0; i < kLines; ++i) log_msg(kLogInfo, "%s %d %s", child == 0 ? "child" : "parent", i, payload.c_str());
  log_close();
  if (child == 0) _exit(0);
  int status;
  waitpid(child, &status, 0);
  const std::vector<std::string> got = lines();
  EXPECT_EQ(got.size(), 2u * kLines);
  const std::regex kLine(R"(.{19} \[INFO\]: (child|parent) \d+ p{200})");
  for (const std::string& line : got) EXPECT_TRUE(std::regex_match(line, kLine)) << line.substr(0, 80);
}

}  // namespace
}  // namespace quillmap
