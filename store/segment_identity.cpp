#include "store/segment_identity.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>

namespace quillmap {

key_t segment_key(const char* data_path, int project_id) noexcept {
  if (data_path == nullptr || *data_path == '\0') {
    errno = ENOENT;
    return static_cast<key_t>(-1);
  }
  return ftok(data_path, project_id);
}

int find_segment(const char* data_path, int project_id) noexcept {
  const key_t key = segment_key(data_path, project_id);
  if (key == static_cast<key_t>(-1)) return -1;
  return shmget(key, 0, 0);
}

int get_segment(key_t key, const SegmentCreation& how, bool* existed) noexcept {
  int flags = IPC_CREAT | IPC_EXCL | how.mode;
  if (how.huge_pages) flags |= SHM_HUGETLB;
  if (how.no_reserve) flags |= SHM_NORESERVE;
  int id = shmget(key, how.bytes, flags);
  *existed = id < 0 && errno == EEXIST;
  if (*existed) id = shmget(key, how.bytes, how.mode);
  return id;
}

SegmentAttachment& SegmentAttachment::operator=(SegmentAttachment&& other) noexcept {
  if (this != &other) {
    detach();
    base_ = other.base_;
    size_ = other.size_;
    id_ = other.id_;
    ctime_ = other.ctime_;
    read_only_ = other.read_only_;
    other.release();
  }
  return *this;
}

int SegmentAttachment::attach(int id, bool read_only) noexcept {
  detach();
  shmid_ds ds;
  if (shmctl(id, IPC_STAT, &ds) != 0) return errno;
  void* base = shmat(id, nullptr, read_only ? SHM_RDONLY : 0);
  if (base == reinterpret_cast<void*>(-1)) return errno;
  base_ = base;
  size_ = ds.shm_segsz;
  id_ = id;
  ctime_ = static_cast<int64_t>(ds.shm_ctime);
  read_only_ = read_only;
  return 0;
}

void SegmentAttachment::detach() noexcept {
  if (base_ != nullptr) shmdt(base_);
  release();
}

void SegmentAttachment::release() noexcept {
  base_ = nullptr;
  size_ = 0;
  id_ = -1;
  ctime_ = 0;
  read_only_ = false;
}

}  // namespace quillmap
