#include "persist/data_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "store/change_epoch.h"
#include "store/layout.h"
#include "store/rbtree.h"
#include "util/io.h"
#include "util/log.h"
#include "util/settings.h"

namespace quillmap {
namespace {

constexpr mode_t kDataFileMode = 0600;
constexpr char kTrailerFormat[] = "# complete dump: %" PRId64 " entries, %zu bytes, crc32 %08" PRIx32 "\n";
constexpr char kTrailerScan[] = "# complete dump: %" SCNd64 " entries, %zu bytes, crc32 %8" SCNx32;

bool is_space_error(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG; }

// Syncs the folder holding `name` (relative to `dir_fd`), so that an entry just made in it is still
// there after a power cut. 0, or the error.
int sync_folder(int dir_fd, const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
  UniqueFd fd(openat(dir_fd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return errno;
  return fsync(fd.get()) == 0 ? 0 : errno;
}

// Writes `text` and the trailer to a fresh temporary file (`temp` in the data file's directory,
// shown as `temp_shown`) and syncs it. 0, or -1 after an ERROR (the temporary file is then removed).
int write_temp_copy(const FileLocation& file, const std::string& temp, const std::string& temp_shown,
                    std::string_view text, int64_t entries) {
  if (unlinkat(file.dir_fd, temp.c_str(), 0) != 0 && errno != ENOENT) {
    log_msg(kLogError, "Could not remove the earlier %s: %s", temp_shown.c_str(), strerror(errno));
    return -1;
  }
  UniqueFd fd(openat(file.dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kDataFileMode));
  if (!fd) {
    int err = errno;
    log_msg(kLogError, "Could not create %s: %s; %s is left as it was (it is never rewritten without that copy)",
            temp_shown.c_str(), strerror(err), file.shown.c_str());
    return -1;
  }
  const std::string trailer = dump_trailer(text, entries);
  int err = 0;
  if (shm_writen(fd.get(), text.data(), text.size()) != static_cast<int64_t>(text.size()) ||
      shm_writen(fd.get(), trailer.data(), trailer.size()) != static_cast<int64_t>(trailer.size())) {
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
  // The rewrite may begin only once the complete copy's name is as durable as its contents.
  if ((err = sync_folder(file.dir_fd, temp)) != 0) {
    log_msg(kLogError, "Could not sync the folder of %s: %s; %s is left as it was", temp_shown.c_str(), strerror(err),
            file.shown.c_str());
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

// Writes `text` over the open data file from offset 0, cuts it there and syncs it (a regular file).
// 0, or the error.
int rewrite_in_place(int fd, std::string_view text, bool regular) {
  if (regular) {
    if (int err = reserve_space(fd, text.size()); err != 0) return err;
  }
  if (shm_writen(fd, text.data(), text.size()) != static_cast<int64_t>(text.size())) return errno != 0 ? errno : EIO;
  if (regular && (ftruncate(fd, static_cast<off_t>(text.size())) != 0 || fsync(fd) != 0)) return errno;
  return 0;
}

// The whole file at `path` (a symbolic link is followed only with `follow`). false with errno set
// when it cannot be opened or read.
bool read_whole(const char* path, std::string* out, bool follow = false) {
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW)));
  if (!fd) return false;
  char buf[65536];
  for (ssize_t n; (n = read(fd.get(), buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
  }
  return true;
}

// The text of a complete temporary file (the trailer removed), or false when it is not complete.
bool complete_text(const std::string& content, std::string_view* text, int64_t* entries) {
  if (content.empty() || content.back() != '\n') return false;
  size_t start = content.rfind('\n', content.size() - 2);
  start = start == std::string::npos ? 0 : start + 1;
  size_t bytes = 0;
  uint32_t crc = 0;
  std::string trailer = content.substr(start);
  if (sscanf(trailer.c_str(), kTrailerScan, entries, &bytes, &crc) != 3 || bytes != start) return false;
  *text = std::string_view(content.data(), start);
  return crc32_short(text->data(), text->size()) == crc && dump_trailer(*text, *entries) == trailer;
}

// Copies the data file at `path` to "<path>.unloadable-<UTC time>" (mode 0600, synced, its folder
// too), named in `copy`. 0, also when there was nothing to copy (`copy` empty: the file is missing
// or empty); otherwise the error, `copy` naming the copy that could not be made (a part written is
// removed).
int copy_aside(const char* path, std::string* copy) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  *copy = std::string(path) + ".unloadable-" + stamp;
  std::string content;
  if (!read_whole(path, &content, true)) {
    if (errno != ENOENT) return errno;
    content.clear();
  }
  if (content.empty()) {
    copy->clear();
    return 0;
  }
  UniqueFd fd(open(copy->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kDataFileMode));
  if (!fd) return errno;
  int err = 0;
  if (shm_writen(fd.get(), content.data(), content.size()) != static_cast<int64_t>(content.size()) ||
      fsync(fd.get()) != 0 || fd.reset() != 0) {
    err = errno != 0 ? errno : EIO;
  } else {
    err = sync_folder(AT_FDCWD, *copy);
  }
  if (err != 0) {
    fd.reset();
    unlink(copy->c_str());
  }
  return err;
}

// Whether a dump to `file` must not go ahead: `file` is the data file, and it is held (it did not
// load whole and no copy of it is kept). A held file gets another try at its copy first; once one is
// kept, or the file is gone, it is held no more. true after an ERROR.
bool held_file_refuses(const FileLocation& file) {
  if (!data_file_held() || settings.data_path == nullptr) return false;
  struct stat held, target;
  const bool held_found = stat(settings.data_path, &held) == 0;
  if (!held_found && errno == ENOENT) {
    note_data_file_held(false);  // nothing left that could be lost
    return false;
  }
  const int follow = file.no_follow ? AT_SYMLINK_NOFOLLOW : 0;
  const bool target_found = fstatat(file.dir_fd, file.name.c_str(), &target, follow) == 0;
  const bool same = held_found && target_found
                        ? held.st_dev == target.st_dev && held.st_ino == target.st_ino
                        : file.dir_fd == AT_FDCWD && file.name == settings.data_path;
  if (!same) return false;
  std::string copy;
  if (int err = copy_aside(settings.data_path, &copy); err != 0) {
    log_msg(kLogError,
            "Could not dump to %s: it did not load whole and no copy of it could be kept (%s: %s); it is left as it was",
            file.shown.c_str(), copy.c_str(), strerror(err));
    return true;
  }
  note_data_file_held(false);
  if (!copy.empty()) {
    log_msg(kLogCrit, "The data file %s could not be loaded whole; a copy is kept as %s", settings.data_path,
            copy.c_str());
  }
  return false;
}

}  // namespace

std::string dump_temp_path(const std::string& path) { return path + ".tmp"; }

std::string dump_trailer(std::string_view text, int64_t entries) {
  char line[128];
  snprintf(line, sizeof line, kTrailerFormat, entries, text.size(), crc32_short(text.data(), text.size()));
  return line;
}

int64_t write_data_file(const FileLocation& file, std::string_view text, int64_t entries) {
  const char* path = file.shown.c_str();
  if (held_file_refuses(file)) return kFailed;
  const int follow = file.no_follow ? AT_SYMLINK_NOFOLLOW : 0;
  // Only a regular file (or a missing one) gets the safety copy; a device or pipe is written as is.
  struct stat st;
  bool regular = fstatat(file.dir_fd, file.name.c_str(), &st, follow) != 0 || S_ISREG(st.st_mode);
  std::string temp = dump_temp_path(file.name);
  if (regular && write_temp_copy(file, temp, dump_temp_path(file.shown), text, entries) != 0) return kFailed;

  const int no_follow = file.no_follow ? O_NOFOLLOW : 0;
  UniqueFd fd(openat(file.dir_fd, file.name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | no_follow, kDataFileMode));
  if (!fd) {
    log_msg(kLogError, "Could not dump to %s: %s", path, strerror(errno));
    if (regular) unlinkat(file.dir_fd, temp.c_str(), 0);
    return kFailed;
  }
  // From here on the data file changes; the temporary file holds the whole dump until it is done.
  int err = rewrite_in_place(fd.get(), text, regular);
  if (err == 0 && fd.reset() != 0) err = errno;
  if (err != 0) {
    if (regular) {
      log_msg(kLogError, "Could not rewrite %s: %s; the complete dump is kept in %s", path, strerror(err),
              dump_temp_path(file.shown).c_str());
    } else {
      log_msg(kLogError, "Could not dump to %s: %s", path, strerror(err));
    }
    return kFailed;
  }
  if (regular && unlinkat(file.dir_fd, temp.c_str(), 0) != 0) {
    log_msg(kLogWarn, "Could not remove %s: %s", dump_temp_path(file.shown).c_str(), strerror(errno));
  }
  return 0;
}

int64_t finish_interrupted_dump(const char* path) {
  const std::string temp = dump_temp_path(path);
  std::string content;
  if (!read_whole(temp.c_str(), &content)) return 0;
  std::string_view text;
  int64_t entries = 0;
  if (!complete_text(content, &text, &entries)) {
    unlink(temp.c_str());
    log_msg(kLogWarn, "Removed the incomplete dump %s", temp.c_str());
    return 0;
  }
  UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_CLOEXEC, kDataFileMode));
  int err = fd ? rewrite_in_place(fd.get(), text, true) : errno;
  if (err == 0 && fd.reset() != 0) err = errno;
  if (err != 0) {
    log_msg(kLogError, "Could not complete %s from %s: %s", path, temp.c_str(), strerror(err));
    return kFailed;
  }
  unlink(temp.c_str());
  log_msg(kLogWarn, "The last dump of %s was cut short; it was completed from %s (%ld entries)", path, temp.c_str(),
          static_cast<long>(entries));
  return 1;
}

int64_t keep_unloadable_copy(const char* path) {
  std::string copy;
  if (int err = copy_aside(path, &copy); err != 0) {
    log_msg(kLogError, "Could not keep a copy of the unloadable data file %s as %s: %s", path, copy.c_str(), strerror(err));
    if (!data_file_held()) {
      log_msg(kLogCrit,
              "The data file %s could not be loaded whole and no copy of it could be kept; it is not overwritten "
              "until one is: dumps to it fail, and a stop keeps the store in shared memory",
              path);
    }
    note_data_file_held(true);
    return kFailed;
  }
  note_data_file_held(false);
  if (!copy.empty()) {
    log_msg(kLogCrit, "The data file %s could not be loaded whole; a copy is kept as %s", path, copy.c_str());
  }
  return 0;
}

}  // namespace quillmap
