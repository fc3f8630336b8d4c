#include "e2e/daemon_harness.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "client/dict_client.h"
#include "store/segment_identity.h"

namespace quillmap::e2e {
namespace {

constexpr char kWorkerTitle[] = "quillmap: worker";

// Exit statuses of every child this process has reaped, by pid (-1: ended by a signal). Detached
// daemons are reparented to this process (a child subreaper), so their masters end up here too.
std::map<pid_t, int> reaped;

void reap() {
  int status;
  for (pid_t p; (p = waitpid(-1, &status, WNOHANG)) > 0;) reaped[p] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool alive(pid_t pid) {
  reap();
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// The workers among the children of `pid`.
std::vector<pid_t> workers_of(pid_t pid) {
  std::istringstream children(read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
  std::vector<pid_t> workers;
  for (pid_t child; children >> child;) {
    if (read_cmdline(child) == kWorkerTitle) workers.push_back(child);
  }
  return workers;
}

// Forks and execs `args` with standard input from the file `in` and output to the files `out` and `err`.
pid_t spawn(std::vector<std::string> args, const std::string& in, const std::string& out, const std::string& err) {
  std::vector<char*> argv;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(open(in.c_str(), O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

}  // namespace

std::string read_cmdline(pid_t pid) {
  std::string text = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  while (!text.empty() && text.back() == '\0') text.pop_back();
  for (char& c : text) c = c == '\0' ? ' ' : c;
  return text;
}

ProgramRun run_program(const std::string& path, const std::vector<std::string>& args, const std::string& input) {
  const testing::ScratchDir dir("quillmap-e2e");
  std::ofstream(dir.file("in")) << input;
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t child = spawn(argv, dir.file("in"), dir.file("out"), dir.file("err"));
  int status = 0;
  if (!wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }, 30000)) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir.file("out")), read_file(dir.file("err"))};
}

// The log and the pid file lie in subdirectories, which the daemon creates.
DaemonHarness::DaemonHarness(const std::vector<std::string>& config_lines, const std::string& log_level, bool foreground)
    : foreground(foreground), dir(testing::make_scratch_dir("quillmap-e2e")), config_path(dir + "/quillmap.conf"),
      data_path(dir + "/data.yaml"), log_path(dir + "/log/quillmap.log"), pid_path(dir + "/run/quillmap.pid"),
      socket_path(dir + "/run/quillmap.sock") {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::ofstream conf(config_path);
  conf << "log_path=" << log_path << "\npid_path=" << pid_path << "\ndata_path=" << data_path
       << "\nsocket_path=" << socket_path << "\nlog_level=" << log_level << "\ndata_size=4194304\n";
  for (const std::string& line : config_lines) conf << line << "\n";
}

DaemonHarness::~DaemonHarness() {
  if (launched_ != 0) {
    if (alive(master_pid())) stop(5000);
    kill_everything();
  }
  for (int project : {kDictProjectId, kStateProjectId, kIndexProjectId}) {
    int id = find_segment(data_path.c_str(), project);
    struct shmid_ds info;
    if (id < 0 || shmctl(id, IPC_STAT, &info) != 0) continue;
    // Only a segment our daemon made, or one whose creator is gone: unrelated files can share a key.
    if (info.shm_cpid == launched_ || info.shm_cpid == known_master_ || !alive(info.shm_cpid)) shmctl(id, IPC_RMID, nullptr);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

bool DaemonHarness::start() {
  std::vector<std::string> args = {QUILLMAP_DAEMON_PATH, "-c", config_path};
  if (foreground) args.push_back("-D");
  known_master_ = 0;
  launched_ = spawn(args, "/dev/null", dir + "/stdout.txt", dir + "/stderr.txt");
  reaped.erase(launched_);
  // A foreground daemon that has ended will never serve; a detached one ends its first process with
  // status 0 on purpose, and with 1 when start-up failed.
  // The segment is made before the pid file is written (a killed master's file may still be there).
  auto ready = [&] {
    return segment_exists() && (foreground || (master_pid() != 0 && worker_pid() != 0)) &&
           send_batch(socket_path, {}, ClientOptions{2000}).ok();
  };
  bool serving = false;
  wait_until([&] { return (serving = ready()) || (!alive(launched_) && (foreground || launch_status() != 0)); }, 10000);
  return serving;
}

int DaemonHarness::launch_status() const {
  reap();
  auto it = reaped.find(launched_);
  return it == reaped.end() ? -1 : it->second;
}

pid_t DaemonHarness::master_pid() const {
  if (foreground) return launched_;
  if (known_master_ == 0) known_master_ = static_cast<pid_t>(atol(read_file(pid_path).c_str()));
  return known_master_;
}

pid_t DaemonHarness::worker_pid() const {
  const std::vector<pid_t> workers = master_pid() != 0 ? workers_of(master_pid()) : std::vector<pid_t>{};
  return workers.empty() ? 0 : workers[0];
}

bool DaemonHarness::segment_exists() const { return find_segment(data_path.c_str(), kDictProjectId) >= 0; }

bool DaemonHarness::wait_for_log(const std::string& needle, int timeout_ms) const {
  return wait_until([&] { return log_text().find(needle) != std::string::npos; }, timeout_ms);
}

bool DaemonHarness::wait_gone(pid_t pid, int timeout_ms) const {
  return wait_until([&] { return !alive(pid); }, timeout_ms);
}

int DaemonHarness::stop(int timeout_ms) {
  // The master may have been stopped by the test already; its status has then been collected.
  const pid_t master = master_pid();
  if (alive(master)) kill(master, SIGTERM);
  const bool gone = wait_gone(master, timeout_ms);
  const auto it = reaped.find(master);
  if (gone && it != reaped.end()) return it->second;
  kill_everything();
  return -1;
}

void DaemonHarness::kill_everything() {
  const pid_t master = master_pid();
  std::vector<pid_t> targets = workers_of(getpid());  // workers whose master is gone are reparented here
  if (alive(master) && (master == launched_ || read_cmdline(master).starts_with("quillmap:"))) {
    for (pid_t pid : workers_of(master)) targets.push_back(pid);
    targets.push_back(master);
  }
  if (master != launched_ && alive(launched_)) targets.push_back(launched_);
  for (pid_t pid : targets) kill(pid, SIGKILL);
  for (pid_t pid : targets) wait_gone(pid, 5000);
}

}  // namespace quillmap::e2e
