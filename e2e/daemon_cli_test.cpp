// The daemon's command line and start-up refusals, as an operator sees them: texts and exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/daemon_harness.h"

namespace quillmap::e2e {
namespace {

const char kHelp[] =
    "\n"
    "-c | --config-path : path to config file. By default /etc/veldrane/kelvar.conf is used.\n"
    "-D | --no-daemon   : do not go to background\n"
    "-h | --help        : show this help and exit\n";

class DaemonCliTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(wait_until_no_instance(10000)) << "another instance runs"; }
};

TEST_F(DaemonCliTest, HelpAndBadOptions) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case kCases[] = {
      {{"-h"}, 0}, {{"--help"}, 0}, {{"-x"}, 1}, {{"--bogus"}, 1}, {{"-c"}, 1},
  };
  for (const Case& c : kCases) {
    ProgramRun run = run_daemon_binary(c.args);
    EXPECT_EQ(run.exit_status, c.status) << c.args[0];
    EXPECT_EQ(run.out, kHelp) << c.args[0];
  }
}

// Writes a configuration file into `dir` and runs the daemon in the foreground with it.
ProgramRun run_with_config(const std::filesystem::path& dir, const std::string& text) {
  std::ofstream(dir / "q.conf") << text;
  return run_daemon_binary({"-D", "-c", (dir / "q.conf").string()});
}

TEST_F(DaemonCliTest, StartUpRefusals) {
  DaemonHarness scratch;  // only for its private directory, which it removes
  const std::filesystem::path dir = scratch.dir();
  const std::string paths = "log_path=" + (dir / "log/q.log").string() + "\npid_path=" +
                            (dir / "q.pid").string() + "\nsocket_path=" + (dir / "q.sock").string() +
                            "\n";
  const std::string data = "data_path=" + (dir / "data.yaml").string() + "\n";
  struct Case {
    const char* name;
    std::string config;
    std::string err;
  };
  const Case kCases[] = {
      {"no data path", paths, "Data path is required. Exit.\n"},
      {"negative size", paths + data + "data_size=-4096\n", "Invalid data_size -4096: the store needs"},
      {"tiny size", paths + data + "data_size=16\n", "Invalid data_size 16: the store needs"},
      {"negative interval", paths + data + "expired_check_interval=-1\n",
       "Invalid expired_check_interval -1: it must not be negative. Exit\n"},
      {"unknown user", paths + data + "user=no-such-quillmap-account\n",
       "No such user: no-such-quillmap-account"},
      {"log file not creatable", "log_path=" + dir.string() + "\n" + paths + data,
       "Could not open log file " + dir.string() + ": Is a directory\n"},
  };
  for (const Case& c : kCases) {
    ProgramRun run = run_with_config(dir, c.config);
    EXPECT_EQ(run.exit_status, 1) << c.name;
    EXPECT_TRUE(run.err.starts_with(c.err)) << c.name << ": " << run.err;
    if (std::string(c.name) != "log file not creatable") {
      // Refused before anything was created.
      EXPECT_FALSE(std::filesystem::exists(dir / "log")) << c.name;
      EXPECT_FALSE(std::filesystem::exists(dir / "data.yaml")) << c.name;
    }
  }
  ProgramRun missing = run_daemon_binary({"-D", "-c", (dir / "absent.conf").string()});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err, "Could not open config " + (dir / "absent.conf").string() +
                             ": No such file or directory\n");
}

// While an instance runs, every start is refused before the options are read.
TEST_F(DaemonCliTest, SecondInstanceIsRefused) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-h"}, {"-D", "-c", daemon.config_path()}}) {
    ProgramRun run = run_daemon_binary(args);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Quillmap is already running with pid: " +
                           std::to_string(daemon.master_pid()) + ". Exit\n");
  }
}

}  // namespace
}  // namespace quillmap::e2e
