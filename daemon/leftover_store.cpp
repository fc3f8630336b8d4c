#include "daemon/leftover_store.h"

#include <sys/ipc.h>

#include <cstdio>

#include "entry/intent.h"
#include "persist/data_file.h"
#include "persist/store_salvage.h"
#include "store/change_epoch.h"
#include "store/segment_identity.h"
#include "store/slab.h"
#include "util/log.h"
#include "util/settings.h"

namespace quillmap {
namespace {

bool laid_out(const SlabPool* pool) {
  return pool->key_tree != 0 && pool->trie4 != 0 && pool->trie6 != 0 &&
         pool->pool_end == static_cast<uint64_t>(settings.data_size);
}

}  // namespace

int save_leftover_store(const DaemonSegments& segment) {
  if (settings.no_save_restore || !segment.reused || !segment.state_matched) return 0;
  if ((segment.state->flags & kStateSaved) != 0 || !laid_out(segment.base)) return 0;
  // The run that left it is gone: nobody else writes, and a lock it held is meaningless now.
  __atomic_store_n(&segment.base->lock, uint64_t{0}, __ATOMIC_RELEASE);
  slab_derive_sizes();
  publish_changes(&segment.base->lock, segment.state);
  // A writer killed inside a change may have left the key tree half rotated: the dump must walk the
  // store as the next worker would have rebuilt it, or it would lose what the walk cannot reach.
  const bool interrupted = write_was_interrupted(segment.state);
  undo_interrupted_change(segment.base, segment.state);
  SalvageReport salvaged;
  const int64_t saved = interrupted && salvage_store(segment.base, settings.data_size, &salvaged) != kDone
                            ? kFailed
                            : rbtree_dump(segment.base, settings.data_path);
  publish_changes(nullptr, nullptr);
  if (saved >= 0) {
    segment.state->flags |= kStateSaved;
    log_msg(kLogWarn, "Saved %ld entries that the previous run left unsaved in shared memory to %s",
            static_cast<long>(saved), settings.data_path);
    return 0;
  }
  char text[512];
  snprintf(text, sizeof text,
           "The previous run left its store unsaved in shared memory segment %d, and it could not be saved to %s "
           "now either (see the log); refusing to start so that it is not lost. Free space or fix the data file's "
           "folder, then start again.",
           segment.id, settings.data_path);
  log_msg(kLogCrit, "%s", text);
  fprintf(stderr, "%s\n", text);
  return 1;
}

void report_unsaved_store(const DaemonSegments& segment) {
  log_msg(kLogCrit,
          "The store could not be saved to %s at stop; it is kept in shared memory segment %d (key 0x%08x), and "
          "the next start saves it first",
          settings.data_path, segment.id, static_cast<unsigned>(segment_key(settings.data_path, kDictProjectId)));
}

}  // namespace quillmap
