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
  FILE* fp = fopen(path, "r");
  if (fp == nullptr) return ConfigReadResult::kOpenFailed;
  char piece[kConfigLinePiece + 1];
  while (fgets(piece, sizeof piece, fp) != nullptr) {
    if (auto kv = parse_config_line(std::string_view(piece, strlen(piece)))) take(kv->first, kv->second);
  }
  return fclose(fp) == 0 ? ConfigReadResult::kDone : ConfigReadResult::kCloseFailed;
}

}  // namespace quillmap
