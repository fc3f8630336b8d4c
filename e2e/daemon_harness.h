// End-to-end harness: runs the built quillmap binary in a private temporary directory and always
// cleans up after it.
//
// Every DaemonHarness owns a fresh directory holding the configuration file, the data file, the log,
// the pid file and the socket. start() launches the daemon (in the foreground with -D, or detached)
// and waits until it is ready. The destructor stops it whatever happened in the test: SIGTERM, a
// bounded wait, then SIGKILL of the master and the worker; then it removes the daemon's System V
// segment and the directory. Only one daemon may run on a machine at a time (the single-instance
// check), so tests that use the harness are registered to run serially.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quillmap::e2e {

// The path of the daemon binary under test.
const char* daemon_binary();

// Result of running a program to its end.
struct ProgramRun {
  int exit_status = -1;  // exit code, or -1 when it did not exit normally
  std::string out, err;
};

// Runs `path` with `args`, feeding `input` on its standard input, and waits for it, at most
// `timeout_ms` (then it is killed).
ProgramRun run_program(const std::string& path, const std::vector<std::string>& args,
                       const std::string& input = "", int timeout_ms = 30000);

// The daemon binary with `args`, standard input empty.
inline ProgramRun run_daemon_binary(const std::vector<std::string>& args) {
  return run_program(daemon_binary(), args, "", 5000);
}

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string& path);

// How often `needle` occurs in `text`.
size_t count_of(const std::string& text, const std::string& needle);

// The command line of `pid` with its NUL separators turned into blanks and trailing NULs removed;
// empty when it cannot be read.
std::string read_cmdline(pid_t pid);

// Waits (bounded) until no process titled "quillmap:" is left, e.g. one of another test run.
bool wait_until_no_instance(int timeout_ms);

enum class ReadyWhen {
  kSegment,  // the segment exists (and, detached, the pid file and the worker)
  kSocket,   // additionally the worker accepts connections on the socket
};

struct DaemonOptions {
  bool foreground = true;                   // -D
  ReadyWhen ready = ReadyWhen::kSegment;
  std::vector<std::string> config_lines;    // appended to the generated configuration
  std::string log_level = "DEBUG";
  std::optional<std::vector<std::string>> environment;  // unset: the test's own environment
  std::string data_dir;                     // where the data file lies; empty: the harness's directory
};

// A detached daemon that is ready once its worker serves, logging at `log_level`.
inline DaemonOptions serving_options(std::vector<std::string> config_lines = {},
                                     std::string log_level = "INFO") {
  DaemonOptions options;
  options.foreground = false;
  options.ready = ReadyWhen::kSocket;
  options.log_level = std::move(log_level);
  options.config_lines = std::move(config_lines);
  return options;
}

class DaemonHarness {
 public:
  explicit DaemonHarness(DaemonOptions options = {});
  ~DaemonHarness();
  DaemonHarness(const DaemonHarness&) = delete;
  DaemonHarness& operator=(const DaemonHarness&) = delete;

  // Launches the daemon and waits until it is ready. False when it ended or did not become ready in
  // time; launch_status() and stderr_text() then tell why. May be called again after stop(): the
  // daemon then starts over the same directory, data file included.
  bool start();

  // Sends SIGTERM to the master (unless it has ended already) and waits (bounded) for it to end.
  // Returns its exit status, or -1 when it did not exit normally in time (it is then killed) or its
  // status could not be collected.
  int stop(int timeout_ms = 10000);

  // Waits until the log holds `needle`, at most `timeout_ms`.
  bool wait_for_log(const std::string& needle, int timeout_ms = 5000) const;

  // Waits until a worker other than `previous` runs under the master; returns its pid or 0.
  pid_t wait_for_worker(pid_t previous = 0, int timeout_ms = 5000) const;

  // Waits (bounded) until `pid` is gone (reaped when it is our child); true when it is.
  bool wait_gone(pid_t pid, int timeout_ms) const;

  std::string log_text() const;
  std::string stderr_text() const;

  // The process started by start(): the master in the foreground; in daemon mode the first process,
  // which ends with status 0 once the daemon is detached.
  pid_t launched_pid() const { return launched_; }
  // Its exit status once it has ended (-1 otherwise, or when killed by a signal).
  int launch_status() const {
    reap_launched();
    return launch_status_;
  }
  // The master: the launched process in the foreground, the pid file's content in daemon mode.
  pid_t master_pid() const;
  // The current worker of the master (a process titled "quillmap: worker" whose parent is the
  // master); 0 when there is none.
  pid_t worker_pid() const;
  // Whether the daemon's System V segment exists.
  bool segment_exists() const;

  const std::string& dir() const { return dir_; }
  const std::string& config_path() const { return config_path_; }
  const std::string& data_path() const { return data_path_; }
  const std::string& log_path() const { return log_path_; }
  const std::string& pid_path() const { return pid_path_; }
  const std::string& socket_path() const { return socket_path_; }

 private:
  bool launch();
  bool ready() const;
  void kill_everything();
  void remove_segment();
  // Reaps the launched process when it has ended; true once it has.
  bool reap_launched() const;

  DaemonOptions options_;
  std::string dir_, config_path_, data_path_, log_path_, pid_path_, socket_path_;
  pid_t launched_ = 0;
  mutable int launch_status_ = -1;
  mutable bool launched_reaped_ = false;
  mutable pid_t known_master_ = 0;
  mutable std::vector<pid_t> known_workers_;
};

}  // namespace quillmap::e2e
