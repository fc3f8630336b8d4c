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

#include "store/companion_header.h"
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

// A companion header is taken only when it names the attached dictionary.
template <class Header>
const Header* companion(SegmentAttachment* seg, const char* data_path, int project_id, uint64_t magic,
                        uint32_t version, const SegmentAttachment& dict) noexcept {
  const int id = find_segment(data_path, project_id);
  if (id < 0 || seg->attach(id, /*read_only=*/true) != 0) return nullptr;
  const auto* h = static_cast<const Header*>(seg->base());
  if (seg->size() < sizeof(Header) || !names_dictionary(h, magic, version, DictIdentity{dict.id(), dict.ctime()})) {
    seg->detach();
    return nullptr;
  }
  return h;
}

}  // namespace

ReadStatus DaemonAttachment::attach(const char* data_path) noexcept {
  detach();
  if (data_path == nullptr || *data_path == '\0') return ReadStatus::kBadPath;
  const key_t key = segment_key(data_path, kDictProjectId);
  if (key == static_cast<key_t>(-1)) return ReadStatus::kBadPath;
  const int id = shmget(key, 0, 0);
  if (id < 0) return status_of_errno(errno);
  int err = dict_.attach(id, false);
  if (err == EACCES) err = dict_.attach(id, true);
  if (err != 0) {
    errno = err;
    return status_of_errno(err);
  }
  state_ = companion<StateHeader>(&state_segment_, data_path, kStateProjectId, kStateMagic, kStateVersion, dict_);
  index_ = companion<IndexHeader>(&index_segment_, data_path, kIndexProjectId, kIndexMagic, kIndexVersion, dict_);
  return ReadStatus::kOk;
}

bool DaemonAttachment::is_live(const char* data_path) const noexcept {
  if (!dict_.attached()) return false;
  shmid_ds ds;
  if (shmctl(dict_.id(), IPC_STAT, &ds) != 0 || (ds.shm_perm.mode & SHM_DEST) != 0) return false;
  // A key that cannot be derived or names no segment proves nothing while ours is not marked for
  // removal: the daemon may go on serving it after its data file was replaced. Another segment
  // under the key does: a new daemon serves that one.
  const int id = find_segment(data_path, kDictProjectId);
  return id == dict_.id() || (id < 0 && errno == ENOENT);
}

void DaemonAttachment::detach() noexcept {
  index_segment_.detach();
  state_segment_.detach();
  dict_.detach();
  state_ = nullptr;
  index_ = nullptr;
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
