#include "daemon/config.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/store_init.h"
#include "util/host_params.h"
#include "util/settings.h"

namespace quillmap {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

std::string or_unset(const char* s) { return s == nullptr ? "<unset>" : s; }

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_params_init();
    release_settings();
    char tmpl[] = "/tmp/quillmap-config-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    release_settings();
    std::filesystem::remove_all(dir_);
  }

  // Writes `text` as a configuration file and reads it; returns read_config's result.
  int read_text(const std::string& text) {
    std::string path = dir_ + "/quillmap.conf";
    std::ofstream(path) << text;
    return read_config(path.c_str());
  }

  std::string dir_;
};

// Each case is a whole file; the expectation is on the settings right after reading it.
TEST_F(ConfigTest, FileReadingTable) {
  struct Case {
    const char* name;
    std::string text;
    std::string data_path, user, log_path;
    int32_t data_size;
    unsigned log_level;
  };
  const std::string kU506(506, 'u');
  const std::vector<Case> kCases = {
      {"blanks and quotes", "data_path = \"/srv/q.yaml\"\n", "/srv/q.yaml", "<unset>", "<unset>", 0, 0},
      {"value stops at blank", "user=john doe\n", "<unset>", "john", "<unset>", 0, 0},
      {"first string wins", "data_path=/a\ndata_path=/b\n", "/a", "<unset>", "<unset>", 0, 0},
      {"last number wins", "data_size=100\ndata_size=200\n", "<unset>", "<unset>", "<unset>", 200, 0},
      {"lower-case level ignored", "log_level=info\n", "<unset>", "<unset>", "<unset>", 0, 0},
      {"last recognised level", "log_level=INFO\nlog_level=LOUD\n", "<unset>", "<unset>", "<unset>", 0, 4},
      {"comment line", "  # data_path=/c\n\tdata_path=/d\n", "/d", "<unset>", "<unset>", 0, 0},
      {"hash after blank", "data_path=/e #note\n", "/e", "<unset>", "<unset>", 0, 0},
      {"hash inside value", "data_path=/e#note\n", "/e#note", "<unset>", "<unset>", 0, 0},
      {"leading equals", "=data_path=/f\n", "<unset>", "<unset>", "<unset>", 0, 0},
      {"no equals", "data_path /g\n", "<unset>", "<unset>", "<unset>", 0, 0},
      {"leading quote kept in key", "\"data_path=/h\n", "<unset>", "<unset>", "<unset>", 0, 0},
      {"trailing quote and tab trimmed", "data_path'\t= '/i'\n", "/i", "<unset>", "<unset>", 0, 0},
      {"empty value", "log_path=\n", "<unset>", "<unset>", "", 0, 0},
      {"number prefix", "data_size=12abc\n", "<unset>", "<unset>", "<unset>", 12, 0},
      {"no number", "data_size=lots\n", "<unset>", "<unset>", "<unset>", 0, 0},
      {"stored in 32 bits", "data_size=4294967301\n", "<unset>", "<unset>", "<unset>", 5, 0},
      {"unknown key", "colour=blue\nDATA_PATH=/j\n", "<unset>", "<unset>", "<unset>", 0, 0},
      {"no final newline", "data_path=/k", "/k", "<unset>", "<unset>", 0, 0},
      // 600 characters: a piece of 511 and a piece of 89, each handled as a line of its own.
      {"long line in pieces", "user=" + kU506 + "data_path=/p" + std::string(77, 'q') + "\n",
       "/p" + std::string(77, 'q'), kU506, "<unset>", 0, 0},
  };
  for (const Case& c : kCases) {
    release_settings();
    ASSERT_EQ(read_text(c.text), 0) << c.name;
    EXPECT_EQ(or_unset(settings.data_path), c.data_path) << c.name;
    EXPECT_EQ(or_unset(settings.user), c.user) << c.name;
    EXPECT_EQ(or_unset(settings.log_path), c.log_path) << c.name;
    EXPECT_EQ(settings.data_size, c.data_size) << c.name;
    EXPECT_EQ(settings.log_level, c.log_level) << c.name;
  }
}

TEST_F(ConfigTest, FlagsAndIntervalConversions) {
  struct Case {
    const char* line;
    uint8_t no_save_restore, enable_clean;
    int64_t interval;
  };
  const Case kCases[] = {
      {"no_save_restore=1", 1, 0, 0},
      {"no_save_restore=yes", 0, 0, 0},
      {"no_save_restore=256", 0, 0, 0},  // only the low 8 bits are kept
      {"enable_clean=3", 0, 3, 0},
      {"expired_check_interval=-5", 0, 0, -5},
      {"expired_check_interval=4294967297", 0, 0, 1},  // parsed as signed 32-bit
      {"expired_check_interval=2147483648", 0, 0, INT32_MIN},
  };
  for (const Case& c : kCases) {
    release_settings();
    parse_config_line(c.line);
    EXPECT_EQ(settings.no_save_restore, c.no_save_restore) << c.line;
    EXPECT_EQ(settings.enable_clean, c.enable_clean) << c.line;
    EXPECT_EQ(settings.expired_check_interval, c.interval) << c.line;
  }
}

