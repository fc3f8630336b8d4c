// Commands of quillmap-cli that run in the tool's own process instead of only sending a batch to
// the daemon's socket: readers that look into the shared segment directly, and the commands whose
// answer combines the socket's with the segment's (get, stats, the entry counts of info). Such a
// command is given alone on the command line (it cannot be part of a batch) and returns the tool's
// exit status.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/wire_codec.h"
#include "tools/cli_output.h"

namespace quillmap {

// The tool's exit statuses, the same for every command.
enum ExitStatus {
  kExitSuccess = 0,
  kExitNoSuccess = 1,   // the daemon answered without success; a reader found nothing
  kExitUsage = 2,       // the command line or the input is wrong, or a read failed
  kExitUnreachable = 3, // the daemon is not running (no socket to talk to, no segment to read)
};

// What the global options of the command line settled.
struct CliContext {
  std::optional<std::string> config_path;  // -c, when given
  bool socket_given = false;               // -s
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

// Sends the batch, prints the answer (with entry counts when it holds INFO and the segment can be
// read) and, when it had no success, why that may be. Returns the exit status.
int run_batch(const CliContext& context, const std::vector<Request>& batch);

// `get` standing alone: the value read from the segment (exact key, or with an address key the
// longest covering prefix); when the segment cannot be read, the daemon's existence answer with a
// note on standard error.
int run_get(const CliContext& context, const Request& get);

// Entry counts through the reader, when the segment named by -d or -c (or, when neither -s nor -c
// is given, by the default configuration) can be read.
std::optional<EntryCounts> count_entries(const CliContext& context);

}  // namespace quillmap
