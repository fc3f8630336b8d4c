// Commands of quillmap-cli that run in the tool's own process instead of going to the daemon's
// socket, such as readers that look into the shared segment directly. Such a command is given
// alone on the command line (it cannot be part of a batch) and returns the tool's exit status.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillmap {

// What the global options of the command line settled.
struct CliContext {
  std::optional<std::string> config_path;  // -c, when given
  std::string socket_path;                 // -s, or found through the configuration file
  std::optional<std::string> data_path;    // -d, when given: the data file that keys the segment
  bool json = false;                       // --json
  int timeout_ms = 0;                      // --timeout
};

struct LocalCommand {
  const char* name;
  const char* usage;    // argument synopsis for --help
  const char* summary;  // one line for --help
  // `args` are the words after the command name. Prints its own output and errors.
  int (*run)(const CliContext& context, const std::vector<std::string>& args);
};

// The table of local commands; a new one is added there with one entry.
std::span<const LocalCommand> local_commands();

}  // namespace quillmap
