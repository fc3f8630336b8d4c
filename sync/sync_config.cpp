#include "sync/sync_config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "client/client_config.h"
#include "util/config_lines.h"

namespace quillmap::sync {
namespace {

std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (comma > start) out.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

std::string first_value(const std::string& path, const char* name, std::string* error) {
  std::string found;
  bool seen = false;
  if (read_config_lines(path.c_str(), [&](const std::string& k, const std::string& v) {
        if (k == name && !seen) {
          found = v;
          seen = true;
        }
      }) != ConfigReadResult::kDone) {
    *error = "Could not open config " + path + ": " + std::strerror(errno);
  }
  return found;
}

}  // namespace

Result<SyncConfig> read_sync_config(const std::string& path) {
  SyncConfig c;
  std::string daemon_config, socket_path, data_path, watch_silence;
  const ConfigReadResult r = read_config_lines(path.c_str(), [&](const std::string& k, const std::string& v) {
    if (k == "etcd_endpoints") c.etcd.endpoints = split_commas(v);
    else if (k == "etcd_prefix") c.prefix = v;
    else if (k == "etcd_ca_file") c.etcd.ca_file = v;
    else if (k == "etcd_cert_file") c.etcd.cert_file = v;
    else if (k == "etcd_key_file") c.etcd.key_file = v;
    else if (k == "etcd_user") c.etcd.user = v;
    else if (k == "etcd_password") c.etcd.password = v;
    else if (k == "etcd_watch_silence") watch_silence = v;
    else if (k == "daemon_config") daemon_config = v;
    else if (k == "socket_path") socket_path = v;
    else if (k == "data_path") data_path = v;
    else if (k == "state_path") c.state_path = v;
    else if (k == "log_path") c.log_path = v;
    else if (k == "log_level") c.log_level = v;
  });
  if (r != ConfigReadResult::kDone) return ClientError{"Could not open config " + path + ": " + std::strerror(errno)};
  if (!daemon_config.empty()) {
    std::string error;
    Result<std::string> socket = socket_path_from_config(daemon_config);
    if (!socket.ok()) return ClientError{socket.error()};
    c.socket_path = socket.value();
    c.data_path = first_value(daemon_config, "data_path", &error);
    if (!error.empty()) return ClientError{error};
  }
  if (!socket_path.empty()) c.socket_path = socket_path;
  if (!data_path.empty()) c.data_path = data_path;
  if (c.socket_path.empty()) c.socket_path = kDefaultSocketPath;
  if (c.data_path.empty()) return ClientError{path + ": no data_path (nor a daemon_config that has one)"};
  if (c.etcd.endpoints.empty()) c.etcd.endpoints = {"http://127.0.0.1:2379"};
  if (c.prefix.empty()) return ClientError{path + ": etcd_prefix is empty"};
  if (!watch_silence.empty()) {
    char* end = nullptr;
    const double seconds = std::strtod(watch_silence.c_str(), &end);
    if (*end != '\0' || !(seconds >= 1 && seconds <= 3600)) {
      return ClientError{path + ": etcd_watch_silence must be a number of seconds from 1 to 3600"};
    }
    c.etcd.watch_silence_ms = static_cast<int>(seconds * 1000);
  }
  return c;
}

}  // namespace quillmap::sync
