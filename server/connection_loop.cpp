#include "server/connection_loop.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "entry/ipaddr_ops.h"
#include "server/client_connection.h"
#include "server/frame_reader.h"
#include "persist/data_file.h"
#include "server/lock_recovery.h"
#include "store/change_epoch.h"
#include "store/sweeps.h"
#include "util/io.h"
#include "util/log.h"
#include "util/ptr_list.h"
#include "util/readiness.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kBacklog = 128;
constexpr int kPollMillis = 100;
constexpr size_t kSocketPathMax = 107;  // sun_path is 108 bytes and always ends in a NUL
constexpr socklen_t kBindLength = 110;  // 2-byte family and the 108-byte path
constexpr int64_t kWaitFailed = -4;
constexpr size_t kReadBlocks = 16;      // one read takes at most this many frame-reader blocks
constexpr int kAcceptsPerPass = 64;     // the connections already open are served between bursts
constexpr milliseconds kAcceptPause{kPollMillis};
constexpr seconds kWarnInterval{1};
static_assert(sizeof(sockaddr_un) == kBindLength);

// The listening socket outlives process_cycle (the worker exits right after it anyway); the next
// process_cycle in the same process replaces it.
UniqueFd listening_socket;

// Opens, binds and listens (non-blocking); -1 after the matching message on failure. Each failure is
// also logged, since in daemon mode standard error leads nowhere.
int64_t open_listening_socket() {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    log_msg(kLogError, "Could not create the socket: %s", strerror(errno));
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
    log_msg(kLogError, "Could not remove %s: %s", addr.sun_path, strerror(errno));
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

bool peer_admitted(const PeerIdentity& peer, const UserAccount* account) {
  if (account == nullptr) return true;
  bool uid_ok = peer.uid == account->uid || peer.uid == 0;
  bool gid_ok = peer.gid == account->gid || peer.gid == 0;
  return uid_ok && gid_ok;
}

bool termination_requested() { return signal_flags.got_term || signal_flags.got_int || signal_flags.got_quit; }

// A warning that can come in floods: logged at most once per kWarnInterval, with the number of
// occurrences held back since the last line.
class RateLimitedWarning {
 public:
  // True when a line is due now; `*held_back` is then the count of occurrences not logged before it.
  bool due(ServeClock::time_point now, uint64_t* held_back) {
    if (logged_once_ && now - last_ < kWarnInterval) {
      ++held_back_;
      return false;
    }
    *held_back = held_back_;
    held_back_ = 0;
    last_ = now;
    logged_once_ = true;
    return true;
  }

 private:
  bool logged_once_ = false;
  ServeClock::time_point last_{};
  uint64_t held_back_ = 0;
};

class ServingLoop {
 public:
  ServingLoop(SlabPool* pool, const UserAccount* account)
      : pool_(pool),
        account_(account),
        sweep_period_(milliseconds((settings.expired_check_interval * 10 + 1) * kPollMillis)),
        next_sweep_(ServeClock::now() + sweep_period_) {}

  int64_t run();

 private:
  void handle_flags();
  void serve_ready(ServeClock::time_point now);
  void accept_new(ServeClock::time_point now);
  void admit(UniqueFd conn, ServeClock::time_point now);
  void drop_stalled(ServeClock::time_point now);
  void sweep_when_due(ServeClock::time_point now);
  void save_when_due(ServeClock::time_point now);

  SlabPool* pool_;
  const UserAccount* account_;
  const milliseconds sweep_period_;
  ServeClock::time_point next_sweep_;
  ServeClock::time_point next_save_ = ServeClock::now() + seconds(settings.save_interval);
  ServeClock::time_point accept_paused_until_{};
  std::vector<std::unique_ptr<ClientConnection>> connections_;
  std::vector<pollfd> waits_;  // [0] the listening socket, then connections_ in order
  RateLimitedWarning too_many_, accept_failed_;
  ScopedPtrList expired_;
  std::array<uint8_t, kReadBlocks * FrameReader::kBlockSize> scratch_{};
};

void ServingLoop::handle_flags() {
  if (signal_flags.got_hup) {
    log_msg(kLogWarn, "Worker: got SIGHUP signal. Currenty no action.");
    signal_flags.got_hup = 0;
  }
  if (signal_flags.got_usr1) {
    log_close();
    if (settings.log_path != nullptr) log_open(settings.log_path);
    signal_flags.got_usr1 = 0;
  }
}

void ServingLoop::serve_ready(ServeClock::time_point now) {
  for (size_t i = 0; i < connections_.size(); ++i) {
    if (termination_requested()) return;
    short events = waits_[i + 1].revents;
    if (events == 0) continue;
    ClientConnection& c = *connections_[i];
    if (c.state() == ClientConnection::State::kReading) {
      c.on_readable(scratch_, now, (events & (POLLRDHUP | POLLHUP)) != 0);
    } else if (c.state() == ClientConnection::State::kWriting) {
      if (events & (POLLERR | POLLHUP)) {
        // A peer that has gone cannot take the rest of its answer; the write reports it.
        c.on_writable(now);
        if (c.state() != ClientConnection::State::kDone) c.drop();
      } else {
        c.on_writable(now);
      }
    }
  }
}

void ServingLoop::accept_new(ServeClock::time_point now) {
  for (int n = 0; n < kAcceptsPerPass && !termination_requested(); ++n) {
    UniqueFd conn(accept4(listening_socket.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (conn) {
      admit(std::move(conn), now);
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    if (errno == EINTR) continue;
    // Out of descriptors, a client that gave up while queued, ...: the loop serves on and tries
    // again after a pause (the listening socket would otherwise report the same backlog at once).
    int err = errno;
    uint64_t held_back = 0;
    if (accept_failed_.due(now, &held_back)) {
      log_msg(kLogError, "Failed to accept incoming request: %s", strerror(err));
      if (held_back != 0) log_msg(kLogError, "(%lu more failed accepts since the last report)", static_cast<unsigned long>(held_back));
    }
    accept_paused_until_ = now + kAcceptPause;
    return;
  }
}

void ServingLoop::admit(UniqueFd conn, ServeClock::time_point now) {
  if (static_cast<int64_t>(connections_.size()) >= settings.max_clients) {
    uint64_t held_back = 0;
    if (too_many_.due(now, &held_back)) {
      log_msg(kLogWarn, "Too many clients: %ld connections are open (max_clients); new ones are closed (%lu more since the last report)",
              static_cast<long>(connections_.size()), static_cast<unsigned long>(held_back));
    }
    return;  // closed by its owner
  }
  PeerIdentity peer;
  if (!read_peer_identity(conn.get(), &peer)) {
    log_msg(kLogError, "Failed to retrieve credentials from peer: %s", strerror(errno));
    log_msg(kLogError, "Failed to check peer credentials. Connection refused");
    return;
  }
  const char* creds_fmt = "Connected peer creds: PID=%ld, EUID=%ld, EGID=%ld";
  if (!peer_admitted(peer, account_)) {
    log_msg(kLogWarn, creds_fmt, static_cast<long>(peer.pid), static_cast<long>(peer.uid),
            static_cast<long>(peer.gid));
    log_msg(kLogWarn, "Unauthorized connection attempt. Connection refused");
    return;
  }
  log_msg(kLogInfo, creds_fmt, static_cast<long>(peer.pid), static_cast<long>(peer.uid),
          static_cast<long>(peer.gid));
  connections_.push_back(std::make_unique<ClientConnection>(std::move(conn), pool_, peer, now));
  connections_.back()->on_readable(scratch_, now, false);
}

void ServingLoop::drop_stalled(ServeClock::time_point now) {
  if (settings.client_timeout <= 0) return;
  const seconds limit(settings.client_timeout);
  for (auto& c : connections_) {
    if (c->state() == ClientConnection::State::kDone || now - c->last_progress() < limit) continue;
    const long pid = static_cast<long>(c->peer().pid);
    const long long secs = static_cast<long long>(settings.client_timeout);
    if (c->state() == ClientConnection::State::kReading) {
      log_msg(kLogWarn, "Client PID=%ld made no progress for %lld s: connection closed unanswered", pid, secs);
    } else {
      log_msg(kLogWarn, "Client PID=%ld did not read its answer for %lld s: connection dropped", pid, secs);
    }
    c->drop();
  }
}

void ServingLoop::sweep_when_due(ServeClock::time_point now) {
  if (!settings.enable_clean || now < next_sweep_) return;
  sweep_expired(pool_, expired_.get(), delete_ipaddr_by_node_locked, break_lock);
  next_sweep_ = ServeClock::now() + sweep_period_;
}

// A store changed since it was last saved is written to the data file, the safe way, once per
// save_interval; an unchanged one is not written again.
void ServingLoop::save_when_due(ServeClock::time_point now) {
  if (settings.save_interval <= 0 || settings.no_save_restore || now < next_save_) return;
  next_save_ = now + seconds(settings.save_interval);
  if (store_saved() || published_state() == nullptr) return;
  int64_t saved = rbtree_dump(pool_, settings.data_path);
  if (saved < 0) return;  // logged by the dump; tried again after the next interval
  note_store_saved();
  log_msg(kLogInfo, "Saved %ld entries to %s", static_cast<long>(saved), settings.data_path);
}

int64_t ServingLoop::run() {
  for (;;) {
    if (termination_requested()) {
      log_msg(kLogWarn, "Worker: got terminating signal. Exiting...");
      if (!connections_.empty()) {
        log_msg(kLogInfo, "Closing %zu open connections unanswered", connections_.size());
      }
      connections_.clear();
      return kDone;
    }
    handle_flags();

    ServeClock::time_point now = ServeClock::now();
    waits_.clear();
    const bool accepting = now >= accept_paused_until_;
    waits_.push_back(pollfd{accepting ? listening_socket.get() : -1, POLLIN, 0});
    for (const auto& c : connections_) {
      short events = c->state() == ClientConnection::State::kWriting ? POLLOUT : POLLIN | POLLRDHUP;
      waits_.push_back(pollfd{c->fd(), events, 0});
    }
    int ready = poll(waits_.data(), waits_.size(), kPollMillis);
    if (ready < 0) {
      if (errno == EINTR) continue;
      log_msg(kLogError, "Accept poll retrieved error: %s", strerror(errno));
      connections_.clear();
      return kWaitFailed;
    }
    now = ServeClock::now();
    if (ready > 0) serve_ready(now);
    if (ready > 0 && (waits_[0].revents & POLLIN)) accept_new(now);
    drop_stalled(now);
    std::erase_if(connections_, [](const auto& c) { return c->state() == ClientConnection::State::kDone; });
    sweep_when_due(now);
    save_when_due(now);
  }
}

}  // namespace

void close_listening_socket() { listening_socket.reset(); }

int64_t process_cycle(SlabPool* pool, const UserAccount* account) {
  listening_socket.reset();
  if (open_listening_socket() != kDone) return kFailed;
  signal_ready();  // a detached start now ends with success
  ServingLoop loop(pool, account);
  return loop.run();
}

}  // namespace quillmap
