// The configuration record: filled once by the master before any fork (command line and configuration
// file), read-only afterwards and inherited unchanged by the worker.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace quillmap {

inline constexpr const char* kProgramName = "quillmap";
inline constexpr const char* kDefaultConfigPath = "/etc/veldrane/kelvar.conf";
inline constexpr int32_t kDefaultDataSize = 10485760;
inline constexpr unsigned kDefaultLogLevel = 3;
inline constexpr int64_t kDefaultExpiredCheckInterval = 60;
// The largest interval whose sweep threshold (interval x 10) fits the 32-bit poll counter.
inline constexpr int64_t kMaxExpiredCheckInterval = 429496729;
inline constexpr int64_t kDefaultClientTimeout = 5;
inline constexpr int64_t kDefaultMaxClients = 1024;
inline constexpr int64_t kMaxClientTimeout = 86400 * 365;
inline constexpr int64_t kMaxMaxClients = 1 << 20;

struct Settings {
  char* log_path = nullptr;     // owned; unset until the file or the start-up default fills it
  char* pid_path = nullptr;     // owned
  int32_t data_size = 0;
  const char* config_path = nullptr;  // option argument copy, or kDefaultConfigPath (never released)
  char* data_path = nullptr;    // owned; required
  char* socket_path = nullptr;  // owned
  bool no_daemon = false;
  char* user = nullptr;         // owned; unset: no privilege change
  uint32_t log_level = 0;
  int64_t expired_check_interval = 0;
  uint8_t no_save_restore = 0;
  uint8_t enable_clean = 0;
  int64_t client_timeout = kDefaultClientTimeout;  // seconds without progress before a client is dropped; 0: never
  int64_t max_clients = kDefaultMaxClients;        // open connections served at once
  int64_t save_interval = 0;   // seconds between saves of a changed store to the data file; 0: only at stop
  char* dump_dir = nullptr;     // owned; unset: clients name files only in the data file's folder
  uint8_t index = 1;            // nonzero: keep the index segment beside the dictionary
  uint8_t huge_pages = 0;       // nonzero: ask for the segments in huge pages (normal pages when none are reserved)
  char* reader_group = nullptr; // owned; unset: only the daemon's account reads the segments
};

// The resolved account of Settings::user.
struct UserAccount {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

extern Settings settings;

}  // namespace quillmap
