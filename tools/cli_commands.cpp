#include "tools/cli_commands.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <limits>

#include "lpctrie/cidr.h"

namespace quillmap {
namespace {

constexpr SocketCommand kSocketCommands[] = {
    {"get", Action::kGet, ArgShape::kKey, "[--ip] KEY",
     "the value of KEY (--ip: of the longest covering prefix)"},
    {"exists", Action::kGet, ArgShape::kKey, "[--ip] KEY", "is KEY (with --ip: a covering prefix) present"},
    {"add", Action::kAdd, ArgShape::kKeyValue, "[--ip] [--expires WHEN|--ttl TTL] KEY [VALUE]",
     "store KEY unless it is present"},
    {"set", Action::kSet, ArgShape::kKeyValue, "[--ip] [--expires WHEN|--ttl TTL] KEY [VALUE]",
     "store KEY, replacing its value"},
    {"del", Action::kDel, ArgShape::kKey, "[--ip] KEY", "remove KEY"},
    {"info", Action::kInfo, ArgShape::kNone, "", "memory figures of the shared segment"},
    {"hash", Action::kHash, ArgShape::kNone, "", "SHA-1 digest over all keys"},
    {"clear", Action::kClear, ArgShape::kNone, "", "remove every entry"},
    {"load", Action::kLoad, ArgShape::kOptionalPath, "[PATH]", "clear, then read a data file"},
    {"dump", Action::kDump, ArgShape::kOptionalPath, "[PATH]", "write the dictionary to a data file"},
};

const SocketCommand* find_command(std::string_view name) {
  for (const SocketCommand& c : kSocketCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

std::string in_quotes(std::string_view s) { return "'" + std::string(s) + "'"; }

bool takes_key(ArgShape shape) { return shape == ArgShape::kKey || shape == ArgShape::kKeyValue; }

}  // namespace

std::span<const SocketCommand> socket_commands() { return kSocketCommands; }

Result<uint32_t> parse_expires(std::string_view text, std::time_t now) {
  bool relative = !text.empty() && text[0] == '+';
  std::string_view digits = relative ? text.substr(1) : text;
  uint64_t n = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
    return ClientError{"expiry " + in_quotes(text) + " is neither seconds since the epoch nor +SECONDS"};
  }
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  uint64_t base = relative ? static_cast<uint64_t>(std::max<std::time_t>(now, 0)) : 0;
  if (n > kMax || base + n > kMax) {
    return ClientError{"expiry " + in_quotes(text) + " lies beyond the largest time the daemon keeps (" +
                       std::to_string(kMax) + ")"};
  }
  return static_cast<uint32_t>(base + n);
}

Result<uint32_t> parse_ttl(std::string_view text, std::time_t now) {
  uint64_t unit = 1;
  std::string_view digits = text;
  if (!text.empty()) {
    switch (text.back()) {
      case 's': unit = 1; break;
      case 'm': unit = 60; break;
      case 'h': unit = 3600; break;
      case 'd': unit = 86400; break;
      default: unit = 0;
    }
    if (unit != 0) digits.remove_suffix(1);
    else unit = 1;
  }
  uint64_t n = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || n == 0) {
    return ClientError{"time to live " + in_quotes(text) + " is not a positive number of seconds, optionally with s, m, h or d"};
  }
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  const uint64_t base = static_cast<uint64_t>(std::max<std::time_t>(now, 0));
  if (n > kMax || n * unit > kMax || base + n * unit > kMax) {
    return ClientError{"time to live " + in_quotes(text) + " reaches beyond the largest time the daemon keeps (" +
                       std::to_string(kMax) + ")"};
  }
  return static_cast<uint32_t>(base + n * unit);
}

Status prepare_request(Request& r, const std::string& working_dir) {
  if (r.key && r.ktype == KeyType::kAddress) {
    Cidr parsed;
    if (str_to_cidr(r.key->data(), r.key->size(), &parsed) == -1) {
      return ClientError{"the address key " + in_quotes(*r.key) +
                         " does not parse (an IPv4 or IPv6 address, optionally with /PREFIX-LENGTH)"};
    }
  }
  const auto action = static_cast<Action>(r.action);
  if ((action == Action::kLoad || action == Action::kDump) && r.value) {
    std::filesystem::path path = *r.value;
    if (path.is_relative() && !working_dir.empty()) path = std::filesystem::path(working_dir) / path;
    if (path.is_absolute()) r.value = path.lexically_normal().string();
  }
  std::string frame;
  return append_request_frame(r, frame);
}

Result<Request> parse_command(const std::vector<std::string>& words, const CommandDefaults& defaults,
                              std::time_t now) {
  if (words.empty()) return ClientError{"empty command"};
  const SocketCommand* cmd = find_command(words[0]);
  if (!cmd) return ClientError{"unknown command " + in_quotes(words[0])};
  const std::string name = cmd->name;

  std::optional<KeyType> ktype;
  std::optional<uint32_t> expires;
  std::vector<std::string> args;
  bool options_done = false;
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (options_done || w.size() < 2 || w[0] != '-') {
      args.push_back(w);
    } else if (w == "--") {
      options_done = true;
    } else if (w == "--ip" || w == "--string") {
      if (!takes_key(cmd->shape)) return ClientError{w + " does not apply to " + name};
      ktype = w == "--ip" ? KeyType::kAddress : KeyType::kString;
    } else if (w == "--expires" || w.rfind("--expires=", 0) == 0 || w == "--ttl" || w.rfind("--ttl=", 0) == 0) {
      const bool ttl = w.rfind("--ttl", 0) == 0;
      const std::string option = ttl ? "--ttl" : "--expires";
      if (cmd->shape != ArgShape::kKeyValue) return ClientError{option + " does not apply to " + name};
      std::string when;
      if (w == option) {
        if (i + 1 == words.size()) return ClientError{option + " needs a time"};
        when = words[++i];
      } else {
        when = w.substr(option.size() + 1);
      }
      Result<uint32_t> t = ttl ? parse_ttl(when, now) : parse_expires(when, now);
      if (!t) return ClientError{t.error()};
      expires = t.value();
    } else {
      return ClientError{"unknown option " + in_quotes(w) + " for " + name};
    }
  }

