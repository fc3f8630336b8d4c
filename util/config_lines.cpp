#include "util/config_lines.h"

#include <cstdio>
#include <cstring>

namespace quillmap {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Characters that end a value and are trimmed around keys and values.
bool is_trim(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '"' || c == '\''; }

}  // namespace

std::optional<std::pair<std::string, std::string>> parse_config_line(std::string_view line) {
  size_t start = 0;
  while (start < line.size() && is_blank(line[start])) ++start;
  line.remove_prefix(start);
  if (line.empty() || line[0] == '#') return std::nullopt;
  size_t eq = line.find('=');
  if (eq == std::string_view::npos || eq == 0) return std::nullopt;

  size_t key_end = eq;
  while (key_end > 1 && is_trim(line[key_end - 1])) --key_end;
  std::string key(line.substr(0, key_end));

  size_t v = eq + 1;
  while (v < line.size() && is_trim(line[v])) ++v;
  size_t v_end = v;
  while (v_end < line.size() && !is_trim(line[v_end])) ++v_end;
  return std::make_pair(std::move(key), std::string(line.substr(v, v_end - v)));
}

ConfigReadResult read_config_lines(const char* path,
                                   const std::function<void(const std::string& key, const std::string& value)>& take) {
  return read_numbered_config_lines(
      path, [&](const std::string& key, const std::string& value, unsigned) { take(key, value); });
}

ConfigReadResult read_numbered_config_lines(
    const char* path,
    const std::function<void(const std::string& key, const std::string& value, unsigned line)>& take) {
  FILE* fp = fopen(path, "r");
  if (fp == nullptr) return ConfigReadResult::kOpenFailed;
  char piece[kConfigLinePiece + 1];
  unsigned line = 1;
  while (fgets(piece, sizeof piece, fp) != nullptr) {
    const size_t length = strlen(piece);
    if (auto kv = parse_config_line(std::string_view(piece, length))) take(kv->first, kv->second, line);
    // The piece that ends a line holds its newline last. (A NUL byte hides the rest of its piece from
    // the count as it does from the parser.)
    if (length > 0 && piece[length - 1] == '\n') ++line;
  }
  return fclose(fp) == 0 ? ConfigReadResult::kDone : ConfigReadResult::kCloseFailed;
}

}  // namespace quillmap
