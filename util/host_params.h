// Process-wide facts about the host that the store depends on. The daemon fills them at start-up;
// any other process that links the store and attaches the segment calls host_params_init() first.
#pragma once

#include <cstdint>

namespace quillmap {

extern int32_t page_size;   // system page size in bytes
extern int32_t page_shift;  // log2(page_size): 12 for 4096
extern int64_t cpu_count;   // online processors, at least 1; the segment lock spins only above 1

// Reads the page size and the number of online processors.
void host_params_init();

}  // namespace quillmap
