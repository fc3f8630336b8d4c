#include "client/client_config.h"

#include <cerrno>
#include <cstring>

namespace quillmap {

Result<std::string> socket_path_from_config(const std::string& config_path) {
  std::optional<std::string> socket_path;
  auto take = [&socket_path](const std::string& key, const std::string& value) {
    if (key == "socket_path" && !socket_path) socket_path = value;  // the first one counts
  };
  if (read_config_lines(config_path.c_str(), take) == ConfigReadResult::kOpenFailed) {
    return ClientError{"Could not open config " + config_path + ": " + std::strerror(errno)};
  }
  return socket_path.value_or(kDefaultSocketPath);
}

}  // namespace quillmap
