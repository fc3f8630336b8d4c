#include "daemon/segment.h"

#include <grp.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "index/index_upkeep.h"
#include "store/companion_header.h"
#include "store/segment_identity.h"
#include "util/log.h"
#include "util/settings.h"

namespace quillmap {
namespace {

constexpr uint64_t kHugePageBytes = 2 << 20;

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

// The mode of every segment: readable by reader_group's members when one is set.
int segment_mode() { return settings.reader_group != nullptr ? 0640 : 0600; }

// Gets the segment of `key`, in huge pages when huge_pages asks for them and the system has them;
// the first refusal of huge pages is said once and normal pages are used from then on.
int get_daemon_segment(key_t key, uint64_t bytes, bool no_reserve, bool* existed) {
  static bool huge_refused = false;
  SegmentCreation how{bytes, segment_mode(), false, no_reserve};
  if (settings.huge_pages && !huge_refused) {
    SegmentCreation huge = how;
    huge.huge_pages = true;
    huge.bytes = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
    const int id = get_segment(key, huge, existed);
    if (id >= 0 || *existed) return id >= 0 ? id : get_segment(key, how, existed);
    log_msg(kLogWarn, "Huge pages are not available (%s): the segments use normal pages", strerror(errno));
    huge_refused = true;
  }
  return get_segment(key, how, existed);
}

// Gives a segment just created to reader_group (mode 0640 was set at creation). False after logging.
bool share_with_reader_group(int id) {
  if (settings.reader_group == nullptr) return true;
  const group* g = getgrnam(settings.reader_group);
  struct shmid_ds ds;
  if (g == nullptr || shmctl(id, IPC_STAT, &ds) != 0) {
    log_msg(kLogError, "Could not give segment %d to group %s: %s", id, settings.reader_group,
            g == nullptr ? "no such group" : strerror(errno));
    return false;
  }
  ds.shm_perm.gid = g->gr_gid;
  ds.shm_perm.mode = static_cast<unsigned short>(segment_mode());
  if (shmctl(id, IPC_SET, &ds) != 0) {
    log_msg(kLogError, "Could not give segment %d to group %s: %s", id, settings.reader_group, strerror(errno));
    return false;
  }
  return true;
}

void* attach(int id) {
  void* base = shmat(id, nullptr, 0);
  return base == reinterpret_cast<void*>(-1) ? nullptr : base;
}

// Gets and attaches the companion segment of `project_id`: its id and base, or -1 after logging.
int attach_companion(int project_id, const char* what, uint64_t bytes, bool no_reserve, void** base,
                     bool* existed) {
  const key_t key = segment_key(settings.data_path, project_id);
  if (key == static_cast<key_t>(-1)) {
    log_msg(kLogError, "Could not get the %s segment's key for %s: %s", what, settings.data_path, strerror(errno));
    return -1;
  }
  const int id = get_daemon_segment(key, bytes, no_reserve, existed);
  if (id < 0) {
    log_msg(kLogError, "Could not get the %s segment: %s", what, strerror(errno));
    return -1;
  }
  if (!*existed && !share_with_reader_group(id)) return -1;
  *base = attach(id);
  if (*base == nullptr) {
    log_msg(kLogError, "Could not attach the %s segment: %s", what, strerror(errno));
    return -1;
  }
  return id;
}

bool attach_state(DaemonSegments* segment, DictIdentity dict) {
  bool existed = false;
  void* base = nullptr;
  segment->state_id = attach_companion(kStateProjectId, "state", kStateSegmentSize, false, &base, &existed);
  if (segment->state_id < 0) return false;
  segment->state = static_cast<StateHeader*>(base);
  segment->state_matched = existed && names_dictionary(segment->state, kStateMagic, kStateVersion, dict);
  if (!segment->state_matched) init_companion_header(segment->state, kStateMagic, kStateVersion, dict);
  return true;
}

// Marks an index segment left by an earlier start as agreeing with nothing (a reader still attached
// to it then walks the dictionary) and removes it.
void retire_index_segment() {
  const int id = find_segment(settings.data_path, kIndexProjectId);
  if (id < 0) return;
  if (void* base = shmat(id, nullptr, 0); base != reinterpret_cast<void*>(-1)) {
    suspend_index(static_cast<IndexHeader*>(base));
    shmdt(base);
  }
  shmctl(id, IPC_RMID, nullptr);
}

// The index is derived data: a header naming another dictionary is simply started afresh, and the
// worker rebuilds the contents before it serves.
void attach_index(DaemonSegments* segment, DictIdentity dict) {
  if (!settings.index) {
    retire_index_segment();  // readers must not take one that no worker keeps
    return;
  }
  bool existed = false;
  void* base = nullptr;
  const uint64_t bytes = index_segment_bytes(settings.data_size);
  segment->index_id = attach_companion(kIndexProjectId, "index", bytes, true, &base, &existed);
  struct shmid_ds ds;
  if (segment->index_id >= 0 && existed && shmctl(segment->index_id, IPC_STAT, &ds) == 0 && ds.shm_segsz < bytes) {
    // Left by a start with a smaller data_size: it is derived data, made afresh at the right size.
    if (base != nullptr) shmdt(base);
    retire_index_segment();
    segment->index_id = attach_companion(kIndexProjectId, "index", bytes, true, &base, &existed);
  }
  if (segment->index_id >= 0 && (shmctl(segment->index_id, IPC_STAT, &ds) != 0 || ds.shm_segsz < bytes)) {
    log_msg(kLogError, "The index segment %d holds less than %llu bytes", segment->index_id,
            static_cast<unsigned long long>(bytes));
    if (base != nullptr) shmdt(base);
    base = nullptr;
  }
  if (segment->index_id < 0 || base == nullptr) {
    log_msg(kLogWarn, "Going on without the index: lookups walk the key tree and the tries");
    segment->index_id = -1;
    return;
  }
  segment->index = static_cast<IndexHeader*>(base);
  if (!names_dictionary(segment->index, kIndexMagic, kIndexVersion, dict)) {
    init_companion_header(segment->index, kIndexMagic, kIndexVersion, dict);
  }
  segment->index->pool_bytes = ds.shm_segsz - kIndexPoolOffset;
}

void remove_one(int* id, void** base) {
  if (*base == nullptr) return;
  shmctl(*id, IPC_RMID, nullptr);
  shmdt(*base);
  *base = nullptr;
  *id = -1;
}

}  // namespace

bool attach_segment(DaemonSegments* segment) {
  const key_t key = segment_key(settings.data_path, kDictProjectId);
  if (key == static_cast<key_t>(-1)) {
    log_msg(kLogError, "Could not get key for %s: %s", settings.data_path, strerror(errno));
  } else if ((segment->id = get_daemon_segment(key, static_cast<uint64_t>(settings.data_size), false,
                                               &segment->reused)) == -1) {
    int err = errno;
    log_msg(kLogError, "Could not get shared memory: %s", strerror(err));
    explain_existing_segment(key, err);
  } else if (!segment->reused && !share_with_reader_group(segment->id)) {
    // logged
  } else if ((segment->base = static_cast<SlabPool*>(attach(segment->id))) == nullptr) {
    log_msg(kLogError, "Could not attach shared memory: %s", strerror(errno));
  } else {
    struct shmid_ds ds;
    if (shmctl(segment->id, IPC_STAT, &ds) != 0) {
      log_msg(kLogError, "Could not get the state segment's key for %s: %s", settings.data_path, strerror(errno));
    } else if (const DictIdentity dict{segment->id, static_cast<int64_t>(ds.shm_ctime)}; attach_state(segment, dict)) {
      attach_index(segment, dict);
      log_msg(kLogDebug, "Shared memory successfully attached.");
      return true;
    }
  }
  log_msg(kLogError, "Could not have attached memory");
  return false;
}

int remove_segment(DaemonSegments* segment) {
  remove_one(&segment->state_id, reinterpret_cast<void**>(&segment->state));
  remove_one(&segment->index_id, reinterpret_cast<void**>(&segment->index));
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
