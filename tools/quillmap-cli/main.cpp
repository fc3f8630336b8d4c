// quillmap-cli: sends one batch of requests to the daemon's socket and prints the answer, or runs one
// command that reads the shared segment.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "client/client_config.h"
#include "client/dict_client.h"
#include "tools/cli_commands.h"
#include "tools/cli_local_commands.h"
#include "tools/cli_output.h"

namespace quillmap {
namespace {

constexpr const char* kProgram = "quillmap-cli";

void print_help() {
  std::string text;
  text += "Usage: quillmap-cli [OPTIONS] COMMAND [ARGS] [';' COMMAND [ARGS]]...\n";
  text += "       quillmap-cli [OPTIONS] -          (commands from standard input)\n\n";
  text += "All commands of one call go to the daemon as one batch over one connection; the daemon\n"
          "runs them in order and answers once. \"N affected entries\" counts the requests that\n"
          "changed or found something: exists of a present key, add of a new key, set, del of a\n"
          "present key, clear, load, dump. The answer never carries values: get, peek, match\n"
          "and entries read them from the shared segment.\n\n";
  text += "Options (before the first command):\n"
          "  -s, --socket PATH     the daemon's socket\n"
          "  -c, --config PATH     use the socket_path of this configuration file\n"
          "                        (default: that of " + std::string(kDefaultConfigPath) + " when it\n"
          "                        can be read, else " + std::string(kDefaultSocketPath) + ")\n"
          "  -d, --data-path PATH  the daemon's data_path, which names its shared segment, for the\n"
          "                        commands that read it (default: that of the configuration\n"
          "                        file, unless -s names another daemon's socket)\n"
          "      --json            print the answer as one JSON object\n"
          "      --ip              every key is an address key (IPv4/IPv6 address or prefix)\n"
          "      --expires WHEN    expiry of every add and set\n"
          "      --ttl TTL         time to live of every add and set: 30s, 5m, 2h, 1d or seconds\n"
          "      --timeout SECONDS give up when connecting, sending or the answer takes longer\n"
          "                        (default: wait as long as it takes)\n"
          "  -, --stdin            read the commands from standard input\n"
          "  -h, --help            show this help\n"
          "      --version         print the version\n\n";
  text += "Commands:\n";
  auto add_command = [&text](const std::string& name, const std::string& usage, const char* summary) {
    std::string head = "  " + name + (usage.empty() ? "" : " " + usage);
    text += head + (head.size() < 46 ? std::string(46 - head.size(), ' ') : std::string("\n") + std::string(46, ' ')) +
            summary + "\n";
  };
  for (const SocketCommand& c : socket_commands()) add_command(c.name, c.usage, c.summary);
  for (const LocalCommand& c : local_commands()) add_command(c.name, c.usage, c.summary);
  text += "\n  --ip, --string, --expires and --ttl may also follow a command word and then apply to\n"
          "  it alone; \"--\" ends a command's options, so a key or value may begin with \"-\".\n"
          "  WHEN is seconds since the epoch (0: never expires) or +SECONDS from now.\n"
          "  Address keys are checked before sending, as the daemon parses them.\n"
          "  get standing alone prints the value, read from the shared segment (named by -d or by\n"
          "  the data_path of the configuration file); when the segment cannot be read it prints\n"
          "  the daemon's answer, as exists does, with a note. In a batch get counts as exists.\n"
          "  info adds entry counts (string keys, IPv4 and IPv6 prefixes) when the segment can be\n"
          "  read.\n"
          "  The PATH of load and dump is made absolute against the current directory and opened\n"
          "  by the daemon, which takes it only in its data file's folder or under dump_dir, and\n"
          "  only from root or its own account; without PATH it uses its data file.\n";
  if (!local_commands().empty()) {
    text += "  peek, match, entries and stats stand alone, outside any batch; they read the\n"
            "  segment directly.\n";
  }
  text += "\nBatches:\n"
          "  On the command line commands are separated by a ';' word (quote it for the shell):\n"
          "      quillmap-cli add k1 v1 ';' add --ip 10.0.0.0/8 net ';' info\n"
          "  On standard input each line holds one or more commands separated by ';'; words are\n"
          "  split as a shell would (blanks, '...', \"...\", \\), empty lines and lines starting\n"
          "  with # are skipped. Every line is checked before anything is sent.\n"
          "      printf 'set a 1\\nset b 2\\nhash\\n' | quillmap-cli -\n\n";
  text += "Exit status:\n"
          "  0  the daemon answered with success\n"
          "  1  it answered without success (no request had an outcome; the likely reasons are\n"
          "     printed), or it stopped reading the batch before its end; get, peek, match:\n"
          "     not found\n"
          "  2  the command line or the input is wrong, nothing was sent; or a read of the\n"
          "     segment failed\n"
          "  3  the daemon is not running: it could not be reached, its answer could not be\n"
          "     read, or (commands that read the segment) there is no segment\n";
  std::fputs(text.c_str(), stdout);
}

#ifndef QUILLMAP_VERSION
#error "the build defines QUILLMAP_VERSION, the project's version"
#endif

int fail(int status, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
  return status;
}

struct GlobalOptions {
  CliContext context;
  std::optional<std::string> socket_path;
  CommandDefaults defaults;
  bool from_stdin = false;
  std::optional<std::string> expires_text;
  bool expires_is_ttl = false;
  std::vector<std::string> words;  // the command words that follow the options
};

// Parses the options in front of the first command word. Returns an error text, or nothing.
std::optional<std::string> parse_global_options(int argc, char** argv, GlobalOptions& g, bool& help,
                                               bool& version) {
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    std::string name = arg, inline_value;
    bool has_inline = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      name = arg.substr(0, arg.find('='));
      inline_value = arg.substr(arg.find('=') + 1);
      has_inline = true;
    }
    auto value = [&](std::string& out) -> bool {
      if (has_inline) {
        out = inline_value;
        return true;
      }
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (name == "-h" || name == "--help") {
      help = true;
      return std::nullopt;
    } else if (name == "--version") {
      version = true;
      return std::nullopt;
    } else if (name == "-s" || name == "--socket") {
      std::string v;
      if (!value(v)) return arg + " needs a path";
      g.socket_path = v;
      g.context.socket_given = true;
    } else if (name == "-c" || name == "--config") {
      std::string v;
      if (!value(v)) return arg + " needs a path";
      g.context.config_path = v;
    } else if (name == "-d" || name == "--data-path") {
      std::string v;
      if (!value(v)) return arg + " needs a path";
      g.context.data_path = v;
    } else if (name == "--json") {
      g.context.json = true;
    } else if (name == "--ip") {
      g.defaults.ktype = KeyType::kAddress;
    } else if (name == "--expires" || name == "--ttl") {
      std::string v;
      if (!value(v)) return arg + " needs a time";
      g.expires_text = v;
      g.expires_is_ttl = name == "--ttl";
    } else if (name == "--timeout") {
      std::string v;
      if (!value(v)) return arg + " needs a number of seconds";
      char* end = nullptr;
      errno = 0;
      double seconds = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || errno != 0 || !(seconds > 0) || seconds > 86400.0 * 365) {
        return "--timeout needs a positive number of seconds, not '" + v + "'";
      }
      g.context.timeout_ms = std::max(1, static_cast<int>(seconds * 1000));
    } else if (name == "-" || name == "--stdin") {
      g.from_stdin = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option '" + arg + "' (see --help)";
    } else {
      break;
    }
  }
  if (g.socket_path && g.context.config_path) return std::string("give either -s or -c, not both");
  g.words.assign(argv + i, argv + argc);
  return std::nullopt;
}

