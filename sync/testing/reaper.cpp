// The first process of a simulated host's PID namespace: the namespace ends with it, so it stays
// until SIGTERM, reaping every process that ends inside (the daemons and agents started there with
// nsenter are reparented to it), and on SIGTERM kills what is left and ends.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

int main() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGCHLD);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  for (;;) {
    int sig = 0;
    sigwait(&set, &sig);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (sig == SIGTERM) {
      kill(-1, SIGKILL);
      while (wait(nullptr) > 0 || errno == EINTR) {
      }
      return 0;
    }
  }
}
