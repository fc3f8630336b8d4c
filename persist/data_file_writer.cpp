#include "persist/data_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/layout.h"
#include "util/io.h"
#include "util/log.h"

namespace quillmap {
namespace {

constexpr mode_t kDataFileMode = 0600;

bool is_space_error(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG; }

// Writes `text` to a fresh temporary file (`temp` in the data file's directory, shown as
// `temp_shown`) and syncs it. 0; -1 after an ERROR (the temporary file is then removed); 1 when the
// directory refuses the file to this account (nothing created, WARN).
int write_temp_copy(const FileLocation& file, const std::string& temp, const std::string& temp_shown,
                    std::string_view text) {
  UniqueFd fd(openat(file.dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kDataFileMode));
  if (!fd) {
    int err = errno;
    if (err == EACCES || err == EPERM) {
      log_msg(kLogWarn, "Could not create %s: %s; rewriting %s without a safety copy", temp_shown.c_str(),
              strerror(err), file.shown.c_str());
      return 1;
    }
    log_msg(kLogError, "Could not dump to %s: %s", temp_shown.c_str(), strerror(err));
    return -1;
  }
  int err = 0;
  if (shm_writen(fd.get(), text.data(), text.size()) != static_cast<int64_t>(text.size())) {
    err = errno != 0 ? errno : EIO;
  } else if (fsync(fd.get()) != 0 || fd.reset() != 0) {
    err = errno;
  }
  if (err != 0) {
    log_msg(kLogError, "Could not dump to %s: %s", temp_shown.c_str(), strerror(err));
    fd.reset();
    unlinkat(file.dir_fd, temp.c_str(), 0);
    return -1;
  }
  return 0;
}

// Reserves the blocks `size` bytes need without changing the file's size or contents, so that the
// rewrite cannot run out of space halfway. Returns 0, or the error when the space is not there; a
// file system without reservation support is not an error.
int reserve_space(int fd, size_t size) {
  if (size == 0) return 0;
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0) return 0;
  return is_space_error(errno) ? errno : 0;
}

}  // namespace

std::string dump_temp_path(const std::string& path) { return path + ".tmp"; }

int64_t write_data_file(const FileLocation& file, std::string_view text) {
  const char* path = file.shown.c_str();
  const int follow = file.no_follow ? AT_SYMLINK_NOFOLLOW : 0;
  // Only a regular file (or a missing one) gets the safety copy; a device or pipe is written as is.
  struct stat st;
  bool regular = fstatat(file.dir_fd, file.name.c_str(), &st, follow) != 0 || S_ISREG(st.st_mode);
  std::string temp = dump_temp_path(file.name);
  bool have_temp = false;
  if (regular) {
    int r = write_temp_copy(file, temp, dump_temp_path(file.shown), text);
    if (r < 0) return kFailed;
    have_temp = r == 0;
  }
  auto drop_temp = [&] {
    if (have_temp) unlinkat(file.dir_fd, temp.c_str(), 0);
  };

  const int no_follow = file.no_follow ? O_NOFOLLOW : 0;
  UniqueFd fd(openat(file.dir_fd, file.name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | no_follow, kDataFileMode));
  if (!fd) {
    log_msg(kLogError, "Could not dump to %s: %s", path, strerror(errno));
    drop_temp();
    return kFailed;
  }
  if (regular) {
    if (int err = reserve_space(fd.get(), text.size()); err != 0) {
      log_msg(kLogError, "Could not dump to %s: %s", path, strerror(err));
      drop_temp();
      return kFailed;
    }
  }

  // From here on the data file changes.
  int err = 0;
  if (shm_writen(fd.get(), text.data(), text.size()) != static_cast<int64_t>(text.size())) {
    err = errno != 0 ? errno : EIO;
  } else if (regular && (ftruncate(fd.get(), static_cast<off_t>(text.size())) != 0 || fsync(fd.get()) != 0)) {
    err = errno;
  } else if (fd.reset() != 0) {
    err = errno;
  }
  if (err != 0) {
    if (have_temp) {
      log_msg(kLogError, "Could not rewrite %s: %s; the complete dump is kept in %s", path, strerror(err),
              dump_temp_path(file.shown).c_str());
    } else {
      log_msg(kLogError, "Could not dump to %s: %s", path, strerror(err));
    }
    return kFailed;
  }
  if (have_temp && unlinkat(file.dir_fd, temp.c_str(), 0) != 0) {
    log_msg(kLogWarn, "Could not remove %s: %s", dump_temp_path(file.shown).c_str(), strerror(errno));
  }
  return 0;
}

}  // namespace quillmap
