#include "util/host_params.h"

#include <unistd.h>

namespace quillmap {

int32_t page_size = 0;
int32_t page_shift = 0;
int64_t cpu_count = 1;

void host_params_init() {
  page_size = static_cast<int32_t>(sysconf(_SC_PAGESIZE));
  page_shift = 0;
  for (int32_t n = page_size; n > 1; n >>= 1) ++page_shift;
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  cpu_count = cpus < 1 ? 1 : cpus;
}

}  // namespace quillmap
