// The agent: keeps the local dictionary equal to one etcd prefix.
//
// Cycle:
//   1. wait for the local daemon (its segment and socket) with backoff;
//   2. unless the state file names this daemon instance and a revision, read the whole prefix at
//      one revision and apply it as a diff against the dictionary read through the reader library:
//      sets of what differs, deletes of the agent's own keys (STATE.keys) that etcd no longer holds;
//      entries others added are left alone, and the dictionary is never emptied meanwhile;
//   3. watch the prefix from the applied revision + 1 and apply every event in revision order; the
//      events that arrived while a batch was being applied form the next batch. After each batch the
//      state file records the revision.
// A watch that breaks is opened again on the next endpoint (backoff after repeated failures). When
// the start revision was compacted, or the daemon instance changed (restarted, possibly from an
// older data file), or the daemon stopped answering and came back as another instance, the cycle
// starts again at 2 and the log says why.
#pragma once

#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sync/agent_files.h"
#include "sync/daemon_feeder.h"
#include "sync/etcd_gateway.h"
#include "sync/sync_config.h"

namespace quillmap::sync {

struct AgentFigures {
  int64_t applied_revision = 0;
  uint64_t events_applied = 0;
  uint64_t errors = 0;
  uint64_t full_reads = 0;
  std::map<std::string, std::string> refused;  // etcd key -> why it is not in the dictionary
  std::string last_error;
};

class Agent {
 public:
  explicit Agent(SyncConfig config);

  // Runs until *stop becomes non-zero; the exit status.
  int run(const volatile std::sig_atomic_t* stop);

 private:
  enum class FollowEnd { kStopped, kReRead, kRetry };

  bool wait_for_daemon();
  bool full_read(const std::string& reason);
  FollowEnd follow();
  bool apply_events(std::vector<WatchEvent>& events);
  bool feed(const std::vector<LocalChange>& changes);
  std::optional<LocalKey> accept(const KeyValue& kv, bool is_delete);
  bool tick();
  void note_error(const std::string& text);
  void write_status();
  bool sleep_backoff();
  bool stopping() const { return *stop_ != 0; }

  SyncConfig config_;
  EtcdGateway etcd_;
  DaemonFeeder feeder_;
  KeyJournal journal_;
  AgentState state_;
  bool have_state_ = false;
  AgentFigures figures_;
  std::string reread_reason_;
  bool daemon_lost_ = false;
  int failures_ = 0;
  int64_t next_check_ms_ = 0;
  const volatile std::sig_atomic_t* stop_ = nullptr;
};

// The figures of a running (or stopped) agent, from its status file.
std::optional<AgentFigures> read_status_file(const std::string& path, std::string* updated);

}  // namespace quillmap::sync
