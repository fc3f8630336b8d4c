// The System V segments that hold the store: the dictionary segment, its companion state segment and,
// with `index` set, the index segment (store/segment_identity.h derives their keys from the data
// path). All of them are created by the daemon's account with mode 0600, or 0640 with the group
// `reader_group` so that its members can read, and are removed together.
#pragma once

#include "index/index_layout.h"
#include "store/layout.h"
#include "store/state_layout.h"

namespace quillmap {

// The attached segments of this process.
struct DaemonSegments {
  int id = -1;
  SlabPool* base = nullptr;
  int state_id = -1;
  StateHeader* state = nullptr;
  int index_id = -1;
  IndexHeader* index = nullptr;  // null when `index` is off or the segment could not be had
  bool reused = false;           // the dictionary segment existed before this start
  bool state_matched = false;    // the state segment existed and names this dictionary
};

// The index segment's size for a dictionary of `data_size` bytes: room for the hash of as many
// entries as the dictionary can hold and for the prefix tables of large address tables. Created
// without reserving memory: only the pages the index touches take any.
uint64_t index_segment_bytes(int64_t data_size);

// Derives the keys from settings.data_path, gets (creating when missing) a dictionary segment of
// settings.data_size bytes and attaches it, then the state segment beside it (initialised afresh
// unless it already names this dictionary), then the index segment when `index` is set (its failure
// is a WARN, and the daemon goes on without it). An existing dictionary segment of that key is reused
// when it is large enough. Returns true, or false after logging the failure and "Could not have
// attached memory".
bool attach_segment(DaemonSegments* segment);

// Marks every segment for removal and detaches them. Returns 0, or 1 after logging the failure.
int remove_segment(DaemonSegments* segment);

}  // namespace quillmap
