// quillmap-cli against the real daemon, as an operator uses it: batches from standard input, info,
// hash, JSON, and the exit statuses when the daemon is not there or answers without success.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/dict_client.h"
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

std::string read_all(FILE* f) {
  std::string text;
  char buf[4096];
  rewind(f);
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  return text;
}

// Runs the CLI with `args`, feeding `input` on its standard input; bounded to 30 s.
ProgramRun run_cli(const std::vector<std::string>& args, const std::string& input = "") {
  ProgramRun run;
  FILE* in = tmpfile();
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  fwrite(input.data(), 1, input.size(), in);
  fflush(in);
  rewind(in);
  std::vector<std::string> strings = {cli_binary()};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    dup2(fileno(in), 0);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  bool ended = false;
  for (int waited = 0; waited < 30000 && !ended; waited += 5) {
    ended = waitpid(child, &status, WNOHANG) == child;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  run.exit_status = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = read_all(out);
  run.err = read_all(err);
  fclose(in);
  fclose(out);
  fclose(err);
  return run;
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
    DaemonOptions options;
    options.ready = ReadyWhen::kSocket;
    options.log_level = "WARN";
    daemon_ = std::make_unique<DaemonHarness>(options);
    ASSERT_TRUE(daemon_->start()) << daemon_->stderr_text();
    // The socket file appears at bind, a moment before the daemon listens.
    bool serving = false;
    for (int i = 0; i < 500 && !serving; ++i) {
      serving = send_batch(daemon_->socket_path(), {}).ok();
      if (!serving) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(serving) << "the daemon does not answer on " << daemon_->socket_path();
  }

  ProgramRun cli(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"-c", daemon_->config_path()});
    return run_cli(args, input);
  }

  std::unique_ptr<DaemonHarness> daemon_;
};

TEST_F(CliTest, BatchOfThousandsFromStandardInput) {
  constexpr size_t kKeys = 3000;
  std::string adds, gets, dels;
  for (size_t i = 0; i < kKeys; ++i) {
    std::string key = "key-" + std::to_string(i);
    std::string net = "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".0/24";
    adds += "add " + key + " 'value " + std::to_string(i) + "'\nadd --ip " + net + " net\n";
    gets += "get " + key + "; get --ip 10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".77\n";
    dels += "del " + key + "\n";
  }
  ProgramRun added = cli({"-"}, "# keys and networks\n" + adds);
  ASSERT_EQ(added.exit_status, 0) << added.err;
  EXPECT_EQ(added.out, affected_line(2 * kKeys));

  // Present keys and covered addresses are found; missing ones are not counted.
  ProgramRun found = cli({"--stdin"}, gets + "get nothing-here\nget --ip 192.168.1.1\n");
  ASSERT_EQ(found.exit_status, 0) << found.err;
  EXPECT_EQ(found.out, affected_line(2 * kKeys));

  // Adding again changes nothing.
  ProgramRun again = cli({"-"}, adds);
  ASSERT_EQ(again.exit_status, 0) << again.err;
  EXPECT_EQ(again.out, affected_line(0));

  ProgramRun removed = cli({"-"}, dels);
  ASSERT_EQ(removed.exit_status, 0) << removed.err;
  EXPECT_EQ(removed.out, affected_line(kKeys));
  ProgramRun after = cli({"-"}, gets);
  ASSERT_EQ(after.exit_status, 0) << after.err;
  EXPECT_EQ(after.out, affected_line(kKeys));  // only the networks are left
}

