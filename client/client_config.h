// Finding the daemon's socket from its configuration file, read with the daemon's own line rules:
// lines of at most 511 characters (a longer line is read as several), leading blanks skipped, "#"
// first means a comment, the key ends at the first "=" less trailing blanks and quotes, and the
// value is the text after the "=" up to the next blank, quote or newline. The first "socket_path"
// line counts, as it does for the daemon.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "client/client_result.h"
#include "util/config_lines.h"
#include "util/settings.h"  // kDefaultConfigPath

namespace quillmap {

inline constexpr const char* kDefaultSocketPath = "/var/run/quillmap/quillmap.sock";

// The socket path the daemon uses with this configuration file: its first "socket_path" value, or
// kDefaultSocketPath when it has none. Error: "Could not open config PATH: <system error text>".
Result<std::string> socket_path_from_config(const std::string& config_path);

}  // namespace quillmap
