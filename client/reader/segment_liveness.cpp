// Keeping a Reader on the daemon's live segment across daemon restarts.
#include "client/reader/reader_state.h"

namespace quillmap {

ReadStatus attach_segment(ReaderState* state) noexcept {
  const ReadStatus s = state->segment.attach(state->data_path.c_str());
  if (s != ReadStatus::kOk) return s;
  if (!read_segment_geometry(state->segment.base(), state->segment.size(), &state->geometry)) {
    state->segment.detach();
    return ReadStatus::kNotLaidOut;
  }
  return ReadStatus::kOk;
}

ReadStatus ensure_live_segment(ReaderState* state, bool force) noexcept {
  if (!force && !state->check_due()) return ReadStatus::kOk;
  const int64_t now = coarse_now_ns();
  if (state->segment.base() != nullptr) {
    if (!state->stale && state->segment.is_live(state->data_path.c_str())) {
      state->schedule_check(now);
      return ReadStatus::kOk;
    }
    state->stale = true;
    if (state->guards > 0) return ReadStatus::kChanged;
    state->segment.detach();
    state->stale = false;
  } else if (!force && now < state->next_check_ns) {
    return state->attach_failure;  // detached: look for a new segment once per period only
  }
  state->attach_failure = attach_segment(state);
  state->schedule_check(now);
  return state->attach_failure;
}

}  // namespace quillmap
