#include "daemon/segment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>

#include "util/log.h"
#include "util/settings.h"

namespace quillmap {

bool attach_segment(AttachedSegment* segment) {
  key_t key = ftok(settings.data_path, kSegmentProjectId);
  if (key == -1) {
    log_msg(kLogError, "Could not get key for %s: %s", settings.data_path, strerror(errno));
  } else if ((segment->id = shmget(key, static_cast<size_t>(settings.data_size), IPC_CREAT | 0600)) ==
             -1) {
    log_msg(kLogError, "Could not get shared memory: %s", strerror(errno));
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
