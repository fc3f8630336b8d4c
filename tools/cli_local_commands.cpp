#include "tools/cli_local_commands.h"

namespace quillmap {

std::span<const LocalCommand> local_commands() {
  // Entries: {"name", "ARGS", "summary", function}. The segment readers (peek, match, entries) go here.
  static const std::vector<LocalCommand> commands = {};
  return commands;
}

}  // namespace quillmap
