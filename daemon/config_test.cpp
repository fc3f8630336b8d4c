#include "daemon/config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "store/store_init.h"
#include "store/testing/log_capture.h"
#include "util/host_params.h"
#include "util/settings.h"
#include "util/testing/files.h"

namespace quillmap {
namespace {

using namespace ::testing::internal;  // CaptureStderr, GetCapturedStderr and the same for stdout

// The fields of `settings` that differ from their initial state, as "name=value" words in field order.
std::string describe_settings() {
  const Settings initial;
  const auto text = [](const char* t) { return t ? std::optional<std::string>(t) : std::nullopt; };
  const auto number = [](int64_t now, int64_t was) { return now != was ? std::optional(std::to_string(now)) : std::nullopt; };
#define TEXT(f) std::pair<const char*, std::optional<std::string>>(#f, text(settings.f))
#define NUMBER(f) std::pair<const char*, std::optional<std::string>>(#f, number(settings.f, initial.f))
  std::string out;
  for (const auto& [name, value] :
       {TEXT(log_path), TEXT(pid_path), NUMBER(data_size), TEXT(data_path), TEXT(socket_path), TEXT(user), NUMBER(log_level),
        NUMBER(expired_check_interval), NUMBER(no_save_restore), NUMBER(enable_clean), NUMBER(client_timeout),
        NUMBER(max_clients), TEXT(dump_dir), NUMBER(save_interval), NUMBER(index), NUMBER(huge_pages), TEXT(reader_group)}) {
    if (value) out += (out.empty() ? "" : " ") + std::string(name) + "=" + *value;
  }
  return out;
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { host_params_init(); }  // settings start as the last TearDown left them: initial
  void TearDown() override { release_settings(); }
  // Starts from fresh settings and reads `text` as the configuration file.
  static int read_text(const std::string& text) {
    release_settings();
    FILE* file = tmpfile();
    fputs(text.c_str(), file);
    fflush(file);
    path_ = "/proc/self/fd/" + std::to_string(fileno(file));
    int result = read_config(path_.c_str());
    fclose(file);
    return result;
  }
  static inline std::string path_;  // the path the last read_text read
};

// The first submatch of `pattern` in every line of the file at `path`.
std::vector<std::string> matches_per_line(const std::string& path, const std::regex& pattern) {
  std::vector<std::string> out;
  std::ifstream lines(path);
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, m, pattern)) out.push_back(m[1]);
  }
  return out;
}

// Each case is a whole file; the expectation is on the settings right after reading it, and on the
// warnings about its doubtful lines ("N: text" for line N), which change nothing. (The rules of one
// line, trimming, quotes and comments, are the shared line parser's table in client_config_test.)
TEST_F(ConfigTest, FileReadingTable) {
  const std::string kU506(506, 'u');
  struct Case {
    std::string text, settings;
    std::vector<std::string> warnings;
  };
  const std::vector<Case> kCases = {
      {"pid_path=/p\ndata_path=/a\ndata_path=/b\nlog_path=\nuser=/k",  // first text wins; an empty one; no last newline
       "log_path= pid_path=/p data_path=/a user=/k", {}},
      {"log_level=INFO\nlog_level=LOUD\n", "log_level=4",
       {"2: log_level=LOUD is not one of CRIT, ERROR, WARN, INFO, DEBUG, ignored"}},  // last recognised level
      // Keys are matched as they stand: in their case, and with a leading quote (which the line rules keep).
      {"# comment\nDATA_PATH=/j\n\"data_path=/h\n", "",
       {"2: unknown key DATA_PATH, ignored", "3: unknown key \"data_path, ignored"}},
      {"data_size=12abc\n", "data_size=12", {"1: data_size=12abc is not a decimal number, read as 12"}},
      // Lower-case level word, no number, only the low 8 bits of 256 kept.
      {"log_level=info\ndata_size=lots\nno_save_restore=yes\nenable_clean=256\nno_save_restore=\n", "",
       {"1: log_level=info is not a level name; they are upper case (INFO), ignored",
        "2: data_size=lots is not a decimal number, read as 0", "3: no_save_restore=yes is not a decimal number, read as 0",
        "5: no_save_restore= is not a decimal number, read as 0"}},
      {"no_save_restore=1\nenable_clean=3\nmax_clients=-3\nexpired_check_interval=+5\n",
       "expired_check_interval=5 no_save_restore=1 enable_clean=3 max_clients=-3", {}},
      {"data_size=100\ndata_size=4294967301\nexpired_check_interval=2147483648\n",  // the last wins, in 32 bits, signed
       "data_size=5 expired_check_interval=-2147483648", {}},
      // A piece of 511 characters and one of 12, each read as a line of its own but numbered as line 2.
      {"\nuser=" + kU506 + "colour=blue\n", "user=" + kU506, {"2: unknown key colour, ignored"}},
  };
  for (const Case& c : kCases) {
    ASSERT_EQ(read_text(c.text), 0) << c.text;
    EXPECT_EQ(describe_settings(), c.settings) << c.text;
    std::vector<std::string> expected;
    for (std::string w : c.warnings) expected.push_back("Line " + w.insert(w.find(':'), " of " + path_));
    EXPECT_EQ(config_warnings(), expected) << c.text;
  }
  CaptureStderr();
  EXPECT_EQ(read_config("/nonexistent/q.conf"), 1);
  EXPECT_EQ(GetCapturedStderr(), "Could not open config /nonexistent/q.conf: No such file or directory\n");
}

