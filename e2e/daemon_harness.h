// End-to-end harness: the built daemon in a private temporary directory with its configuration, data
// file, log, pid file and socket. The destructor ends the daemon whatever happened and removes its
// segments and the directory. Run these tests in private PID and IPC namespaces, one at a time.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "util/testing/files.h"

namespace quillmap::e2e {

using testing::count_of;
using testing::read_file;
using testing::wait_until;

struct ProgramRun {
  int exit_status = -1;  // exit code, or -1 when it did not exit normally
  std::string out, err;
};

// Runs `path` with `args`, feeding `input` on its standard input; killed after 30 s.
ProgramRun run_program(const std::string& path, const std::vector<std::string>& args, const std::string& input = "");
std::string read_cmdline(pid_t pid);  // NUL separators as blanks, trailing NULs removed

class DaemonHarness {
 public:
  // A detached daemon (in the foreground with -D when `foreground`) with `config_lines` appended to
  // the generated configuration.
  explicit DaemonHarness(const std::vector<std::string>& config_lines = {}, const std::string& log_level = "INFO",
                         bool foreground = false);
  ~DaemonHarness();

  // Launches the daemon and waits until its worker answers on the socket; false when it ended or did
  // not serve in time. After stop() it starts over the same directory, data file included.
  bool start();
  // SIGTERM to the master (unless it has ended) and a bounded wait: its exit status, or -1 when it did
  // not exit normally in time (everything is then killed).
  int stop(int timeout_ms = 10000);

  bool wait_for_log(const std::string& needle, int timeout_ms = 5000) const;
  bool wait_gone(pid_t pid, int timeout_ms) const;  // reaped when it is our child
  std::string log_text() const { return read_file(log_path); }
  std::string stderr_text() const { return read_file(dir + "/stderr.txt"); }
  // The process start() made: the master in the foreground; detached, the first process, which ends
  // with 0 once the worker serves and with 1 when it never does.
  pid_t launched_pid() const { return launched_; }
  int launch_status() const;  // -1 while it runs or when a signal ended it
  pid_t master_pid() const;   // detached: the pid file's content
  pid_t worker_pid() const;   // "quillmap: worker" under the master; 0 when there is none
  bool segment_exists() const;

  const bool foreground;
  const std::string dir, config_path, data_path, log_path, pid_path, socket_path;

 private:
  void kill_everything();

  pid_t launched_ = 0;
  mutable pid_t known_master_ = 0;
};

}  // namespace quillmap::e2e
