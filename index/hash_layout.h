// The hash index's anchor in the IndexHeader (64 bytes, fixed).
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

struct HashRoot {
  uint64_t reserved[8];
};

QM_ASSERT_RECORD(HashRoot);
static_assert(sizeof(HashRoot) == 64);

}  // namespace quillmap
