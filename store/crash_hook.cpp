#include "store/crash_hook.h"

#include <unistd.h>

namespace quillmap {

int64_t crash_steps_left = -1;
namespace {
int64_t steps_taken = 0;
}

void crash_after(int64_t n) {
  crash_steps_left = n > 0 ? n : -1;
  steps_taken = 0;
}

int64_t crash_steps_taken() { return steps_taken; }

void crash_step_slow() {
  ++steps_taken;
  if (--crash_steps_left == 0) _exit(86);
  // Counting only (armed with a count larger than any change): keep going.
}

}  // namespace quillmap
