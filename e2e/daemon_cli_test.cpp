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

// Each row runs the daemon with its options, or, given a configuration text, in the foreground with
// that configuration; standard error must begin with `err`. A refused configuration creates nothing.
// (Which options print the help and with which status is the option parser's own table.)
TEST(DaemonCliTest, VersionAndStartUpRefusals) {
  ASSERT_TRUE(wait_until_no_instance(10000)) << "another instance runs";
  DaemonHarness scratch;  // only for its private directory, which it removes
  const std::filesystem::path dir = scratch.dir();
  const std::string paths = "log_path=" + (dir / "log/q.log").string() + "\npid_path=" +
                            (dir / "q.pid").string() + "\nsocket_path=" + (dir / "q.sock").string() + "\n";
  const std::string data = "data_path=" + (dir / "data.yaml").string() + "\n";
  const std::string absent = (dir / "absent.conf").string();
  struct Case {
    std::vector<std::string> args;
    std::string config;
    int status;
    std::string out, err;
  };
  const Case kCases[] = {
      {{"--version", "-c", absent}, "", 0, "quillmap " QUILLMAP_VERSION "\n", ""},
      {{"-D", "-c", absent}, "", 1, "", "Could not open config " + absent + ": No such file or directory\n"},
      {{}, paths, 1, "", "Data path is required. Exit.\n"},
      {{}, paths + data + "user=no-such-quillmap-account\n", 1, "", "No such user: no-such-quillmap-account"},
      // The log cannot be created: the directories and the data file have been made by then.
      {{}, "log_path=" + dir.string() + "\n" + paths + data, 1, "",
       "Could not open log file " + dir.string() + ": Is a directory\n"},
  };
  for (const Case& c : kCases) {
    std::ofstream(dir / "q.conf") << c.config;
    ProgramRun run =
        run_daemon_binary(c.config.empty() ? c.args : std::vector<std::string>{"-D", "-c", dir / "q.conf"});
    EXPECT_EQ(run.exit_status, c.status) << c.config << c.err;
    EXPECT_EQ(run.out, c.out) << c.config << c.err;
    EXPECT_TRUE(run.err.starts_with(c.err)) << c.err << " != " << run.err;
    if (!c.config.starts_with("log_path=" + dir.string() + "\n")) {
      EXPECT_FALSE(std::filesystem::exists(dir / "log")) << c.config;
      EXPECT_FALSE(std::filesystem::exists(dir / "data.yaml")) << c.config;
    }
  }
}

// While a daemon runs, -h and --version are answered and every start that would serve is refused.
TEST(DaemonCliTest, SecondInstanceIsRefused) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const std::string conf = daemon.config_path();
  const std::pair<std::vector<std::string>, std::string> kAnswered[] = {
      {{"-h"}, kHelp}, {{"--version"}, "quillmap " QUILLMAP_VERSION "\n"}};
  for (const auto& [args, out] : kAnswered) {
    ProgramRun run = run_daemon_binary(args);
    EXPECT_EQ(run.exit_status, 0) << args[0];
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, "");
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-c", conf}, {"-D", "-c", conf}}) {
    ProgramRun run = run_daemon_binary(args);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "Quillmap is already running with pid: " + std::to_string(daemon.master_pid()) + ". Exit\n");
  }
}

}  // namespace
}  // namespace quillmap::e2e