TEST_F(ConfigTest, EveryKeyIsRead) {
  ASSERT_EQ(read_text("log_path=/l\npid_path=/p\ndata_size=65536\ndata_path=/d\nsocket_path=/s\n"
                      "user=nobody\nlog_level=DEBUG\nexpired_check_interval=7\nno_save_restore=1\n"
                      "enable_clean=1\n"),
            0);
  EXPECT_STREQ(settings.log_path, "/l");
  EXPECT_STREQ(settings.pid_path, "/p");
  EXPECT_EQ(settings.data_size, 65536);
  EXPECT_STREQ(settings.data_path, "/d");
  EXPECT_STREQ(settings.socket_path, "/s");
  EXPECT_STREQ(settings.user, "nobody");
  EXPECT_EQ(settings.log_level, 5u);
  EXPECT_EQ(settings.expired_check_interval, 7);
  EXPECT_EQ(settings.no_save_restore, 1);
  EXPECT_EQ(settings.enable_clean, 1);
}

TEST_F(ConfigTest, MissingFileIsReported) {
  std::string path = dir_ + "/absent.conf";
  CaptureStderr();
  EXPECT_EQ(read_config(path.c_str()), 1);
  EXPECT_EQ(GetCapturedStderr(), "Could not open config " + path + ": No such file or directory\n");
}

TEST_F(ConfigTest, FinishAppliesDefaults) {
  ASSERT_EQ(read_text("data_path=/d\ndata_size=0\nexpired_check_interval=0\n"), 0);
  ASSERT_EQ(finish_config(), 0);
  EXPECT_EQ(settings.data_size, 10485760);
  EXPECT_EQ(settings.log_level, 3u);
  EXPECT_EQ(settings.expired_check_interval, 60);
}

TEST_F(ConfigTest, FinishRefusals) {
  const long long min = store_min_data_size();
  ASSERT_GT(min, 0);
  struct Case {
    std::string text;
    std::string message;  // empty: accepted
  };
  const std::vector<Case> kCases = {
      {"data_size=1024\n", "Data path is required. Exit.\n"},
      {"data_path=/d\ndata_size=-1\n",
       "Invalid data_size -1: the store needs at least " + std::to_string(min) + " bytes. Exit\n"},
      {"data_path=/d\ndata_size=" + std::to_string(min - 1) + "\n",
       "Invalid data_size " + std::to_string(min - 1) + ": the store needs at least " +
           std::to_string(min) + " bytes. Exit\n"},
      {"data_path=/d\ndata_size=" + std::to_string(min) + "\n", ""},
      {"data_path=/d\nexpired_check_interval=-1\n",
       "Invalid expired_check_interval -1: it must not be negative. Exit\n"},
  };
  for (const Case& c : kCases) {
    release_settings();
    ASSERT_EQ(read_text(c.text), 0);
    CaptureStderr();
    int result = finish_config();
    EXPECT_EQ(GetCapturedStderr(), c.message) << c.text;
    EXPECT_EQ(result, c.message.empty() ? 0 : 1) << c.text;
  }
}

// Runs parse_options on a copy of `args` (the program name is added); returns its result.
int parse(std::vector<std::string> args, std::string* out = nullptr) {
  args.insert(args.begin(), "quillmap");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  std::vector<char*> before = argv;
  argv.push_back(nullptr);
  CaptureStdout();
  CaptureStderr();
  int result = parse_options(static_cast<int>(before.size()), argv.data());
  std::string printed = GetCapturedStdout();
  GetCapturedStderr();
  if (out != nullptr) *out = printed;
  // The vector keeps its order: the process title shows the command line as typed.
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(argv[i], before[i]);
  return result;
}

TEST_F(ConfigTest, OptionsTable) {
  const std::string kHelp =
      "\n"
      "-c | --config-path : path to config file. By default /etc/veldrane/kelvar.conf is used.\n"
      "-D | --no-daemon   : do not go to background\n"
      "-h | --help        : show this help and exit\n";
  struct Case {
    std::vector<std::string> args;
    int result;
    std::string config_path;
    bool no_daemon;
    bool help;
  };
  const std::vector<Case> kCases = {
      {{}, -1, "<unset>", false, false},
      {{"-c", "/a", "-c", "/b"}, -1, "/b", false, false},
      {{"--config-path=/x", "-D"}, -1, "/x", true, false},
      {{"extra", "--no-daemon", "more", "-c/y"}, -1, "/y", true, false},
      {{"-h"}, 0, "<unset>", false, true},
      {{"--help"}, 0, "<unset>", false, true},
      {{"-x"}, 1, "<unset>", false, true},
      {{"-c"}, 1, "<unset>", false, true},
      {{"--bogus"}, 1, "<unset>", false, true},
  };
  for (const Case& c : kCases) {
    release_settings();
    std::string printed;
    EXPECT_EQ(parse(c.args, &printed), c.result) << ::testing::PrintToString(c.args);
    EXPECT_EQ(or_unset(settings.config_path), c.config_path) << ::testing::PrintToString(c.args);
    EXPECT_EQ(settings.no_daemon, c.no_daemon) << ::testing::PrintToString(c.args);
    EXPECT_EQ(printed, c.help ? kHelp : "") << ::testing::PrintToString(c.args);
  }
}

TEST_F(ConfigTest, DefaultPathsAreDerived) {
  complete_default_path(&settings.log_path, "/var/log", ".log");
  complete_default_path(&settings.socket_path, "/run/", ".sock");
  settings.pid_path = strdup("/kept.pid");
  complete_default_path(&settings.pid_path, "/var/run", ".pid");
  EXPECT_STREQ(settings.log_path, "/var/log/quillmap/quillmap.log");
  EXPECT_STREQ(settings.socket_path, "/run/quillmap/quillmap.sock");
  EXPECT_STREQ(settings.pid_path, "/kept.pid");
}

}  // namespace
}  // namespace quillmap