// Warnings are shown once the log is open; on standard error only in the foreground, and as the
// level says.
TEST_F(ConfigTest, WarningsAreReportedAsTheLevelSays) {
  testing::LogCapture log;
  for (const auto& [no_daemon, level, shown] :
       {std::tuple{false, 3u, false}, std::tuple{true, 3u, true}, std::tuple{true, 2u, false}}) {
    ASSERT_EQ(read_text("log_levle=DEBUG\n"), 0);
    settings.no_daemon = no_daemon;
    settings.log_level = level;
    CaptureStderr();
    report_config_warnings();
    EXPECT_EQ(GetCapturedStderr(), shown ? "[WARN]: " + config_warnings()[0] + "\n" : "") << no_daemon << level;
  }
  // Two of the three runs log at WARN: the third's level hides it.
  EXPECT_EQ(testing::count_of(log.text(), "[WARN]: Line 1 of " + path_ + ": unknown key log_levle, ignored\n"), 2u);
}

// Every key the manual describes is one the daemon reads (a value the manual's word allows changes
// `settings` and draws no warning), and the example configuration shows each of them.
TEST_F(ConfigTest, ManualAndExampleCoverEveryKey) {
  const std::vector<std::string> described =
      matches_per_line(QUILLMAP_SOURCE_DIR "/man/quillmap.conf.5.in", std::regex(R"(^\.BI ([a-z_]+= [a-z]+))"));
  ASSERT_GE(described.size(), 14u);
  std::set<std::string> keys;
  for (const std::string& entry : described) {
    const std::string key = entry.substr(0, entry.find('=')), word = entry.substr(entry.find(' ') + 1);
    const std::string value = word == "level" ? "DEBUG" : word == "path" || word == "name" ? "/x" : "7";
    ASSERT_EQ(read_text(key + "=" + value + "\n"), 0);
    EXPECT_NE(describe_settings(), "") << key << "=" << value << " changed nothing";
    EXPECT_EQ(config_warnings(), std::vector<std::string>{}) << key << "=" << value;
    keys.insert(key);
  }
  const std::vector<std::string> shown =
      matches_per_line(QUILLMAP_SOURCE_DIR "/daemon/quillmap.conf.example", std::regex("^#?([a-z_]+)="));
  EXPECT_EQ(std::set<std::string>(shown.begin(), shown.end()), keys);
}

