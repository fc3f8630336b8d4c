#include "daemon/master.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>

#include "daemon/proctitle.h"
#include "daemon/worker.h"
#include "util/log.h"
#include "util/readiness.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

void reopen_log() {
  log_close();
  log_open(settings.log_path);
}

bool termination_requested() {
  return signal_flags.got_term || signal_flags.got_int || signal_flags.got_quit;
}

// Sleeps 100 ms; a signal ends the sleep early and is not resumed, so the loop sees its flag at once.
void pause_one_step() {
  struct timespec step = {0, 100 * 1000 * 1000};
  nanosleep(&step, nullptr);
}

// Workers that end soon after their start (a socket path that cannot be bound, a store that cannot be
// prepared) would otherwise be replaced, load and dump the data file, in a tight loop. The first such
// end is replaced at once; each further one in a row waits twice as long, from 1 s up to 30 s.
constexpr std::chrono::seconds kQuickEnd{5};
constexpr std::chrono::seconds kFirstBackoff{1};
constexpr std::chrono::seconds kMaxBackoff{30};

std::chrono::seconds backoff_after(int quick_ends) {
  if (quick_ends <= 1) return std::chrono::seconds(0);
  std::chrono::seconds wait = kFirstBackoff;
  for (int i = 2; i < quick_ends && wait < kMaxBackoff; ++i) wait *= 2;
  return std::min(wait, kMaxBackoff);
}

// Waits `delay` in 100 ms steps, serving the master's flags; false when a terminating signal came.
bool wait_before_restart(std::chrono::seconds delay) {
  const auto until = std::chrono::steady_clock::now() + delay;
  while (std::chrono::steady_clock::now() < until) {
    if (termination_requested()) return false;
    if (signal_flags.got_usr1) {
      reopen_log();
      signal_flags.got_usr1 = 0;
    }
    if (signal_flags.got_hup) {
      log_msg(kLogWarn, "Got SIGHUP. Currently unused");
      signal_flags.got_hup = 0;
    }
    pause_one_step();
  }
  return !termination_requested();
}

void log_worker_end(int status) {
  if (WIFEXITED(status)) {
    log_msg(kLogWarn, "Worker exited normally with status: %d", WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    log_msg(kLogWarn, "Worker terminated by signal: %s", strsignal(WTERMSIG(status)));
  }
}

}  // namespace

MasterOutcome run_master_loop(const UserAccount* account, const DaemonSegments& segment, int* worker_status) {
  int restarted = 0;
  int quick_ends = 0;  // workers in a row that ended within kQuickEnd of their start
  bool last_saved = true;  // the last worker to end saved the store on its way out
  for (;;) {
    const auto started = std::chrono::steady_clock::now();
    pid_t worker = fork();
    if (worker < 0) {
      log_msg(kLogError, "Could not start child: %s", strerror(errno));
      return MasterOutcome::kForkFailed;
    }
    if (worker == 0) {
      shm_setproctitle("worker");
      *worker_status = run_workloop(account, segment.base, segment.state, restarted);
      return MasterOutcome::kWorkerDone;
    }
    reopen_log();
    // Only the first worker can tell the starting process that the daemon serves.
    close_readiness();
    bool sigsent = false;

    int status = 0;
    for (;;) {
      if (signal_flags.got_usr1) {
        log_msg(kLogDebug, "Sending SIGUSR1 to the child: %d", static_cast<int>(worker));
        if (kill(worker, SIGUSR1) != 0) {
          log_msg(kLogWarn, "Could not send USR1 signal to the worker: %s", strerror(errno));
        }
        reopen_log();
        signal_flags.got_usr1 = 0;
        continue;
      }
      if (signal_flags.got_hup) {
        log_msg(kLogWarn, "Got SIGHUP. Currently unused");
        signal_flags.got_hup = 0;
        continue;
      }
      // The terminating flags stay raised: SIGTERM is forwarded once, however often they arrive.
      if (termination_requested() && !sigsent) {
        log_msg(kLogWarn, "Master got terminating signal. Exiting...");
        if (kill(worker, SIGTERM) != 0) {
          log_msg(kLogWarn, "Could not send TERM signal to the worker: %s", strerror(errno));
          return MasterOutcome::kShutdown;
        }
        sigsent = true;
      }
      pid_t ended = waitpid(worker, &status, WNOHANG);
      if (ended < 0) {
        if (errno == EINTR) continue;
        log_msg(kLogError, "Error while waiting the child: %s", strerror(errno));
        return MasterOutcome::kShutdown;
      }
      if (ended == worker) break;
      pause_one_step();
    }

    log_worker_end(status);
    last_saved = WIFEXITED(status) && WEXITSTATUS(status) == kWorkerSaved;
    if (sigsent) {
      log_msg(kLogDebug, "Leaving loop because sigsent is set");
      // Only a worker that saved the store on its way out leaves nothing behind but the data file.
      return last_saved ? MasterOutcome::kShutdown : MasterOutcome::kShutdownUnsaved;
    }
    restarted = 1;
    // A worker killed from outside (SIGKILL: the operator, the OOM killer) says nothing about the
    // next one; one that exits or crashes by itself soon after its start does.
    const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    quick_ends = !killed && std::chrono::steady_clock::now() - started < kQuickEnd ? quick_ends + 1 : 0;
    if (std::chrono::seconds delay = backoff_after(quick_ends); delay.count() > 0) {
      log_msg(kLogError, "Workers keep ending within %ld s of their start (%d in a row); next start in %ld s",
              static_cast<long>(kQuickEnd.count()), quick_ends, static_cast<long>(delay.count()));
      if (!wait_before_restart(delay)) {
        log_msg(kLogWarn, "Master got terminating signal. Exiting...");
        return last_saved ? MasterOutcome::kShutdown : MasterOutcome::kShutdownUnsaved;
      }
    }
  }
}

}  // namespace quillmap
