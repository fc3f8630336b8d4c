// The daemon's command line and start-up refusals, as an operator sees them: texts and exit statuses.
// (Which options print the help and with which status is the option parser's own table.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/daemon_harness.h"

namespace quillmap::e2e {
namespace {

// A configuration refused at start creates nothing: no log folder, no data file (the texts of the
// other refusals are the configuration's own tests).
TEST(DaemonCliTest, RefusedStartCreatesNothing) {
  DaemonHarness scratch;  // only for its private directory, which it removes
  const std::filesystem::path dir = scratch.dir;
  std::ofstream(dir / "q.conf") << "log_path=" << (dir / "log/q.log").string() << "\ndata_path=" << (dir / "data.yaml").string()
                                << "\nsocket_path=" << (dir / "q.sock").string() << "\nuser=no-such-quillmap-account\n";
  ProgramRun run = run_program(daemon_binary(), {"-D", "-c", dir / "q.conf"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "No such user: no-such-quillmap-account");
  EXPECT_FALSE(std::filesystem::exists(dir / "log"));
  EXPECT_FALSE(std::filesystem::exists(dir / "data.yaml"));
}

// While a daemon runs, -h and --version are answered and every start that would serve is refused.
TEST(DaemonCliTest, SecondInstanceIsRefused) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const std::string conf = daemon.config_path;
  const std::string kHelp =
      "\n-c | --config-path : path to config file. By default /etc/veldrane/kelvar.conf is used.\n"
      "-D | --no-daemon   : do not go to background\n-h | --help        : show this help and exit\n";
  const std::pair<std::vector<std::string>, ProgramRun> kCases[] = {
      {{"-h"}, {0, kHelp, ""}},
      {{"--version"}, {0, "quillmap " QUILLMAP_VERSION "\n", ""}},
      {{"-c", conf}, {1, "", "Quillmap is already running with pid: " + std::to_string(daemon.master_pid()) + ". Exit\n"}},
      {{"-D", "-c", conf}, {1, "", "Quillmap is already running with pid: " + std::to_string(daemon.master_pid()) + ". Exit\n"}},
  };
  for (const auto& [args, expected] : kCases) {
    ProgramRun run = run_program(daemon_binary(), args);
    EXPECT_EQ(run.exit_status, expected.exit_status) << args.back();
    EXPECT_EQ(run.out, expected.out) << args.back();
    EXPECT_EQ(run.err, expected.err) << args.back();
  }
}

}  // namespace
}  // namespace quillmap::e2e
