// Who is on the other end of a client connection, as the kernel reports it for a Unix socket.
#pragma once

#include <sys/types.h>

namespace quillmap {

struct PeerIdentity {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

// The credentials of the peer of the connected Unix socket `fd`; false (errno set) when the kernel
// does not report them.
bool read_peer_identity(int fd, PeerIdentity* peer);

}  // namespace quillmap
