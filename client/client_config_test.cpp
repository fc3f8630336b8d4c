#include "client/client_config.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace quillmap {
namespace {

TEST(ClientConfig, LineRules) {
  using KV = std::pair<std::string, std::string>;
  struct Case {
    std::string line;
    std::optional<KV> expected;
  };
  const Case cases[] = {
      {"socket_path=/run/q.sock\n", KV{"socket_path", "/run/q.sock"}},
      {"  \tsocket_path = \"/run/q.sock\"\n", KV{"socket_path", "/run/q.sock"}},
      {"socket_path='/run/q.sock'", KV{"socket_path", "/run/q.sock"}},
      {"user=some body\n", KV{"user", "some"}},
      {"socket_path=/a#b\n", KV{"socket_path", "/a#b"}},
      {"socket_path=/a #b\n", KV{"socket_path", "/a"}},
      {"socket_path=\n", KV{"socket_path", ""}},
      {"socket_path=a=b\n", KV{"socket_path", "a=b"}},
      {"\"socket_path\"=/x\n", KV{"\"socket_path", "/x"}},  // a leading quote stays in the key
      {"'=x\n", KV{"'", "x"}},  // the key's first character is never trimmed
      {"x'=y\n", KV{"x", "y"}},
      {"# socket_path=/x\n", std::nullopt},
      {"   # socket_path=/x\n", std::nullopt},
      {"=value\n", std::nullopt},
      {"  =value\n", std::nullopt},
      {"no equals sign\n", std::nullopt},
      {"\n", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_config_line(c.line), c.expected) << c.line;
  }
}

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillmap-client-config-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove(path_); }
  void write(const std::string& text) { std::ofstream(path_) << text; }
  std::string path_;
};

TEST_F(ConfigFile, FirstSocketPathWins) {
  write("data_path=/d\n# socket_path=/comment\nsocket_path = /first.sock\nsocket_path=/second.sock\n");
  Result<std::string> p = socket_path_from_config(path_);
  ASSERT_TRUE(p) << p.error();
  EXPECT_EQ(p.value(), "/first.sock");
}

TEST_F(ConfigFile, DefaultWithoutSocketPath) {
  write("data_path=/d\nsocket_pathx=/no\n");
  Result<std::string> p = socket_path_from_config(path_);
  ASSERT_TRUE(p) << p.error();
  EXPECT_EQ(p.value(), kDefaultSocketPath);
}

TEST_F(ConfigFile, LongLineIsReadInPieces) {
  // The 512th character starts a line of its own, so the tail of a long comment line counts.
  write("#" + std::string(kConfigLinePiece - 1, 'x') + "socket_path=/tail.sock\n");
  Result<std::string> p = socket_path_from_config(path_);
  ASSERT_TRUE(p) << p.error();
  EXPECT_EQ(p.value(), "/tail.sock");
}

TEST(ClientConfig, MissingFileIsReportedWithThePath) {
  Result<std::string> p = socket_path_from_config("/tmp/quillmap-no-such-config.conf");
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error(), "Could not open config /tmp/quillmap-no-such-config.conf: No such file or directory");
}

}  // namespace
}  // namespace quillmap
