// quillmap: start-up, then the master loop (or, in the foreground, the worker body), then shutdown.
#include <cstdio>
#include <optional>
#include <string>

#include "daemon/config.h"
#include "daemon/leftover_store.h"
#include "daemon/master.h"
#include "daemon/proctitle.h"
#include "daemon/segment.h"
#include "daemon/startup.h"
#include "daemon/worker.h"
#include "util/host_params.h"
#include "util/log.h"
#include "util/settings.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

// "master" and the command line as it was started, composed before the title overwrites the
// argument strings.
std::string master_title(int argc, char** argv) {
  std::string title = "master";
  for (int i = 0; i < argc; ++i) {
    title += ' ';
    title += argv[i];
  }
  return title;
}

// The end of every process that got as far as the log, master and worker alike.
int leave(int status) {
  log_close();
  release_settings();
  return status;
}

int run(int argc, char** argv) {
  // -h, --version and a bad option are answered even while an instance runs: none of them serves.
  if (int status = parse_options(argc, argv); status >= 0) return leave(status);
  if (check_single_instance() != 0) return leave(1);
  host_params_init();
  if (init_signals() != 0) {
    fputs("Could not init signals. Exit\n", stderr);
    return leave(1);
  }
  if (settings.config_path == nullptr) settings.config_path = kDefaultConfigPath;

  saved_argv = argv;
  const std::string title = master_title(argc, argv);
  if (shm_init_setproctitle() != 0) {
    fputs("Could not init setproctitle. Exit\n", stderr);
    return leave(1);
  }
  shm_setproctitle(title.c_str());

  if (read_config(settings.config_path) != 0 || finish_config() != 0) return leave(1);
  std::optional<UserAccount> user_account;
  if (resolve_user(&user_account) != 0) return leave(1);
  const UserAccount* account = user_account ? &*user_account : nullptr;
  if (prepare_directories(account) != 0 || create_data_file(account) != 0) return leave(1);
  if (account != nullptr && drop_privileges(*account) != 0) return leave(1);
  if (!settings.no_daemon && daemonize() != 0) return leave(1);

  log_open(settings.log_path);
  report_config_warnings();
  if (!settings.no_daemon && write_pid_file() != 0) return leave(1);
  DaemonSegments segment;
  if (!attach_segment(&segment)) return leave(1);
  if (save_leftover_store(segment) != 0) return leave(1);
  // A new master's first worker lays the store out afresh and loads the data file.
  segment.state->flags &= ~kStateLoaded;

  if (settings.no_daemon) {
    // The segment stays either way; an unsaved store is saved by the next start.
    return leave(run_workloop(account, segment.base, segment.state, segment.index, 0) == kWorkerSaved ? 0 : 1);
  }
  int worker_status = 0;
  switch (run_master_loop(account, segment, &worker_status)) {
    case MasterOutcome::kWorkerDone:
      return leave(worker_status);
    case MasterOutcome::kForkFailed:
      return leave(1);
    case MasterOutcome::kShutdownUnsaved:
      report_unsaved_store(segment);
      remove_pid_file();
      return leave(1);
    case MasterOutcome::kShutdown:
      break;
  }
  int status = remove_segment(&segment);
  remove_pid_file();
  return leave(status);
}

}  // namespace
}  // namespace quillmap

int main(int argc, char** argv) { return quillmap::run(argc, argv); }
