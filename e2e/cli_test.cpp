// quillmap-cli against the real daemon, as an operator uses it.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e/daemon_harness.h"

namespace quillmap::e2e {
namespace {

std::string affected_line(size_t n) { return std::to_string(n) + " affected entries\n"; }

TEST(CliTest, BatchesInfoAnswersAndExitStatuses) {
  DaemonHarness daemon({}, "WARN");
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const auto cli = [&](std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"-c", daemon.config_path});
    return run_program(QUILLMAP_CLI_PATH, args, input);
  };

  // The real daemon's figures in the info text, index figures included (the layout and the JSON form are
  // checked with the tool's own tests, the figures and the digest with the dispatcher's).
  ProgramRun filled = cli({"set", "a", "1", ";", "set", "b", "2", ";", "info", ";", "hash"});
  EXPECT_TRUE(std::regex_match(filled.out, std::regex("2 affected entries\npages_total \\d+\npages_free \\d+\n"
                                                      "bytes_total 4194304\nbytes_alloc \\d+\nbytes_used [1-9]\\d*\n"
                                                      "entries_string 2\nentries_ipv4 0\nentries_ipv6 0\nindex_bytes [1-9]\\d*\n"
                                                      "index_valid hash(,ipv4,ipv6)?\nchange_epoch \\d*[02468]\n"
                                                      "hashsum [0-9a-f]{40}\n")))
      << filled.out << filled.err;
  ASSERT_EQ(cli({"clear"}).exit_status, 0);

  // Requests read from standard input, several to a line, each line sent in a frame of its own (the
  // counting rules are the dispatcher's: missing keys and repeated adds count nothing).
  std::string adds, dels;
  for (int i = 0; i < 100; ++i) {
    const std::string key = "key-" + std::to_string(i), net = "10.0." + std::to_string(i);
    adds += "add " + key + " 'value " + key + "'\nadd --ip " + net + ".0/24 net\n";
    dels += "del " + key + "; get " + key + "; get --ip " + net + ".77\n";
  }
  EXPECT_EQ(cli({"-"}, "# keys and networks\n" + adds).out, affected_line(200));
  EXPECT_EQ(cli({"--stdin"}, adds).out, affected_line(0));
  EXPECT_EQ(cli({"-"}, dels + "get nothing-here\n").out, affected_line(200));

  // 0: success or found; 1: the daemon answered without success, or a read found nothing; 2: bad
  // input, nothing sent; 3: no daemon to talk to or to read from.
  const std::string no_daemon = "quillmap-cli: cannot connect to " + daemon.socket_path + ": ";
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
      {"stop", {"-s", daemon.socket_path, "info"}, "", "", no_daemon + "Connection refused", 3},
      {"stop", {"-c", daemon.config_path, "peek", "a"}, "", "", "no segment for this data path", 3},
      {"remove", {"-s", daemon.socket_path, "info"}, "", "",
       no_daemon + "No such file or directory (is the daemon running?)\n", 3},
  };
  for (const Case& c : kCases) {
    if (c.before == "stop") {
      ASSERT_EQ(daemon.stop(), 0);  // a second stop reports the first one's status
    }
    if (c.before == "remove") std::filesystem::remove(daemon.socket_path);
    ProgramRun run = c.before.empty() ? cli(c.args, c.input) : run_program(QUILLMAP_CLI_PATH, c.args);
    EXPECT_EQ(run.exit_status, c.status) << c.args[0] << " " << c.before;
    EXPECT_EQ(run.out, c.out) << c.args[0] << " " << c.before;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace quillmap::e2e
