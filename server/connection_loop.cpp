#include "server/connection_loop.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "entry/ipaddr_ops.h"
#include "server/dispatcher.h"
#include "store/rwlock.h"
#include "store/sweeps.h"
#include "util/io.h"
#include "util/log.h"
#include "util/ptr_list.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

constexpr int kBacklog = 128;
constexpr int kPollMillis = 100;
constexpr size_t kSocketPathMax = 107;  // sun_path is 108 bytes and always ends in a NUL
constexpr socklen_t kBindLength = 110;  // 2-byte family and the 108-byte path
constexpr int64_t kWaitFailed = -4;
static_assert(sizeof(sockaddr_un) == kBindLength);

// The listening socket outlives process_cycle (the worker exits right after it anyway); the next
// process_cycle in the same process replaces it.
UniqueFd listening_socket;

// Opens, binds and listens; -1 after the matching message on failure.
int64_t open_listening_socket() {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd) {
    fputs("Socket creation error!", stderr);
    return kFailed;
  }
  const char* path = settings.socket_path != nullptr ? settings.socket_path : "";
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path, kSocketPathMax);  // the 108th byte stays NUL
  // The stale file to remove is the one the socket is bound at: a path longer than the address
  // field is bound cut short, and a socket left there by a killed worker would block every bind.
  if (unlink(addr.sun_path) != 0 && errno != ENOENT) {
    fprintf(stderr, "failed to remove %s", path);
    return kFailed;
  }
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), kBindLength) != 0) {
    log_msg(kLogError, "Could not bind to %s\n", path);
    return kFailed;
  }
  if (listen(fd.get(), kBacklog) != 0) {
    log_msg(kLogError, "Could not start listening!");
    return kFailed;
  }
  listening_socket = std::move(fd);
  return kDone;
}

bool peer_admitted(const ucred& peer, const UserAccount* account) {
  if (account == nullptr) return true;
  bool uid_ok = peer.uid == account->uid || peer.uid == 0;
  bool gid_ok = peer.gid == account->gid || peer.gid == 0;
  return uid_ok && gid_ok;
}

// Checks the credentials of the accepted connection and serves it, or closes it without a reply.
void admit_and_serve(UniqueFd conn, SlabPool* pool, const UserAccount* account) {
  ucred peer;
  socklen_t len = sizeof peer;
  if (getsockopt(conn.get(), SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) {
    log_msg(kLogError, "Failed to retrieve credentials from peer: %s", strerror(errno));
    log_msg(kLogError, "Failed to check peer credentials. Connection refused");
    return;
  }
  const char* creds_fmt = "Connected peer creds: PID=%ld, EUID=%ld, EGID=%ld";
  if (!peer_admitted(peer, account)) {
    log_msg(kLogWarn, creds_fmt, static_cast<long>(peer.pid), static_cast<long>(peer.uid),
            static_cast<long>(peer.gid));
    log_msg(kLogWarn, "Unauthorized connection attempt. Connection refused");
    return;
  }
  log_msg(kLogInfo, creds_fmt, static_cast<long>(peer.pid), static_cast<long>(peer.uid),
          static_cast<long>(peer.gid));
  handle_request(conn.release(), pool);
}

bool list_is_empty(const PtrList* list) {
  for (const PtrListBlock* b = list->head; b != nullptr; b = b->older) {
    if (b->count != 0) return false;
  }
  return true;
}

void break_lock(SlabPool* pool) {
  log_msg(kLogWarn, "Forcibly removing all locks and repeating");
  force_unlock(&pool->lock);
}

// Collects the expired entries and removes them; a stuck lock is broken once per step.
void sweep_expired(SlabPool* pool, PtrList* expired) {
  if (rbtree_collect(pool, expired) == kLockTimeout) {
    break_lock(pool);
    rbtree_collect(pool, expired);
  }
  if (list_is_empty(expired)) return;
  if (rbtree_clean(pool, expired, delete_ipaddr_by_node_locked) == kLockTimeout) {
    break_lock(pool);
    if (rbtree_clean(pool, expired, delete_ipaddr_by_node_locked) != kDone) {
      // The list still names nodes that stay in the tree; the next collection finds them again,
      // so they must not be left here to be removed twice.
      shm_llist_clear(expired);
    }
  }
}

}  // namespace

void close_listening_socket() { listening_socket.reset(); }

int64_t process_cycle(SlabPool* pool, const UserAccount* account) {
  listening_socket.reset();
  if (open_listening_socket() != kDone) return kFailed;

  uint32_t poll_count = 0;
  const uint32_t sweep_threshold = static_cast<uint32_t>(settings.expired_check_interval * 10);
  ScopedPtrList expired;

  for (;;) {
    if (signal_flags.got_term || signal_flags.got_int || signal_flags.got_quit) {
      log_msg(kLogWarn, "Worker: got terminating signal. Exiting...");
      return kDone;
    }
    if (signal_flags.got_hup) {
      log_msg(kLogWarn, "Worker: got SIGHUP signal. Currenty no action.");
      signal_flags.got_hup = 0;
    }
    if (signal_flags.got_usr1) {
      log_close();
      if (settings.log_path != nullptr) log_open(settings.log_path);
      signal_flags.got_usr1 = 0;
    }

    pollfd wait{listening_socket.get(), POLLIN | POLLRDHUP, 0};
    int ready = poll(&wait, 1, kPollMillis);
    if (ready < 0) {
      if (errno == EINTR) continue;
      log_msg(kLogError, "Accept poll retrieved error: %s", strerror(errno));
      return kWaitFailed;
    }
    if (ready > 0 && (wait.revents & POLLIN)) {
      UniqueFd conn(accept(listening_socket.get(), nullptr, nullptr));
      if (!conn) {
        log_msg(kLogError, "Failed to accept incoming request: %s", strerror(errno));
        return kFailed;
      }
      admit_and_serve(std::move(conn), pool, account);
    }

    if (!settings.enable_clean) continue;
    if (poll_count == sweep_threshold) {
      sweep_expired(pool, expired.get());
      poll_count = 0;
    } else {
      ++poll_count;
    }
  }
}

}  // namespace quillmap
