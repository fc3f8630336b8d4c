// A longest-prefix table's anchor in the IndexHeader (64 bytes, fixed; one for each family).
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

struct PrefixRoot {
  uint64_t reserved[8];
};

QM_ASSERT_RECORD(PrefixRoot);
static_assert(sizeof(PrefixRoot) == 64);

}  // namespace quillmap
