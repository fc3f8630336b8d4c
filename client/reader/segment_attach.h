// Finding and attaching a daemon's segments from outside the daemon: the dictionary segment, its
// companion state segment (whose change epoch validates every read) and, when the daemon keeps one,
// the index segment. Keys come from store/segment_identity.h; nothing is ever created here.
#pragma once

#include <cstdint>
#include <string>

#include "client/reader/quillmap_reader.hpp"
#include "index/index_layout.h"
#include "store/segment_identity.h"
#include "store/state_layout.h"

namespace quillmap {

// The attachments of one daemon's segments; detached when it goes out of scope.
class DaemonAttachment {
 public:
  // Looks up the dictionary segment keyed by `data_path` and attaches it read-write (a reader
  // changes nothing but the lock word, which read shares need), or read-only when this account may
  // only read it (a member of the daemon's reader_group). Then the state and index segments, kept
  // only when their headers name this dictionary. kNoSegment when no segment has that key (the daemon
  // is not running), kPermission when this account may not attach it, kBadPath when the key cannot be
  // derived (the data path does not exist), kSystemError otherwise (errno set).
  ReadStatus attach(const char* data_path) noexcept;
  void detach() noexcept;

  // Whether this attachment is still the segment the daemon serves: it still exists and is not
  // marked for removal (a stopping daemon marks it and detaches, but our attachment keeps it alive
  // with its old contents), and the key of `data_path` names no other segment. Up to three system
  // calls. False when the segment cannot be examined (permission withdrawn): a fresh attach then
  // reports why.
  bool is_live(const char* data_path) const noexcept;

  void* base() const noexcept { return dict_.base(); }
  uint64_t size() const noexcept { return dict_.size(); }
  int id() const noexcept { return dict_.id(); }
  bool read_only() const noexcept { return dict_.read_only(); }
  // The state header naming this dictionary, or null (a daemon that keeps none).
  const StateHeader* state() const noexcept { return state_; }
  // The index header naming this dictionary, or null; whether it is valid is read at each lookup.
  const IndexHeader* index() const noexcept { return index_; }
  uint64_t index_size() const noexcept { return index_segment_.size(); }

 private:
  SegmentAttachment dict_;
  SegmentAttachment state_segment_;
  SegmentAttachment index_segment_;
  const StateHeader* state_ = nullptr;
  const IndexHeader* index_ = nullptr;
};

// The data_path of a daemon configuration file, read with the daemon's own line rules (key=value,
// blanks and quotes trimmed, comments, first data_path line wins). kBadConfig when the file cannot
// be read or has no data_path line.
ReadStatus data_path_from_config(const char* config_path, std::string* data_path);

}  // namespace quillmap
