// End-to-end harness: runs the built quillmap binary in a private temporary directory and always
// cleans up after it.
//
// Every DaemonHarness owns a fresh directory holding the configuration file, the data file, the log,
// the pid file and the socket. start() launches the daemon (in the foreground with -D, or detached)
// and waits until its worker serves. The destructor stops it whatever happened in the test: SIGTERM, a
// bounded wait, then SIGKILL of the master and its workers; then it removes the daemon's System V
// segments and the directory. Only one daemon may run on a machine at a time (the single-instance
// check), so tests that use the harness are registered to run serially.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quillmap::e2e {

const char* daemon_binary();

struct ProgramRun {
  int exit_status = -1;  // exit code, or -1 when it did not exit normally
  std::string out, err;
};

// Runs `path` with `args`, feeding `input` on its standard input; killed after `timeout_ms`.
ProgramRun run_program(const std::string& path, const std::vector<std::string>& args,
                       const std::string& input = "", int timeout_ms = 30000);
inline ProgramRun run_daemon_binary(const std::vector<std::string>& args) {
  return run_program(daemon_binary(), args, "", 5000);
}

std::string read_file(const std::string& path);  // empty when it cannot be read
size_t count_of(const std::string& text, const std::string& needle);
// The command line of `pid` with its NUL separators as blanks, trailing NULs removed.
std::string read_cmdline(pid_t pid);
// Waits (bounded) until no process titled "quillmap:" is left, e.g. one of another test run.
bool wait_until_no_instance(int timeout_ms);

struct DaemonOptions {
  bool foreground = true;                   // -D
  std::vector<std::string> config_lines;    // appended to the generated configuration
  std::string log_level = "DEBUG";
  std::optional<std::vector<std::string>> environment;  // unset: the test's own environment
  std::string data_dir;                     // where the data file lies; empty: the harness's directory
};

// A detached daemon logging at `log_level`.
inline DaemonOptions serving_options(std::vector<std::string> config_lines = {},
                                     std::string log_level = "INFO") {
  DaemonOptions options;
  options.foreground = false;
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

  // Launches the daemon and waits until its worker answers on the socket. False when it ended or did
  // not serve in time (launch_status() and stderr_text() tell why). After stop() it starts over the
  // same directory, data file included.
  bool start();
  // SIGTERM to the master (unless it has ended) and a bounded wait: its exit status, or -1 when it
  // did not exit normally in time (it is then killed).
  int stop(int timeout_ms = 10000);

  bool wait_for_log(const std::string& needle, int timeout_ms = 5000) const;
  // Waits until a worker other than `previous` runs under the master; its pid or 0.
  pid_t wait_for_worker(pid_t previous = 0, int timeout_ms = 5000) const;
  // Waits until `pid` is gone (reaped when it is our child).
  bool wait_gone(pid_t pid, int timeout_ms) const;

  std::string log_text() const { return read_file(log_path_); }
  std::string stderr_text() const { return read_file(dir_ + "/stderr.txt"); }
  // The process start() made: the master in the foreground; detached, the first process, which
  // ends with 0 once the worker serves and with 1 when it never does.
  pid_t launched_pid() const { return launched_; }
  int launch_status() const;  // -1 while it runs or when a signal ended it
  pid_t master_pid() const;   // detached: the pid file's content
  pid_t worker_pid() const;   // "quillmap: worker" under the master; 0 when there is none
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

  DaemonOptions options_;
  std::string dir_, config_path_, data_path_, log_path_, pid_path_, socket_path_;
  pid_t launched_ = 0;
  mutable pid_t known_master_ = 0;
};

}  // namespace quillmap::e2e