// finish_config: defaults for zero values, the smallest data_size and the largest expired_check_interval
// accepted, and every refusal. Each row's text is read with "data_path=/d" after it (an empty text: no
// data path at all); the expectation is the settings after it, or the refusal on standard error.
TEST_F(ConfigTest, FinishAppliesDefaultsAndRefusesBadValues) {
  const std::string min = std::to_string(store_min_data_size()), below = std::to_string(store_min_data_size() - 1);
  const std::string defaults = "data_size=10485760 data_path=/d log_level=3 expired_check_interval=";
  const std::string interval = ": it must lie between 0 and 429496729. Exit\n";
  const std::pair<std::string, std::string> kCases[] = {
      {"data_size=" + min + "\nexpired_check_interval=429496729",
       "data_size=" + min + " data_path=/d log_level=3 expired_check_interval=429496729"},
      {"client_timeout=0\nmax_clients=1\ndump_dir=/srv/dumps\nindex=0\nhuge_pages=1\nreader_group=root",
       defaults + "60 client_timeout=0 max_clients=1 dump_dir=/srv/dumps index=0 huge_pages=1 reader_group=root"},
      {"", "Data path is required. Exit.\n"},
      {"data_size=" + below, "Invalid data_size " + below + ": the store needs at least " + min + " bytes. Exit\n"},
      {"expired_check_interval=429496730", "Invalid expired_check_interval 429496730" + interval},
      {"expired_check_interval=-1", "Invalid expired_check_interval -1" + interval},
      {"client_timeout=-1", "Invalid client_timeout -1: it must lie between 0 and 31536000 seconds. Exit\n"},
      {"save_interval=-1", "Invalid save_interval -1: it must lie between 0 and 31536000 seconds. Exit\n"},
      {"max_clients=0", "Invalid max_clients 0: it must lie between 1 and 1048576. Exit\n"},
      {"dump_dir=dumps", "Invalid dump_dir dumps: it must be an absolute path. Exit\n"},
      {"reader_group=no-such-group-here", "Invalid reader_group no-such-group-here: no such group. Exit\n"},
      // A data path that exists but is not a regular file would swallow every dump (the first one wins).
      {"data_path=/tmp", "Invalid data_path /tmp: it is not a regular file. Exit\n"},
      {"data_path=/dev/null", "Invalid data_path /dev/null: it is not a regular file. Exit\n"},
  };
  for (const auto& [text, expected] : kCases) {
    ASSERT_EQ(read_text(text.empty() ? "" : text + "\ndata_path=/d\n"), 0);
    CaptureStderr();
    const int result = finish_config();
    const std::string refusal = GetCapturedStderr();
    EXPECT_EQ(result, expected.find("Exit") == std::string::npos ? 0 : 1) << text;
    EXPECT_EQ(result == 0 ? describe_settings() : refusal, expected) << text;
  }
}

// Each row: the options, then the result, the config path, "-D" when no_daemon is set, and "help" when
// the help text was printed (its exact text, -h and --version are checked end to end).
TEST_F(ConfigTest, OptionsTable) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> kCases = {
      {{}, "-1 <unset>"},
      {{"-c", "/a", "--config-path=/x", "-D"}, "-1 /x -D"},  // the last path wins
      {{"extra", "--no-daemon", "more", "-c/y"}, "-1 /y -D"},
      {{"--version", "-D"}, "0 <unset> help"},
      {{"--help"}, "0 <unset> help"},
      {{"-x"}, "1 <unset> help"},
      {{"-c"}, "1 <unset> help"},
  };
  for (auto [args, expected] : kCases) {
    release_settings();
    args.insert(args.begin(), "quillmap");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    const std::vector<char*> before = argv;
    argv.push_back(nullptr);
    CaptureStdout();
    CaptureStderr();
    std::string got = std::to_string(parse_options(static_cast<int>(before.size()), argv.data()));
    got += std::string(" ") + (settings.config_path ? settings.config_path : "<unset>");
    got += std::string(settings.no_daemon ? " -D" : "") + (GetCapturedStdout().empty() ? "" : " help");
    GetCapturedStderr();
    EXPECT_EQ(got, expected) << ::testing::PrintToString(args);
    // The vector keeps its order: the process title shows the command line as typed.
    EXPECT_TRUE(std::equal(before.begin(), before.end(), argv.begin())) << ::testing::PrintToString(args);
  }
}

TEST_F(ConfigTest, DefaultPathsAreDerived) {
  settings.pid_path = strdup("/kept.pid");
  for (auto [path, base, suffix, want] : {std::tuple{&settings.pid_path, "/var/run", ".pid", "/kept.pid"},
                                          {&settings.log_path, "/var/log", ".log", "/var/log/quillmap/quillmap.log"},
                                          {&settings.socket_path, "/run/", ".sock", "/run/quillmap/quillmap.sock"}}) {
    complete_default_path(path, base, suffix);
    EXPECT_STREQ(*path, want);
  }
}

}  // namespace
}  // namespace quillmap
