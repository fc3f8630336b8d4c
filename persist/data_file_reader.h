// Reading the data file: libyaml's parser events turned into complete entries.
//
// What is read (tags and quoting styles are ignored; only scalar texts count):
//   - every document's top mapping; its members are the entries: the member's key is the entry's key,
//     its value a mapping whose members "value", "expires" and "is_address" (exact, case-sensitive
//     names) give the entry's value text, expiry (an unsigned decimal; the dump's "%ld" of a very
//     large expiry reads back as the same 64 bits) and kind (exactly "true" for an address);
//   - names and values alternate strictly, so a value text that reads "value", "expires" or
//     "is_address" is still a value; a later member of the same name replaces an earlier one;
//   - anything else (a top-level member whose value is not a mapping, unknown members, nested
//     collections, aliases, a key that is not a scalar) is skipped whole;
//   - key and value texts end at their first NUL byte, as texts reaching the store always do.
// An entry mapping without an "expires" or "is_address" member gets 0 or false.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

#include "persist/data_file.h"

namespace quillmap {

// One entry as read; the texts live until the sink returns.
struct DataFileEntry {
  const char* key;
  uint64_t key_len;
  const char* value;
  uint64_t value_len;
  uint64_t expires;
  bool is_address;
};

// Receives each entry that is to be stored; returns 0 to go on, or a negative result that ends the
// read and is returned by read_data_file.
using DataFileSink = std::function<int64_t(const DataFileEntry&)>;

// Parses the file at `path` and hands the sink every entry that should be stored. Entries are
// skipped with a message when:
//   - expires is not 0 and lies before `now`: INFO "%s %s was not loaded as it was expired"
//     ("Address" or "Key", the key);
//   - the entry has no value member: WARN "%s %s was not loaded as it has no value";
//   - the key is longer than 65535 bytes: WARN "%s of %lu bytes starting with '%.64s' was not loaded:
//     a key holds at most 65535 bytes";
//   - the key is not a scalar: WARN "An entry whose key is not a text was not loaded".
// Returns the number of entries handed to the sink; -1 after ERROR when `path` cannot be opened
// ("Could not open %s for reading: %s\n") or the YAML does not parse ("Failed to emit event %d: %s\n"
// with 0 and the parser's problem); the sink's negative result when it stopped the read.
// Collections nested deeper than kMaxNesting levels end the read as a parse failure (ERROR "Could not
// load %s: collections nested deeper than %d levels"), before the parser is asked for more.
// Entries handed to the sink before a failure stay handed.
inline constexpr int kMaxNesting = 64;
int64_t read_data_file(const FileLocation& file, time_t now, const DataFileSink& sink);
inline int64_t read_data_file(const char* path, time_t now, const DataFileSink& sink) {
  return path != nullptr ? read_data_file(FileLocation::at_path(path), now, sink) : -1;
}

}  // namespace quillmap
