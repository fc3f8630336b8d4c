#include "util/log.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "util/settings.h"

namespace quillmap {
namespace {

FILE* log_fp = nullptr;

const char* level_word(unsigned level) {
  static const char* const kWords[] = {"", "CRIT", "ERROR", "WARN", "INFO", "DEBUG"};
  return level < sizeof(kWords) / sizeof(kWords[0]) ? kWords[level] : "";
}

// Takes the whole-file lock, waiting 10 ms whenever another process holds it.
void lock_file(int fd) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) usleep(10000);
  }
}

}  // namespace

void log_open(const char* path) {
  mode_t old_mask = umask(077);
  FILE* fp = fopen(path, "a");
  int saved = errno;
  umask(old_mask);
  if (fp == nullptr) {
    fprintf(stderr, "Could not open log file %s: %s\n", path, strerror(saved));
    exit(1);
  }
  log_setfp(fp);
}

void log_close() {
  if (log_fp != nullptr) fclose(log_fp);
  log_fp = nullptr;
}

void log_setfp(FILE* fp) {
  log_fp = fp;
  if (fp != nullptr) setvbuf(fp, nullptr, _IONBF, 0);
}

void log_msg(unsigned level, const char* fmt, ...) {
  if (log_fp == nullptr || level > settings.log_level) return;
  int fd = fileno(log_fp);
  if (fd < 0) return;
  // Callers often log a failure and then go on to report errno; logging must not change it.
  const int saved_errno = errno;
  lock_file(fd);

  char when[20];
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) != nullptr && strftime(when, sizeof when, "%F %X", &local) != 0) {
    fprintf(log_fp, "%s [%s]: ", when, level_word(level));
  } else {
    fprintf(log_fp, "???UNKNOWN TIME??? [%s]: ", level_word(level));
  }
  va_list args;
  va_start(args, fmt);
  vfprintf(log_fp, fmt, args);
  va_end(args);
  fputc('\n', log_fp);

  flock(fd, LOCK_UN);
  errno = saved_errno;
}

}  // namespace quillmap
