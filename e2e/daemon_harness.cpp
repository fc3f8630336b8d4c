#include "e2e/daemon_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "store/segment_identity.h"
#include "util/io.h"

namespace quillmap::e2e {
namespace {

constexpr char kTitlePrefix[] = "quillmap:";
constexpr char kWorkerTitle[] = "quillmap: worker";

// Exit statuses of every child this process has reaped, by pid (-1: ended by a signal). Detached
// daemons are reparented to this process (a child subreaper), so their masters end up here too.
std::map<pid_t, int>& reaped() {
  static std::map<pid_t, int> statuses;
  return statuses;
}

void reap_children() {
  int status;
  for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
    reaped()[pid] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
}

bool alive(pid_t pid) {
  reap_children();
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

template <typename Pred>
bool poll_until(Pred done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

pid_t parent_of(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  // "pid (comm) state ppid ...": comm may hold blanks, so read after the last ')'.
  size_t close = stat.rfind(')');
  char state;
  int ppid = 0;
  if (close == std::string::npos || sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) return 0;
  return ppid;
}

std::vector<pid_t> all_pids() {
  std::vector<pid_t> pids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    char* end;
    long pid = strtol(name.c_str(), &end, 10);
    if (*end == '\0' && pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  return pids;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

const char* daemon_binary() { return QUILLMAP_DAEMON_PATH; }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

std::string read_cmdline(pid_t pid) {
  std::string text = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  while (!text.empty() && text.back() == '\0') text.pop_back();
  for (char& c : text) c = c == '\0' ? ' ' : c;
  return text;
}

bool wait_until_no_instance(int timeout_ms) {
  return poll_until(
      [] {
        for (pid_t pid : all_pids()) {
          if (read_cmdline(pid).starts_with(kTitlePrefix)) return false;
        }
        return true;
      },
      timeout_ms);
}

ProgramRun run_program(const std::string& path, const std::vector<std::string>& args,
                       const std::string& input, int timeout_ms) {
  ProgramRun run;
  FILE* files[3] = {tmpfile(), tmpfile(), tmpfile()};  // standard input, output, error
  if (!files[0] || !files[1] || !files[2]) return run;
  fwrite(input.data(), 1, input.size(), files[0]);
  fflush(files[0]);
  rewind(files[0]);
  std::vector<std::string> argv_strings = {path};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv = c_strings(argv_strings);
  pid_t child = fork();
  if (child == 0) {
    for (int fd = 0; fd < 3; ++fd) dup2(fileno(files[fd]), fd);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (child > 0) {
    bool ended = poll_until([&] { return waitpid(child, &status, WNOHANG) == child; }, timeout_ms);
    if (!ended) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    run.exit_status = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string* texts[3] = {nullptr, &run.out, &run.err};
  for (int fd = 0; fd < 3; ++fd) {
    rewind(files[fd]);
    char buf[4096];
    for (size_t n; fd > 0 && (n = fread(buf, 1, sizeof buf, files[fd])) > 0;) texts[fd]->append(buf, n);
    fclose(files[fd]);
  }
  return run;
}

DaemonHarness::DaemonHarness(DaemonOptions options) : options_(std::move(options)) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  char tmpl[] = "/tmp/quillmap-e2e-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  dir_ = tmpl;
  config_path_ = dir_ + "/quillmap.conf";
  data_path_ = (options_.data_dir.empty() ? dir_ : options_.data_dir) + "/data.yaml";
  log_path_ = dir_ + "/log/quillmap.log";  // in subdirectories, which the daemon creates
  pid_path_ = dir_ + "/run/quillmap.pid";
  socket_path_ = dir_ + "/run/quillmap.sock";
  std::ofstream conf(config_path_);
  conf << "log_path=" << log_path_ << "\npid_path=" << pid_path_ << "\ndata_path=" << data_path_
       << "\nsocket_path=" << socket_path_ << "\nlog_level=" << options_.log_level << "\ndata_size=4194304\n";
  for (const std::string& line : options_.config_lines) conf << line << "\n";
}

DaemonHarness::~DaemonHarness() {
  if (launched_ != 0) {
    if (alive(master_pid())) stop(5000);
    kill_everything();
  }
  for (int project : {kDictProjectId, kStateProjectId, kIndexProjectId}) {
    int id = find_segment(data_path_.c_str(), project);
    struct shmid_ds info;
    if (id < 0 || shmctl(id, IPC_STAT, &info) != 0) continue;
    // Only a segment our daemon made, or one whose creator is gone: unrelated files can share a key.
    const pid_t creator = info.shm_cpid;
    if (creator == launched_ || creator == known_master_ || !alive(creator)) shmctl(id, IPC_RMID, nullptr);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool DaemonHarness::start() {
  // Another instance (a test of another build on this machine) may start between our check and the
  // daemon's own; a refused start is retried for a bounded time.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    if (!wait_until_no_instance(10000)) {
      fprintf(stderr, "another quillmap instance is still running\n");
      return false;
    }
    if (launch()) return true;
    const bool refused = stderr_text().starts_with("Quillmap is already running with pid:");
    if (!refused || std::chrono::steady_clock::now() >= deadline) return false;
  }
}

bool DaemonHarness::launch() {
  std::vector<std::string> argv_strings = {daemon_binary(), "-c", config_path_};
  if (options_.foreground) argv_strings.push_back("-D");
  std::vector<char*> argv = c_strings(argv_strings);
  std::vector<std::string> env_strings = options_.environment.value_or(std::vector<std::string>{});
  std::vector<char*> envp = c_strings(env_strings);
  const std::string out_path = dir_ + "/stdout.txt", err_path = dir_ + "/stderr.txt";
  known_master_ = 0;
  launched_ = fork();
  if (launched_ == 0) {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    execve(argv[0], argv.data(), options_.environment ? envp.data() : environ);
    _exit(127);
  }
  if (launched_ < 0) return (launched_ = 0), false;
  reaped().erase(launched_);
  // A foreground daemon that has ended will never serve; a detached one ends its first process with
  // status 0 on purpose, and with 1 when start-up failed.
  auto ended = [&] { return reap_children(), reaped().contains(launched_); };
  return poll_until([&] { return ready() || (ended() && (options_.foreground || launch_status() != 0)); }, 10000) &&
         ready();
}

bool DaemonHarness::ready() const {
  // The segment is made before the pid file is written (a killed master's file may still be there).
  if (!segment_exists()) return false;
  if (!options_.foreground && (master_pid() == 0 || worker_pid() == 0)) return false;
  // The socket file appears at bind, a moment before the worker listens: connect, and read the
  // worker's answer to the empty batch so that it has no reason to complain.
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path_.c_str());
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  shutdown(fd.get(), SHUT_WR);
  struct pollfd answer = {fd.get(), POLLIN, 0};
  char bytes[256];
  bool serving = false;
  while (poll(&answer, 1, 2000) == 1 && read(fd.get(), bytes, sizeof bytes) > 0) serving = true;
  return serving;
}

int DaemonHarness::launch_status() const {
  reap_children();
  auto it = reaped().find(launched_);
  return it == reaped().end() ? -1 : it->second;
}

pid_t DaemonHarness::master_pid() const {
  if (options_.foreground) return launched_;
  if (known_master_ == 0) known_master_ = static_cast<pid_t>(atol(read_file(pid_path_).c_str()));
  return known_master_;
}

pid_t DaemonHarness::worker_pid() const {
  pid_t master = master_pid();
  for (pid_t pid : all_pids()) {
    if (master != 0 && parent_of(pid) == master && read_cmdline(pid) == kWorkerTitle) return pid;
  }
  return 0;
}

bool DaemonHarness::segment_exists() const { return find_segment(data_path_.c_str(), kDictProjectId) >= 0; }

bool DaemonHarness::wait_for_log(const std::string& needle, int timeout_ms) const {
  return poll_until([&] { return log_text().find(needle) != std::string::npos; }, timeout_ms);
}

pid_t DaemonHarness::wait_for_worker(pid_t previous, int timeout_ms) const {
  pid_t found = 0;
  poll_until([&] { return (found = worker_pid()) != 0 && found != previous; }, timeout_ms);
  return found != previous ? found : 0;
}

bool DaemonHarness::wait_gone(pid_t pid, int timeout_ms) const {
  return poll_until([&] { return !alive(pid); }, timeout_ms);
}

int DaemonHarness::stop(int timeout_ms) {
  pid_t master = master_pid();
  // The master may have been stopped by the test already; its status has then been collected.
  if (master != 0 && alive(master)) {
    kill(master, SIGTERM);
    if (!wait_gone(master, timeout_ms)) master = 0;
  }
  auto it = reaped().find(master);
  if (master == 0 || it == reaped().end()) {
    kill_everything();
    return -1;
  }
  return it->second;
}

void DaemonHarness::kill_everything() {
  const pid_t master = master_pid();
  std::vector<pid_t> targets;
  if (alive(launched_)) targets.push_back(launched_);
  if (master != launched_ && alive(master) && read_cmdline(master).starts_with(kTitlePrefix)) targets.push_back(master);
  // A worker whose master is gone has been reparented to this process.
  for (pid_t pid : all_pids()) {
    const pid_t parent = parent_of(pid);
    if ((parent == master || parent == getpid()) && read_cmdline(pid) == kWorkerTitle) targets.push_back(pid);
  }
  for (pid_t pid : targets) kill(pid, SIGKILL);
  for (pid_t pid : targets) wait_gone(pid, 5000);
}

}  // namespace quillmap::e2e
