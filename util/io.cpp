#include "util/io.h"

#include <cerrno>
#include <unistd.h>

namespace quillmap {

int64_t shm_readn(int fd, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t r = read(fd, p + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

int64_t shm_writen(int fd, const void* buf, size_t n) {
  const auto* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (w == 0) return -1;
    done += static_cast<size_t>(w);
  }
  return static_cast<int64_t>(done);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::reset(int fd) {
  int result = 0;
  if (fd_ >= 0) result = close(fd_);
  fd_ = fd;
  return result;
}

}  // namespace quillmap
