// The command-line tool's commands that read the dictionary straight from the segment:
//   peek KEY          the value, expiry and address flag of the entry with exactly this key
//   match ADDRESS     the entry of the longest stored prefix covering an IPv4/IPv6 address
//   entries           every entry in key-tree order
// The segment is found from -d DATA_PATH or from the data_path of -c CONFIG.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace quillmap {

struct ReaderCliOptions {
  std::string data_path;    // -d; wins over config_path when both are given
  std::string config_path;  // -c
  bool json = false;        // one JSON object per entry (one line each) instead of text
  bool hide_expired = false;
};

// Whether `command` is one of peek, match, entries.
bool is_reader_command(std::string_view command);

// Runs `command` (peek, match or entries) with `args`, the words after the command name. Text output: "key\tvalue\texpires\taddress|string" per
// entry (bytes outside printable ASCII, tab and backslash escaped as \xNN); JSON output: objects with
// "key", "value", "expires" and "address". Exit status: 0 found (entries: walk completed), 1 not
// found, 2 usage or read error (message on err).
int run_reader_command(const ReaderCliOptions& options, std::string_view command, const std::vector<std::string>& args,
                       FILE* out, FILE* err);

}  // namespace quillmap
