#include "tools/cli_local_commands.h"

#include <cstdio>

#include "client/reader/reader_cli.h"
#include "util/settings.h"

namespace quillmap {
namespace {

// peek, match and entries read the segment through the reader library; the segment is named by -d,
// or by the data_path of -c (or of the default configuration file).
template <const char* kName>
int run_reader(const CliContext& context, const std::vector<std::string>& args) {
  ReaderCliOptions options;
  options.data_path = context.data_path.value_or("");
  options.config_path = context.config_path.value_or(context.data_path ? "" : kDefaultConfigPath);
  options.json = context.json;
  return run_reader_command(options, kName, args, stdout, stderr);
}

constexpr char kPeek[] = "peek";
constexpr char kMatch[] = "match";
constexpr char kEntries[] = "entries";

}  // namespace

std::span<const LocalCommand> local_commands() {
  static const std::vector<LocalCommand> commands = {
      {kPeek, "KEY", "value, expiry and kind of the entry with exactly this key (read from the segment)",
       run_reader<kPeek>},
      {kMatch, "ADDRESS", "the entry of the longest stored prefix covering ADDRESS (read from the segment)",
       run_reader<kMatch>},
      {kEntries, "", "every entry in key-tree order (read from the segment)", run_reader<kEntries>},
  };
  return commands;
}

}  // namespace quillmap
