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

#include "client/reader/quillmap_reader.hpp"

namespace quillmap {

struct ReaderCliOptions {
  std::string data_path;    // -d; wins over config_path when both are given
  std::string config_path;  // -c
  bool json = false;        // one JSON object per entry (one line each) instead of text
  bool hide_expired = false;
};

// Whether `command` is one of peek, match, entries.
bool is_reader_command(std::string_view command);

// Opens the dictionary named by `options` (data_path, else the data_path line of config_path).
ReadStatus open_reader(const ReaderCliOptions& options, Reader* reader);

// One entry as a line: text "key\tvalue\texpires\taddress|string" (escaped as client/text_encoding.h
// says), or a JSON object with "key", "value", "expires" and "address".
void print_entry(const EntryView& entry, bool json, FILE* out);

// The tool's exit status for a reader result: 0 found, 1 not found, 3 no segment (the daemon is not
// running, the status the socket commands give when the daemon cannot be reached), 2 otherwise.
int reader_exit_status(ReadStatus status);

// Runs `command` (peek, match or entries) with `args`, the words after the command name, printing
// entries with print_entry. Exit status: 0 found (entries: walk completed), 1 not found, 3 no
// segment, 2 usage or another read error (message on err).
int run_reader_command(const ReaderCliOptions& options, std::string_view command, const std::vector<std::string>& args,
                       FILE* out, FILE* err);

}  // namespace quillmap
