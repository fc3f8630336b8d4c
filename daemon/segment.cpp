#include "daemon/segment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/log.h"
#include "util/settings.h"

namespace quillmap {
namespace {

// A segment left by an earlier start (a foreground run, or a master that did not end in order) is
// reused by key, and refused when it is smaller than data_size. Say so where the operator looks:
// the log, and standard error (still the terminal in foreground mode).
void explain_existing_segment(key_t key, int err) {
  if (err != EINVAL) return;
  int id = shmget(key, 0, 0);
  struct shmid_ds ds;
  if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_segsz >= static_cast<size_t>(settings.data_size)) return;
  char text[512];
  snprintf(text, sizeof text,
           "The shared memory segment %d for %s (left by an earlier start) holds %zu bytes, less than data_size %d. "
           "Stop every program using it and remove it (ipcrm -m %d), or set data_size to at most %zu.",
           id, settings.data_path, static_cast<size_t>(ds.shm_segsz), settings.data_size, id,
           static_cast<size_t>(ds.shm_segsz));
  log_msg(kLogError, "%s", text);
  fprintf(stderr, "%s\n", text);
}

}  // namespace

bool attach_segment(AttachedSegment* segment) {
  key_t key = ftok(settings.data_path, kSegmentProjectId);
  if (key == -1) {
    log_msg(kLogError, "Could not get key for %s: %s", settings.data_path, strerror(errno));
  } else if ((segment->id = shmget(key, static_cast<size_t>(settings.data_size), IPC_CREAT | 0600)) ==
             -1) {
    int err = errno;
    log_msg(kLogError, "Could not get shared memory: %s", strerror(err));
    explain_existing_segment(key, err);
  } else {
    void* base = shmat(segment->id, nullptr, 0);
    if (base == reinterpret_cast<void*>(-1)) {
      log_msg(kLogError, "Could not attach shared memory: %s", strerror(errno));
    } else {
      segment->base = static_cast<SlabPool*>(base);
      log_msg(kLogDebug, "Shared memory successfully attached.");
      return true;
    }
  }
  log_msg(kLogError, "Could not have attached memory");
  return false;
}

int remove_segment(AttachedSegment* segment) {
  if (shmctl(segment->id, IPC_RMID, nullptr) != 0) {
    log_msg(kLogError, "Could not close shared memory: %s", strerror(errno));
    log_msg(kLogError, "Could not remove attached memory...\n");
    return 1;
  }
  if (shmdt(segment->base) != 0) {
    log_msg(kLogError, "Could not detach shared memory: %s", strerror(errno));
    log_msg(kLogError, "Could not remove attached memory...\n");
    return 1;
  }
  segment->base = nullptr;
  log_msg(kLogDebug, "Shared memory successfully detached.");
  return 0;
}

}  // namespace quillmap
