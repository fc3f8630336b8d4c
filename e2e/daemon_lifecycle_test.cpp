// Start-up and orderly stop of the real daemon, in the foreground and detached: files, segment,
// process titles, log lines and exit statuses.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "e2e/daemon_harness.h"

namespace quillmap::e2e {
namespace {

std::string read_text(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

size_t count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST(DaemonLifecycle, ForegroundKeepsSegmentAndWritesNoPidFile) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const pid_t master = daemon.master_pid();
  EXPECT_EQ(read_cmdline(master),
            "quillmap: master " + std::string(daemon_binary()) + " -c " + daemon.config_path() + " -D");
  EXPECT_TRUE(daemon.wait_for_log("[DEBUG]: Shared memory successfully attached."));

  ASSERT_EQ(kill(master, SIGINT), 0);
  ASSERT_TRUE(daemon.wait_gone(master, 10000));
  EXPECT_EQ(daemon.launch_status(), 0);
  EXPECT_FALSE(std::filesystem::exists(daemon.pid_path()));
  EXPECT_TRUE(daemon.segment_exists());  // a foreground daemon leaves its segment behind
  struct stat st;
  ASSERT_EQ(stat(daemon.data_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(DaemonLifecycle, DetachedMasterAndWorkerThenOrderlyStop) {
  DaemonOptions options;
  options.foreground = false;
  DaemonHarness daemon(options);
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  EXPECT_EQ(daemon.launch_status(), 0);  // the starting process ends once the daemon is detached
  const pid_t master = daemon.master_pid();
  const pid_t worker = daemon.worker_pid();
  ASSERT_NE(master, 0);
  ASSERT_NE(worker, 0);
  EXPECT_NE(master, daemon.launched_pid());
  EXPECT_EQ(read_text(daemon.pid_path()), std::to_string(master));  // no newline
  struct stat st;
  ASSERT_EQ(stat(daemon.pid_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(stat(daemon.log_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(read_cmdline(master),
            "quillmap: master " + std::string(daemon_binary()) + " -c " + daemon.config_path());
  EXPECT_EQ(read_cmdline(worker), "quillmap: worker");

  // A second terminating signal while the master waits is not forwarded again.
  ASSERT_EQ(kill(master, SIGTERM), 0);
  kill(master, SIGINT);
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(daemon.pid_path()));
  EXPECT_FALSE(daemon.segment_exists());
  const std::string log = daemon.log_text();
  EXPECT_EQ(count(log, "Master got terminating signal. Exiting..."), 1u) << log;
  const std::regex kEnd(
      R"([^\n]*\[WARN\]: Master got terminating signal. Exiting...\n)"
      R"((?:[^\n]*\n)*?)"  // the worker's own lines as it stops and dumps
      R"([^\n]*\[WARN\]: Worker exited normally with status: 0\n)"
      R"([^\n]*\[DEBUG\]: Leaving loop because sigsent is set\n)"
      R"([^\n]*\[DEBUG\]: Shared memory successfully detached.\n$)");
  EXPECT_TRUE(std::regex_search(log, kEnd)) << log;
}

TEST(DaemonLifecycle, LogLineLayoutAndLevelFilter) {
  DaemonOptions options;
  options.foreground = false;
  options.log_level = "WARN";
  DaemonHarness daemon(options);
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_EQ(kill(daemon.master_pid(), SIGHUP), 0);
  ASSERT_TRUE(daemon.wait_for_log("Got SIGHUP"));
  EXPECT_EQ(daemon.stop(), 0);
  const std::string log = daemon.log_text();
  EXPECT_EQ(log.find("[DEBUG]"), std::string::npos) << log;
  const std::regex kHup(R"((^|\n)\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \[WARN\]: Got SIGHUP. Currently unused\n)");
  EXPECT_TRUE(std::regex_search(log, kHup)) << log;
}

// With no environment the title area is the argument strings alone; the master's longer title is cut
// so that its NUL lands on the byte before the area's last byte.
TEST(DaemonLifecycle, TitleCutToArgumentAreaWithoutEnvironment) {
  DaemonOptions options;
  options.environment = std::vector<std::string>{};
  DaemonHarness daemon(options);
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const std::string args[] = {daemon_binary(), "-c", daemon.config_path(), "-D"};
  size_t area = 0;
  for (const std::string& a : args) area += a.size() + 1;
  const std::string title =
      "quillmap: master " + args[0] + " -c " + daemon.config_path() + " -D";
  EXPECT_EQ(read_cmdline(daemon.master_pid()), title.substr(0, area - 2));
}

}  // namespace
}  // namespace quillmap::e2e
