// The logrotate snippet against a running daemon: rotation moves the log away, the snippet's
// SIGUSR1 makes master and worker reopen log_path, and what they log afterwards lands in the new
// file while the rotated one keeps what came before.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include "client/dict_client.h"
#include "e2e/daemon_harness.h"

namespace quillmap::e2e {
namespace {

// The packaged snippet with this daemon's log and pid paths. The test runs as the daemon's own
// account, so the snippet's switch to the packaged account goes.
std::string snippet_for(const DaemonHarness& daemon) {
  std::string text = read_file(QUILLMAP_LOGROTATE_SNIPPET);
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"/var/log/quillmap/*.log", daemon.log_path},
                                 {"/run/quillmap/quillmap.pid", daemon.pid_path}, {"\tsu quillmap quillmap\n", ""}}) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
      text.replace(at, from.size(), to);
  }
  return text;
}

bool add_key(const DaemonHarness& daemon, const std::string& key) {
  Result<Answer> answer = send_batch(daemon.socket_path, {make_add(key, "v")});
  return answer && answer.value().success;
}

TEST(Logrotate, NewLinesGoToTheNewFileAfterRotation) {
  const std::string logrotate = run_program("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin:/sbin command -v logrotate"}).out;
  if (logrotate.empty()) GTEST_SKIP() << "logrotate is not installed (Debian package logrotate)";

  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_TRUE(add_key(daemon, "before-rotation"));
  ASSERT_TRUE(daemon.wait_for_log("before-rotation successfully added"));

  const std::string config = daemon.dir + "/logrotate.conf";
  std::ofstream(config) << snippet_for(daemon);
  ProgramRun run = run_program(logrotate.substr(0, logrotate.size() - 1), {"-f", "-s", daemon.dir + "/logrotate.state", config});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;

  // delaycompress: the first rotation leaves the old log as it is, beside the new one.
  const std::string rotated = daemon.log_path + ".1";
  ASSERT_TRUE(std::filesystem::exists(rotated));
  EXPECT_NE(read_file(rotated).find("before-rotation successfully added"), std::string::npos);

  // The worker reopens at the start of its next pass: probe until its lines reach the new file.
  bool worker_reopened = false;
  for (int i = 0; i < 50 && !worker_reopened; ++i) {
    const std::string key = "probe-" + std::to_string(i);
    ASSERT_TRUE(add_key(daemon, key));
    worker_reopened = daemon.wait_for_log(key + " successfully added", 100);
  }
  ASSERT_TRUE(worker_reopened) << "the worker kept writing to the rotated file:\n" << read_file(rotated);
  ASSERT_TRUE(add_key(daemon, "after-rotation"));
  ASSERT_EQ(kill(daemon.master_pid(), SIGHUP), 0);
  EXPECT_TRUE(daemon.wait_for_log("after-rotation successfully added"));
  EXPECT_TRUE(daemon.wait_for_log("Got SIGHUP. Currently unused"));  // the master's own line

  // (Lines that went on to the rotated file would be missing from the new one; the new file's mode is
  // log_open's, which LogTest checks.)
  EXPECT_EQ(daemon.log_text().find("before-rotation"), std::string::npos) << daemon.log_text();
  EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
}  // namespace quillmap::e2e
