// A store that an earlier run left in its segment without saving it (its stop dump failed, its worker
// was killed during that dump, or a foreground daemon was killed) is newer than the data file. A new
// master would lay the segment out afresh and lose it; it is saved to the data file first.
#pragma once

#include "daemon/segment.h"

namespace quillmap {

// When `segment` was reused, its state segment names it, says it was not saved, and the store was
// laid out: undoes or rebuilds a change left half done (as a replacement worker would), dumps the store to settings.data_path the safe way and
// logs WARN "Saved %ld entries that the previous run left unsaved in shared memory to %s". Returns 0
// (saved, or nothing to save), or 1 when the dump failed: then CRIT and standard error say why, and
// the caller must not start (the segment stays for the next attempt).
int save_leftover_store(const DaemonSegments& segment);

// After a stop whose dump failed: CRIT naming the segment that keeps the store.
void report_unsaved_store(const DaemonSegments& segment);

}  // namespace quillmap
