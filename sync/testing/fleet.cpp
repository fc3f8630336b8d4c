#include "sync/testing/fleet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "client/dict_client.h"
#include "sync/agent_files.h"
#include "sync/etcd_kv.h"
#include "util/io.h"
#include "util/testing/files.h"

namespace quillmap::sync::testing {
namespace {

using quillmap::testing::make_scratch_dir;
using quillmap::testing::read_file;
using quillmap::testing::wait_until;

// The first of `count` consecutive loopback ports that no process holds now. Not derived from our
// pid: runs in PID namespaces of their own all have the same few pids, and a cluster started on a
// port another run's member holds would answer through that member.
int free_ports(int count) {
  std::mt19937 rng(std::random_device{}());
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int base = 21000 + static_cast<int>(rng() % 2000) * 10;
    bool free = true;
    for (int port = base; free && port < base + count; ++port) {
      UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
      free = bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    if (free) return base;
  }
  return 21000;
}

// Starts `argv` (found on PATH) with its output appended to `output_path`, in a process group of its
// own (a terminal's signals to the test reach none of these), killed when the test ends.
pid_t spawn(const std::vector<std::string>& argv, const std::string& output_path) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(out, 1), dup2(out, 2), dup2(open("/dev/null", O_RDONLY), 0);
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// The child's exit status; -1 when a signal ended it or it did not end in time (it is then killed),
// or when there is no child (a failed spawn: waiting for, or killing, pid -1 would mean every process).
int wait_child(pid_t pid, int timeout_ms) {
  if (pid <= 0) return -1;
  int status = 0;
  if (!wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t child_of(pid_t pid, int timeout_ms) {
  pid_t child = 0;
  const std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
  wait_until([&] { return static_cast<bool>(std::istringstream(read_file(path)) >> child); }, timeout_ms);
  return child;
}

}  // namespace

std::string fleet_unavailable_reason() {
  if (geteuid() != 0) return "needs root (PID, mount and IPC namespaces per simulated host)";
  for (const std::vector<std::string>& probe : std::vector<std::vector<std::string>>{
           {"etcd", "--version"}, {"nsenter", "--version"}, {"unshare", "--pid", "--fork", "--mount-proc", "--ipc", "true"}}) {
    if (wait_child(spawn(probe, "/dev/null"), 10000) != 0) return probe[0] + " is missing or not permitted here";
  }
  return "";
}

EtcdCluster::EtcdCluster(int members) : dir_(make_scratch_dir("quillmap-etcd")), base_(free_ports(2 * members)) {
  for (int i = 0; i < members; ++i) endpoints_.push_back("http://127.0.0.1:" + std::to_string(base_ + 2 * i));
}

EtcdCluster::~EtcdCluster() {
  for (pid_t p : pids_) {
    if (p > 0) kill(p, SIGKILL), waitpid(p, nullptr, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool EtcdCluster::start(std::string* error) {
  const auto peer_url = [&](size_t i) { return "http://127.0.0.1:" + std::to_string(base_ + 2 * i + 1); };
  std::string initial;
  for (size_t i = 0; i < endpoints_.size(); ++i) initial += (i ? ",m" : "m") + std::to_string(i) + "=" + peer_url(i);
  for (size_t i = 0; i < endpoints_.size(); ++i) {
    const std::string name = "m" + std::to_string(i), peer = peer_url(i);
    pids_.push_back(spawn({"etcd", "--name", name, "--data-dir", dir_ + "/" + name, "--listen-client-urls", endpoints_[i],
                           "--advertise-client-urls", endpoints_[i], "--listen-peer-urls", peer,
                           "--initial-advertise-peer-urls", peer, "--initial-cluster", initial,
                           "--initial-cluster-token", "quillmap-test-" + std::to_string(base_),
                           "--initial-cluster-state", "new", "--heartbeat-interval", "50", "--election-timeout", "500",
                           "--logger", "zap", "--log-level", "warn"},
                          dir_ + "/" + name + ".log"));
  }
  for (size_t i = 0; i < endpoints_.size(); ++i) {
    EtcdGateway member(EtcdOptions{.endpoints = {endpoints_[i]}, .timeout_ms = 2000});
    if (!wait_until([&] { return current_revision(member).ok(); }, 30000)) {
      const std::string log = read_file(dir_ + "/m" + std::to_string(i) + ".log");
      *error = "etcd member " + endpoints_[i] + " did not come up: " + log.substr(0, 2000);
      return false;
    }
  }
  return true;
}

void EtcdCluster::signal_member(int i, int sig) { kill(pids_[i], sig); }

std::string EtcdCluster::endpoints_text(int first) const {
  std::string out;
  for (size_t i = 0; i < endpoints_.size(); ++i) out += (i ? "," : "") + endpoints_[(first + i) % endpoints_.size()];
  return out;
}

Host::Host(std::string name, std::string etcd_endpoints, std::string prefix, std::string daemon_line)
    : name_(std::move(name)),
      dir_(make_scratch_dir("quillmap-host-" + name_)),
      sync_config_(dir_ + "/quillmap-sync.conf") {
  std::ofstream(dir_ + "/quillmap.conf") << "data_path=" << dir_ << "/data.yaml\nlog_path=" << dir_ << "/quillmap.log\n"
                                         << "socket_path=" << dir_ << "/quillmap.sock\npid_path=" << dir_ << "/quillmap.pid\n"
                                         << "log_level=WARN\nno_save_restore=1\ndata_size=33554432\n" << daemon_line << "\n";
  std::ofstream(sync_config_) << "etcd_endpoints=" << etcd_endpoints << "\netcd_prefix=" << prefix << "\ndaemon_config="
                              << dir_ << "/quillmap.conf\nstate_path=" << dir_ << "/state\nlog_path=" << dir_
                              << "/quillmap-sync.log\nlog_level=INFO\netcd_watch_silence=3\n";
}

Host::~Host() {
  kill_agent(SIGKILL);
  stop_daemon();
  if (reaper_ > 0) kill(reaper_, SIGKILL);  // the kernel then ends everything in the namespaces
  if (unshare_ > 0) wait_child(unshare_, 5000);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool Host::start_namespaces(std::string* error) {
  unshare_ = spawn({"unshare", "--pid", "--fork", "--kill-child", "--mount-proc", "--ipc", "sleep", "infinity"},
                   dir_ + "/reaper.out");
  reaper_ = child_of(unshare_, 5000);
  if (reaper_ == 0) *error = name_ + ": the namespaces' first process did not start";
  return reaper_ != 0;
}

bool Host::start_daemon(std::string* error) {
  std::filesystem::remove(dir_ + "/quillmap.sock");
  daemon_nsenter_ = spawn({"nsenter", "-t", std::to_string(reaper_), "--pid", "--mount", "--ipc", QUILLMAP_DAEMON_PATH,
                           "-c", dir_ + "/quillmap.conf", "-D"},
                          dir_ + "/daemon.out");
  const auto serving = [&] { return send_batch(dir_ + "/quillmap.sock", {make_simple(Action::kInfo)}, ClientOptions{1000}).ok(); };
  if (wait_until(serving, 15000)) return true;
  *error = name_ + ": the daemon did not serve: " + read_file(dir_ + "/daemon.out");
  return false;
}

void Host::stop_daemon() {
  if (daemon_nsenter_ <= 0) return;
  const pid_t daemon = child_of(daemon_nsenter_, 100);
  if (daemon > 0) kill(daemon, SIGTERM);
  if (wait_child(daemon_nsenter_, 10000) < 0 && daemon > 0) kill(daemon, SIGKILL);
  daemon_nsenter_ = 0;
}

bool Host::start_agent(std::string* error) {
  agent_ = spawn({"nsenter", "-t", std::to_string(reaper_), "--ipc", QUILLMAP_SYNC_PATH, "-c", sync_config_, "run"},
                 dir_ + "/agent.out");
  if (agent_ <= 0) *error = name_ + ": cannot start the agent";
  return agent_ > 0;
}

void Host::kill_agent(int sig) {
  if (agent_ <= 0) return;
  kill(agent_, sig);
  wait_child(agent_, 10000);
  agent_ = 0;
}

int Host::sync_command(const std::vector<std::string>& args, std::string* out) const {
  std::filesystem::remove(dir_ + "/command.out");
  std::vector<std::string> argv = {"nsenter", "-t", std::to_string(reaper_), "--ipc", QUILLMAP_SYNC_PATH, "-c", sync_config_};
  argv.insert(argv.end(), args.begin(), args.end());
  const int status = wait_child(spawn(argv, dir_ + "/command.out"), 60000);
  *out = read_file(dir_ + "/command.out");
  return status;
}

int64_t Host::applied_revision() const {
  std::optional<AgentState> s = load_state(dir_ + "/state");
  return s ? s->revision : 0;
}

std::string Host::agent_log() const { return read_file(dir_ + "/quillmap-sync.log"); }

}  // namespace quillmap::sync::testing
