// A test-only way to end a writer at an exact point of a change, so that crash recovery can be tested
// for every point deterministically. Writers call crash_step() before each store of a change that a
// successor must be able to repair; when a test has armed the hook with crash_after(n), the n-th step
// ends the process at once (_exit, no clean-up), as a SIGKILL would. Unarmed, a step is one load and
// compare.
#pragma once

#include <cstdint>

namespace quillmap {

extern int64_t crash_steps_left;  // < 0: unarmed

// Arms the hook: the process ends at the n-th step from now (n >= 1); n <= 0 disarms it.
void crash_after(int64_t n);

// Steps taken since the hook was last armed or counted (lets a test find how many steps a change has).
int64_t crash_steps_taken();

void crash_step_slow();
inline void crash_step() {
  if (crash_steps_left >= 0) crash_step_slow();
}

}  // namespace quillmap
