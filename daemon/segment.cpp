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

// Gets the segment of `key` with `size` bytes, creating it when missing; *existed tells which.
int get_segment(key_t key, size_t size, bool* existed) {
  int id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
  *existed = id < 0 && errno == EEXIST;
  if (*existed) id = shmget(key, size, 0600);
  return id;
}

void* attach(int id) {
  void* base = shmat(id, nullptr, 0);
  return base == reinterpret_cast<void*>(-1) ? nullptr : base;
}

// Attaches the state segment and makes it name the dictionary `dict_id`.
bool attach_state(AttachedSegment* segment) {
  key_t key = ftok(settings.data_path, kStateProjectId);
  struct shmid_ds dict;
  if (key == -1 || shmctl(segment->id, IPC_STAT, &dict) != 0) {
    log_msg(kLogError, "Could not get the state segment's key for %s: %s", settings.data_path, strerror(errno));
    return false;
  }
  bool existed = false;
  segment->state_id = get_segment(key, kStateSegmentSize, &existed);
  if (segment->state_id < 0) {
    log_msg(kLogError, "Could not get the state segment: %s", strerror(errno));
    return false;
  }
  segment->state = static_cast<StateHeader*>(attach(segment->state_id));
  if (segment->state == nullptr) {
    log_msg(kLogError, "Could not attach the state segment: %s", strerror(errno));
    return false;
  }
  StateHeader* s = segment->state;
  segment->state_matched = existed && s->magic == kStateMagic && s->version == kStateVersion &&
                           s->dict_id == segment->id && s->dict_ctime == static_cast<int64_t>(dict.shm_ctime);
  if (!segment->state_matched) {
    memset(static_cast<void*>(s), 0, sizeof *s);
    s->version = kStateVersion;
    s->header_size = sizeof *s;
    s->dict_id = segment->id;
    s->dict_ctime = static_cast<int64_t>(dict.shm_ctime);
    __atomic_store_n(&s->magic, kStateMagic, __ATOMIC_RELEASE);
  }
  return true;
}

}  // namespace

bool attach_segment(AttachedSegment* segment) {
  key_t key = ftok(settings.data_path, kSegmentProjectId);
  if (key == -1) {
    log_msg(kLogError, "Could not get key for %s: %s", settings.data_path, strerror(errno));
  } else if ((segment->id = get_segment(key, static_cast<size_t>(settings.data_size), &segment->reused)) == -1) {
    int err = errno;
    log_msg(kLogError, "Could not get shared memory: %s", strerror(err));
    explain_existing_segment(key, err);
  } else if ((segment->base = static_cast<SlabPool*>(attach(segment->id))) == nullptr) {
    log_msg(kLogError, "Could not attach shared memory: %s", strerror(errno));
  } else if (attach_state(segment)) {
    log_msg(kLogDebug, "Shared memory successfully attached.");
    return true;
  }
  log_msg(kLogError, "Could not have attached memory");
  return false;
}

int remove_segment(AttachedSegment* segment) {
  if (segment->state != nullptr) {
    shmctl(segment->state_id, IPC_RMID, nullptr);
    shmdt(segment->state);
    segment->state = nullptr;
  }
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
