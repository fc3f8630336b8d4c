#include "sync/agent_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "util/config_lines.h"

namespace quillmap::sync {
namespace {

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One journal record: op, kind ('s' or 'a'), the key text with backslash and newline escaped.
std::string record(char op, const LocalKey& key) {
  std::string out{op, key.is_address ? 'a' : 's'};
  for (char c : key.text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  out += '\n';
  return out;
}

std::optional<std::pair<char, LocalKey>> parse_record(const std::string& line) {
  if (line.size() < 2 || (line[0] != '+' && line[0] != '-') || (line[1] != 's' && line[1] != 'a')) {
    return std::nullopt;
  }
  LocalKey key{"", line[1] == 'a'};
  for (size_t i = 2; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      key.text += line[i + 1] == 'n' ? '\n' : line[i + 1];
      ++i;
    } else {
      key.text += line[i];
    }
  }
  return std::make_pair(line[0], std::move(key));
}

}  // namespace

std::optional<AgentState> load_state(const std::string& path) {
  AgentState state;
  bool has_revision = false;
  if (read_config_lines(path.c_str(), [&](const std::string& k, const std::string& v) {
        if (k == "revision") {
          state.revision = std::atoll(v.c_str());
          has_revision = true;
        } else if (k == "daemon") {
          state.daemon = v;
        }
      }) != ConfigReadResult::kDone ||
      !has_revision) {
    return std::nullopt;
  }
  // The identity holds blanks, which end a configuration value: it is stored with '_' for ' '.
  for (char& c : state.daemon) c = c == '_' ? ' ' : c;
  return state;
}

bool save_state(const std::string& path, const AgentState& state) {
  std::string daemon = state.daemon;
  for (char& c : daemon) c = c == ' ' ? '_' : c;
  return replace_file(path, "revision=" + std::to_string(state.revision) + "\ndaemon=" + daemon + "\n");
}

bool replace_file(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd || !write_all(fd.get(), text) || fd.reset() != 0) return false;
  return ::rename(temp.c_str(), path.c_str()) == 0;
}

bool KeyJournal::open(const std::string& path, std::string* error) {
  path_ = path;
  keys_.clear();
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    auto r = parse_record(line);
    if (!r) continue;  // a record cut short by a crash
    if (r->first == '+') keys_.insert(std::move(r->second));
    else keys_.erase(r->second);
  }
  fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (!fd_) {
    *error = "Could not open " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool KeyJournal::append(char op, const std::vector<LocalKey>& keys) {
  std::string text;
  for (const LocalKey& k : keys) text += record(op, k);
  return text.empty() || write_all(fd_.get(), text);
}

bool KeyJournal::add(const std::vector<LocalKey>& keys) {
  std::vector<LocalKey> fresh;
  for (const LocalKey& k : keys) {
    if (!keys_.contains(k)) fresh.push_back(k);
  }
  if (!append('+', fresh)) return false;
  keys_.insert(fresh.begin(), fresh.end());
  return true;
}

bool KeyJournal::remove(const std::vector<LocalKey>& keys) {
  std::vector<LocalKey> held;
  for (const LocalKey& k : keys) {
    if (keys_.contains(k)) held.push_back(k);
  }
  if (!append('-', held)) return false;
  for (const LocalKey& k : held) keys_.erase(k);
  return true;
}

bool KeyJournal::rewrite(std::set<LocalKey> keys) {
  std::string text;
  for (const LocalKey& k : keys) text += record('+', k);
  if (!replace_file(path_, text)) return false;
  keys_ = std::move(keys);
  fd_.reset(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  return static_cast<bool>(fd_);
}

}  // namespace quillmap::sync
