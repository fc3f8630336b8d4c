#include "client/client_config.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace quillmap {
namespace {

TEST(ClientConfig, LineRules) {
  using KV = std::pair<std::string, std::string>;
  const std::pair<std::string, std::optional<KV>> cases[] = {
      {"  \tsocket_path = \"/run/q.sock\"\n", KV{"socket_path", "/run/q.sock"}},
      {"socket_path='/run/q.sock'", KV{"socket_path", "/run/q.sock"}}, {"user=some body\n", KV{"user", "some"}},
      {"socket_path=/a#b\n", KV{"socket_path", "/a#b"}}, {"socket_path=/a #b\n", KV{"socket_path", "/a"}},
      {"socket_path=\n", KV{"socket_path", ""}}, {"socket_path=a=b\n", KV{"socket_path", "a=b"}},
      {"\"socket_path\"=/x\n", KV{"\"socket_path", "/x"}},  // a leading quote stays in the key
      {"'=x\n", KV{"'", "x"}}, {"x'=y\n", KV{"x", "y"}},  // the key's first character is never trimmed
      {"   # socket_path=/x\n", std::nullopt}, {"  =value\n", std::nullopt}, {"no equals sign\n", std::nullopt},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(parse_config_line(line), expected) << line;
}

TEST(ClientConfig, SocketPathFromFile) {
  const std::string path = std::filesystem::temp_directory_path() / ("quillmap-client-config-" + std::to_string(getpid()));
  const std::pair<std::string, std::string> cases[] = {
      {"data_path=/d\n# socket_path=/comment\nsocket_path = /first.sock\nsocket_path=/second.sock\n", "/first.sock"},
      {"data_path=/d\nsocket_pathx=/no\n", kDefaultSocketPath},
      // The 512th character starts a line of its own, so the tail of a long comment line counts.
      {"#" + std::string(kConfigLinePiece - 1, 'x') + "socket_path=/tail.sock\n", "/tail.sock"},
  };
  auto read = [&] { Result<std::string> p = socket_path_from_config(path); return p ? p.value() : p.error(); };
  for (const auto& [text, expected] : cases) {
    std::ofstream(path) << text;
    EXPECT_EQ(read(), expected);
  }
  std::filesystem::remove(path);
  EXPECT_EQ(read(), "Could not open config " + path + ": No such file or directory");
}

}  // namespace
}  // namespace quillmap
