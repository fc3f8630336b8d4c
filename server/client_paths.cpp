#include "server/client_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "persist/data_file_writer.h"
#include "util/log.h"
#include "util/settings.h"

namespace quillmap {
namespace {

constexpr size_t kSocketPathMax = 107;  // the socket is bound at the path cut to this length

using Components = std::vector<std::string>;

// The components of an absolute path; false for a relative path or one with "." or "..".
bool split_absolute(const std::string& path, Components* out) {
  if (path.empty() || path[0] != '/') return false;
  out->clear();
  size_t at = 0;
  while (at < path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(at, slash - at);
    if (part == "." || part == "..") return false;
    if (!part.empty()) out->push_back(std::move(part));
    at = slash + 1;
  }
  return true;
}

std::string absolute(const char* path) {
  if (path[0] == '/') return path;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Where one of the daemon's own files lies: its folder's identity and its name there.
struct OwnFile {
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;
  struct stat self {};  // the file itself, when it exists
  bool exists = false;
  bool is_data_file = false;
};

std::vector<OwnFile> own_files() {
  std::vector<OwnFile> out;
  auto add = [&](const char* configured, const std::string& suffix, size_t cut, bool is_data) {
    if (configured == nullptr) return;
    std::string path = absolute(configured).substr(0, cut) + suffix;
    OwnFile f;
    struct stat dir;
    if (stat(folder_of(path).c_str(), &dir) != 0) return;
    f.dev = dir.st_dev;
    f.ino = dir.st_ino;
    f.name = path.substr(path.rfind('/') + 1);
    f.exists = stat(path.c_str(), &f.self) == 0;
    f.is_data_file = is_data;
    out.push_back(std::move(f));
  };
  add(settings.log_path, "", std::string::npos, false);
  add(settings.pid_path, "", std::string::npos, false);
  add(settings.socket_path, "", kSocketPathMax, false);
  add(settings.data_path, ".tmp", std::string::npos, false);
  add(settings.data_path, "", std::string::npos, true);
  return out;
}

// Why the file `name` in the open folder `dir` may not be used; empty when it may.
std::string own_file_conflict(int dir, const std::string& name, PathUse use) {
  struct stat folder;
  if (fstat(dir, &folder) != 0) return std::string("cannot examine its folder: ") + strerror(errno);
  struct stat target;
  const bool exists = fstatat(dir, name.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISLNK(target.st_mode)) return "it is a symbolic link";
  const std::vector<OwnFile> own = own_files();
  auto same_folder = [&](const OwnFile& f) { return f.dev == folder.st_dev && f.ino == folder.st_ino; };
  auto same_file = [&](const OwnFile& f) {
    return exists && f.exists && f.self.st_dev == target.st_dev && f.self.st_ino == target.st_ino;
  };
  for (const OwnFile& f : own) {
    // The data file itself may always be named (its dump uses the daemon's temporary, as usual).
    if (f.is_data_file && (same_file(f) || (same_folder(f) && f.name == name))) return "";
  }
  for (const OwnFile& f : own) {
    if (f.is_data_file) continue;
    if ((same_folder(f) && f.name == name) || same_file(f)) return "it is one of the daemon's own files";
    if (use == PathUse::kDump && same_folder(f) && f.name == dump_temp_path(name)) {
      return "its temporary file would be one of the daemon's own files";
    }
  }
  return "";
}

// The part of `path` below `root` (both split), or false when `path` does not lie below it.
bool below(const Components& root, const Components& path, Components* rest) {
  if (path.size() <= root.size()) return false;
  for (size_t i = 0; i < root.size(); ++i) {
    if (root[i] != path[i]) return false;
  }
  rest->assign(path.begin() + static_cast<long>(root.size()), path.end());
  return true;
}

// Opens `root` (configured, trusted: followed as given), then each directory of `rest` but the last
// component without following links. The folder's descriptor, or an empty one with `why` set.
UniqueFd open_folder(const std::string& root, const Components& rest, std::string* why) {
  UniqueFd dir(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    *why = "cannot open " + root + ": " + strerror(errno);
    return UniqueFd();
  }
  for (size_t i = 0; i + 1 < rest.size(); ++i) {
    UniqueFd next(openat(dir.get(), rest[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) {
      *why = errno == ELOOP || errno == ENOTDIR ? "a symbolic link or a file is on its way"
                                                : std::string("cannot open its folder: ") + strerror(errno);
      return UniqueFd();
    }
    dir = std::move(next);
  }
  return dir;
}

std::string check(const PeerIdentity& peer, const std::string& path, PathUse use, ClientPath* out) {
  if (peer.uid != 0 && peer.uid != geteuid()) return "only root or the daemon's own account may name a path";
  Components parts;
  if (!split_absolute(path, &parts)) return "it must be an absolute path without . or ..";

  struct Root {
    std::string text;
    bool any_depth;
  };
  std::vector<Root> roots;
  if (settings.data_path != nullptr) roots.push_back({folder_of(absolute(settings.data_path)), false});
  if (settings.dump_dir != nullptr) roots.push_back({absolute(settings.dump_dir), true});

  for (const Root& root : roots) {
    Components root_parts, rest;
    if (!split_absolute(root.text, &root_parts) || !below(root_parts, parts, &rest)) continue;
    if (!root.any_depth && rest.size() != 1) continue;
    std::string why;
    UniqueFd folder = open_folder(root.text, rest, &why);
    if (!folder) return why;
    why = own_file_conflict(folder.get(), rest.back(), use);
    if (!why.empty()) return why;
    out->file = FileLocation{folder.get(), rest.back(), path, true};
    out->folder = std::move(folder);
    return "";
  }
  return "it is neither directly in the data file's folder nor under dump_dir";
}

}  // namespace

int64_t resolve_client_path(const PeerIdentity& peer, const char* path, PathUse use, ClientPath* out) {
  std::string why = check(peer, path, use, out);
  if (why.empty()) return kDone;
  log_msg(kLogWarn, "Refused the path %s of client PID=%ld: %s", path, static_cast<long>(peer.pid), why.c_str());
  return kFailed;
}

}  // namespace quillmap
