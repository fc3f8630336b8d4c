// The agent's files beside its state path. All survive a killed agent: each whole-file write goes to
// a temporary file that is then renamed over the old one, and the key journal is only appended to.
//
//   STATE         "revision=N" and "daemon=IDENTITY" lines (key=value rules): the last etcd revision
//                 whose changes the dictionary of that daemon instance holds.
//   STATE.keys    the keys the agent has put into the dictionary (so that a full re-read deletes
//                 only those, never entries others added): a journal of "+" and "-" records, one per
//                 line, rewritten whole after every full re-read. A key is journaled before its set is
//                 sent and its removal after its delete was applied, so the journal never misses a
//                 key the dictionary may hold.
//   STATE.status  JSON figures for `quillmap-sync status`, rewritten about once a second.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sync/key_mapping.h"
#include "util/io.h"

namespace quillmap::sync {

struct AgentState {
  int64_t revision = 0;
  std::string daemon;  // daemon_identity() at the time
};

std::optional<AgentState> load_state(const std::string& path);
bool save_state(const std::string& path, const AgentState& state);

// Writes `text` to a temporary file beside `path` and renames it over `path`.
bool replace_file(const std::string& path, const std::string& text);

class KeyJournal {
 public:
  // Reads the journal (a missing one is empty) and opens it for appending.
  bool open(const std::string& path, std::string* error);

  const std::set<LocalKey>& keys() const { return keys_; }
  bool add(const std::vector<LocalKey>& keys);
  bool remove(const std::vector<LocalKey>& keys);
  // Replaces the whole journal by `keys`.
  bool rewrite(std::set<LocalKey> keys);

 private:
  bool append(char op, const std::vector<LocalKey>& keys);

  std::string path_;
  UniqueFd fd_;
  std::set<LocalKey> keys_;
};

}  // namespace quillmap::sync
