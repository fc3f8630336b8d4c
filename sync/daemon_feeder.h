// Applying changes to the local daemon through its batch protocol.
//
// A batch answer carries only a count, so the feeder arranges batches whose count it can check:
// changes are first collapsed to the last one per key (only the end state of a batch is kept, and
// different keys do not interact), then all deletes are sent, then all sets. Every SET that the
// daemon executes counts, so a set connection whose count falls short is sent again one request at a
// time to name the refused keys (repeating a SET or a DEL leaves the same state). A delete of an
// absent key counts nothing, which is why deletes are not checked.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sync/key_mapping.h"

namespace quillmap::sync {

struct LocalChange {
  LocalKey key;
  std::optional<std::string> value;  // nothing: delete
};

struct FeedOutcome {
  bool delivered = false;        // false: the daemon could not be reached; nothing is known applied
  std::string error;             // when not delivered
  std::vector<LocalKey> refused;  // sets the daemon did not execute (no memory, lock given up)
  size_t deletes = 0, sets = 0;  // requests sent after collapsing
};

class DaemonFeeder {
 public:
  explicit DaemonFeeder(std::string socket_path, size_t max_batch = 2000)
      : socket_path_(std::move(socket_path)), max_batch_(max_batch) {}

  // Entries are stored without expiry.
  FeedOutcome apply(const std::vector<LocalChange>& changes);

  // The daemon's digest of its key set.
  std::optional<std::string> hash(std::string* error);

  const std::string& socket_path() const { return socket_path_; }

 private:
  std::string socket_path_;
  size_t max_batch_;
};

}  // namespace quillmap::sync
