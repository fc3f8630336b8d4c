#include "e2e/daemon_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
constexpr int kReadyTimeoutMs = 10000;

// Exit statuses of every child this process has reaped, by pid (-1: ended by a signal).
std::map<pid_t, int>& reaped() {
  static std::map<pid_t, int> statuses;
  return statuses;
}

// Collects every ended child. Detached daemons are reparented to this process (it is a child
// subreaper), so their masters and intermediate processes end up here too.
void reap_children() {
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    reaped()[pid] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
}

bool alive(pid_t pid) {
  reap_children();
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Polls `done` every 10 ms until it holds or `timeout_ms` has passed.
template <typename Pred>
bool poll_until(Pred done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    sleep_ms(10);
  }
}

std::string read_fd(int fd) {
  std::string text;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  return text;
}

pid_t parent_of(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  // "pid (comm) state ppid ...": comm may hold blanks, so read after the last ')'.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  char state;
  int ppid = 0;
  if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) return 0;
  return ppid;
}

std::vector<pid_t> all_pids() {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (struct dirent* entry = readdir(proc)) {
    char* end;
    long pid = strtol(entry->d_name, &end, 10);
    if (*end == '\0' && pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
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
  for (char& c : text) {
    if (c == '\0') c = ' ';
  }
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
  FILE* in = tmpfile();
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  if (in == nullptr || out == nullptr || err == nullptr) return run;
  fwrite(input.data(), 1, input.size(), in);
  fflush(in);
  rewind(in);
  std::vector<std::string> argv_strings = {path};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv = c_strings(argv_strings);
  pid_t child = fork();
  if (child == 0) {
    dup2(fileno(in), 0);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (child > 0) {
    int status = 0;
    bool ended = poll_until([&] { return waitpid(child, &status, WNOHANG) == child; }, timeout_ms);
    if (!ended) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    run.exit_status = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  run.out = read_fd(fileno(out));
  run.err = read_fd(fileno(err));
  for (FILE* f : {in, out, err}) fclose(f);
  return run;
}

DaemonHarness::DaemonHarness(DaemonOptions options) : options_(std::move(options)) {
  // Detached masters are reparented to us, so that we can reap them and see their exit status.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  char tmpl[] = "/tmp/quillmap-e2e-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  dir_ = tmpl;
  config_path_ = dir_ + "/quillmap.conf";
  data_path_ = (options_.data_dir.empty() ? dir_ : options_.data_dir) + "/data.yaml";
  // In subdirectories, which the daemon creates.
  log_path_ = dir_ + "/log/quillmap.log";
  pid_path_ = dir_ + "/run/quillmap.pid";
  socket_path_ = dir_ + "/run/quillmap.sock";
  std::ofstream conf(config_path_);
  conf << "# written by the end-to-end harness\n"
       << "log_path=" << log_path_ << "\n"
       << "pid_path=" << pid_path_ << "\n"
       << "data_path=" << data_path_ << "\n"
       << "socket_path=" << socket_path_ << "\n"
       << "log_level=" << options_.log_level << "\n"
       << "data_size=4194304\n";
  for (const std::string& line : options_.config_lines) conf << line << "\n";
}

DaemonHarness::~DaemonHarness() {
  if (launched_ != 0) {
    pid_t master = master_pid();
    if (master != 0 && alive(master)) stop(5000);
    kill_everything();
  }
  remove_segment();
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
  launched_reaped_ = false;
  launch_status_ = -1;
  known_master_ = 0;
  launched_ = fork();
  if (launched_ < 0) {
    launched_ = 0;
    return false;
  }
  if (launched_ == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (options_.environment) {
      execve(argv[0], argv.data(), envp.data());
    } else {
      execv(argv[0], argv.data());
    }
    _exit(127);
  }
  return poll_until(
             [&] {
               if (ready()) return true;
               // A foreground daemon that has ended will never be ready; a detached one ends its
               // first process with status 0 on purpose, and with 1 when start-up failed.
               return reap_launched() && (options_.foreground || launch_status_ != 0);
             },
             kReadyTimeoutMs) &&
         ready();
}

bool DaemonHarness::ready() const {
  if (!segment_exists()) return false;
  if (!options_.foreground && (master_pid() == 0 || worker_pid() == 0)) return false;
  if (options_.ready != ReadyWhen::kSocket) return true;
  // The socket file appears at bind, a moment before the worker listens: connect to be sure, and
  // read the worker's answer to the empty batch so that it has no reason to complain.
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path_.c_str());
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  shutdown(fd.get(), SHUT_WR);
  struct pollfd ready = {fd.get(), POLLIN, 0};
  char answer[256];
  bool serving = false;
  while (poll(&ready, 1, 2000) == 1) {
    ssize_t n = read(fd.get(), answer, sizeof answer);
    if (n <= 0) break;
    serving = true;
  }
  return serving;
}

bool DaemonHarness::reap_launched() const {
  if (launched_reaped_) return true;
  reap_children();
  auto it = reaped().find(launched_);
  if (it == reaped().end()) return false;
  launched_reaped_ = true;
  launch_status_ = it->second;
  return true;
}

pid_t DaemonHarness::master_pid() const {
  if (options_.foreground) return launched_;
  if (known_master_ == 0) {
    std::string text = read_file(pid_path_);
    if (!text.empty()) known_master_ = static_cast<pid_t>(atol(text.c_str()));
  }
  return known_master_;
}

pid_t DaemonHarness::worker_pid() const {
  pid_t master = master_pid();
  if (master == 0) return 0;
  for (pid_t pid : all_pids()) {
    if (parent_of(pid) == master && read_cmdline(pid) == kWorkerTitle) {
      bool known = false;
      for (pid_t w : known_workers_) known = known || w == pid;
      if (!known) known_workers_.push_back(pid);
      return pid;
    }
  }
  return 0;
}

bool DaemonHarness::segment_exists() const {
  return find_segment(data_path_.c_str(), kDictProjectId) >= 0;
}

std::string DaemonHarness::log_text() const { return read_file(log_path_); }
std::string DaemonHarness::stderr_text() const { return read_file(dir_ + "/stderr.txt"); }

bool DaemonHarness::wait_for_log(const std::string& needle, int timeout_ms) const {
  return poll_until([&] { return log_text().find(needle) != std::string::npos; }, timeout_ms);
}

pid_t DaemonHarness::wait_for_worker(pid_t previous, int timeout_ms) const {
  pid_t found = 0;
  poll_until(
      [&] {
        found = worker_pid();
        return found != 0 && found != previous;
      },
      timeout_ms);
  return found != previous ? found : 0;
}

bool DaemonHarness::wait_gone(pid_t pid, int timeout_ms) const {
  return poll_until([&] { return !alive(pid); }, timeout_ms);
}

int DaemonHarness::stop(int timeout_ms) {
  pid_t master = master_pid();
  if (master == 0) {
    kill_everything();
    return -1;
  }
  // The master may have been stopped by the test already; its status has then been collected.
  if (alive(master)) {
    kill(master, SIGTERM);
    if (!wait_gone(master, timeout_ms)) {
      kill_everything();
      return -1;
    }
  }
  auto it = reaped().find(master);
  return it == reaped().end() ? -1 : it->second;
}

void DaemonHarness::kill_everything() {
  std::vector<pid_t> targets;
  if (launched_ != 0 && !reap_launched()) targets.push_back(launched_);
  pid_t master = master_pid();
  if (master != 0 && read_cmdline(master).starts_with(kTitlePrefix)) targets.push_back(master);
  worker_pid();
  // A worker whose master is gone has been reparented to this process.
  for (pid_t pid : all_pids()) {
    if (parent_of(pid) == getpid() && read_cmdline(pid) == kWorkerTitle) known_workers_.push_back(pid);
  }
  for (pid_t w : known_workers_) {
    if (read_cmdline(w).starts_with(kTitlePrefix)) targets.push_back(w);
  }
  for (pid_t pid : targets) kill(pid, SIGKILL);
  for (pid_t pid : targets) wait_gone(pid, 5000);
  if (launched_ != 0) reap_launched();
}

void DaemonHarness::remove_segment() {
  for (int project : {kDictProjectId, kStateProjectId, kIndexProjectId}) {
    int id = find_segment(data_path_.c_str(), project);
    if (id < 0) continue;
    struct shmid_ds info;
    if (shmctl(id, IPC_STAT, &info) != 0) continue;
    // Remove only a segment our daemon made, or one whose creator is gone (the key is derived from
    // our private data file, but unrelated files can share a key).
    const pid_t creator = info.shm_cpid;
    bool ours = creator == launched_ || creator == known_master_ || !alive(creator);
    if (ours) shmctl(id, IPC_RMID, nullptr);
  }
}

}  // namespace quillmap::e2e
