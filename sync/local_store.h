// The local dictionary as the agent sees it: its entries read through the reader library, the
// identity of the daemon instance serving it, and the digest of a key set as the daemon computes it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client/reader/quillmap_reader.hpp"
#include "sync/key_mapping.h"

namespace quillmap::sync {

struct LocalEntry {
  std::string value;
  uint64_t expires = 0;
  bool is_address = false;
};

// Key text to entry (the dictionary holds one entry per key text, of either kind).
using LocalEntries = std::map<std::string, LocalEntry>;

// Every entry of the dictionary whose data file is `data_path`, read under one read share (again
// when a writer got in meanwhile). Error text when the segment cannot be read.
bool read_local_entries(const std::string& data_path, LocalEntries* out, std::string* error);

// Names the daemon instance now serving: its segment (id and creation time) and its socket file
// (inode and change time), which a restarted daemon creates anew even where it reuses the segment
// of its key. Empty when no segment or no socket exists.
std::string daemon_identity(const std::string& data_path, const std::string& socket_path);

// The daemon's HASH of a dictionary holding exactly `keys`: SHA-1 over the key bytes in key-tree
// order (CRC-32 of the key, then the bytes, then the shorter first), as 40 lowercase hex digits.
std::string key_set_digest(const std::vector<std::string>& keys);

}  // namespace quillmap::sync
