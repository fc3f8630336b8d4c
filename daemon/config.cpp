#include "daemon/config.h"

#include <getopt.h>
#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/store_init.h"
#include "util/config_lines.h"
#include "util/log.h"
#include "util/settings.h"
#include "util/strings.h"

#ifndef QUILLMAP_VERSION
#error "the build defines QUILLMAP_VERSION, the project's version"
#endif

namespace quillmap {
namespace {

// Whether settings.config_path holds a heap copy of an option argument (the default text is static).
bool config_path_owned = false;

void set_config_path(const char* path) {
  if (config_path_owned) free(const_cast<char*>(settings.config_path));
  settings.config_path = strdup(path);
  config_path_owned = settings.config_path != nullptr;
}

// Word of "log_level" to its level; 0 for a word that is not one of the five.
unsigned log_level_of(const std::string& word) {
  static const char* const kWords[] = {"CRIT", "ERROR", "WARN", "INFO", "DEBUG"};
  for (unsigned i = 0; i < 5; ++i) {
    if (word == kWords[i]) return i + 1;
  }
  return 0;
}

std::vector<std::string> warnings;

// What the warnings know of each key's value. Every key take_config_value takes is listed here;
// any other is reported as unknown. (The manual's keys are checked against this list by a test, and
// the keys of take_config_value against the manual by another.)
enum class ValueKind { kText, kLevel, kNumber };
struct KnownKey {
  const char* name;
  ValueKind kind;
};
constexpr KnownKey kKnownKeys[] = {
    {"log_path", ValueKind::kText},         {"pid_path", ValueKind::kText},
    {"data_size", ValueKind::kNumber},      {"data_path", ValueKind::kText},
    {"socket_path", ValueKind::kText},      {"user", ValueKind::kText},
    {"log_level", ValueKind::kLevel},       {"expired_check_interval", ValueKind::kNumber},
    {"no_save_restore", ValueKind::kNumber}, {"enable_clean", ValueKind::kNumber},
    {"client_timeout", ValueKind::kNumber}, {"max_clients", ValueKind::kNumber},
    {"save_interval", ValueKind::kNumber},  {"dump_dir", ValueKind::kText},
    {"index", ValueKind::kNumber},          {"huge_pages", ValueKind::kNumber},
    {"reader_group", ValueKind::kText},
};

bool is_decimal_number(const std::string& text) {
  size_t i = text.starts_with('+') || text.starts_with('-') ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

std::string upper_case(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Adds the warning for one (key, value) of line `line` of `path`, if it deserves one.
void check_config_value(const std::string& key, const std::string& value, unsigned line, const char* path) {
  const std::string where = "Line " + std::to_string(line) + " of " + path + ": ";
  const KnownKey* known = nullptr;
  for (const KnownKey& k : kKnownKeys) {
    if (key == k.name) known = &k;
  }
  if (known == nullptr) {
    warnings.push_back(where + "unknown key " + key + ", ignored");
  } else if (known->kind == ValueKind::kLevel && log_level_of(value) == 0) {
    const std::string upper = upper_case(value);
    warnings.push_back(where + key + "=" + value +
                       (log_level_of(upper) != 0 ? " is not a level name; they are upper case (" + upper + ")"
                                                 : " is not one of CRIT, ERROR, WARN, INFO, DEBUG") +
                       ", ignored");
  } else if (known->kind == ValueKind::kNumber && !is_decimal_number(value)) {
    warnings.push_back(where + key + "=" + value + " is not a decimal number, read as " +
                       std::to_string(strtoll(value.c_str(), nullptr, 10)));
  }
}

// The string keys keep their first occurrence: a key that is already set matches nothing.
bool take_string(char** field, const std::string& key, const char* name, const std::string& value) {
  if (*field != nullptr || key != name) return false;
  *field = strdup(value.c_str());
  return true;
}

}  // namespace

void print_help(FILE* out) {
  fputs("\n"
        "-c | --config-path : path to config file. By default /etc/veldrane/kelvar.conf is used.\n"
        "-D | --no-daemon   : do not go to background\n"
        "-h | --help        : show this help and exit\n",
        out);
}

int parse_options(int argc, char** argv) {
  constexpr int kVersionOption = 0x100;  // long only: no short option letter
  static const struct option kLongOptions[] = {
      {"config-path", required_argument, nullptr, 'c'},
      {"no-daemon", no_argument, nullptr, 'D'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersionOption},
      {nullptr, 0, nullptr, 0},
  };
  // getopt_long reorders the vector it is given; work on a copy so that the process title shows the
  // command line in the order it was typed.
  std::vector<char*> args(argv, argv + argc);
  args.push_back(nullptr);
  optind = 0;  // full re-initialisation, so that a second parse starts afresh
  int c;
  while ((c = getopt_long(argc, args.data(), "c:Dh", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 'c':
        set_config_path(optarg);
        break;
      case 'D':
        settings.no_daemon = true;
        break;
      case 'h':
        print_help(stdout);
        return 0;
      case kVersionOption:
        printf("%s %s\n", kProgramName, QUILLMAP_VERSION);
        return 0;
      default:
        print_help(stdout);
        return 1;
    }
  }
  return -1;
}

void take_config_value(const std::string& key, const std::string& value) {
  if (take_string(&settings.log_path, key, "log_path", value)) return;
  if (take_string(&settings.pid_path, key, "pid_path", value)) return;
  if (key == "data_size") {
    settings.data_size = static_cast<int32_t>(strtol(value.c_str(), nullptr, 10));
    return;
  }
  if (take_string(&settings.data_path, key, "data_path", value)) return;
  if (take_string(&settings.socket_path, key, "socket_path", value)) return;
  if (take_string(&settings.user, key, "user", value)) return;
  if (key == "log_level") {
    if (unsigned level = log_level_of(value); level != 0) settings.log_level = level;
    return;
  }
  if (key == "expired_check_interval") {
    settings.expired_check_interval = static_cast<int32_t>(strtol(value.c_str(), nullptr, 10));
    return;
  }
  if (key == "no_save_restore") {
    settings.no_save_restore = static_cast<uint8_t>(strtol(value.c_str(), nullptr, 10));
    return;
  }
  if (key == "enable_clean") {
    settings.enable_clean = static_cast<uint8_t>(strtol(value.c_str(), nullptr, 10));
    return;
  }
  if (key == "client_timeout") {
    settings.client_timeout = strtoll(value.c_str(), nullptr, 10);
    return;
  }
  if (key == "max_clients") {
    settings.max_clients = strtoll(value.c_str(), nullptr, 10);
    return;
  }
  if (key == "save_interval") {
    settings.save_interval = strtoll(value.c_str(), nullptr, 10);
    return;
  }
  if (take_string(&settings.dump_dir, key, "dump_dir", value)) return;
  if (key == "index") {
    settings.index = static_cast<uint8_t>(strtol(value.c_str(), nullptr, 10));  // nonzero: on
    return;
  }
  if (key == "huge_pages") {
    settings.huge_pages = static_cast<uint8_t>(strtol(value.c_str(), nullptr, 10));
    return;
  }
  if (take_string(&settings.reader_group, key, "reader_group", value)) return;
}

int read_config(const char* path) {
  warnings.clear();
  auto take = [path](const std::string& key, const std::string& value, unsigned line) {
    check_config_value(key, value, line, path);
    take_config_value(key, value);
  };
  switch (read_numbered_config_lines(path, take)) {
    case ConfigReadResult::kOpenFailed:
      fprintf(stderr, "Could not open config %s: %s\n", path, strerror(errno));
      return 1;
    case ConfigReadResult::kCloseFailed:
      fprintf(stderr, "Could not close config %s: %s\n", path, strerror(errno));
      return 1;
    case ConfigReadResult::kDone:
      break;
  }
  return 0;
}

const std::vector<std::string>& config_warnings() { return warnings; }

void report_config_warnings() {
  for (const std::string& text : warnings) {
    log_msg(kLogWarn, "%s", text.c_str());
    if (settings.no_daemon && settings.log_level >= kLogWarn) fprintf(stderr, "[WARN]: %s\n", text.c_str());
  }
}

int finish_config() {
  if (settings.data_path == nullptr) {
    fputs("Data path is required. Exit.\n", stderr);
    return 1;
  }
  if (settings.data_size == 0) settings.data_size = kDefaultDataSize;
  if (settings.log_level == 0) settings.log_level = kDefaultLogLevel;
  if (settings.expired_check_interval == 0) {
    settings.expired_check_interval = kDefaultExpiredCheckInterval;
  }
  // A segment too small for the store's own bookkeeping (or a negative size) could never be laid
  // out; refuse it before any file or segment exists.
  const long long min_size = store_min_data_size();
  if (settings.data_size < min_size) {
    fprintf(stderr, "Invalid data_size %d: the store needs at least %lld bytes. Exit\n",
            settings.data_size, min_size);
    return 1;
  }
  // The sweep threshold is interval x 10 counted in 32 bits: a negative interval would make the sweep
  // never run, and one whose tenfold wraps would make it run far too often.
  if (settings.expired_check_interval < 0 || settings.expired_check_interval > kMaxExpiredCheckInterval) {
    fprintf(stderr, "Invalid expired_check_interval %lld: it must lie between 0 and %lld. Exit\n",
            static_cast<long long>(settings.expired_check_interval),
            static_cast<long long>(kMaxExpiredCheckInterval));
    return 1;
  }
  if (settings.client_timeout < 0 || settings.client_timeout > kMaxClientTimeout) {
    fprintf(stderr, "Invalid client_timeout %lld: it must lie between 0 and %lld seconds. Exit\n",
            static_cast<long long>(settings.client_timeout), static_cast<long long>(kMaxClientTimeout));
    return 1;
  }
  if (settings.max_clients < 1 || settings.max_clients > kMaxMaxClients) {
    fprintf(stderr, "Invalid max_clients %lld: it must lie between 1 and %lld. Exit\n",
            static_cast<long long>(settings.max_clients), static_cast<long long>(kMaxMaxClients));
    return 1;
  }
  if (settings.save_interval < 0 || settings.save_interval > kMaxClientTimeout) {
    fprintf(stderr, "Invalid save_interval %lld: it must lie between 0 and %lld seconds. Exit\n",
            static_cast<long long>(settings.save_interval), static_cast<long long>(kMaxClientTimeout));
    return 1;
  }
  if (settings.reader_group != nullptr && getgrnam(settings.reader_group) == nullptr) {
    fprintf(stderr, "Invalid reader_group %s: no such group. Exit\n", settings.reader_group);
    return 1;
  }
  if (settings.dump_dir != nullptr && settings.dump_dir[0] != '/') {
    fprintf(stderr, "Invalid dump_dir %s: it must be an absolute path. Exit\n", settings.dump_dir);
    return 1;
  }
  // The data file keys the segment and is rewritten in place at every stop: a directory or a device
  // there would take every write and keep none of it.
  struct stat st;
  if (stat(settings.data_path, &st) == 0 && !S_ISREG(st.st_mode)) {
    fprintf(stderr, "Invalid data_path %s: it is not a regular file. Exit\n", settings.data_path);
    return 1;
  }
  return 0;
}

void complete_default_path(char** path, const char* base, const char* suffix) {
  if (*path != nullptr) return;
  std::string full = base;
  if (ends_with(base, strlen(base), "/", 1) != 0) full += '/';
  full += kProgramName;
  full += '/';
  full += kProgramName;
  full += suffix;
  *path = strdup(full.c_str());
}

void release_settings() {
  for (char** field : {&settings.log_path, &settings.pid_path, &settings.data_path,
                       &settings.socket_path, &settings.user, &settings.dump_dir,
                       &settings.reader_group}) {
    free(*field);
    *field = nullptr;
  }
  if (config_path_owned) free(const_cast<char*>(settings.config_path));
  config_path_owned = false;
  settings = Settings{};
  warnings.clear();
}

}  // namespace quillmap
