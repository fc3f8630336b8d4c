// Finding and attaching a daemon's segment from outside the daemon. The segment's key is derived from
// the daemon's data path and the project id 98 ("b"); the segment is never created here.
#pragma once

#include <cstdint>
#include <string>

#include "client/reader/quillmap_reader.hpp"

namespace quillmap {

inline constexpr int kSegmentProjectId = 98;

// An attachment of a segment; detaches when it goes out of scope.
class AttachedSegment {
 public:
  AttachedSegment() = default;
  AttachedSegment(const AttachedSegment&) = delete;
  AttachedSegment& operator=(const AttachedSegment&) = delete;
  ~AttachedSegment() { detach(); }

  // Looks up the segment keyed by `data_path` (without creating it) and attaches it read-write: a
  // reader changes nothing but the lock word, which read shares need. kNoSegment when no segment has
  // that key (the daemon is not running), kPermission when this account may not attach it, kBadPath
  // when the key cannot be derived (the data path does not exist), kSystemError otherwise (errno set).
  ReadStatus attach(const char* data_path) noexcept;
  void detach() noexcept;

  // Whether this attachment is still the segment the daemon serves: it still exists and is not
  // marked for removal (a stopping daemon marks it and detaches, but our attachment keeps it alive
  // with its old contents), and the key of `data_path` names no other segment. Up to three system
  // calls. False when the segment cannot be examined (permission withdrawn): a fresh attach then
  // reports why.
  bool is_live(const char* data_path) const noexcept;

  void* base() const noexcept { return base_; }
  uint64_t size() const noexcept { return size_; }
  int id() const noexcept { return id_; }

 private:
  void* base_ = nullptr;
  uint64_t size_ = 0;
  int id_ = -1;
};

// The data_path of a daemon configuration file, read with the daemon's own line rules (key=value,
// blanks and quotes trimmed, comments, first data_path line wins). kBadConfig when the file cannot
// be read or has no data_path line.
ReadStatus data_path_from_config(const char* config_path, std::string* data_path);

}  // namespace quillmap
