#include "util/readiness.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quillmap {
namespace {

int write_end = -1;
constexpr char kReady = 'R';

}  // namespace

void set_readiness_fd(int fd) { write_end = fd; }
int readiness_fd() { return write_end; }

void signal_ready() {
  if (write_end < 0) return;
  ssize_t n;
  do {
    n = write(write_end, &kReady, 1);
  } while (n < 0 && errno == EINTR);
  close_readiness();
}

void close_readiness() {
  if (write_end >= 0) close(write_end);
  write_end = -1;
}

int wait_for_readiness(int read_fd, const char* log_path) {
  char byte = 0;
  ssize_t n;
  do {
    n = read(read_fd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  close(read_fd);
  if (n == 1 && byte == kReady) return 0;
  fprintf(stderr, "quillmap did not start; see the log at %s\n", log_path != nullptr ? log_path : "(none)");
  return 1;
}

}  // namespace quillmap
