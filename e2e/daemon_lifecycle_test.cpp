// Start-up, signals and stop of the real daemon as an operator sees them (files, titles, log, texts, statuses).
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "client/dict_client.h"
#include "client/reader/quillmap_reader.hpp"
#include "e2e/daemon_harness.h"
#include "store/segment_identity.h"

namespace quillmap::e2e {
namespace {

const char kHelp[] =
    "\n-c | --config-path : path to config file. By default /etc/veldrane/kelvar.conf is used.\n"
    "-D | --no-daemon   : do not go to background\n-h | --help        : show this help and exit\n";

namespace fs = std::filesystem;

// A configuration refused creates nothing (no log folder, no data file). A foreground daemon leaves its
// segments behind; started again with index=0 over them, it must not leave readers an index that no
// worker keeps (it would answer a key deleted since). A segment so left that is smaller than data_size
// is explained with its remedy on the terminal, not only in the log.
TEST(DaemonLifecycle, ForegroundRunsOverTheSegmentsTheyLeaveAndRefusedStartsSayWhy) {
  DaemonHarness daemon({"user=no-such-quillmap-account"}, "DEBUG", true);
  EXPECT_FALSE(daemon.start());
  EXPECT_EQ(daemon.launch_status(), 1);
  EXPECT_EQ(daemon.stderr_text(), "No such user: no-such-quillmap-account");
  EXPECT_FALSE(fs::exists(daemon.dir + "/log") || fs::exists(daemon.data_path));
  const std::string config = read_file(daemon.config_path);
  std::ofstream(daemon.config_path) << config.substr(0, config.find("user="));

  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  EXPECT_TRUE(daemon.wait_for_log("[DEBUG]: Shared memory successfully attached."));
  ASSERT_TRUE(send_batch(daemon.socket_path, {make_add("k1", "v"), make_add("k2", "v")}).ok());
  ASSERT_EQ(kill(daemon.master_pid(), SIGINT), 0);
  ASSERT_TRUE(daemon.wait_gone(daemon.master_pid(), 10000));
  EXPECT_EQ(daemon.launch_status(), 0);
  EXPECT_FALSE(fs::exists(daemon.pid_path));
  ASSERT_TRUE(daemon.segment_exists());

  std::ofstream(daemon.config_path, std::ios::app) << "index=0\n";
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_EQ(send_batch(daemon.socket_path, {make_del("k1")}).value().affected(), 1u);
  Reader reader;
  IndexFigures index;
  ASSERT_EQ(Reader::open(daemon.data_path, &reader), ReadStatus::kOk);
  ASSERT_EQ(reader.index_figures(&index), ReadStatus::kOk);
  EXPECT_FALSE(index.present);
  std::string value;
  EXPECT_EQ(reader.get("k1", &value), ReadStatus::kNotFound);
  EXPECT_EQ(reader.get("k2", &value), ReadStatus::kOk);
  EXPECT_EQ(daemon.stop(), 0);

  std::ofstream(daemon.config_path, std::ios::app) << "data_size=8388608\n";
  EXPECT_FALSE(daemon.start());
  EXPECT_EQ(daemon.launch_status(), 1);
  const std::string err = daemon.stderr_text();
  EXPECT_NE(err.find("less than data_size 8388608"), std::string::npos) << err;
  const int id = find_segment(daemon.data_path.c_str(), kDictProjectId);
  EXPECT_NE(err.find("ipcrm -m " + std::to_string(id)), std::string::npos) << err;
}

TEST(DaemonLifecycle, DetachedMasterAndWorkerThenOrderlyStop) {
  DaemonHarness daemon({}, "DEBUG");
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_TRUE(daemon.wait_gone(daemon.launched_pid(), 5000));
  EXPECT_EQ(daemon.launch_status(), 0);  // the starting process ends once the worker serves
  const pid_t master = daemon.master_pid();
  EXPECT_EQ(read_file(daemon.pid_path), std::to_string(master));  // no newline
  EXPECT_EQ(static_cast<unsigned>(fs::status(daemon.pid_path).permissions()), 0644u);
  EXPECT_EQ(read_cmdline(master), "quillmap: master " QUILLMAP_DAEMON_PATH " -c " + daemon.config_path);
  // While it runs, -h and --version are answered and every start that would serve is refused.
  const std::string running = "Quillmap is already running with pid: " + std::to_string(master) + ". Exit\n";
  const std::pair<std::vector<std::string>, ProgramRun> kCommands[] = {
      {{"-h"}, {0, kHelp, ""}},
      {{"--version"}, {0, "quillmap " QUILLMAP_VERSION "\n", ""}},
      {{"-c", daemon.config_path}, {1, "", running}},
      {{"-D", "-c", daemon.config_path}, {1, "", running}},
  };
  for (const auto& [args, expected] : kCommands) {
    const ProgramRun run = run_program(QUILLMAP_DAEMON_PATH, args);
    EXPECT_EQ(std::tie(run.exit_status, run.out, run.err), std::tie(expected.exit_status, expected.out, expected.err));
  }

  // A second terminating signal while the master waits is not forwarded again.
  ASSERT_EQ(kill(master, SIGTERM), 0);
  kill(master, SIGINT);
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_FALSE(fs::exists(daemon.pid_path));
  EXPECT_FALSE(daemon.segment_exists());
  const std::string log = daemon.log_text();
  const std::regex kEnd(
      R"([^\n]*\[WARN\]: Master got terminating signal. Exiting...\n)"
      R"((?:[^\n]*\n)*?)"  // the worker's own lines as it stops and dumps
      R"([^\n]*\[WARN\]: Worker exited normally with status: 0\n)"
      R"([^\n]*\[DEBUG\]: Leaving loop because sigsent is set\n)"
      R"([^\n]*\[DEBUG\]: Shared memory successfully detached.\n$)");
  EXPECT_TRUE(std::regex_search(log, kEnd)) << log;
  EXPECT_EQ(log.find("Master got terminating signal"), log.rfind("Master got terminating signal")) << log;
}

// A worker that cannot serve (its socket path is a directory) says why, and its replacements back
// off instead of loading and dumping the data file in a tight loop; a stop still ends it at once.
TEST(DaemonLifecycle, WorkersThatCannotServeAreRestartedWithBackoff) {
  DaemonHarness daemon({}, "WARN");
  fs::create_directories(daemon.socket_path + "/in-the-way");
  // The starting process waits until the first worker serves: here it never does, and the start fails
  // visibly, while the master goes on trying.
  daemon.start();
  ASSERT_TRUE(daemon.wait_gone(daemon.launched_pid(), 5000));
  EXPECT_EQ(daemon.launch_status(), 1);
  EXPECT_EQ(daemon.stderr_text(), "quillmap did not start; see the log at " + daemon.log_path + "\n");
  ASSERT_TRUE(daemon.wait_for_log("next start in 2 s", 8000)) << daemon.log_text();
  const std::string log = daemon.log_text();
  EXPECT_NE(log.find("[ERROR]: Could not remove " + daemon.socket_path + ": Is a directory"), std::string::npos) << log;
  EXPECT_NE(log.find("[ERROR]: Workers keep ending within 5 s of their start (2 in a row); next start in 1 s"),
            std::string::npos) << log;
  EXPECT_EQ(count_of(log, "Worker exited normally"), 3u) << log;
  EXPECT_EQ(daemon.stop(2000), 0) << "a backing-off master stops at once";
}

}  // namespace
}  // namespace quillmap::e2e
