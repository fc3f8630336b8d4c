#include "server/peer.h"

#include <sys/socket.h>

namespace quillmap {

bool read_peer_identity(int fd, PeerIdentity* peer) {
  ucred creds;
  socklen_t len = sizeof creds;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &creds, &len) != 0) return false;
  *peer = PeerIdentity{creds.pid, creds.uid, creds.gid};
  return true;
}

}  // namespace quillmap
