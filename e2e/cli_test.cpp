// quillmap-cli against the real daemon, as an operator uses it: batches from standard input, info,
// hash, values read by get, JSON with UTF-8, and the exit statuses when the daemon answers without
// success or is not there.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e/daemon_harness.h"

namespace quillmap::e2e {
namespace {

// The CLI binary: given by the build, or found beside this test in the build tree.
std::string cli_binary() {
#ifdef QUILLMAP_CLI_PATH
  return QUILLMAP_CLI_PATH;
#else
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  return (self.parent_path().parent_path() / "tools" / "quillmap-cli").string();
#endif
}

std::string affected_line(size_t n) { return std::to_string(n) + " affected entries\n"; }

std::string hashsum_of(const ProgramRun& run) {
  std::smatch m;
  static const std::regex kHash("hashsum ([0-9a-f]{40})\n");
  return std::regex_search(run.out, m, kHash) ? m[1].str() : "";
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon_ = std::make_unique<DaemonHarness>(serving_options({}, "WARN"));
    ASSERT_TRUE(daemon_->start()) << daemon_->stderr_text();
  }
  ProgramRun cli(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"-c", daemon_->config_path()});
    return run_program(cli_binary(), args, input);
  }
  std::unique_ptr<DaemonHarness> daemon_;
};

// A batch of a few hundred requests read from standard input, each sent in a frame of its own; the
// counting rules themselves are the dispatcher's (missing keys and repeated adds count nothing).
TEST_F(CliTest, BatchFromStandardInput) {
  constexpr size_t kKeys = 200;
  std::string adds, dels_and_gets;
  for (size_t i = 0; i < kKeys; ++i) {
    const std::string key = "key-" + std::to_string(i);
    const std::string net = "10." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    adds += "add " + key + " 'value " + std::to_string(i) + "'\nadd --ip " + net + ".0/24 net\n";
    dels_and_gets += "del " + key + "; get " + key + "; get --ip " + net + ".77\n";
  }
  const std::pair<std::string, size_t> kSteps[] = {
      {"# keys and networks\n" + adds, 2 * kKeys},
      {adds, 0},
      {dels_and_gets + "get nothing-here\nget --ip 192.168.1.1\n", 2 * kKeys},
  };
  for (const auto& [input, affected] : kSteps) {
    ProgramRun run = cli({affected == 0 ? "--stdin" : "-"}, input);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out, affected_line(affected));
  }
}

// The real daemon's figures in the info text, index figures included (the layout and the JSON form are
// checked with the tool's own tests, what the digest covers with the dispatcher's and the sweeps').
TEST_F(CliTest, InfoAndHash) {
  ProgramRun filled = cli({"set", "a", "1", ";", "set", "b", "2", ";", "info", ";", "hash"});
  std::smatch m;
  ASSERT_TRUE(std::regex_match(filled.out, m,
                               std::regex("2 affected entries\npages_total (\\d+)\npages_free (\\d+)\n"
                                          "bytes_total (\\d+)\nbytes_alloc (\\d+)\nbytes_used (\\d+)\n"
                                          "entries_string 2\nentries_ipv4 0\nentries_ipv6 0\n"
                                          "index_bytes [1-9]\\d*\nindex_valid hash(,ipv4,ipv6)?\nchange_epoch \\d*[02468]\n"
                                          "hashsum [0-9a-f]{40}\n")))
      << filled.out << filled.err;
  EXPECT_GE(std::stoll(m[1]), std::stoll(m[2]));  // free pages are a part of all pages
  EXPECT_EQ(std::stoll(m[3]), 4194304);           // the segment size the harness configures
  EXPECT_GE(std::stoll(m[4]), std::stoll(m[5]));  // used bytes lie in allocated ones
  EXPECT_GT(std::stoll(m[5]), 0);
  EXPECT_NE(hashsum_of(filled), hashsum_of(cli({"clear", ";", "hash"})));
}

// 0: success or found; 1: the daemon answered without success, or a read found nothing; 2: bad
// input, nothing sent; 3: no daemon to talk to or to read from.
TEST_F(CliTest, AnswersAndExitStatuses) {
  const std::string socket = daemon_->socket_path();
  const std::string config = daemon_->config_path();
  const std::string no_daemon = "quillmap-cli: cannot connect to " + socket + ": ";
  struct Case {
    std::string before;  // "stop": the daemon is stopped first; "remove": its socket file removed
    std::vector<std::string> args;
    std::string input, out, err;  // err: a part of the standard error text
    int status;
  };
  const Case kCases[] = {
      {"", {"set", "caf\u00e9", "th\u00e9\tchaud"}, "", affected_line(1), "", 0},
      {"", {"get", "caf\u00e9"}, "", "th\u00e9\\x09chaud\n", "", 0},
      {"", {"--json", "get", "caf\u00e9"}, "",
       "{\"key\":\"caf\u00e9\",\"value\":\"th\u00e9\\tchaud\",\"expires\":0,\"address\":false}\n", "", 0},
      {"", {"set", "k", "caf\xe9"}, "", "", "request value is not valid UTF-8 text", 2},
      {"", {"exists", "caf\u00e9"}, "", affected_line(1), "", 0},
      {"", {"get", "absent"}, "", "", "quillmap-cli: absent: not found\n", 1},
      {"", {"load", "/etc/passwd"}, "", "", "load: the daemon refused the path", 1},
      {"", {"-"}, "add a 1\nadd b 'unterminated\n", "", "quillmap-cli: line 2: unterminated ' quote\n", 2},
      {"", {"exists", "a"}, "", affected_line(0), "", 0},  // the batch above sent nothing
      // The stopped worker leaves its socket file behind: nobody listens on it.
      {"stop", {"-s", socket, "info"}, "", "", no_daemon + "Connection refused", 3},
      {"stop", {"-c", config, "peek", "a"}, "", "", "no segment for this data path", 3},
      {"remove", {"-s", socket, "info"}, "", "",
       no_daemon + "No such file or directory (is the daemon running?)\n", 3},
  };
  for (const Case& c : kCases) {
    if (c.before == "stop" && daemon_->master_pid() != 0 && kill(daemon_->master_pid(), 0) == 0) {
      ASSERT_EQ(daemon_->stop(), 0);
    }
    if (c.before == "remove") std::filesystem::remove(socket);
    ProgramRun run = c.before.empty() ? cli(c.args, c.input) : run_program(cli_binary(), c.args);
    EXPECT_EQ(run.exit_status, c.status) << c.args[0] << " " << c.before;
    EXPECT_EQ(run.out, c.out) << c.args[0] << " " << c.before;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace quillmap::e2e
