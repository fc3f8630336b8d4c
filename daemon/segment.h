// The System V segment that holds the whole store. Its key is derived from the data file's identity
// and the project id 98, so any process that knows data_path finds the same segment.
#pragma once

#include "store/layout.h"

namespace quillmap {

inline constexpr int kSegmentProjectId = 98;  // the character 'b'

// The attached segment of this process.
struct AttachedSegment {
  int id = -1;
  SlabPool* base = nullptr;
};

// Derives the key from settings.data_path, gets (creating when missing, mode 0600) a segment of
// settings.data_size bytes and attaches it. An existing segment of that key is reused when it is large
// enough. Returns true, or false after logging the failure and "Could not have attached memory".
bool attach_segment(AttachedSegment* segment);

// Marks the segment for removal and detaches it. Returns 0, or 1 after logging the failure.
int remove_segment(AttachedSegment* segment);

}  // namespace quillmap
