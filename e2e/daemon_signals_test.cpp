// The detached daemon's reactions to signals: log reopening, SIGHUP, a killed worker.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "e2e/daemon_harness.h"

namespace quillmap::e2e {
namespace {

DaemonOptions detached() {
  DaemonOptions options;
  options.foreground = false;
  return options;
}

TEST(DaemonSignals, Usr1ReopensMovedLogInBothProcesses) {
  DaemonHarness daemon(detached());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const std::string moved = daemon.log_path() + ".old";
  ASSERT_EQ(rename(daemon.log_path().c_str(), moved.c_str()), 0);
  ASSERT_EQ(kill(daemon.master_pid(), SIGUSR1), 0);
  struct stat st;
  bool created = false;
  for (int i = 0; i < 500 && !created; ++i) {
    created = stat(daemon.log_path().c_str(), &st) == 0;
    if (!created) usleep(10000);
  }
  ASSERT_TRUE(created);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Lines written after the reopen go to the new file: the master's SIGHUP warning, and at the stop
  // the worker's exit and the master's last lines.
  ASSERT_EQ(kill(daemon.master_pid(), SIGHUP), 0);
  EXPECT_TRUE(daemon.wait_for_log("Got SIGHUP. Currently unused"));
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_NE(daemon.log_text().find("Shared memory successfully detached."), std::string::npos);
}

TEST(DaemonSignals, KilledWorkerIsReplaced) {
  DaemonHarness daemon(detached());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const pid_t first = daemon.worker_pid();
  ASSERT_NE(first, 0);
  ASSERT_EQ(kill(first, SIGKILL), 0);
  EXPECT_TRUE(daemon.wait_for_log("[WARN]: Worker terminated by signal: Killed\n")) << daemon.log_text();
  const pid_t second = daemon.wait_for_worker(first);
  EXPECT_NE(second, 0);
  EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
}  // namespace quillmap::e2e
