// A fleet on one machine: an etcd cluster of loopback members in a private directory, and simulated
// hosts, each a daemon and an agent in PID, mount and IPC namespaces of their own, held by a first
// process (a sleep) whose death ends everything inside. The daemon runs in all three (nsenter reaps
// it); the agent, our child, only in the IPC namespace, where its reader attaches the segment. The
// destructors stop and remove everything.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "sync/etcd_gateway.h"

namespace quillmap::sync::testing {

// Why the fleet cannot run here ("" when it can): not root, no unshare/nsenter/etcd, no namespaces.
std::string fleet_unavailable_reason();

class EtcdCluster {
 public:
  explicit EtcdCluster(int members);
  ~EtcdCluster();
  bool start(std::string* error);
  void signal_member(int i, int sig);  // SIGSTOP: alive but silent; SIGKILL: gone
  const std::vector<std::string>& endpoints() const { return endpoints_; }
  std::string endpoints_text(int first) const;  // all of them, starting at member `first`

 private:
  std::string dir_;
  int base_;  // client port of member i: base_ + 2i, peer port base_ + 2i + 1
  std::vector<std::string> endpoints_;
  std::vector<pid_t> pids_;
};

class Host {
 public:
  // `daemon_line` is appended to the daemon's configuration.
  Host(std::string name, std::string etcd_endpoints, std::string prefix, std::string daemon_line = "");
  ~Host();
  bool start_namespaces(std::string* error);
  bool start_daemon(std::string* error);
  void stop_daemon();
  bool start_agent(std::string* error);
  void kill_agent(int sig);  // and reaps it
  // Runs `quillmap-sync -c CONFIG args...` in the host's IPC namespace; exit status and output.
  int sync_command(const std::vector<std::string>& args, std::string* out) const;
  int64_t applied_revision() const;  // the revision the agent's state file names (0 when none)
  std::string agent_log() const;

  const std::string& dir() const { return dir_; }
  std::string data_path() const { return dir_ + "/data.yaml"; }
  pid_t reaper() const { return reaper_; }  // the namespaces' first process

 private:
  std::string name_, dir_, sync_config_;
  pid_t unshare_ = 0, reaper_ = 0, daemon_nsenter_ = 0, agent_ = 0;
};

}  // namespace quillmap::sync::testing