TEST_F(CliTest, InfoAndHash) {
  ProgramRun empty = cli({"hash"});
  ASSERT_EQ(empty.exit_status, 0) << empty.err;
  const std::string empty_hash = hashsum_of(empty);
  ASSERT_EQ(empty_hash.size(), 40u) << empty.out;

  ProgramRun filled = cli({"set", "a", "1", ";", "set", "b", "2", ";", "info", ";", "hash"});
  ASSERT_EQ(filled.exit_status, 0) << filled.err;
  EXPECT_EQ(filled.out.substr(0, filled.out.find('\n') + 1), affected_line(2));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(filled.out, m,
                                std::regex("pages_total (\\d+)\npages_free (\\d+)\nbytes_total (\\d+)\n"
                                           "bytes_alloc (\\d+)\nbytes_used (\\d+)\n")))
      << filled.out;
  EXPECT_GE(std::stoll(m[1]), std::stoll(m[2]));  // free pages are a part of all pages
  EXPECT_EQ(std::stoll(m[3]), 4194304);           // the segment size the harness configures
  EXPECT_GE(std::stoll(m[4]), std::stoll(m[5]));  // used bytes lie in allocated ones
  EXPECT_GT(std::stoll(m[5]), 0);
  const std::string filled_hash = hashsum_of(filled);
  EXPECT_EQ(filled_hash.size(), 40u);
  EXPECT_NE(filled_hash, empty_hash);

  // The digest depends on the keys only, and a clear returns to the empty digest.
  ProgramRun same = cli({"set", "b", "other", ";", "hash"});
  EXPECT_EQ(hashsum_of(same), filled_hash);
  ProgramRun cleared = cli({"clear", ";", "hash"});
  ASSERT_EQ(cleared.exit_status, 0) << cleared.err;
  EXPECT_EQ(hashsum_of(cleared), empty_hash);

  ProgramRun json = cli({"--json", "info"});
  ASSERT_EQ(json.exit_status, 0) << json.err;
  EXPECT_TRUE(std::regex_match(json.out, std::regex("\\{\"success\":true,\"message\":\"0 affected entries\","
                                                    "\"affected\":0,\"info\":\\{\"pages_total\":\\d+,"
                                                    "\"pages_free\":\\d+,\"bytes_total\":\\d+,\"bytes_alloc\":"
                                                    "\\d+,\"bytes_used\":\\d+\\}\\}\n")))
      << json.out;
}

TEST_F(CliTest, AnswerWithoutSuccessExitsWithOne) {
  ProgramRun bad = cli({"add", "--ip", "not-an-address", "v"});
  EXPECT_EQ(bad.exit_status, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_NE(bad.err.find("no success"), std::string::npos) << bad.err;

  ProgramRun json = cli({"--json", "get", "--ip", "300.1.2.3"});
  EXPECT_EQ(json.exit_status, 1);
  EXPECT_EQ(json.out, "{\"success\":false}\n");
}

TEST_F(CliTest, ExitStatusWhenTheDaemonIsGone) {
  const std::string socket = daemon_->socket_path();
  ASSERT_EQ(daemon_->stop(), 0);
  // The stopped worker leaves its socket file behind: nobody listens on it.
  ProgramRun stale = run_cli({"-s", socket, "info"});
  EXPECT_EQ(stale.exit_status, 3);
  EXPECT_EQ(stale.out, "");
  EXPECT_NE(stale.err.find("cannot connect to " + socket), std::string::npos) << stale.err;

  std::filesystem::remove(socket);
  ProgramRun missing = run_cli({"-s", socket, "info"});
  EXPECT_EQ(missing.exit_status, 3);
  EXPECT_EQ(missing.err, "quillmap-cli: cannot connect to " + socket +
                             ": No such file or directory (is the daemon running?)\n");
}

TEST_F(CliTest, BadInputSendsNothing) {
  ProgramRun bad = cli({"-"}, "add a 1\nadd b 'unterminated\n");
  EXPECT_EQ(bad.exit_status, 2);
  EXPECT_EQ(bad.err, "quillmap-cli: line 2: unterminated ' quote\n");
  ProgramRun check = cli({"get", "a"});
  ASSERT_EQ(check.exit_status, 0) << check.err;
  EXPECT_EQ(check.out, affected_line(0));
}

}  // namespace
}  // namespace quillmap::e2e
