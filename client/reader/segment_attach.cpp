#include "client/reader/segment_attach.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <memory>

#include "util/config_lines.h"

namespace quillmap {
namespace {

ReadStatus status_of_errno(int err) {
  switch (err) {
    case ENOENT:
    case EIDRM:
      return ReadStatus::kNoSegment;
    case EACCES:
    case EPERM:
      return ReadStatus::kPermission;
    default:
      return ReadStatus::kSystemError;
  }
}

}  // namespace

ReadStatus AttachedSegment::attach(const char* data_path) noexcept {
  detach();
  if (data_path == nullptr || *data_path == '\0') return ReadStatus::kBadPath;
  const key_t key = ftok(data_path, kSegmentProjectId);
  if (key == static_cast<key_t>(-1)) return ReadStatus::kBadPath;
  const int id = shmget(key, 0, 0);
  if (id < 0) return status_of_errno(errno);
  shmid_ds ds;
  if (shmctl(id, IPC_STAT, &ds) != 0) return status_of_errno(errno);
  void* base = shmat(id, nullptr, 0);
  if (base == reinterpret_cast<void*>(-1)) return status_of_errno(errno);
  base_ = base;
  size_ = ds.shm_segsz;
  id_ = id;
  return ReadStatus::kOk;
}

bool AttachedSegment::is_live(const char* data_path) const noexcept {
  if (base_ == nullptr) return false;
  shmid_ds ds;
  if (shmctl(id_, IPC_STAT, &ds) != 0 || (ds.shm_perm.mode & SHM_DEST) != 0) return false;
  // A key that cannot be derived or names no segment proves nothing while ours is not marked for
  // removal: the daemon may go on serving it after its data file was replaced. Another segment
  // under the key does: a new daemon serves that one.
  const key_t key = ftok(data_path, kSegmentProjectId);
  if (key == static_cast<key_t>(-1)) return true;
  const int id = shmget(key, 0, 0);
  return id == id_ || (id < 0 && errno == ENOENT);
}

void AttachedSegment::detach() noexcept {
  if (base_ != nullptr) shmdt(base_);
  base_ = nullptr;
  size_ = 0;
  id_ = -1;
}

ReadStatus data_path_from_config(const char* config_path, std::string* data_path) {
  if (config_path == nullptr) return ReadStatus::kBadConfig;
  std::optional<std::string> found;
  auto take = [&found](const std::string& key, const std::string& value) {
    if (key == "data_path" && !found) found = value;  // the first one counts, as for the daemon
  };
  if (read_config_lines(config_path, take) != ConfigReadResult::kDone || !found) return ReadStatus::kBadConfig;
  *data_path = std::move(*found);
  return ReadStatus::kOk;
}

}  // namespace quillmap
