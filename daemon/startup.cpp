#include "daemon/startup.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/config.h"
#include "util/log.h"
#include "util/readiness.h"
#include "util/settings.h"

namespace quillmap {
namespace {

constexpr char kTitlePrefix[] = "quillmap:";

bool is_decimal(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

// Whether the command line of process `pid` starts with the title prefix. Processes whose command
// line cannot be read (gone, or not ours to read) do not count.
bool runs_quillmap_title(long pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/cmdline", pid);
  FILE* fp = fopen(path, "r");
  if (fp == nullptr) return false;
  char line[512];
  bool found = fgets(line, sizeof line, fp) != nullptr &&
               strncmp(line, kTitlePrefix, sizeof kTitlePrefix - 1) == 0;
  fclose(fp);
  return found;
}

}  // namespace

int check_single_instance() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    fputs("Error while getting the PID of quillmap. Exit\n", stderr);
    return 1;
  }
  const long self = getpid();
  int result = 0;
  while (struct dirent* entry = readdir(proc)) {
    if (!is_decimal(entry->d_name)) continue;
    long pid = strtol(entry->d_name, nullptr, 10);
    if (pid == self || !runs_quillmap_title(pid)) continue;
    fprintf(stderr, "Quillmap is already running with pid: %ld. Exit\n", pid);
    result = 1;
    break;
  }
  closedir(proc);
  return result;
}

int resolve_user(std::optional<UserAccount>* account) {
  account->reset();
  if (settings.user == nullptr) return 0;
  errno = 0;
  struct passwd* pw = getpwnam(settings.user);
  if (pw == nullptr) {
    if (errno != 0) {
      fputs("Error while resolving user", stderr);
    } else {
      fprintf(stderr, "No such user: %s", settings.user);
    }
    return 1;
  }
  *account = UserAccount{pw->pw_name, pw->pw_uid, pw->pw_gid};
  return 0;
}

int makedirs(const char* path, const UserAccount* account) {
  std::string copy = path;
  std::string dir = dirname(copy.data());
  if (dir.size() < 2) return 0;
  if (makedirs(dir.c_str(), account) != 0) return -1;
  if (mkdir(dir.c_str(), 0755) != 0) {
    if (errno == EEXIST) return 0;
    fprintf(stderr, "Could not create %s: %s\n", dir.c_str(), strerror(errno));
    return -1;
  }
  if (account != nullptr && chown(dir.c_str(), account->uid, account->gid) != 0) {
    fprintf(stderr, "Could not chown %s to %s: %s\n", dir.c_str(), account->name.c_str(),
            strerror(errno));
    return -1;
  }
  return 0;
}

int prepare_directories(const UserAccount* account) {
  struct Derived {
    char** path;
    const char* base;
    const char* suffix;
  };
  const Derived kPaths[] = {
      {&settings.log_path, "/var/log", ".log"},
      {&settings.socket_path, "/var/run", ".sock"},
      {&settings.pid_path, "/var/run", ".pid"},
  };
  for (const Derived& d : kPaths) {
    complete_default_path(d.path, d.base, d.suffix);
    if (makedirs(*d.path, account) != 0) {
      fprintf(stderr, "Could not create path: %s", *d.path);
      return 1;
    }
  }
  return 0;
}

int create_data_file(const UserAccount* account) {
  const char* path = settings.data_path;
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return 0;
    fprintf(stderr, "Could not create data file %s: %s", path, strerror(errno));
    return 1;
  }
  close(fd);
  if (account != nullptr && chown(path, account->uid, account->gid) != 0) {
    fprintf(stderr, "Could not chown %s to %s: %s\n", path, account->name.c_str(), strerror(errno));
    return 1;
  }
  return 0;
}

int drop_privileges(const UserAccount& account) {
  // Groups inherited from the starting account (root's, typically) must not survive the drop. Only a
  // privileged process can change them; an unprivileged one has no groups beyond its own to shed.
  if (geteuid() == 0 && setgroups(1, &account.gid) != 0) {
    fprintf(stderr, "Could not drop supplementary groups: %s\n", strerror(errno));
    return 1;
  }
  if (setgid(account.gid) != 0) {
    fprintf(stderr, "Could not drop group: %s\n", strerror(errno));
    return 1;
  }
  if (setuid(account.uid) != 0) {
    fprintf(stderr, "Could not drop to %s: %s\n", account.name.c_str(), strerror(errno));
    return 1;
  }
  return 0;
}

int daemonize() {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid > 0) {
    close(ready[1]);
    _exit(wait_for_readiness(ready[0], settings.log_path));
  }
  close(ready[0]);
  set_readiness_fd(ready[1]);
  if (setsid() < 0) return -1;
  pid = fork();
  if (pid < 0) return -1;
  if (pid > 0) _exit(0);

  umask(0);
  if (chdir("/") != 0) return -1;
  long limit = sysconf(_SC_OPEN_MAX);
  if (limit < 0) limit = 8192;
  // One call instead of one per possible descriptor (the limit may be a million); the loop is the
  // fallback for kernels without close_range.
  const int keep = readiness_fd();
  if (close_range(0, static_cast<unsigned>(keep - 1), 0) != 0 ||
      close_range(static_cast<unsigned>(keep + 1), static_cast<unsigned>(limit - 1), 0) != 0) {
    for (long fd = 0; fd < limit; ++fd) {
      if (fd != keep) close(static_cast<int>(fd));
    }
  }

  close(0);
  if (open("/dev/null", O_RDWR) != 0) return -1;
  if (dup2(0, 1) != 1) return -1;
  if (dup2(0, 2) != 2) return -1;
  return 0;
}

int write_pid_file() {
  const char* path = settings.pid_path;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    log_msg(kLogError, "Could not open %s for writing PID: %s", path, strerror(errno));
    return 1;
  }
  char text[32];
  int len = snprintf(text, sizeof text, "%ld", static_cast<long>(getpid()));
  if (write(fd, text, static_cast<size_t>(len)) < len) {
    log_msg(kLogError, "Error while reading PID to file: %s", strerror(errno));
    close(fd);
    return 1;
  }
  if (close(fd) != 0) {
    log_msg(kLogError, "Could not close PID file %s: %s", path, strerror(errno));
    return 1;
  }
  return 0;
}

void remove_pid_file() {
  if (unlink(settings.pid_path) != 0 && errno != ENOENT) {
    log_msg(kLogError, "Could not delete pid file: %s", strerror(errno));
  }
}

}  // namespace quillmap
