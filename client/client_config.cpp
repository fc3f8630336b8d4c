#include "client/client_config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace quillmap {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Characters that end a value and are trimmed around keys and values.
bool is_trim(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '"' || c == '\''; }

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::optional<std::pair<std::string, std::string>> parse_config_line(std::string_view line) {
  size_t start = 0;
  while (start < line.size() && is_blank(line[start])) ++start;
  line.remove_prefix(start);
  if (line.empty() || line[0] == '#') return std::nullopt;
  size_t eq = line.find('=');
  if (eq == std::string_view::npos || eq == 0) return std::nullopt;

  // The key's first character stays whatever it is.
  size_t key_end = eq;
  while (key_end > 1 && is_trim(line[key_end - 1])) --key_end;
  std::string key(line.substr(0, key_end));

  size_t v = eq + 1;
  while (v < line.size() && is_trim(line[v])) ++v;
  size_t v_end = v;
  while (v_end < line.size() && !is_trim(line[v_end])) ++v_end;
  return std::make_pair(std::move(key), std::string(line.substr(v, v_end - v)));
}

Result<std::string> socket_path_from_config(const std::string& config_path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(config_path.c_str(), "r"));
  if (!file) return ClientError{"Could not open config " + config_path + ": " + std::strerror(errno)};
  char piece[kConfigLinePiece + 1];
  while (std::fgets(piece, sizeof piece, file.get())) {
    auto kv = parse_config_line(std::string_view(piece, std::strlen(piece)));
    if (kv && kv->first == "socket_path") return std::move(kv->second);
  }
  return std::string(kDefaultSocketPath);
}

}  // namespace quillmap
