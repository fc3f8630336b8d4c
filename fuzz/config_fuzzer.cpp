// The configuration file's line rules (util/config_lines.h) and their two readers: the daemon's
// (read_config, take_config_value into `settings`) and the client's (socket_path_from_config). The
// input is the file's content. Checked: the file is read in the stated pieces, each (key, value)
// obeys the trim rules, both readers take the first "socket_path", the daemon's string settings hold
// their first values; `settings` is released after every run (the leak check sees the rest).

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "client/client_config.h"
#include "daemon/config.h"
#include "util/config_lines.h"
#include "util/settings.h"

namespace {

using quillmap::kConfigLinePiece;

void check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "config check failed: %s\n", what);
    abort();
  }
}

bool is_trim(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '"' || c == '\''; }

// The file the readers open: a memory file rewritten for every input.
const std::string& input_path(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("config", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  check(fd >= 0 && ftruncate(fd, 0) == 0, "memfd");
  check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "write");
  return path;
}

// The pieces the file is read in: up to a newline (kept) or kConfigLinePiece bytes, each ending at
// its first NUL byte.
std::vector<std::string> pieces_of(const std::string& text) {
  std::vector<std::string> out;
  for (size_t pos = 0; pos < text.size();) {
    size_t len = std::min(kConfigLinePiece, text.size() - pos);
    const size_t nl = text.find('\n', pos);
    if (nl != std::string::npos && nl - pos < len) len = nl - pos + 1;
    std::string piece = text.substr(pos, len);
    out.push_back(piece.substr(0, piece.find('\0')));
    pos += len;
  }
  return out;
}

void check_pair(const std::string& piece, const std::string& key, const std::string& value) {
  check(!key.empty() && key.find('=') == std::string::npos, "key is the text before the first =");
  check(key[0] != ' ' && key[0] != '\t' && key[0] != '#', "key starts after the blanks");
  check(key.size() == 1 || !is_trim(key.back()), "key ends before its trim characters");
  for (char c : value) check(!is_trim(c), "value ends before a trim character");
  check(piece.find(key) != std::string::npos && piece.find(value, piece.find('=')) != std::string::npos,
        "key and value come from the line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = input_path(data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<std::pair<std::string, std::string>> expected;
  for (const std::string& piece : pieces_of(text)) {
    if (auto kv = quillmap::parse_config_line(piece)) {
      check_pair(piece, kv->first, kv->second);
      expected.push_back(std::move(*kv));
    }
  }
  std::vector<std::pair<std::string, std::string>> read;
  check(quillmap::read_config_lines(path.c_str(), [&](const std::string& k, const std::string& v) {
          read.emplace_back(k, v);
        }) == quillmap::ConfigReadResult::kDone,
        "read_config_lines");
  check(read == expected, "the file is read in pieces of a line or 511 bytes");

  std::map<std::string, std::string> first;
  for (const auto& [k, v] : expected) first.emplace(k, v);
  auto first_of = [&](const char* key) -> const std::string* {
    auto it = first.find(key);
    return it == first.end() ? nullptr : &it->second;
  };

  quillmap::Result<std::string> socket = quillmap::socket_path_from_config(path);
  check(socket.ok(), "socket_path_from_config");
  const std::string* want_socket = first_of("socket_path");
  check(socket.value() == (want_socket ? *want_socket : quillmap::kDefaultSocketPath), "client's socket_path");

  using quillmap::settings;
  check(quillmap::read_config(path.c_str()) == 0, "read_config");
  const std::pair<const char*, char*> strings[] = {{"socket_path", settings.socket_path},
                                                   {"data_path", settings.data_path},
                                                   {"log_path", settings.log_path},
                                                   {"pid_path", settings.pid_path},
                                                   {"user", settings.user}};
  for (const auto& [name, field] : strings) {
    const std::string* want = first_of(name);
    check(want == nullptr ? field == nullptr : field != nullptr && *want == field, name);
  }
  check(settings.log_level <= 5, "log_level");
  quillmap::complete_default_path(&settings.log_path, "/var/log", ".log");
  quillmap::complete_default_path(&settings.pid_path, "/run/", ".pid");
  quillmap::release_settings();
  return 0;
}
