#include "util/log.h"

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
// "<%F %X> [WORD]: text"; errno survives logging; a new file is private whatever the umask, reopening
// appends, an adopted stream is unbuffered, and a log that cannot be opened ends the process.
TEST_F(LogTest, LevelsLineLayoutFileModeAndStreams) {
  settings.log_level = kLogDebug;
  log_msg(kLogCrit, "dropped");
  EXPECT_FALSE(std::filesystem::exists(path_));
  const mode_t old_mask = umask(0);
  log_open(path_.c_str());
  umask(old_mask);
  settings.log_level = kLogWarn;
  for (unsigned level = kLogCrit; level <= kLogDebug; ++level) log_msg(level, "message %u", level);
  log_close();
  log_open(path_.c_str());
  errno = ENOSPC;
  log_msg(kLogCrit, "Could not %s: %d", "frobnicate", 42);
  EXPECT_EQ(errno, ENOSPC);
  log_close();
  std::string got, time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[)";
  for (const std::string& line : lines()) got += line + "\n";
  EXPECT_TRUE(std::regex_match(got, std::regex(time + "CRIT\\]: message 1\n" + time + "ERROR\\]: message 2\n" + time +
                                               "WARN\\]: message 3\n" + time + "CRIT\\]: Could not frobnicate: 42\n")))
      << got;
  EXPECT_EQ(std::filesystem::status(path_).permissions(), std::filesystem::perms(0600));
  log_setfp(fopen(path_.c_str(), "w"));
  log_msg(kLogCrit, "adopted");  // on disk before any flush
  EXPECT_EQ(lines().size(), 1u);
  const std::string bad = path_ + ".missing/x.log";
  EXPECT_EXIT(log_open(bad.c_str()), ::testing::ExitedWithCode(1),
              "^Could not open log file " + bad + ": No such file or directory\n$");
}

// Two processes append through their own opens of one file, as master and worker do: the file lock
// keeps every line whole.
TEST_F(LogTest, TwoProcessesNeverInterleaveLines) {
  settings.log_level = kLogInfo;
  const pid_t child = fork();
  log_open(path_.c_str());
  const std::string payload(200, 'p');
  for (int i = 0; i < 300; ++i) log_msg(kLogInfo, "%s %d %s", child == 0 ? "child" : "parent", i, payload.c_str());
  log_close();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  const std::vector<std::string> got = lines();
  EXPECT_EQ(got.size(), 600u);
  const std::regex kLine(R"(.{19} \[INFO\]: (child|parent) \d+ p{200})");
  for (const std::string& line : got) EXPECT_TRUE(std::regex_match(line, kLine)) << line.substr(0, 80);
}

}  // namespace
}  // namespace quillmap
