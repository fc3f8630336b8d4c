// Which files a client may have the daemon read (LOAD) or write (DUMP).
//
// A request without a path uses the configured data file, as always. A path a client names is
// accepted only when all of these hold:
//   1. the peer's uid is 0 or the daemon's own effective uid (a daemon started as root without `user`
//      serves every local account, and must not write where only root may);
//   2. the path is absolute and has no "." or ".." component;
//   3. it names a file directly in the data file's folder, or a file anywhere under the configured
//      dump_dir (through directories that exist);
//   4. nothing after that folder is a symbolic link: each directory is opened relative to the one
//      before with O_NOFOLLOW, and the file itself is opened with O_NOFOLLOW relative to the last,
//      so nothing can be swapped in between the check and the open;
//   5. it is none of the daemon's own files but the data file: not the log, the pid file, the socket,
//      the data file's dump temporary, and (for a dump) its own temporary is none of those either.
#pragma once

#include <cstdint>

#include "persist/data_file.h"
#include "server/peer.h"
#include "util/io.h"

namespace quillmap {

enum class PathUse { kLoad, kDump };

// A resolved client path: where persist/ opens it. `folder` holds the directory descriptor that
// `file.dir_fd` names; `file.no_follow` is set.
struct ClientPath {
  UniqueFd folder;
  FileLocation file;
};

// Checks `path` (the request's text) for `peer` against the rules above. kDone with `out` filled, or
// kFailed after WARN "Refused the path %s of client PID=%ld: %s" with the reason.
int64_t resolve_client_path(const PeerIdentity& peer, const char* path, PathUse use, ClientPath* out);

}  // namespace quillmap