// The socket path from -s, -c or the default configuration.
Result<std::string> resolve_socket_path(const GlobalOptions& g) {
  if (g.socket_path) return *g.socket_path;
  if (g.context.config_path) return socket_path_from_config(*g.context.config_path);
  Result<std::string> from_default = socket_path_from_config(kDefaultConfigPath);
  return from_default ? from_default : Result<std::string>(std::string(kDefaultSocketPath));
}

const LocalCommand* find_local_command(const std::string& name) {
  for (const LocalCommand& c : local_commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

// The requests of this call, from the arguments or from standard input; never an empty batch.
Result<std::vector<Request>> read_batch(const GlobalOptions& g, std::time_t now) {
  if (!g.from_stdin) {
    Result<std::vector<Request>> batch = parse_batch(g.words, g.defaults, now);
    if (batch && batch.value().empty()) return ClientError{"no command given (see --help)"};
    return batch;
  }
  std::string input;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, stdin)) > 0;) input.append(buf, n);
  if (std::ferror(stdin)) return ClientError{std::string("cannot read standard input: ") + std::strerror(errno)};
  Result<std::vector<Request>> batch = parse_lines(input, g.defaults, now);
  if (batch && batch.value().empty()) return ClientError{"no command on standard input"};
  return batch;
}

int run(int argc, char** argv) {
  GlobalOptions g;
  bool help = false, version = false;
  if (auto error = parse_global_options(argc, argv, g, help, version)) return fail(kExitUsage, *error);
  if (help) {
    print_help();
    return kExitSuccess;
  }
  if (version) {
    std::printf("%s %s\n", kProgram, QUILLMAP_VERSION);
    return kExitSuccess;
  }
  const std::time_t now = std::time(nullptr);
  std::error_code cwd_error;
  g.defaults.working_dir = std::filesystem::current_path(cwd_error).string();
  if (g.expires_text) {
    Result<uint32_t> t = g.expires_is_ttl ? parse_ttl(*g.expires_text, now) : parse_expires(*g.expires_text, now);
    if (!t) return fail(kExitUsage, t.error());
    g.defaults.expires = t.value();
  }
  if (g.from_stdin == !g.words.empty()) {
    return fail(kExitUsage, g.from_stdin ? "commands come either from the arguments or from standard input"
                                         : "no command given (see --help)");
  }
  Result<std::string> socket_path = resolve_socket_path(g);
  if (!socket_path) return fail(kExitUsage, socket_path.error());
  g.context.socket_path = socket_path.value();

  if (!g.words.empty()) {
    if (const LocalCommand* local = find_local_command(g.words[0])) {
      return local->run(g.context, std::vector<std::string>(g.words.begin() + 1, g.words.end()));
    }
  }

  Result<std::vector<Request>> batch = read_batch(g, now);
  if (!batch) return fail(kExitUsage, batch.error());
  const bool lone_get = !g.from_stdin && !g.words.empty() && g.words[0] == "get" && batch.value().size() == 1 &&
                        std::count(g.words.begin(), g.words.end(), ";") == 0;
  if (lone_get) return run_get(g.context, batch.value()[0]);
  return run_batch(g.context, batch.value());
}

}  // namespace
}  // namespace quillmap

int main(int argc, char** argv) { return quillmap::run(argc, argv); }
