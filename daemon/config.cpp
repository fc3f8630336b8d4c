#include "daemon/config.h"

#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/store_init.h"
#include "util/config_lines.h"
#include "util/settings.h"
#include "util/strings.h"

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
  static const struct option kLongOptions[] = {
      {"config-path", required_argument, nullptr, 'c'},
      {"no-daemon", no_argument, nullptr, 'D'},
      {"help", no_argument, nullptr, 'h'},
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
    settings.index = static_cast<uint8_t>(strtol(value.c_str(), nullptr, 10) != 0);
    return;
  }
  if (key == "huge_pages") {
    settings.huge_pages = static_cast<uint8_t>(strtol(value.c_str(), nullptr, 10) != 0);
    return;
  }
  if (take_string(&settings.reader_group, key, "reader_group", value)) return;
}

int read_config(const char* path) {
  switch (read_config_lines(path, take_config_value)) {
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
}

}  // namespace quillmap
