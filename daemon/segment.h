// The System V segments that hold the store: the dictionary segment (project id 98) and its companion
// state segment (project id 99). Both keys are derived from the data file's identity, so any process
// that knows data_path finds the same segments; both are created with mode 0600 by the daemon's
// account and removed together.
#pragma once

#include "store/layout.h"
#include "store/state_layout.h"

namespace quillmap {

inline constexpr int kSegmentProjectId = 98;  // the character 'b'

// The attached segments of this process.
struct AttachedSegment {
  int id = -1;
  SlabPool* base = nullptr;
  int state_id = -1;
  StateHeader* state = nullptr;
  bool reused = false;         // the dictionary segment existed before this start
  bool state_matched = false;  // the state segment existed and names this dictionary
};

// Derives the key from settings.data_path, gets (creating when missing, mode 0600) a segment of
// settings.data_size bytes and attaches it, then gets and attaches the state segment beside it
// (initialised afresh unless it already names this dictionary). An existing dictionary segment of
// that key is reused when it is large enough. Returns true, or false after logging the failure and
// "Could not have attached memory".
bool attach_segment(AttachedSegment* segment);

// Marks both segments for removal and detaches them. Returns 0, or 1 after logging the failure.
int remove_segment(AttachedSegment* segment);

}  // namespace quillmap