  size_t min_args = 0, max_args = 0;
  switch (cmd->shape) {
    case ArgShape::kKey: min_args = max_args = 1; break;
    case ArgShape::kKeyValue: min_args = 1; max_args = 2; break;
    case ArgShape::kNone: break;
    case ArgShape::kOptionalPath: max_args = 1; break;
  }
  const std::string usage = "usage: " + name + (*cmd->usage ? " " : "") + cmd->usage;
  if (args.size() < min_args) return ClientError{name + ": missing argument; " + usage};
  if (args.size() > max_args) return ClientError{name + ": unexpected argument " + in_quotes(args[max_args]) + "; " + usage};

  Request r;
  r.action = static_cast<int>(cmd->action);
  if (takes_key(cmd->shape)) {
    r.key = args[0];
    r.ktype = ktype.value_or(defaults.ktype);
  }
  if (cmd->shape == ArgShape::kKeyValue) {
    if (args.size() > 1) r.value = args[1];
    if (expires) r.expires = expires;
    else if (defaults.expires) r.expires = defaults.expires;
  }
  if (cmd->shape == ArgShape::kOptionalPath && !args.empty()) r.value = args[0];
  // Refused here rather than at sending time, so that the error can name the command or line.
  if (Status st = prepare_request(r, defaults.working_dir); !st) return ClientError{name + ": " + st.error()};
  return r;
}

Result<std::vector<Request>> parse_batch(const std::vector<std::string>& words, const CommandDefaults& defaults,
                                         std::time_t now) {
  std::vector<Request> batch;
  std::vector<std::string> command;
  size_t number = 0;
  const bool several = std::count(words.begin(), words.end(), ";") > 0;
  auto flush = [&]() -> Status {
    if (command.empty()) return ok_status();
    ++number;
    Result<Request> r = parse_command(command, defaults, now);
    command.clear();
    if (!r) return ClientError{several ? "command " + std::to_string(number) + ": " + r.error() : r.error()};
    batch.push_back(std::move(r).value());
    return ok_status();
  };
  for (const std::string& w : words) {
    if (w == ";") {
      if (Status st = flush(); !st) return ClientError{st.error()};
    } else {
      command.push_back(w);
    }
  }
  if (Status st = flush(); !st) return ClientError{st.error()};
  return batch;
}

Result<std::vector<std::vector<std::string>>> split_line(std::string_view line) {
  std::vector<std::vector<std::string>> commands(1);
  std::string word;
  bool in_word = false;
  auto end_word = [&] {
    if (in_word) commands.back().push_back(std::move(word));
    word.clear();
    in_word = false;
  };
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      end_word();
    } else if (c == ';') {
      end_word();
      commands.emplace_back();
    } else if (c == '\'') {
      size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) return ClientError{"unterminated ' quote"};
      word.append(line.substr(i + 1, close - i - 1));
      in_word = true;
      i = close;
    } else if (c == '"') {
      in_word = true;
      for (++i;; ++i) {
        if (i == line.size()) return ClientError{"unterminated \" quote"};
        if (line[i] == '"') break;
        if (line[i] == '\\') {
          if (++i == line.size()) return ClientError{"unterminated \" quote"};
        }
        word.push_back(line[i]);
      }
    } else if (c == '\\') {
      if (++i == line.size()) return ClientError{"\\ at the end of the line"};
      word.push_back(line[i]);
      in_word = true;
    } else {
      word.push_back(c);
      in_word = true;
    }
  }
  end_word();
  std::erase_if(commands, [](const std::vector<std::string>& c) { return c.empty(); });
  return commands;
}

Result<std::vector<Request>> parse_lines(std::string_view text, const CommandDefaults& defaults, std::time_t now) {
  std::vector<Request> batch;
  size_t line_no = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++line_no;
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] == '#') continue;
    auto commands = split_line(line);
    if (!commands) return ClientError{"line " + std::to_string(line_no) + ": " + commands.error()};
    for (const std::vector<std::string>& words : commands.value()) {
      Result<Request> r = parse_command(words, defaults, now);
      if (!r) return ClientError{"line " + std::to_string(line_no) + ": " + r.error()};
      batch.push_back(std::move(r).value());
    }
  }
  return batch;
}

}  // namespace quillmap
